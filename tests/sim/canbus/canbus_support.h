// Helpers of the bus server tests: a frame recorder for backends, a raw loopback TCP
// client that writes exactly the bytes it is given, and a child process (the server or a
// device process) that is always stopped when the test ends.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vci/backend.h"

namespace romtide::test {

using namespace std::chrono_literals;

struct FrameRecorder : vci::FrameSink {
    void deliver(const vci::CanFrame* frames, size_t count, uint32_t) override {
        std::lock_guard lock(mutex);
        received.insert(received.end(), frames, frames + count);
        changed.notify_all();
    }
    void message(const std::string& text) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
        changed.notify_all();
    }
    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
    std::vector<vci::CanFrame> frames() {
        std::lock_guard lock(mutex);
        return received;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<vci::CanFrame> received;
    std::vector<std::string> messages;
};

inline vci::CanFrame frameOf(uint32_t id, std::vector<uint8_t> bytes) {
    vci::CanFrame f;
    f.id = id;
    f.length = static_cast<uint8_t>(bytes.size());
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
        f.data[i] = bytes[i];
    }
    return f;
}

// A loopback TCP client for the protocol's raw bytes.
class RawClient {
  public:
    explicit RawClient(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd); }
    void write(const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    void trickle(const std::string& text) {
        for (char c : text) {
            ::send(fd, &c, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(1ms);
        }
    }
    // One read, as a client that compares whole reads sees it ("" on time-out or end).
    std::string readOnce(int timeoutMs = 5000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return {};
        }
        char b[4096];
        ssize_t n = ::recv(fd, b, sizeof b, 0);
        return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string();
    }
    // Reads until `text` came; false on time-out or when the server closed.
    bool expect(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (buffer.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                char b[4096];
                ssize_t n = ::recv(fd, b, sizeof b, 0);
                if (n <= 0) {
                    return false;
                }
                buffer.append(b, static_cast<size_t>(n));
            }
        }
        buffer.erase(0, buffer.find(text) + text.size());
        return true;
    }
    // True when the server closed the connection within 5 s.
    bool closedByServer() {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                char b[4096];
                if (::recv(fd, b, sizeof b, 0) <= 0) {
                    return true;
                }
            }
        }
        return false;
    }
    int fd = -1;
    bool connected = false;
    std::string buffer;
};

// A program started with its standard output on a pipe; SIGTERM and a reap when it goes.
class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            std::vector<char*> args;
            for (auto& a : argv) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~ChildProcess() {
        stop(SIGTERM);
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    // Standard output until a line equal to `line` (or end, or 10 s); true if it came.
    bool waitForLine(const std::string& line) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            size_t start = 0;
            for (size_t nl; (nl = output.find('\n', start)) != std::string::npos; start = nl + 1) {
                if (output.substr(start, nl - start) == line) {
                    return true;
                }
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                char b[1024];
                ssize_t n = ::read(out_, b, sizeof b);
                if (n <= 0) {
                    return false;
                }
                output.append(b, static_cast<size_t>(n));
            }
        }
        return false;
    }
    // Sends `signal` and reaps the process (SIGKILL after 10 s); its exit status, or -1.
    int stop(int signal) {
        if (pid_ <= 0) {
            return status_;
        }
        ::kill(pid_, signal);
        int raw = 0;
        for (int i = 0; i < 1000; ++i) {
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                return status_;
            }
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        pid_ = -1;
        return status_;
    }
    bool started() const { return pid_ > 0; }
    std::string output;

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

}  // namespace romtide::test
