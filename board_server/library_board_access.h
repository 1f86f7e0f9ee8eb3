// The boards of this computer, through libnuboxlink.so's exported functions.
#pragma once

#include "board_server/board_access.h"

namespace board_server {

class LibraryBoardAccess final : public BoardAccess {
  public:
    uint8_t initDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override {
        return InitDll(configs, mask, status, channelStatus);
    }
    uint8_t resetDevice(uint8_t device, uint32_t port) override {
        return ResetDevice(device, port);
    }
    uint8_t getDeviceInfo(uint8_t device, DeviceInfo* info) override {
        return nuBOX_GetDeviceInfo(device, info);
    }
    uint8_t writeCommand(uint8_t device, uint8_t channel, const uint8_t* block) override {
        return DPEM_WriteCommand(device, channel, block);
    }
    uint8_t getReport(uint8_t device, uint8_t channel, uint8_t report[256]) override {
        return DPEM_GetReport(device, channel, report);
    }
    uint8_t writeOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override {
        return DPEM_WriteOutputData(device, channel, source, offset, length, station);
    }
    uint8_t readInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override {
        return DPEM_ReadInputData(device, channel, destination, offset, length, station);
    }
    uint8_t writeRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) override {
        return DPEM_WriteRemoteAccessFlag(device, channel, flag);
    }
    uint8_t readDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override {
        return DPEM_ReadDataTransferList(device, channel, list);
    }
    uint8_t readSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]) override {
        return DPEM_ReadSystemDiagnostic(device, channel, diag);
    }
    uint8_t readDiagState(uint8_t device, uint8_t channel, uint8_t* out) override {
        return DPEM_ReadDiagState(device, channel, out);
    }
    uint8_t stationOnline(uint8_t device, uint8_t channel, uint8_t* out) override {
        return DPEM_StationOnline(device, channel, out);
    }
};

}  // namespace board_server
