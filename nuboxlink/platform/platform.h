// The one seam between the library and its machine. Clock, driver endpoints, ownership
// tokens, the registry, events and the periodic timer all come from a Platform, so the
// same board and channel code runs against the Linux services in the shared library and
// against in-process simulated boards on a virtual clock in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "nuboxlink/interface/registry.h"

namespace nuboxlink {

// Which board drivers the system offers. Only the later driver platform exists here;
// the others stay distinguishable so the selection rules keep their shape.
enum class Generation { Unsupported, DriverEarly, DriverLate };

enum class OpenResult { Ok, NotFound, SharingViolation, Failed };

// The dual-port RAM as mapped into this process.
struct Window {
    uint8_t* base = nullptr;
    uint32_t size = 0;
};

class Event;

// An open device object of a board driver. Requests block until the driver answers or
// the endpoint fails; a failure is an answer like any other (false).
class DriverHandle {
  public:
    virtual ~DriverHandle() = default;
    // Control request by code. `out` receives at most `outCapacity` answer bytes and
    // `outLen` their count.
    virtual bool control(uint32_t code, const uint8_t* in, size_t inLen, uint8_t* out,
                         size_t outCapacity, size_t* outLen) = 0;
    // A map request: the driver answers with the board's memory, which stays mapped
    // until the handle closes. `out` takes the request's plain answer bytes.
    virtual bool map(uint32_t code, const uint8_t* in, size_t inLen, Window* window) = 0;
    virtual bool read(uint8_t* dst, size_t n, size_t* got) = 0;
    virtual bool write(const uint8_t* src, size_t n) = 0;
    // A control request whose input is the library's events, so the driver can signal
    // them directly (USB stop, released, notify; card removal, released).
    virtual bool registerEvents(uint32_t code, Event* const* events, size_t count) = 0;
    // False once the driver behind the handle has gone (its process ended): the board's
    // memory may still be mapped, but nothing updates it any more. Callable from any
    // thread, also while a request runs.
    virtual bool alive() const { return true; }
};

// Held while a board is claimed by this process; released when destroyed.
class Token {
  public:
    virtual ~Token() = default;
};

// Manual-reset event.
class Event {
  public:
    virtual ~Event() = default;
    virtual void set() = 0;
    virtual void reset() = 0;
    // True when signalled within the time (a negative time waits without limit).
    virtual bool wait(int timeoutMs) = 0;
    // The kernel object behind the event, for passing it to a driver; -1 when none.
    virtual int fd() const { return -1; }
};

// A TCP connection to a board server. shutdown() may be called from another thread
// while one waits in receive(), which then returns at once.
class StreamSocket {
  public:
    enum class Io { Ok, Closed, TimedOut, Failed };
    virtual ~StreamSocket() = default;
    // Sends every byte within the time.
    virtual Io send(const uint8_t* data, size_t n, int timeoutMs) = 0;
    // Waits at most `timeoutMs` for bytes and takes at most `capacity` of them; `got`
    // counts them. Closed when the peer has ended the stream.
    virtual Io receive(uint8_t* dst, size_t capacity, int timeoutMs, size_t* got) = 0;
    // True when bytes, or the end of the stream, are waiting to be read now.
    virtual bool pending() = 0;
    // Ends the connection in both directions.
    virtual void shutdown() = 0;
};

// Periodic timer for the channel watch.
class Ticker {
  public:
    virtual ~Ticker() = default;
    // Waits for the next tick; false when `stop` was signalled or the wait failed.
    virtual bool waitTick(Event& stop) = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;

    virtual romtide::Clock& clock() = 0;
    virtual Generation generation() const = 0;
    // `deviceName` without the leading "\\.\" (for example "_nuBoxPCI_Multiboard0").
    // Opens exclusively: a second opener gets SharingViolation.
    virtual std::unique_ptr<DriverHandle> openDriver(std::string_view deviceName,
                                                     OpenResult* why) = 0;
    // Claims the named token within 100 ms: 0 and the token; 10 when it is held
    // elsewhere; 2 when it cannot be created.
    virtual uint8_t claimToken(const std::string& name, std::unique_ptr<Token>* token) = 0;
    virtual RegistryStore& registry() = 0;

    // Events and timers are kernel objects on every platform we run on; the Linux ones
    // (eventfd, timerfd) serve the test platforms as well.
    virtual std::unique_ptr<Event> createEvent();
    virtual std::unique_ptr<Ticker> createTicker(unsigned periodMs);
    // The channel watch asks for real-time priority; quietly nothing without the right.
    virtual void raiseThreadPriority();
    // A TCP connection to the first address of `host` at `port`, made within the time;
    // `why` is Ok, TimedOut or Failed. Sockets are kernel objects like the events: the
    // base class makes real ones, and tests that need a scripted server replace it.
    virtual std::unique_ptr<StreamSocket> connectTcp(const std::string& host, uint16_t port,
                                                     int timeoutMs, StreamSocket::Io* why);
    // Waits for either event: 0 or 1 for the one signalled, -1 on time-out or failure.
    int waitEither(Event& a, Event& b, int timeoutMs);
    // The USB box firmware image of a channel family, as the record array delivered with
    // the library; empty when it cannot be had.
    virtual std::vector<uint8_t> firmwareImage(uint8_t family) = 0;
};

}  // namespace nuboxlink
