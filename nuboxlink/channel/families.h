// Which channel class a board kind makes for a channel type code.
#pragma once

#include <cstdint>
#include <memory>

#include "nuboxlink/channel/channel.h"

namespace nuboxlink {

class CIsaDevice;
class CUsbDevice;

// The channel object of that family on a DPR board, or none for an unsupported type.
std::unique_ptr<CChannel> makeIsaChannel(CIsaDevice& board, uint8_t index, uint8_t type);
// The same on a USB box, which runs channel 0 only.
std::unique_ptr<CChannel> makeUsbChannel(CUsbDevice& board, uint8_t type);

}  // namespace nuboxlink
