#include "board_server/board_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

#include "board_server/board_session.h"
#include "board_server/request_reader.h"
#include "nuboxlink/remote/remote_protocol.h"

namespace board_server {

namespace remote = nuboxlink::remote;

namespace {

constexpr int64_t kNoDeadline = -1;
constexpr int kListenBacklog = 8;

std::string hex(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// "ADDRESS:PORT" of a socket address, the address in brackets when it is IPv6.
std::string printable(const sockaddr* addr, socklen_t len) {
    char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "?";
    getnameinfo(addr, len, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = addr->sa_family == AF_INET6;
    return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + service;
}

std::string peerOf(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return "a client";
    }
    return printable(reinterpret_cast<sockaddr*>(&addr), len);
}

std::string invalidRequest(const uint8_t* request) {
    if (request[0] == remote::kWriteCommand) {
        return "sent a command block of no known length (command " + hex(request[2]) + ")";
    }
    return "sent a request this server does not know (code " + hex(request[0]) + ")";
}

bool isLoopback(const sockaddr* addr) {
    if (addr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (addr->sa_family == AF_INET6) {
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    }
    return false;
}

uint64_t newChallenge() {
    std::random_device random;
    return static_cast<uint64_t>(random()) << 32 | random();
}

}  // namespace

struct BoardServer::Port {
    Port(BoardAccess& board, uint8_t device)
        : device(device), name("device " + std::to_string(device) + ": "), session(board, device) {}

    uint8_t device;
    std::string name;  // in front of every line logged about it
    std::string where;
    int listener = -1;
    int64_t acceptPausedUntilMs = 0;

    // The current client, or -1.
    int client = -1;
    std::string peer;
    bool greeted = false;
    uint64_t challenge = 0;
    std::array<uint8_t, remote::kAnswerSize> answer{};
    size_t answerHave = 0;
    int64_t deadlineMs = kNoDeadline;
    RequestReader reader;
    BoardSession session;
};

BoardServer::BoardServer(BoardAccess& board, romtide::Clock& clock, ServerOptions options, Log log)
    : board_(board), clock_(clock), options_(std::move(options)), log_(std::move(log)) {}

BoardServer::~BoardServer() {
    stop();
}

std::string BoardServer::where(uint8_t device) const {
    for (const auto& p : ports_) {
        if (p->device == device) {
            return p->where;
        }
    }
    return {};
}

bool BoardServer::start(std::string* error) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        *error = std::string("cannot make an event: ") + std::strerror(errno);
        return false;
    }
    for (uint8_t device : options_.devices) {
        auto port = std::make_unique<Port>(board_, device);
        const unsigned number = options_.portBase + device;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        // An address, not a name: the server must not wait for a name service at start.
        hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(number);
        int rc = getaddrinfo(options_.bind.c_str(), service.c_str(), &hints, &found);
        if (rc != 0 || !found) {
            *error = "cannot use the address '" + options_.bind + "': " + gai_strerror(rc);
            stop();
            return false;
        }
        port->where = printable(found->ai_addr, found->ai_addrlen);
        loopback_ = loopback_ && isLoopback(found->ai_addr);
        int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int one = 1;
        if (fd >= 0) {
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        }
        if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
            listen(fd, kListenBacklog) != 0) {
            *error = "cannot listen on " + port->where + " for device " + std::to_string(device) +
                     ": " + std::strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            freeaddrinfo(found);
            stop();
            return false;
        }
        freeaddrinfo(found);
        port->listener = fd;
        ports_.push_back(std::move(port));
    }
    for (auto& p : ports_) {
        threads_.emplace_back([this, port = p.get()] { serve(*port); });
    }
    return true;
}

void BoardServer::stop() {
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
    for (auto& t : threads_) {
        t.join();
    }
    threads_.clear();
    for (auto& p : ports_) {
        if (p->listener >= 0) {
            close(p->listener);
        }
    }
    ports_.clear();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
}

