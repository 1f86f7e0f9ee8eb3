// Channel object model: a protocol part (family) joined with a transport part (board
// kind). The board owns its channels; the channel knows its board and index.
#pragma once

#include <cstdint>

#include "nuboxlink/nubox_types.h"

namespace nuboxlink {

class CDevice;
class CDeviceChannel;

class CChannel {
  public:
    explicit CChannel(uint8_t type) : type_(type) {}
    virtual ~CChannel() = default;
    uint8_t type() const { return type_; }
    // The protocol initialisation with the channel parameter: 0, or 2 when the board
    // has no room for the channel's areas.
    virtual uint8_t Init(uint16_t parameter) = 0;
    virtual CDeviceChannel& transport() = 0;

  private:
    uint8_t type_;
};

// Transport side: watching the channel for reports and calling the application back.
class CDeviceChannel {
  public:
    CDeviceChannel(CDevice& board, uint8_t index) : board_(board), index_(index) {}
    virtual ~CDeviceChannel() = default;
    virtual uint8_t StartWatch(NuboxReportCallback callback, uint32_t userValue,
                               uint16_t periodMs) = 0;
    virtual uint8_t StopWatch() = 0;
    virtual bool Poll() = 0;
    virtual void Notify();

    CDevice& board() { return board_; }
    uint8_t index() const { return index_; }

  protected:
    CDevice& board_;
    uint8_t index_;
    NuboxReportCallback callback_ = nullptr;
    uint32_t userValue_ = 0;
};

}  // namespace nuboxlink
