// The DP slave channel (type code 1): the board plays a DP slave on the bus, the library
// hands it configuration, diagnosis, communication parameters and input data and reads
// the output and parameter data a DP master sent. On a DPR board every record lies in
// one block and is shared with the board's processor under a three-byte lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/clock.h"
#include "nuboxlink/board/dpr.h"
#include "nuboxlink/board/isa_channel.h"
#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/channel/dpr_channel.h"

namespace nuboxlink {

// Output and input data lengths that a DP configuration describes.
struct DpDataLengths {
    unsigned output = 0;
    unsigned input = 0;
};

// Walks the identifiers of a DP configuration. False when a special identifier's length
// byte is missing, or when either length exceeds what a DP slave record takes
// (NUBOX_DPS_DATA_MAX). The manufacturer bytes a special identifier announces are
// skipped; where the configuration ends before them, so does the walk.
bool dpConfigLengths(const uint8_t* configuration, size_t n, DpDataLengths* lengths);

// The event bits of DPS_GetNewCommEvent for the board flag bits 0-4 that changed.
uint8_t dpsEventBits(uint8_t changedBoardBits);

class CDpsChannel : public CChannel {
  public:
    CDpsChannel() : CChannel(NUBOX_CHANNEL_DPS) {}
    virtual uint8_t GetNewCommEvent(uint8_t* events) = 0;
    virtual uint8_t ReadOutputData(uint8_t* data, uint8_t* length) = 0;
    virtual uint8_t ReadPrmData(uint8_t* data, uint8_t* length) = 0;
    virtual uint8_t ReadStationAddress(uint8_t* data, uint8_t* length, uint8_t* address) = 0;
    virtual uint8_t WriteInputData(const uint8_t* data) = 0;
    virtual uint8_t WriteComPar(const uint8_t* parameters) = 0;
    virtual uint8_t WriteCfgData(const uint8_t* configuration, uint8_t n) = 0;
    virtual uint8_t WriteDiagData(const uint8_t* diagnosis) = 0;

  protected:
    // The data lengths of the last configuration written, 0 before any: the caller
    // sized its buffers by that configuration.
    DpDataLengths lengths_;
};

// The 1494-byte block: each record's offset is that of its lock {host wants, board
// wants, turn}; the record's bytes follow the lock.
enum : uint32_t {
    kDpsStationAddress = 0,
    kDpsAddressLock = 1,
    kDpsAddressLength = 4,
    kDpsAddressBytes = 5,
    kDpsComParLock = 245,
    kDpsComPar = 248,
    kDpsCfgLock = 256,
    kDpsCfgChanged = 259,
    kDpsCfgLength = 260,
    kDpsCfgBytes = 261,
    kDpsDiagLock = 505,
    kDpsDiagChanged = 508,
    kDpsDiagBytes = 509,
    kDpsExtDiagLength = 512,
    kDpsExtDiagBytes = 513,
    kDpsOutputLock = 750,
    kDpsOutputLength = 753,
    kDpsOutputBytes = 754,
    kDpsInputLock = 998,
    kDpsInputLength = 1001,
    kDpsInputBytes = 1002,
    kDpsPrmLock = 1246,
    kDpsPrmLength = 1249,
    kDpsPrmBytes = 1250,
    kDpsBlockSize = 1494,
};
inline constexpr uint8_t kDpsLockWanted = 0xFF;
inline constexpr uint8_t kDpsTurnBoard = 1;

// The host's half of a record lock whose three bytes start at `lock` (a DPR offset):
// claims the record and leaves the turn to the board, then waits while the board wants
// it and has the turn. False when the board kept it past NUBOX_DPS_LOCK_TIMEOUT_MS on
// `clock`; the claim is then withdrawn.
bool dpsLockRecord(Dpr& dpr, uint32_t lock, romtide::Clock& clock);
void dpsUnlockRecord(Dpr& dpr, uint32_t lock);

class CDpsIsa final : public CDpsChannel, public CIsaChannel {
  public:
    CDpsIsa(CIsaDevice& board, uint8_t index);

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t GetNewCommEvent(uint8_t* events) override;
    uint8_t ReadOutputData(uint8_t* data, uint8_t* length) override;
    uint8_t ReadPrmData(uint8_t* data, uint8_t* length) override;
    uint8_t ReadStationAddress(uint8_t* data, uint8_t* length, uint8_t* address) override;
    uint8_t WriteInputData(const uint8_t* data) override;
    uint8_t WriteComPar(const uint8_t* parameters) override;
    uint8_t WriteCfgData(const uint8_t* configuration, uint8_t n) override;
    uint8_t WriteDiagData(const uint8_t* diagnosis) override;

    // A DP slave channel has no reports to watch for.
    uint8_t StartWatch(NuboxReportCallback, uint32_t, uint16_t) override { return 5; }
    uint8_t StopWatch() override { return 5; }
    bool Poll() override { return false; }
    void Descriptor(uint16_t parameter, uint8_t out[3]) override;

  private:
    // Runs `access` with the record locked: its result, or 6 when the board kept it.
    template <class Access>
    uint8_t withRecord(uint32_t lock, Access&& access);
    // Signals new data to the board unless it has not yet taken the previous signal.
    void signal(uint8_t bit);

    Dpr& dpr_;
    ChannelFlags flags_;
    uint32_t block_ = 0, hostFlag_ = 0, boardFlag_ = 0;
    bool initialised_ = false;
};

class CDpsUsb final : public CDpsChannel, public CUsbChannel {
  public:
    explicit CDpsUsb(CUsbDevice& board) : CUsbChannel(board) {}

    uint8_t Init(uint16_t parameter) override;
    CDeviceChannel& transport() override { return *this; }
    uint8_t GetNewCommEvent(uint8_t* events) override;
    uint8_t ReadOutputData(uint8_t* data, uint8_t* length) override;
    uint8_t ReadPrmData(uint8_t* data, uint8_t* length) override;
    uint8_t ReadStationAddress(uint8_t* data, uint8_t* length, uint8_t* address) override;
    uint8_t WriteInputData(const uint8_t* data) override;
    uint8_t WriteComPar(const uint8_t* parameters) override;
    uint8_t WriteCfgData(const uint8_t* configuration, uint8_t n) override;
    uint8_t WriteDiagData(const uint8_t* diagnosis) override;

    uint8_t StartWatch(NuboxReportCallback, uint32_t, uint16_t) override { return 5; }
    uint8_t StopWatch() override { return 5; }
    bool InitBox(const DeviceConfig& config) override;
    uint8_t FirmwareFamily() const override { return NUBOX_CHANNEL_DPS; }
    uint8_t ArmCode() const override { return 0; }

  private:
    uint8_t send(const std::vector<uint8_t>& message);
};

}  // namespace nuboxlink
