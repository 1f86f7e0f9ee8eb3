// A program of ours started as a child process for a test, stopped when the test ends.
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

// A program started with its standard output on a pipe; SIGTERM and a reap when it goes.
// `env` adds "NAME=value" entries to the test's environment; `withStderr` joins the
// program's standard error to the pipe.
class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = {},
                          bool withStderr = false) {
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
            if (withStderr) {
                ::dup2(out[1], 2);
            }
            ::execve(args[0], args.data(), envp.data());
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
