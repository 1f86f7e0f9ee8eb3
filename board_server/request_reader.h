// Reads requests off a client's byte stream. A request has no length field: its code
// says how long it is, and the variable ones carry a length byte (or a command block
// whose command code gives its length), so the reader asks for no more bytes than the
// request can have and never reads into the next one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "nuboxlink/remote/remote_protocol.h"

namespace board_server {

class RequestReader {
  public:
    enum class State { Reading, Complete, Invalid };

    // Bytes to read before the reader can say more; 0 when a request is complete or
    // the stream is invalid.
    size_t wanted() const { return state_ == State::Reading ? need_ - have_ : 0; }
    // Takes bytes that arrived; at most wanted() of them are used.
    void take(const uint8_t* bytes, size_t n);
    State state() const { return state_; }
    // Some bytes of a request have arrived, but not all.
    bool started() const { return state_ == State::Reading && have_ > 0; }

    // The complete request.
    const uint8_t* request() const { return bytes_.data(); }
    size_t size() const { return have_; }
    // Forgets the complete request and waits for the next one.
    void next();

  private:
    void judge();

    std::array<uint8_t, nuboxlink::remote::kMaxRequestSize> bytes_{};
    size_t have_ = 0;
    size_t need_ = 1;
    State state_ = State::Reading;
};

}  // namespace board_server
