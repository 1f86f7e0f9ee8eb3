// The socketcand text protocol as both ends of a connection speak it in rawmode:
// messages "< word args... >" on a TCP stream that may split or join them anywhere.
// Shared by the client backend ("socketcand:HOST:PORT/IFNAME") and the simulated bus
// server, so both read the peer's bytes through one bounded, checked parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vci/backend.h"

namespace romtide::vci::socketcand {

// No message of the rawmode exchange comes near this; a longer one is garbage.
constexpr size_t kMaxMessageLength = 256;
constexpr uint16_t kDefaultPort = 29536;

// Cuts the byte stream into messages. Whitespace between messages is skipped; anything
// else outside "< ... >", a message longer than kMaxMessageLength or a '<' inside a
// message breaks the stream for good (the peer does not speak the protocol).
class MessageSplitter {
  public:
    // Appends the complete messages found in `bytes` (text between the brackets, trimmed).
    // False once the stream is broken; nothing is appended from then on.
    bool feed(const char* bytes, size_t count, std::vector<std::string>& messages);
    bool broken() const { return broken_; }
    const std::string& error() const { return error_; }
    // Bytes of an unfinished message held now (never above kMaxMessageLength).
    size_t pending() const { return partial_.size(); }

  private:
    bool fail(std::string why);

    bool inMessage_ = false;
    bool broken_ = false;
    std::string partial_;
    std::string error_;
};

// The message split at spaces: "frame 123 1.5 11" -> {"frame", "123", "1.5", "11"}.
std::vector<std::string_view> words(std::string_view message);

// "frame ID SECONDS.MICROS [HEXDATA]" (what the server sends in rawmode). Extended
// identifiers (8 hex digits or above 0x7FF) yield an error: this tool speaks 11-bit only.
struct ReceivedFrame {
    CanFrame frame;
    int64_t timeUs = 0;
};
std::optional<ReceivedFrame> parseFrame(std::string_view message, std::string* error);

// "send ID LEN B0 ... " (what a client sends in rawmode); LEN 0..8 and as many bytes.
std::optional<CanFrame> parseSend(std::string_view message, std::string* error);

// The lines each end writes, brackets and spaces as the protocol has them.
std::string formatSend(const CanFrame& frame);
std::string formatFrame(const CanFrame& frame, int64_t timeUs);

// "socketcand:HOST:PORT/IFNAME" after the scheme: HOST:PORT/IFNAME; the port may be left
// out (HOST/IFNAME) for the protocol's usual one.
struct Endpoint {
    std::string host;
    uint16_t port = kDefaultPort;
    std::string interface;
};
std::optional<Endpoint> parseEndpoint(const std::string& rest);

}  // namespace romtide::vci::socketcand
