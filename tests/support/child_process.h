// A program started with its output on a pipe, for tests that must act while it runs
// (interrupt it, kill it, wait for a line): always stopped and reaped when the test ends.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace romtide::test {

using namespace std::chrono_literals;

class ChildProcess {
  public:
    enum class Output { StdoutOnly, Joined };

    // `env` adds "NAME=value" entries to the test's environment.
    explicit ChildProcess(std::vector<std::string> argv, Output what = Output::StdoutOnly,
                          std::vector<std::string> env = {}) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        // Everything the child needs is made before the fork.
        std::vector<char*> args;
        for (auto& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        for (char** e = environ; *e; ++e) {
            envp.push_back(*e);
        }
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            if (what == Output::Joined) {
                ::dup2(out[1], 2);
            }
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> env,
                 bool withStderr = false)
        : ChildProcess(std::move(argv), withStderr ? Output::Joined : Output::StdoutOnly,
                       std::move(env)) {}
    ~ChildProcess() {
        stop(SIGTERM);
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Output until a line equal to `line` (or end, or 10 s); true if it came.
    bool waitForLine(const std::string& line) {
        return readUntil([&] {
            size_t start = 0;
            for (size_t nl; (nl = output.find('\n', start)) != std::string::npos; start = nl + 1) {
                if (output.compare(start, nl - start, line) == 0 && line.size() == nl - start) {
                    return true;
                }
            }
            return false;
        });
    }
    // Output until it holds `text` (or end, or `timeout`); true if it came.
    bool waitForText(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
        return readUntil([&] { return output.find(text) != std::string::npos; }, timeout);
    }
    // Sends a signal and returns at once.
    void signal(int sig) {
        if (pid_ > 0) {
            ::kill(pid_, sig);
        }
    }
    // Reads the rest of the output and reaps the process (SIGKILL after `timeout`); its
    // exit status, or -1 when a signal ended it.
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(60000)) {
        readUntil([] { return false; }, timeout);
        return reap(SIGKILL);
    }
    // Sends `signal` and reaps the process (SIGKILL after 10 s); its exit status, or -1.
    int stop(int sig) {
        if (pid_ <= 0) {
            return status_;
        }
        ::kill(pid_, sig);
        return reap(SIGKILL);
    }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    std::string output;

  private:
    template <typename Done>
    bool readUntil(Done done,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline || out_ < 0) {
                return false;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                char b[4096];
                ssize_t n = ::read(out_, b, sizeof b);
                if (n <= 0) {
                    ::close(out_);
                    out_ = -1;
                    return done();
                }
                output.append(b, static_cast<size_t>(n));
            }
        }
        return true;
    }
    int reap(int last) {
        int raw = 0;
        for (int i = 0; i < 1000; ++i) {
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, last);
        ::waitpid(pid_, &raw, 0);
        pid_ = -1;
        return status_;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

}  // namespace romtide::test
