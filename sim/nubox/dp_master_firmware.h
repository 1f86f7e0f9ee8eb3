// The board firmware's DP master: it takes the command blocks of the board's first DP
// master channel, drives the master of a simulated DP segment with them and answers
// with reports in the command-block header form (byte 0 = command code + 0xC0, byte 1
// = status, byte 3 = station or mode, bytes 6-7 = data length high byte first, data
// from byte 8); the live list report carries its length byte at byte 1 instead. It is
// also the master's process image: outputs come from the channel's data area, inputs go
// there with the board's counter protocol, and the data transfer list, the system
// diagnostic and the station-online byte go to the status block.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/nubox/sim_board.h"
#include "sim/profibus/dp_master.h"

namespace nubox_sim {

// Status byte (report byte 1) of a confirmation.
inline constexpr uint8_t kConfirmOk = 0;
inline constexpr uint8_t kConfirmRefused = 1;      // a field of the block is not acceptable
inline constexpr uint8_t kConfirmWrongState = 2;   // bus parameters outside STOP
inline constexpr uint8_t kConfirmOffline = 3;      // the master is not in the token ring
inline constexpr uint8_t kConfirmUnsupported = 4;  // a command this master does not run

// Command codes.
inline constexpr uint8_t kCmdSlaveDiagnosis = 0x21;
inline constexpr uint8_t kCmdBusParameters = 0x24;
inline constexpr uint8_t kCmdSlaveParameters = 0x25;
inline constexpr uint8_t kCmdSetMode = 0x27;
inline constexpr uint8_t kCmdLiveList = 0x35;
inline constexpr uint8_t kConfirmOffset = 0xC0;

inline constexpr uint8_t kModeStop = 0x40;
inline constexpr uint8_t kModeClear = 0x80;
inline constexpr uint8_t kModeOperate = 0xC0;

// What a bus parameter set block asks for; nullopt when a field is out of range.
struct BusParameterSet {
    int address = 1;
    romtide::sim::DpTiming timing;
};
std::optional<BusParameterSet> parseBusParameterSet(const std::vector<uint8_t>& block);

// A slave parameter set block: the station's set, its removal, or a refusal (a length
// that does not add up, offsets outside a data area of `dataSize` bytes).
struct RemoveSlave {};
struct RefuseSlave {};
using SlaveParameterSet = std::variant<romtide::sim::DpSlaveParameters, RemoveSlave, RefuseSlave>;
SlaveParameterSet parseSlaveParameterSet(const std::vector<uint8_t>& block, uint16_t dataSize);

class DpMasterFirmware final : public ChannelFirmware, private romtide::sim::DpProcessImage {
  public:
    DpMasterFirmware(SimBoard& board, romtide::sim::DpSegment& segment);
    ~DpMasterFirmware() override;
    DpMasterFirmware(const DpMasterFirmware&) = delete;
    DpMasterFirmware& operator=(const DpMasterFirmware&) = delete;

    void command(unsigned channel, const std::vector<uint8_t>& block) override;
    void restarted() override;

    romtide::sim::DpMaster& master() { return master_; }

  private:
    bool readOutputs(int station, uint16_t offset, uint8_t* dst, size_t n) override;
    void writeInputs(int station, uint16_t offset, const uint8_t* src, size_t n) override;
    void setStatus(const uint8_t transferList[16], const uint8_t diagnostic[16],
                   bool online) override;
    void confirm(unsigned channel, const std::vector<uint8_t>& block, uint8_t status,
                 const std::vector<uint8_t>& data = {});
    void liveList(unsigned channel);

    SimBoard& board_;
    std::atomic<int> channel_{-1};  // the channel the master serves; -1 before its first command
    romtide::sim::DpMaster master_;
};

}  // namespace nubox_sim
