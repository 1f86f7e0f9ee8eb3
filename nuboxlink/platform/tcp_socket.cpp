// TCP connections to board servers over POSIX sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

namespace {

using Io = StreamSocket::Io;

// Waits for `events` on the socket; Ok, TimedOut or Failed.
Io waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return Io::Failed;
        }
        return r == 0 ? Io::TimedOut : Io::Ok;
    }
}

class TcpSocket final : public StreamSocket {
  public:
    explicit TcpSocket(int fd) : fd_(fd) {}
    ~TcpSocket() override { close(fd_); }

    Io send(const uint8_t* data, size_t n, int timeoutMs) override {
        size_t done = 0;
        while (done < n) {
            ssize_t sent = ::send(fd_, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                Io w = waitFor(fd_, POLLOUT, timeoutMs);
                if (w != Io::Ok) {
                    return w;
                }
                continue;
            }
            return Io::Failed;
        }
        return Io::Ok;
    }

    Io receive(uint8_t* dst, size_t capacity, int timeoutMs, size_t* got) override {
        *got = 0;
        Io w = waitFor(fd_, POLLIN, timeoutMs);
        if (w != Io::Ok) {
            return w;
        }
        for (;;) {
            ssize_t n = ::recv(fd_, dst, capacity, MSG_DONTWAIT);
            if (n > 0) {
                *got = static_cast<size_t>(n);
                return Io::Ok;
            }
            if (n == 0) {
                return Io::Closed;
            }
            if (errno == EINTR) {
                continue;
            }
            // Readable but nothing to take: an error that poll reported, or a wake-up
            // without data; either way the caller's time is its own to judge.
            return errno == EAGAIN || errno == EWOULDBLOCK ? Io::TimedOut : Io::Failed;
        }
    }

    bool pending() override { return waitFor(fd_, POLLIN, 0) == Io::Ok; }

    void shutdown() override { ::shutdown(fd_, SHUT_RDWR); }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<StreamSocket> Platform::connectTcp(const std::string& host, uint16_t port,
                                                   int timeoutMs, StreamSocket::Io* why) {
    *why = Io::Failed;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
        return nullptr;
    }
    // The host's first address, and only that one.
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        return nullptr;
    }
    int r = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (r != 0 && errno != EINPROGRESS) {
        close(fd);
        return nullptr;
    }
    if (r != 0) {
        Io w = waitFor(fd, POLLOUT, timeoutMs);
        int error = 0;
        socklen_t len = sizeof error;
        if (w != Io::Ok || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            close(fd);
            *why = w == Io::TimedOut ? Io::TimedOut : Io::Failed;
            return nullptr;
        }
    }
    // Every request is one small message waiting for its reply: no coalescing delay.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    *why = Io::Ok;
    return std::make_unique<TcpSocket>(fd);
}

}  // namespace nuboxlink
