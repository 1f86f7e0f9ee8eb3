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

#include "support/child_process.h"
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

}  // namespace romtide::test
