// A board server on the loopback address that greets its client, takes the board's
// configuration, and then never answers again: a server whose computer froze after the
// program connected. It listens on the first free port above kPortBase + 100, so a
// registry names it with "RemoteDevice" = remoteDevice().
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "nuboxlink/remote/remote_protocol.h"

namespace romtide::test {

class StallingBoardServer {
  public:
    StallingBoardServer() {
        namespace remote = nuboxlink::remote;
        for (unsigned device = 100; device < 256 && listener_ < 0; ++device) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(remote::kPortBase + device));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                ::listen(fd, 4) == 0) {
                listener_ = fd;
                device_ = device;
            } else {
                ::close(fd);
            }
        }
        if (listener_ >= 0) {
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~StallingBoardServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            ::close(listener_);
        }
    }
    StallingBoardServer(const StallingBoardServer&) = delete;
    StallingBoardServer& operator=(const StallingBoardServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    unsigned remoteDevice() const { return device_; }
    // Requests that came after the configuration (and were never answered).
    int unanswered() const { return unanswered_; }

  private:
    // Waits up to 100 ms for the descriptor; false when the server stops.
    bool ready(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                return true;
            }
        }
        return false;
    }
    bool readExactly(int fd, uint8_t* into, size_t n) {
        for (size_t got = 0; got < n;) {
            if (!ready(fd)) {
                return false;
            }
            ssize_t r = ::recv(fd, into + got, n - got, 0);
            if (r <= 0) {
                return false;
            }
            got += static_cast<size_t>(r);
        }
        return true;
    }
    void serve() {
        namespace remote = nuboxlink::remote;
        if (!ready(listener_)) {
            return;
        }
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        uint8_t greeting[remote::kGreetingSize] = {remote::kHello};
        uint8_t answer[remote::kAnswerSize];
        uint8_t config[1 + remote::kConfigSize];
        const uint8_t configured[1 + remote::kConfigReplySize] = {remote::kReplyOk, 0, 0, 0};
        if (::send(client, greeting, sizeof greeting, MSG_NOSIGNAL) == sizeof greeting &&
            readExactly(client, answer, sizeof answer) &&
            readExactly(client, config, sizeof config) &&
            ::send(client, configured, sizeof configured, MSG_NOSIGNAL) == sizeof configured) {
            uint8_t request[remote::kMaxRequestSize];
            while (ready(client) && ::recv(client, request, sizeof request, 0) > 0) {
                ++unanswered_;
            }
        }
        ::close(client);
    }

    int listener_ = -1;
    unsigned device_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> unanswered_{0};
    std::thread thread_;
};

}  // namespace romtide::test
