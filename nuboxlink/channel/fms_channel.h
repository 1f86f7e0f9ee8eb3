// The FMS channel (type code 5) with its FMA7 management: two FMS command mailboxes and
// two FMS report mailboxes, so the board can work on one while the library fills the
// other, and one mailbox pair for FMA7.
#pragma once

#include <cstdint>

#include "nuboxlink/board/isa_channel.h"
#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/channel/dpr_channel.h"

namespace nuboxlink {

class CFmsChannel : public CChannel {
  public:
    CFmsChannel() : CChannel(NUBOX_CHANNEL_FMS) {}
    virtual uint8_t WriteCommand(const uint8_t* block, uint8_t length) = 0;
    virtual uint8_t WriteFma7Command(const uint8_t* block, uint8_t length) = 0;
    virtual uint8_t GetReport(uint8_t* report) = 0;
    virtual uint8_t GetFma7Report(uint8_t* report) = 0;
};

class CFmsIsa final : public CFmsChannel, public CIsaChannel {
  public:
    CFmsIsa(CIsaDevice& board, uint8_t index);
    ~CFmsIsa() override;

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(const uint8_t* block, uint8_t length) override;
    uint8_t WriteFma7Command(const uint8_t* block, uint8_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t GetFma7Report(uint8_t* report) override;

    // True while an FMS or FMA7 report waits, without taking it.
    bool Poll() override;
    void Descriptor(uint16_t parameter, uint8_t out[3]) override;

  private:
    Dpr& dpr_;
    ChannelFlags flags_;
    uint32_t report1_ = 0, report2_ = 0, fma7Report_ = 0;
    uint32_t command1_ = 0, command2_ = 0, fma7Command_ = 0;
    uint32_t hostFlag_ = 0, boardFlag_ = 0;
    std::atomic<bool> initialised_{false};
};

class CFmsUsb final : public CFmsChannel, public CUsbChannel {
  public:
    explicit CFmsUsb(CUsbDevice& board) : CUsbChannel(board) {}

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(const uint8_t* block, uint8_t length) override;
    uint8_t WriteFma7Command(const uint8_t* block, uint8_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t GetFma7Report(uint8_t* report) override;

    // The FMS box never answers the readiness request; it is initialised afterwards.
    bool InitBox(const DeviceConfig&) override { return false; }
    uint8_t FirmwareFamily() const override { return NUBOX_CHANNEL_FMS; }
    uint8_t ArmCode() const override { return 0xB5; }
};

}  // namespace nuboxlink
