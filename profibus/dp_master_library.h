// The calls the DP master wrapper makes of the board library, one slot per exported
// function it uses. The program binds them to libnuboxlink.so's exported functions,
// reached through the public header like any other caller; tests bind them to a library
// on simulated boards and virtual time, and the command line wraps them to record a
// trace. Each slot answers the library's unsigned 8-bit result unchanged.
#pragma once

#include <cstdint>

#include "nuboxlink.h"

namespace romtide {

class DpMasterLibrary {
  public:
    virtual ~DpMasterLibrary() = default;

    // Configures the boards named by `mask` (bit n = device n); `status` gets one byte
    // per device (16). `channelStatus` may be null.
    virtual uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                            uint8_t* channelStatus) = 0;
    // Closes the board; every channel call answers 3 until InitDll runs again.
    virtual uint8_t ResetDevice(uint8_t device, uint32_t port) = 0;
    // Kind, board id, present and busy bytes; present and busy stay 0 when the board
    // cannot be examined.
    virtual uint8_t GetDeviceInfo(uint8_t device, DeviceInfo* info) = 0;
    // Passes as many bytes of `block` as the command code implies: 0 accepted (the
    // confirmation arrives later as a report), 6 the mailbox is still busy, 8 unknown code.
    virtual uint8_t WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) = 0;
    // 0: one 256-byte report copied, in the order the board produced them; 7: none yet
    // (the buffer is untouched).
    virtual uint8_t GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) = 0;
    virtual uint8_t WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                    uint16_t offset, uint8_t length, uint8_t station) = 0;
    // 0: a consistent copy of the station's input data.
    virtual uint8_t ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                  uint16_t offset, uint8_t length, uint8_t station) = 0;
    // One bit per station address (bit a % 8 of byte a / 8) while it is in data exchange.
    virtual uint8_t ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) = 0;
    // Non-zero once the master is online on the bus.
    virtual uint8_t StationOnline(uint8_t device, uint8_t channel, uint8_t* out) = 0;
};

// libnuboxlink.so's exported functions.
DpMasterLibrary& nuboxlinkLibrary();

}  // namespace romtide