namespace {

// Sends every byte within the time; false when the client does not take them.
bool sendWithin(romtide::Clock& clock, int fd, const uint8_t* data, size_t n, int limitMs) {
    const int64_t deadline = clock.nowMs() + limitMs;
    size_t done = 0;
    while (done < n) {
        ssize_t sent = send(fd, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        const int64_t left = deadline - clock.nowMs();
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && left > 0) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

void BoardServer::dropClient(Port& port, const std::string& why) {
    log_(port.name + port.peer + " " + why);
    close(port.client);
    port.client = -1;
    port.greeted = false;
    port.answerHave = 0;
    port.deadlineMs = kNoDeadline;
    port.reader.next();
    if (port.session.configured()) {
        log_(port.name + "the board is reset for the next client");
    }
    port.session.end();
}

void BoardServer::readPending(Port& port) {
    // A bounded number of requests: a client that keeps sending is still there, and the
    // next one is refused as it would be without this look.
    constexpr int kMostRequests = 64;
    for (int i = 0; i < kMostRequests && port.client >= 0; ++i) {
        pollfd p{port.client, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) {
            return;
        }
        readClient(port);
    }
}

void BoardServer::acceptClient(Port& port) {
    int fd = accept4(port.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays in the listen queue; it is taken once descriptors are
            // free again.
            ++acceptFailures_;
            port.acceptPausedUntilMs = clock_.nowMs() + kAcceptBackoffMs;
        }
        return;
    }
    // The client we have may have sent its last request and left at the same moment the
    // new one came: what it sent is read first, so that its leaving frees the board.
    readPending(port);
    if (port.client >= 0) {
        const std::string refusal = std::string(1, static_cast<char>(remote::kBoardInUse)) +
                                    "nubox-board-server: device " + std::to_string(port.device) +
                                    " is in use by another client\n";
        send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        log_(port.name + "refused " + peerOf(fd) + ": the board is in use by " + port.peer);
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    port.client = fd;
    port.peer = peerOf(fd);
    port.challenge = newChallenge();
    uint8_t greeting[remote::kGreetingSize] = {remote::kHello};
    remote::putLe(greeting + 1, port.challenge, 8);
    port.deadlineMs = clock_.nowMs() + options_.greetingLimitMs;
    if (!sendWithin(clock_, fd, greeting, sizeof greeting, options_.greetingLimitMs)) {
        dropClient(port, "did not take the greeting; connection closed");
    }
}

void BoardServer::readClient(Port& port) {
    std::array<uint8_t, remote::kMaxRequestSize> buffer;
    const size_t want = port.greeted ? port.reader.wanted() : port.answer.size() - port.answerHave;
    ssize_t n = recv(port.client, buffer.data(), want, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        dropClient(port, port.greeted ? "left" : "left before answering the greeting");
        return;
    }
    if (!port.greeted) {
        std::memcpy(port.answer.data() + port.answerHave, buffer.data(), static_cast<size_t>(n));
        port.answerHave += static_cast<size_t>(n);
        if (port.answerHave < port.answer.size()) {
            return;
        }
        if (remote::getLe(port.answer.data(), 8) != remote::greetingAnswer(port.challenge)) {
            dropClient(port, "answered the greeting wrongly; connection closed");
            return;
        }
        port.greeted = true;
        port.deadlineMs = kNoDeadline;
        log_(port.name + port.peer + " connected");
        return;
    }
    port.reader.take(buffer.data(), static_cast<size_t>(n));
    switch (port.reader.state()) {
        case RequestReader::State::Invalid:
            dropClient(port, invalidRequest(port.reader.request()) + "; connection closed");
            return;
        case RequestReader::State::Reading:
            // The rest of a request that has begun must follow within the limit.
            if (port.deadlineMs == kNoDeadline) {
                port.deadlineMs = clock_.nowMs() + options_.requestLimitMs;
            }
            return;
        case RequestReader::State::Complete:
            break;
    }
    std::vector<uint8_t> reply = port.session.handle(port.reader.request(), port.reader.size());
    port.reader.next();
    port.deadlineMs = kNoDeadline;
    if (!sendWithin(clock_, port.client, reply.data(), reply.size(), options_.requestLimitMs)) {
        dropClient(port, "did not take its reply; connection closed");
        return;
    }
    port.session.afterReply();
}

void BoardServer::serve(Port& port) {
    for (;;) {
        // While taking connections fails, the listener is left out of the poll (poll
        // skips a negative descriptor) until the pause ends.
        const int64_t now = clock_.nowMs();
        const bool paused = now < port.acceptPausedUntilMs;
        pollfd fds[3] = {{wakeFd_, POLLIN, 0},
                         {paused ? -1 : port.listener, POLLIN, 0},
                         {port.client, POLLIN, 0}};
        int64_t wake = port.deadlineMs;
        if (paused && (wake == kNoDeadline || port.acceptPausedUntilMs < wake)) {
            wake = port.acceptPausedUntilMs;
        }
        int timeout = -1;
        if (wake != kNoDeadline) {
            timeout = static_cast<int>(std::clamp<int64_t>(wake - now, 0, INT_MAX));
        }
        int r = poll(fds, port.client >= 0 ? 3 : 2, timeout);
        if (r < 0 && errno != EINTR) {
            log_(port.name + "cannot wait for clients: " + std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            break;
        }
        // A client that left is seen before a new one is taken, so the next client finds
        // the board free even when both arrive together.
        if (port.client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            readClient(port);
        }
        if (fds[1].revents & POLLIN) {
            acceptClient(port);
        }
        if (port.client >= 0 && port.deadlineMs != kNoDeadline &&
            clock_.nowMs() >= port.deadlineMs) {
            dropClient(port, port.greeted
                                 ? "left a request unfinished; connection closed"
                                 : "did not answer the greeting in time; connection closed");
        }
    }
    if (port.client >= 0) {
        dropClient(port, "disconnected: the server ends");
    }
}

}  // namespace board_server
