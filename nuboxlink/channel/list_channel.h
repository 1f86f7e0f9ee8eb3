// The list channel (type code 18): one command and one report mailbox, and a data area
// of entries that the board updates under its update counter.
#pragma once

#include <cstdint>

#include "nuboxlink/board/isa_channel.h"
#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/channel/dpr_channel.h"

namespace nuboxlink {

class CListChannel : public CChannel {
  public:
    CListChannel() : CChannel(NUBOX_CHANNEL_LIST) {}
    virtual uint8_t WriteCommand(const uint8_t* block, uint8_t length) = 0;
    virtual uint8_t GetReport(uint8_t* report) = 0;
    virtual uint8_t ReadInputData(ListEntry* entry, uint16_t offset, uint8_t station) = 0;
};

// Bytes of an entry before its data: the value and the length byte.
inline constexpr uint32_t kListEntryHead = 5;

class CListIsa final : public CListChannel, public CIsaChannel {
  public:
    CListIsa(CIsaDevice& board, uint8_t index);
    ~CListIsa() override;

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(const uint8_t* block, uint8_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t ReadInputData(ListEntry* entry, uint16_t offset, uint8_t station) override;

    // True while a report waits; it stays in the mailbox until the application takes it.
    bool Poll() override;
    void Descriptor(uint16_t parameter, uint8_t out[3]) override;

  private:
    Dpr& dpr_;
    ChannelFlags flags_;
    uint16_t dataSize_ = 0;
    uint32_t data_ = 0, status_ = 0, reportBox_ = 0, commandBox_ = 0;
    uint32_t hostFlag_ = 0, boardFlag_ = 0;
    std::atomic<bool> initialised_{false};
};

class CListUsb final : public CUsbChannel, public CListChannel {
  public:
    explicit CListUsb(CUsbDevice& board) : CUsbChannel(board) {}

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t WriteCommand(const uint8_t* block, uint8_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t ReadInputData(ListEntry* entry, uint16_t offset, uint8_t station) override;

    // The list box never answers the readiness request; it is initialised afterwards.
    bool InitBox(const DeviceConfig&) override { return false; }
    uint8_t FirmwareFamily() const override { return NUBOX_CHANNEL_LIST; }
    uint8_t ArmCode() const override { return 0xB3; }
};

}  // namespace nuboxlink
