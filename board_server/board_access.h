// What the board server does with its boards: the public calls of nuboxlink, behind an
// interface so that the server's handling of requests is tested and fuzzed without a
// board. The program forwards each to libnuboxlink.so.
#pragma once

#include <cstdint>

#include "nuboxlink/nuboxlink.h"

namespace board_server {

class BoardAccess {
  public:
    virtual ~BoardAccess() = default;
    virtual uint8_t initDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                            uint8_t* channelStatus) = 0;
    virtual uint8_t resetDevice(uint8_t device, uint32_t port) = 0;
    virtual uint8_t getDeviceInfo(uint8_t device, DeviceInfo* info) = 0;
    virtual uint8_t writeCommand(uint8_t device, uint8_t channel, const uint8_t* block) = 0;
    virtual uint8_t getReport(uint8_t device, uint8_t channel, uint8_t report[256]) = 0;
    virtual uint8_t writeOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                    uint16_t offset, uint8_t length, uint8_t station) = 0;
    virtual uint8_t readInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                  uint16_t offset, uint8_t length, uint8_t station) = 0;
    virtual uint8_t writeRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) = 0;
    virtual uint8_t readDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) = 0;
    virtual uint8_t readSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]) = 0;
    virtual uint8_t readDiagState(uint8_t device, uint8_t channel, uint8_t* out) = 0;
    virtual uint8_t stationOnline(uint8_t device, uint8_t channel, uint8_t* out) = 0;
};

}  // namespace board_server
