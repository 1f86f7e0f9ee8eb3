#include "sim/nubox/dp_master_firmware.h"

#include <algorithm>

namespace nubox_sim {

namespace {

using romtide::sim::DpDiagnosis;
using romtide::sim::DpMode;
using romtide::sim::DpSlaveParameters;
using romtide::sim::kDpHighestAddress;

constexpr size_t kReportBytes = 256;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kLengthOffset = 6;
constexpr size_t kStationOffset = 3;
constexpr size_t kStatusOffset = 1;

// Bus parameter set, offsets in the command block.
constexpr size_t kBusParaLen = 8;
constexpr size_t kFdlAddress = 10;
constexpr size_t kBaudRate = 11;
constexpr size_t kSlotTime = 12;
constexpr size_t kMinTsdr = 14;
constexpr size_t kMaxTsdr = 16;
constexpr size_t kQuietTime = 18;
constexpr size_t kSetupTime = 19;
constexpr size_t kRetryLimit = 26;
// Bus_Para_Len counts itself and at least the fields up to Data_Control_Time.
constexpr size_t kBusParaMin = 26;

// Slave parameter set: Slave_Para_Len, Sl_Flag, Slave_Type and 12 reserved bytes come
// before Prm_Data_Len; every length counts its own two bytes.
constexpr size_t kSlaveParaLen = 8;
constexpr size_t kSlaveFlag = 10;
constexpr size_t kPrmDataLen = 24;
constexpr size_t kSlaveHeadBytes = 16;
constexpr size_t kAddTabMin = 6;
constexpr uint8_t kSlaveActive = 0x80;
// The library passes this much of a slave parameter set; the mailbox's last two bytes
// are left from earlier commands.
constexpr size_t kSlaveBlockBytes = 254;

constexpr size_t kLiveListEntries = 2;
constexpr uint8_t kLiveListNotInRing = 1;

uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
    return at + 1 < b.size() ? static_cast<uint16_t>(b[at] << 8 | b[at + 1]) : 0;
}

uint16_t dataLength(const std::vector<uint8_t>& block) {
    return u16(block, kLengthOffset);
}

}  // namespace

std::optional<BusParameterSet> parseBusParameterSet(const std::vector<uint8_t>& block) {
    const size_t length = dataLength(block);
    const size_t paraLen = u16(block, kBusParaLen);
    if (paraLen < kBusParaMin || paraLen > length || kHeaderBytes + length > block.size()) {
        return std::nullopt;
    }
    BusParameterSet set;
    set.address = block[kFdlAddress];
    set.timing.baudCode = block[kBaudRate];
    set.timing.slotTime = u16(block, kSlotTime);
    set.timing.minTsdr = u16(block, kMinTsdr);
    set.timing.maxTsdr = u16(block, kMaxTsdr);
    set.timing.quietTime = block[kQuietTime];
    set.timing.setupTime = block[kSetupTime];
    set.timing.retries = block[kRetryLimit];
    if (set.address > kDpHighestAddress || romtide::sim::dpBaudRate(set.timing.baudCode) == 0 ||
        set.timing.slotTime == 0 || set.timing.minTsdr > set.timing.maxTsdr) {
        return std::nullopt;
    }
    return set;
}

SlaveParameterSet parseSlaveParameterSet(const std::vector<uint8_t>& block, uint16_t dataSize) {
    const size_t length = dataLength(block);
    const size_t paraLen = u16(block, kSlaveParaLen);
    if (length < 2 || kHeaderBytes + length > std::min(block.size(), kSlaveBlockBytes) ||
        paraLen > length) {
        return RefuseSlave{};
    }
    if (paraLen == 0) {
        return RemoveSlave{};
    }
    const size_t end = kSlaveParaLen + paraLen;
    // Walks the length-prefixed parts; each must fit inside Slave_Para_Len.
    size_t at = kPrmDataLen;
    auto part = [&](size_t minimum, size_t* partLength) {
        if (at + 2 > end) {
            return false;
        }
        *partLength = u16(block, at);
        if (*partLength < minimum || at + *partLength > end) {
            return false;
        }
        at += *partLength;
        return true;
    };
    size_t prmLen = 0, cfgLen = 0, addLen = 0, userLen = 0;
    if (paraLen < kSlaveHeadBytes || !part(2, &prmLen) || !part(2, &cfgLen) ||
        !part(kAddTabMin, &addLen) || !part(2, &userLen) || at != end) {
        return RefuseSlave{};
    }
    if (!(block[kSlaveFlag] & kSlaveActive)) {
        return RemoveSlave{};  // an inactive station takes no part in the exchange
    }
    DpSlaveParameters set;
    const size_t prmAt = kPrmDataLen + 2;
    const size_t cfgAt = kPrmDataLen + prmLen + 2;
    const size_t addAt = kPrmDataLen + prmLen + cfgLen + 2;
    set.prm.assign(block.begin() + static_cast<long>(prmAt),
                   block.begin() + static_cast<long>(prmAt + prmLen - 2));
    set.cfg.assign(block.begin() + static_cast<long>(cfgAt),
                   block.begin() + static_cast<long>(cfgAt + cfgLen - 2));
    set.inputOffset = u16(block, addAt);
    set.outputOffset = u16(block, addAt + 2);
    auto io = romtide::sim::dpConfigLength(set.cfg);
    if (!io) {
        return RefuseSlave{};
    }
    set.inputBytes = io->inputs;
    set.outputBytes = io->outputs;
    if (size_t{set.inputOffset} + static_cast<size_t>(set.inputBytes) > dataSize ||
        size_t{set.outputOffset} + static_cast<size_t>(set.outputBytes) > dataSize) {
        return RefuseSlave{};
    }
    return set;
}

