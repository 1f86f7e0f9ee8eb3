// The DP master channel (type code 19): command and report mailboxes, the report ring
// of a watched channel, and the process image with its counter handshakes.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "nuboxlink/board/dpr.h"
#include "nuboxlink/board/isa_channel.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/channel/dpem_commands.h"

namespace nuboxlink {

class CDpemChannel : public CChannel {
  public:
    CDpemChannel() : CChannel(NUBOX_CHANNEL_DPEM) {}
    virtual uint8_t WriteCommand(const uint8_t* block, uint16_t length) = 0;
    virtual uint8_t GetReport(uint8_t* report) = 0;
    virtual uint8_t WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                                    uint8_t station) = 0;
    virtual uint8_t ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                                  uint8_t station) = 0;
    virtual uint8_t DataExchange(DataTransferRecord* const* records) = 0;
    virtual uint8_t WriteRemoteAccessFlag(uint8_t flag) = 0;
    virtual uint8_t ReadDataTransferList(uint8_t* list) = 0;
    virtual uint8_t ReadSystemDiagnostic(uint8_t* diag) = 0;
    virtual uint8_t ReadDiagState(uint8_t* out) = 0;
    virtual uint8_t StationOnline(uint8_t* out) = 0;
};

// Layout of the 38-byte status block.
enum : uint32_t {
    kStatusTransferList = 0,
    kStatusDiagnostic = 16,
    kStatusOnline = 32,
    kStatusRemoteAccess = 33,
    kStatusInputCounter = 34,
    kStatusInputStation = 35,
    kStatusOutputCounter = 36,
    kStatusOutputStation = 37,
    kStatusBlockSize = 38,
};
inline constexpr uint32_t kMailboxSize = 256;
inline constexpr unsigned kReportRingSize = 16;
inline constexpr char kReportMailboxText[] = "Event, Event, die Software rennt!";

class CDpemIsa final : public CDpemChannel, public CIsaChannel {
  public:
    CDpemIsa(CIsaDevice& board, uint8_t index);
    ~CDpemIsa() override;

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

    uint8_t StartWatch(NuboxReportCallback callback, uint32_t userValue,
                       uint16_t periodMs) override;
    uint8_t StopWatch() override;
    bool Poll() override;
    void Notify() override {}
    void Descriptor(uint16_t parameter, uint8_t out[3]) override;

    unsigned queuedReports();
    uint32_t dataArea() const { return data_; }
    uint16_t dataSize() const { return dataSize_; }

  private:
    void notifierBody(Event& stop);
    bool reportWaiting();
    void acknowledgeReport();

    Dpr& dpr_;
    uint16_t dataSize_ = 0;
    uint32_t data_ = 0, status_ = 0, reportBox_ = 0, commandBox_ = 0;
    uint32_t hostFlag_ = 0, boardFlag_ = 0;
    uint8_t localFlags_ = 0;
    bool initialised_ = false;

    std::mutex lock_;  // the report ring and the local flag copy
    std::array<std::array<uint8_t, kMailboxSize>, kReportRingSize> ring_{};
    unsigned count_ = 0, readIndex_ = 0, writeIndex_ = 0;
    WorkerThread notifier_;
    uint16_t notifyPeriod_ = 0;
};

}  // namespace nuboxlink
