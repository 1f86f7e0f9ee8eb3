// Below the VCI operations: one small interface per kind of CAN interface, chosen by the
// scheme of a URI ("virtual:NAME", "socketcan:IFNAME", "socketcand:HOST:PORT/IFNAME").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace romtide::vci {

struct CanFrame {
    uint32_t id = 0;
    uint8_t length = 0;  // 0..8
    uint8_t data[8] = {};
};

// Where a backend hands the frames it received; callable from any thread.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // `stamp` in units of 100 us. Frames of one call reach the receive callback together,
    // on the calling thread, before the call returns (so on virtual time a frame that
    // fell due in a sleep has been handed on when the sleep returns).
    virtual void deliver(const CanFrame* frames, size_t count, uint32_t stamp) = 0;
    // A text for the person at the program (the message callback): what went wrong with
    // the interface and what to do about it.
    virtual void message(const std::string& text) { (void)text; }
    // A bus event that results do not show (error frame, bus-off): the exception callback.
    virtual void exception(int32_t code, const std::string& text) {
        (void)code;
        (void)text;
    }
    // A frame this backend sent, handed back when the interface carried it, in its place
    // among the received frames (a backend whose `echoesSent` is true): a record of the
    // bus then has the frames in the bus's order. Never a received frame.
    virtual void echo(const CanFrame& frame) { (void)frame; }
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Goes on the bus at `bitRate` bit/s; received frames go to `sink` until close.
    // May report why it cannot (sink.message) before it returns false.
    virtual bool open(uint32_t bitRate, FrameSink& sink) = 0;
    // After close returns, the sink is never called again.
    virtual void close() = 0;
    // False when the frame did not go out (bus-off, interface down, connection lost):
    // never blocks for longer than a short bounded wait.
    virtual bool send(const CanFrame& frame) = 0;
    // Every frame that `send` put on the bus comes back through FrameSink::echo.
    virtual bool echoesSent() const { return false; }
};

// `rest` is the URI after "scheme:". Null when the interface cannot exist.
using BackendFactory = std::function<std::unique_ptr<Backend>(const std::string& rest)>;

void registerBackend(const std::string& scheme, uint32_t boardType, BackendFactory factory);
std::unique_ptr<Backend> createBackend(const std::string& uri);

}  // namespace romtide::vci