DpMasterFirmware::DpMasterFirmware(SimBoard& board, romtide::sim::DpSegment& segment)
    : board_(board), master_(segment, *this) {
    board_.attachDpMaster(this);
}

DpMasterFirmware::~DpMasterFirmware() {
    board_.attachDpMaster(nullptr);
}

void DpMasterFirmware::restarted() {
    channel_ = -1;
    master_.reset();
}

void DpMasterFirmware::confirm(unsigned channel, const std::vector<uint8_t>& block, uint8_t status,
                               const std::vector<uint8_t>& data) {
    std::vector<uint8_t> report(kReportBytes, 0);
    report[0] = static_cast<uint8_t>(block[0] + kConfirmOffset);
    report[kStatusOffset] = status;
    report[kStationOffset] = block[kStationOffset];
    report[kLengthOffset] = static_cast<uint8_t>(data.size() >> 8);
    report[kLengthOffset + 1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), report.begin() + kHeaderBytes);
    board_.postReport(channel, report);
}

void DpMasterFirmware::liveList(unsigned channel) {
    std::vector<uint8_t> report(kReportBytes, 0);
    report[0] = static_cast<uint8_t>(kCmdLiveList + kConfirmOffset);
    report[1] = kLiveListNotInRing;
    if (auto list = master_.liveList()) {
        size_t at = kLiveListEntries;
        for (const auto& entry : *list) {
            report[at++] = static_cast<uint8_t>(entry.address);
            report[at++] = static_cast<uint8_t>(entry.type);
        }
        report[1] = static_cast<uint8_t>(1 + 2 * list->size());
    }
    board_.postReport(channel, report);
}

void DpMasterFirmware::command(unsigned channel, const std::vector<uint8_t>& block) {
    if (block.size() < kReportBytes - 2) {
        return;
    }
    channel_ = static_cast<int>(channel);
    const uint8_t station = block[kStationOffset];
    switch (block[0]) {
        case kCmdSetMode: {
            const uint8_t m = block[kStationOffset];
            if (m != kModeStop && m != kModeClear && m != kModeOperate) {
                confirm(channel, block, kConfirmRefused);
                return;
            }
            master_.setMode(m == kModeStop    ? DpMode::Stop
                            : m == kModeClear ? DpMode::Clear
                                              : DpMode::Operate);
            confirm(channel, block, kConfirmOk);
            return;
        }
        case kCmdBusParameters: {
            auto set = parseBusParameterSet(block);
            if (!set) {
                confirm(channel, block, kConfirmRefused);
                return;
            }
            const bool taken = master_.loadBusParameters(set->address, set->timing);
            confirm(channel, block, taken ? kConfirmOk : kConfirmWrongState);
            return;
        }
        case kCmdSlaveParameters: {
            if (station > kDpHighestAddress || station == master_.address()) {
                confirm(channel, block, kConfirmRefused);
                return;
            }
            SlaveParameterSet set = parseSlaveParameterSet(block, board_.dataSize(channel));
            if (std::holds_alternative<RefuseSlave>(set)) {
                confirm(channel, block, kConfirmRefused);
                return;
            }
            if (auto* full = std::get_if<DpSlaveParameters>(&set)) {
                master_.setSlaveParameters(station, std::move(*full));
            } else {
                master_.setSlaveParameters(station, std::nullopt);
            }
            confirm(channel, block, kConfirmOk);
            return;
        }
        case kCmdSlaveDiagnosis: {
            if (station > kDpHighestAddress) {
                confirm(channel, block, kConfirmRefused);
                return;
            }
            // The confirmation follows when the diagnosis has crossed the bus.
            std::vector<uint8_t> head(block.begin(), block.begin() + kHeaderBytes);
            const bool sent =
                master_.diagnose(station, [this, channel, head](const DpDiagnosis& d) {
                    confirm(channel, head, kConfirmOk, std::vector<uint8_t>(d.begin(), d.end()));
                });
            if (!sent) {
                confirm(channel, block, kConfirmOffline);
            }
            return;
        }
        case kCmdLiveList:
            liveList(channel);
            return;
        default:
            confirm(channel, block, kConfirmUnsupported);
            return;
    }
}

bool DpMasterFirmware::readOutputs(int station, uint16_t offset, uint8_t* dst, size_t n) {
    const int channel = channel_;
    return channel >= 0 && board_.readOutputs(static_cast<unsigned>(channel),
                                              static_cast<uint8_t>(station), offset, dst, n);
}

void DpMasterFirmware::writeInputs(int station, uint16_t offset, const uint8_t* src, size_t n) {
    const int channel = channel_;
    if (channel >= 0) {
        board_.updateInput(static_cast<unsigned>(channel), static_cast<uint8_t>(station), offset,
                           std::vector<uint8_t>(src, src + n));
    }
}

void DpMasterFirmware::setStatus(const uint8_t transferList[16], const uint8_t diagnostic[16],
                                 bool online) {
    const int channel = channel_;
    if (channel >= 0) {
        board_.setStatus(static_cast<unsigned>(channel), transferList, diagnostic, online ? 1 : 0);
    }
}

}  // namespace nubox_sim
