#include "nuboxlink/channel/dps_channel.h"

#include <algorithm>
#include <cstring>

#include "nuboxlink/board/device.h"
#include "nuboxlink/channel/pb2m_channel.h"

namespace nuboxlink {

namespace {

// Host flag bits that tell the board of new data.
constexpr uint8_t kSignalInput = 0x20;
constexpr uint8_t kSignalCfgOrDiag = 0x40;
constexpr uint8_t kSignalComPar = 0x80;
// Board flag bits that carry events.
constexpr uint8_t kEventBits = 0x1F;

constexpr unsigned kRecordMax = NUBOX_DPS_DATA_MAX;
constexpr unsigned kAddressRecordMax = NUBOX_DPS_ADDRESS_RECORD_MAX;
constexpr unsigned kExtDiagMax = NUBOX_DPS_EXT_DIAG_MAX;
constexpr unsigned kDiagHead = 4;  // three diagnosis bytes and the ext-diag length
constexpr unsigned kComParBytes = 8;

// A board holds a record for the few microseconds of a copy: the lock wait first spins
// this many rounds, then waits on the clock (which also lets a board simulated on our
// time move) and gives up after the limit.
constexpr int kLockSpinRounds = 1000;
constexpr int64_t kLockPollUs = 50;
constexpr int64_t kLockTimeoutUs = int64_t{NUBOX_DPS_LOCK_TIMEOUT_MS} * 1000;

// Simple identifiers: bit 4 input, bit 5 output.
constexpr uint8_t kIdInput = 0x10;
constexpr uint8_t kIdOutput = 0x20;
constexpr uint8_t kIdWords = 0x40;
// Special identifiers: bit 7 an output length byte follows, bit 6 an input length byte.
constexpr uint8_t kSpecialOutput = 0x80;
constexpr uint8_t kSpecialInput = 0x40;
constexpr unsigned kSpecialSkipMax = 14;

unsigned specialLength(uint8_t x) {
    const unsigned n = (x & 0x3Fu) + 1;
    return (x & kIdWords) ? 2 * n : n;
}

}  // namespace

bool dpConfigLengths(const uint8_t* configuration, size_t n, DpDataLengths* lengths) {
    DpDataLengths l;
    size_t i = 0;
    while (i < n) {
        const uint8_t b = configuration[i++];
        if (b & (kIdInput | kIdOutput)) {
            unsigned len = (b & 0x0Fu) + 1;
            if (b & kIdWords) {
                len *= 2;
            }
            l.output += (b & kIdOutput) ? len : 0;
            l.input += (b & kIdInput) ? len : 0;
        } else {
            if (b & kSpecialOutput) {
                if (i >= n) {
                    return false;
                }
                l.output += specialLength(configuration[i++]);
            }
            if (b & kSpecialInput) {
                if (i >= n) {
                    return false;
                }
                l.input += specialLength(configuration[i++]);
            }
            // Manufacturer bytes are skipped, never read: those the configuration does
            // not hold end the walk.
            const unsigned skip = b & 0x0Fu;
            if (skip <= kSpecialSkipMax) {
                i += std::min<size_t>(skip, n - i);
            }
        }
        if (l.output > kRecordMax || l.input > kRecordMax) {
            return false;
        }
    }
    *lengths = l;
    return true;
}

uint8_t dpsEventBits(uint8_t changed) {
    uint8_t events = 0;
    events |= (changed & 0x01) ? NUBOX_DPS_EVENT_BOARD_BIT0 : 0;
    events |= (changed & 0x02) ? NUBOX_DPS_EVENT_BOARD_BIT1 : 0;
    events |= (changed & 0x04) ? NUBOX_DPS_EVENT_BOARD_BIT2 : 0;
    events |= (changed & 0x08) ? NUBOX_DPS_EVENT_BOARD_BIT3 : 0;
    events |= (changed & 0x10) ? NUBOX_DPS_EVENT_BOARD_BIT4 : 0;
    return events;
}

// ------------------------------------------------------------------------------ DPR

CDpsIsa::CDpsIsa(CIsaDevice& board, uint8_t index) : CIsaChannel(board, index), dpr_(board.dpr()) {}

uint8_t CDpsIsa::Init(uint16_t) {
    if (!takeChannelAreas(isaBoard_, {{kDpsBlockSize, &block_}}, &hostFlag_, &boardFlag_)) {
        return 2;
    }
    flags_.bind(dpr_, hostFlag_, boardFlag_);
    // The station-address length, the two "changed" markers and the data lengths: a
    // board sees no configuration or diagnosis before the library writes one.
    for (uint32_t at :
         {kDpsAddressLength, kDpsCfgChanged, kDpsDiagChanged, kDpsOutputLength, kDpsInputLength}) {
        dpr_.put(block_ + at, 0);
    }
    lengths_ = {};
    initialised_ = true;
    return 0;
}

void CDpsIsa::Descriptor(uint16_t, uint8_t out[3]) {
    out[0] = NUBOX_CHANNEL_DPS;
    out[1] = 0;
    out[2] = 0;
}

bool dpsLockRecord(Dpr& dpr, uint32_t lock, romtide::Clock& clock) {
    // The claim must be in memory before the board's byte is read, or both sides can
    // read the other's old "not wanted" and enter together: every lock byte is accessed
    // sequentially consistent, as the board's half does.
    constexpr auto kOrdered = std::memory_order_seq_cst;
    dpr.put(lock, kDpsLockWanted, kOrdered);
    dpr.put(lock + 2, kDpsTurnBoard, kOrdered);
    auto boardHasIt = [&] {
        return dpr.get(lock + 1, kOrdered) == kDpsLockWanted &&
               dpr.get(lock + 2, kOrdered) == kDpsTurnBoard;
    };
    for (int i = 0; i < kLockSpinRounds; ++i) {
        if (!boardHasIt()) {
            return true;
        }
    }
    const int64_t start = clock.nowUs();
    while (boardHasIt()) {
        if (clock.nowUs() - start >= kLockTimeoutUs) {
            dpr.put(lock, 0);
            return false;
        }
        clock.sleepUs(kLockPollUs);
    }
    return true;
}

void dpsUnlockRecord(Dpr& dpr, uint32_t lock) {
    dpr.put(lock, 0);
}

template <class Access>
uint8_t CDpsIsa::withRecord(uint32_t lock, Access&& access) {
    if (!initialised_) {
        return 5;
    }
    if (!dpsLockRecord(dpr_, block_ + lock, isaBoard_.platform().clock())) {
        return 6;
    }
    access(block_);
    dpsUnlockRecord(dpr_, block_ + lock);
    return 0;
}

void CDpsIsa::signal(uint8_t bit) {
    if ((flags_.differing() & bit) == 0) {
        flags_.change(bit);
    }
}

uint8_t CDpsIsa::GetNewCommEvent(uint8_t* events) {
    if (!initialised_) {
        return 5;
    }
    const uint8_t changed = flags_.differing() & kEventBits;
    flags_.change(changed);
    *events = dpsEventBits(changed);
    return 0;
}

uint8_t CDpsIsa::ReadOutputData(uint8_t* data, uint8_t* length) {
    return withRecord(kDpsOutputLock, [&](uint32_t b) {
        const unsigned n = std::min<unsigned>(dpr_.get(b + kDpsOutputLength), lengths_.output);
        dpr_.read(b + kDpsOutputBytes, data, n);
        *length = static_cast<uint8_t>(n);
    });
}

uint8_t CDpsIsa::ReadPrmData(uint8_t* data, uint8_t* length) {
    return withRecord(kDpsPrmLock, [&](uint32_t b) {
        const unsigned n = std::min<unsigned>(dpr_.get(b + kDpsPrmLength), kRecordMax);
        dpr_.read(b + kDpsPrmBytes, data, n);
        *length = static_cast<uint8_t>(n);
    });
}

uint8_t CDpsIsa::ReadStationAddress(uint8_t* data, uint8_t* length, uint8_t* address) {
    return withRecord(kDpsAddressLock, [&](uint32_t b) {
        const unsigned n = std::min<unsigned>(dpr_.get(b + kDpsAddressLength), kAddressRecordMax);
        dpr_.read(b + kDpsAddressBytes, data, n);
        *length = static_cast<uint8_t>(n);
        *address = dpr_.get(b + kDpsStationAddress);
    });
}

uint8_t CDpsIsa::WriteInputData(const uint8_t* data) {
    return withRecord(kDpsInputLock, [&](uint32_t b) {
        const unsigned n = std::min<unsigned>(dpr_.get(b + kDpsInputLength), lengths_.input);
        if (data) {
            dpr_.write(b + kDpsInputBytes, data, n);
        } else {
            const uint8_t zeros[kRecordMax] = {};
            dpr_.write(b + kDpsInputBytes, zeros, n);
        }
        signal(kSignalInput);
    });
}

uint8_t CDpsIsa::WriteComPar(const uint8_t* parameters) {
    return withRecord(kDpsComParLock, [&](uint32_t b) {
        dpr_.write(b + kDpsComPar, parameters, kComParBytes);
        signal(kSignalComPar);
    });
}

uint8_t CDpsIsa::WriteCfgData(const uint8_t* configuration, uint8_t n) {
    DpDataLengths l;
    if (n > NUBOX_DPS_CFG_MAX || !dpConfigLengths(configuration, n, &l)) {
        return 5;
    }
    return withRecord(kDpsCfgLock, [&](uint32_t b) {
        dpr_.put(b + kDpsCfgChanged, 0xFF);
        dpr_.put(b + kDpsCfgLength, n);
        dpr_.write(b + kDpsCfgBytes, configuration, n);
        dpr_.put(b + kDpsOutputLength, static_cast<uint8_t>(l.output));
        dpr_.put(b + kDpsInputLength, static_cast<uint8_t>(l.input));
        lengths_ = l;
        signal(kSignalCfgOrDiag);
    });
}

uint8_t CDpsIsa::WriteDiagData(const uint8_t* diagnosis) {
    const uint8_t ext = diagnosis[3];
    if (ext > kExtDiagMax) {
        return 5;
    }
    return withRecord(kDpsDiagLock, [&](uint32_t b) {
        dpr_.put(b + kDpsDiagChanged, 0xFF);
        dpr_.write(b + kDpsDiagBytes, diagnosis, kDiagHead);
        dpr_.write(b + kDpsExtDiagBytes, diagnosis + kDiagHead, ext);
        signal(kSignalCfgOrDiag);
    });
}

// ------------------------------------------------------------------------------ USB

uint8_t CDpsUsb::Init(uint16_t) {
    lengths_ = {};
    return lastInitStatus_;
}

bool CDpsUsb::InitBox(const DeviceConfig&) {
    return initBoxWithoutParameter(usb_, lastInitStatus_);
}

uint8_t CDpsUsb::send(const std::vector<uint8_t>& message) {
    return usb_.transfer(message, nullptr, 0) ? 0 : 5;
}

uint8_t CDpsUsb::GetNewCommEvent(uint8_t* events) {
    uint8_t f = 0;
    if (!usb_.transfer({0xB1}, &f, 1)) {
        return 5;
    }
    *events = dpsEventBits(f & kEventBits);
    return 0;
}

uint8_t CDpsUsb::ReadOutputData(uint8_t* data, uint8_t* length) {
    const auto n = static_cast<uint8_t>(lengths_.output);
    if (!usb_.transfer({0xB2, n}, data, n)) {
        return 5;
    }
    *length = n;
    return 0;
}

uint8_t CDpsUsb::ReadPrmData(uint8_t* data, uint8_t* length) {
    std::vector<uint8_t> reply;
    if (!usb_.transferDependent(
            {0xB3}, 1, [](const uint8_t* head) -> size_t { return head[0]; }, &reply)) {
        return 5;
    }
    const unsigned n = std::min<unsigned>(reply[0], kRecordMax);
    std::memcpy(data, reply.data() + 1, n);
    *length = static_cast<uint8_t>(n);
    return 0;
}

uint8_t CDpsUsb::ReadStationAddress(uint8_t* data, uint8_t* length, uint8_t* address) {
    std::vector<uint8_t> reply;
    if (!usb_.transferDependent(
            {0xB4}, 2, [](const uint8_t* head) -> size_t { return head[0]; }, &reply)) {
        return 5;
    }
    const unsigned n = std::min<unsigned>(reply[0], kAddressRecordMax);
    std::memcpy(data, reply.data() + 2, n);
    *length = static_cast<uint8_t>(n);
    *address = reply[1];
    return 0;
}

uint8_t CDpsUsb::WriteInputData(const uint8_t* data) {
    const auto n = static_cast<uint8_t>(lengths_.input);
    std::vector<uint8_t> message = {0xB5, n};
    if (data) {
        message.insert(message.end(), data, data + n);
    } else {
        message.resize(message.size() + n, 0);
    }
    return send(message);
}

uint8_t CDpsUsb::WriteComPar(const uint8_t* parameters) {
    std::vector<uint8_t> message = {0xB6};
    message.insert(message.end(), parameters, parameters + kComParBytes);
    return send(message);
}

uint8_t CDpsUsb::WriteCfgData(const uint8_t* configuration, uint8_t n) {
    DpDataLengths l;
    if (n > NUBOX_DPS_CFG_MAX || !dpConfigLengths(configuration, n, &l)) {
        return 5;
    }
    if (send({0xB7, n, static_cast<uint8_t>(l.input), static_cast<uint8_t>(l.output)}) != 0 ||
        (n > 0 && send(std::vector<uint8_t>(configuration, configuration + n)) != 0)) {
        return 5;
    }
    lengths_ = l;
    return 0;
}

uint8_t CDpsUsb::WriteDiagData(const uint8_t* diagnosis) {
    const uint8_t ext = diagnosis[3];
    if (ext > kExtDiagMax) {
        return 5;
    }
    const auto n = static_cast<uint8_t>(ext + kDiagHead);
    std::vector<uint8_t> message = {0xB8, n};
    message.insert(message.end(), diagnosis, diagnosis + n);
    return send(message);
}

}  // namespace nuboxlink
