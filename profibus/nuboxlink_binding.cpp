// The wrapper's calls bound to libnuboxlink.so: nothing but the exported functions of
// the public header, as any program would use them.
#include "profibus/dp_master_library.h"

namespace romtide {

namespace {

class ExportedLibrary final : public DpMasterLibrary {
  public:
    uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override {
        return ::InitDll(configs, mask, status, channelStatus);
    }
    uint8_t ResetDevice(uint8_t device, uint32_t port) override {
        return ::ResetDevice(device, port);
    }
    uint8_t GetDeviceInfo(uint8_t device, DeviceInfo* info) override {
        return ::nuBOX_GetDeviceInfo(device, info);
    }
    uint8_t WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) override {
        return ::DPEM_WriteCommand(device, channel, block);
    }
    uint8_t GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) override {
        return ::DPEM_GetReport(device, channel, report);
    }
    uint8_t WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override {
        return ::DPEM_WriteOutputData(device, channel, source, offset, length, station);
    }
    uint8_t ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override {
        return ::DPEM_ReadInputData(device, channel, destination, offset, length, station);
    }
    uint8_t ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override {
        return ::DPEM_ReadDataTransferList(device, channel, list);
    }
    uint8_t StationOnline(uint8_t device, uint8_t channel, uint8_t* out) override {
        return ::DPEM_StationOnline(device, channel, out);
    }
};

}  // namespace

DpMasterLibrary& nuboxlinkLibrary() {
    static ExportedLibrary library;
    return library;
}

}  // namespace romtide
