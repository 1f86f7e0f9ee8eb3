// A loopback TCP client that writes exactly the bytes it is given and reads what comes.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace romtide::test {

using namespace std::chrono_literals;

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
    // Exactly `n` bytes, or what came before a time-out of `timeoutMs` or the end.
    std::string readExactly(size_t n, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                char b[4096];
                ssize_t got = ::recv(fd, b, std::min(sizeof b, n - buffer.size()), 0);
                if (got <= 0) {
                    break;
                }
                buffer.append(b, static_cast<size_t>(got));
            }
        }
        std::string taken = buffer.substr(0, std::min(n, buffer.size()));
        buffer.erase(0, taken.size());
        return taken;
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
