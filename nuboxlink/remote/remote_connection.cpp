#include "nuboxlink/remote/remote_connection.h"

#include <algorithm>
#include <climits>

#include "nuboxlink/remote/remote_protocol.h"

namespace nuboxlink {

using Io = StreamSocket::Io;

int RemoteConnection::remainingMs(int64_t deadlineMs) const {
    const int64_t left = deadlineMs - clock_.nowMs();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

void RemoteConnection::setSocket(std::unique_ptr<StreamSocket> socket) {
    std::lock_guard lock(socketMutex_);
    socket_ = std::move(socket);
    if (socket_ && interrupted_) {
        socket_->shutdown();
    }
}

void RemoteConnection::interrupt() {
    std::lock_guard lock(socketMutex_);
    interrupted_ = true;
    if (socket_) {
        socket_->shutdown();
    }
}

void RemoteConnection::close() {
    std::lock_guard lock(socketMutex_);
    if (socket_) {
        socket_->shutdown();
        socket_.reset();
    }
    broken_ = true;
}

RemoteConnection::Opened RemoteConnection::open(Platform& platform, const std::string& host,
                                                uint16_t port, int limitMs) {
    const int64_t deadline = clock_.nowMs() + limitMs;
    Io why = Io::Failed;
    std::unique_ptr<StreamSocket> socket = platform.connectTcp(host, port, limitMs, &why);
    if (!socket) {
        broken_ = true;
        return why == Io::TimedOut ? Opened::TimedOut : Opened::Failed;
    }
    return greet(std::move(socket), deadline);
}

RemoteConnection::Opened RemoteConnection::greet(std::unique_ptr<StreamSocket> socket,
                                                 int64_t deadlineMs) {
    setSocket(std::move(socket));
    if (!socket_) {
        broken_ = true;
        return Opened::Failed;
    }
    // The greeting is read like every reply, however it is cut into pieces on the way.
    // A first byte that is not the hello (a refusal, another protocol) fails at once;
    // anything beyond the greeting before our answer is not a server we can talk to.
    uint8_t greeting[remote::kGreetingSize];
    size_t got = 0;
    Io io = receiveExactly(greeting, 1, deadlineMs, &got);
    if (io == Io::Ok && greeting[0] == remote::kHello) {
        io = receiveExactly(greeting + 1, sizeof greeting - 1, deadlineMs, &got);
    }
    if (io == Io::TimedOut) {
        close();
        return Opened::TimedOut;
    }
    if (io != Io::Ok || greeting[0] != remote::kHello || socket_->pending()) {
        close();
        return Opened::Failed;
    }
    uint8_t answer[remote::kAnswerSize];
    remote::putLe(answer, remote::greetingAnswer(remote::getLe(greeting + 1, 8)), sizeof answer);
    io = socket_->send(answer, sizeof answer, remainingMs(deadlineMs));
    if (io != Io::Ok) {
        close();
        return io == Io::TimedOut ? Opened::TimedOut : Opened::Failed;
    }
    broken_ = false;
    return Opened::Ok;
}

Io RemoteConnection::receiveExactly(uint8_t* dst, size_t n, int64_t deadlineMs, size_t* got) {
    *got = 0;
    while (*got < n) {
        size_t piece = 0;
        Io io = socket_->receive(dst + *got, n - *got, remainingMs(deadlineMs), &piece);
        if (io != Io::Ok) {
            return io;
        }
        *got += std::min(piece, n - *got);
        if (piece == 0 && remainingMs(deadlineMs) == 0) {
            return Io::TimedOut;
        }
    }
    return Io::Ok;
}

RemoteConnection::Reply RemoteConnection::exchange(const uint8_t* request, size_t requestSize,
                                                   uint8_t* reply, size_t replySize, int limitMs) {
    Reply r;
    if (broken_ || !socket_ || replySize == 0) {
        return r;
    }
    // Requests and replies alternate: a byte waiting before we ask is one the server
    // sent unasked (or the end of the stream), and every reply after it would be read
    // out of step.
    if (socket_->pending()) {
        broken_ = true;
        return r;
    }
    const int64_t deadline = clock_.nowMs() + limitMs;
    // A request sent only in part would leave the server reading the next one into it.
    if (socket_->send(request, requestSize, remainingMs(deadline)) != Io::Ok) {
        broken_ = true;
        return r;
    }
    size_t got = 0;
    // A server that leaves a request unanswered for its whole limit has stopped (its
    // computer froze, a tunnel went): every later request would wait as long again, and
    // a reply that comes late would answer the wrong request.
    if (receiveExactly(reply, replySize, deadline, &got) != Io::Ok) {
        broken_ = true;
        return r;
    }
    // Nothing may follow a reply until the next request: bytes that do mean the server
    // counts otherwise than we do, and this reply cannot be trusted either.
    if (socket_->pending()) {
        broken_ = true;
        return r;
    }
    r.complete = true;
    r.status = reply[0];
    return r;
}

}  // namespace nuboxlink
