#include "nuboxlink/platform/endpoint_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nuboxlink::endpoint {

bool sendAll(int sock, const void* data, size_t n, const int* fds, size_t fdCount) {
    const auto* p = static_cast<const uint8_t*>(data);
    bool first = true;
    while (n > 0 || first) {
        iovec iov{const_cast<uint8_t*>(p), n};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        if (first && fdCount > 0 && fdCount <= 4) {
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
        }
        ssize_t sent = sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        first = false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool recvAll(int sock, void* data, size_t n, int timeoutMs, std::vector<int>* fds) {
    auto* p = static_cast<uint8_t*>(data);
    while (n > 0) {
        pollfd pfd{sock, POLLIN, 0};
        int r = poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        iovec iov{p, n};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                    if (fds) {
                        fds->push_back(fd);
                    } else {
                        close(fd);
                    }
                }
            }
        }
        if (got <= 0) {
            return false;  // the peer closed in the middle of a message
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace nuboxlink::endpoint
