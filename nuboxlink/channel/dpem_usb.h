// The DP master channel of a USB box.
#pragma once

#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/channel/dpem_channel.h"

namespace nuboxlink {

// The box takes one data exchange message of less than this many bytes.
inline constexpr size_t kUsbExchangeLimit = 1024;

class CDpemUsb final : public CDpemChannel, public CUsbChannel {
  public:
    explicit CDpemUsb(CUsbDevice& board) : CUsbChannel(board) {}

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }

    uint8_t WriteCommand(const uint8_t* block, uint16_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                            uint8_t station) override;
    uint8_t ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                          uint8_t station) override;
    uint8_t DataExchange(DataTransferRecord* const* records) override;
    uint8_t WriteRemoteAccessFlag(uint8_t flag) override;
    uint8_t ReadDataTransferList(uint8_t* list) override;
    uint8_t ReadSystemDiagnostic(uint8_t* diag) override;
    uint8_t ReadDiagState(uint8_t* out) override;
    uint8_t StationOnline(uint8_t* out) override;

    bool InitBox(const DeviceConfig& config) override;
    uint8_t FirmwareFamily() const override { return NUBOX_CHANNEL_DPEM; }
    uint8_t ArmCode() const override { return 0xB3; }

  private:
    uint8_t readStatus(size_t offset, size_t n, uint8_t* out);
    bool inDataArea(uint16_t offset, uint8_t length) const;

    uint16_t dataSize_ = 0;
};

}  // namespace nuboxlink
