// One client's work on one board: each complete request becomes a call of the library
// for the server's local device, and its result the reply. The configuration request
// configures the local device with InitDll; the restart request resets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board_server/board_access.h"

namespace board_server {

class BoardSession {
  public:
    BoardSession(BoardAccess& board, uint8_t device) : board_(board), device_(device) {}

    // The reply to a complete request: its status byte and exactly the payload length
    // the request implies.
    std::vector<uint8_t> handle(const uint8_t* request, size_t n);
    // Work that waits until the reply has gone: the board's reset, which takes the
    // library seconds and which the client does not wait for.
    void afterReply();
    // The client is gone. A board it configured is reset, so that a DP master whose
    // client vanished does not go on driving the bus with the last outputs it got.
    void end();
    bool configured() const { return configured_; }

  private:
    BoardAccess& board_;
    uint8_t device_;
    bool configured_ = false;
    bool resetPending_ = false;
};

}  // namespace board_server
