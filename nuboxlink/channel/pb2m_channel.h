// The PB2M channel (type code 15): two command slots and two report slots, each a
// 6-byte header and 260 data bytes, and a reset signal.
#pragma once

#include <cstdint>

#include "nuboxlink/board/isa_channel.h"
#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/channel/dpr_channel.h"

namespace nuboxlink {

inline constexpr uint32_t kPb2mHeader = 6;
inline constexpr uint32_t kPb2mData = NUBOX_PB2M_DATA;

class CPb2mChannel : public CChannel {
  public:
    CPb2mChannel() : CChannel(NUBOX_CHANNEL_PB2M) {}
    virtual uint8_t WriteCommand(uint8_t code, const uint8_t* data) = 0;
    virtual uint8_t GetReport(uint8_t* code, uint8_t* data) = 0;
    virtual uint8_t Reset() = 0;
};

class CPb2mIsa final : public CPb2mChannel, public CIsaChannel {
  public:
    CPb2mIsa(CIsaDevice& board, uint8_t index);
    ~CPb2mIsa() override;

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(uint8_t code, const uint8_t* data) override;
    uint8_t GetReport(uint8_t* code, uint8_t* data) override;
    uint8_t Reset() override;

    // True while a report waits, without taking it.
    bool Poll() override;
    void Descriptor(uint16_t parameter, uint8_t out[3]) override;

  private:
    struct Slot {
        uint32_t header = 0, data = 0;
    };

    Dpr& dpr_;
    ChannelFlags flags_;
    Slot report1_, report2_, command1_, command2_;
    uint32_t hostFlag_ = 0, boardFlag_ = 0;
    std::atomic<bool> initialised_{false};
};

class CPb2mUsb final : public CPb2mChannel, public CUsbChannel {
  public:
    explicit CPb2mUsb(CUsbDevice& board) : CUsbChannel(board) {}

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(uint8_t code, const uint8_t* data) override;
    uint8_t GetReport(uint8_t* code, uint8_t* data) override;
    uint8_t Reset() override;

    bool InitBox(const DeviceConfig& config) override;
    uint8_t FirmwareFamily() const override { return NUBOX_CHANNEL_PB2M; }
    uint8_t ArmCode() const override { return 0xB3; }
};

// The readiness request of the boxes that answer it with channel parameter 0 (DP slave,
// PB2M): asked until the box answers status 0, which Init then reports.
bool initBoxWithoutParameter(CUsbDevice& usb, uint8_t& lastInitStatus);

}  // namespace nuboxlink
