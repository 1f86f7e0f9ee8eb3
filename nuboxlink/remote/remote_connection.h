// One connection to a board server, as the remote board's worker thread speaks it: the
// connection and the greeting, then requests, each followed by its reply. Used by one
// thread at a time; only interrupt() may come from another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

class RemoteConnection {
  public:
    enum class Opened { Ok, Failed, TimedOut };

    // The transfer status of a request that got no complete reply.
    static constexpr uint8_t kTransferFailed = 2;

    struct Reply {
        bool complete = false;             // every byte of the reply arrived
        uint8_t status = kTransferFailed;  // the server's status byte, or failed
    };

    explicit RemoteConnection(romtide::Clock& clock) : clock_(clock) {}
    RemoteConnection(const RemoteConnection&) = delete;
    RemoteConnection& operator=(const RemoteConnection&) = delete;

    // Connects to `host` at `port` and answers the greeting, all within `limitMs`.
    Opened open(Platform& platform, const std::string& host, uint16_t port, int limitMs);
    // Answers the greeting on a connection made elsewhere, by `deadlineMs` of the clock.
    Opened greet(std::unique_ptr<StreamSocket> socket, int64_t deadlineMs);

    // Sends a request and receives its reply into `reply`: the status byte and then
    // `replySize` − 1 payload bytes, never more. A reply that arrives in pieces is
    // completed within `limitMs`. A connection that fails or ends, a reply that does not
    // come in time, and bytes nobody asked for (before the request or after its reply)
    // break the connection: the exchange fails, and every later one fails at once
    // without sending.
    Reply exchange(const uint8_t* request, size_t requestSize, uint8_t* reply, size_t replySize,
                   int limitMs);

    bool broken() const { return broken_; }
    // Ends the connection from another thread; an exchange in progress fails at once.
    void interrupt();
    // Closes the connection (the worker, at its end).
    void close();

  private:
    // Receives exactly `n` bytes into `dst` by the deadline; the count that arrived goes
    // to `got`.
    StreamSocket::Io receiveExactly(uint8_t* dst, size_t n, int64_t deadlineMs, size_t* got);
    int remainingMs(int64_t deadlineMs) const;
    void setSocket(std::unique_ptr<StreamSocket> socket);

    romtide::Clock& clock_;
    std::unique_ptr<StreamSocket> socket_;
    std::mutex socketMutex_;  // socket_ as interrupt() sees it
    bool interrupted_ = false;
    bool broken_ = false;
};

}  // namespace nuboxlink
