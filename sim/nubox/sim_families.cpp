#include "sim/nubox/sim_families.h"

#include <algorithm>
#include <atomic>

namespace nubox_sim {

namespace {

std::vector<uint8_t> echo(std::vector<uint8_t> command) {
    if (!command.empty()) {
        command[0] = static_cast<uint8_t>(command[0] + kEchoOffset);
    }
    return command;
}

// The flag bits as the board sees them.
namespace list_bits {
constexpr uint8_t kCommand = 0x01, kReport = 0x02;
}
namespace fms_bits {
constexpr uint8_t kReportOneOlder = 0x02, kFma7Command = 0x04, kCommand2 = 0x08, kCommand1 = 0x10,
                  kFma7Report = 0x20, kReport2 = 0x40, kReport1 = 0x80;
constexpr uint8_t kHostLastWasTwo = 0x02;
}  // namespace fms_bits
namespace pb2m_bits {
constexpr uint8_t kCommand2 = 0x01, kCommand1 = 0x02, kReport2 = 0x04, kReport1 = 0x08,
                  kReportOneOlder = 0x10, kReset = 0x20;
constexpr uint8_t kHostLastWasTwo = 0x10;
}  // namespace pb2m_bits

constexpr uint32_t kPb2mHeader = 6, kPb2mData = 260;

// The DP slave block.
namespace dps {
constexpr uint32_t kStationAddress = 0, kAddressLock = 1, kAddressLength = 4, kAddressBytes = 5;
constexpr uint32_t kComParLock = 245, kComPar = 248;
constexpr uint32_t kCfgLock = 256, kCfgLength = 260, kCfgBytes = 261;
constexpr uint32_t kDiagLock = 505, kDiagBytes = 509, kExtDiagLength = 512;
constexpr uint32_t kOutputLock = 750, kOutputLength = 753, kOutputBytes = 754;
constexpr uint32_t kInputLock = 998, kInputLength = 1001, kInputBytes = 1002;
constexpr uint32_t kPrmLock = 1246, kPrmLength = 1249, kPrmBytes = 1250;
constexpr uint32_t kBlockSize = 1494, kRecordMax = 244, kAddressMax = 240, kExtDiagMax = 237;
constexpr uint8_t kWanted = 0xFF;
constexpr uint8_t kTurnHost = 0;  // the board gives way by leaving the turn to the host
constexpr uint8_t kSignalInput = 0x20, kSignalCfgOrDiag = 0x40, kSignalComPar = 0x80;
}  // namespace dps

}  // namespace

uint8_t DprView::get(uint32_t offset, std::memory_order order) const {
    return offset < size_ ? std::atomic_ref<uint8_t>(base_[offset]).load(order) : 0;
}

void DprView::put(uint32_t offset, uint8_t value, std::memory_order order) {
    if (offset < size_) {
        std::atomic_ref<uint8_t>(base_[offset]).store(value, order);
    }
}

// The claim is in memory before the host's byte is read (sequentially consistent, as
// the library's half): otherwise both sides can see the other's old byte and enter.
void dpsBoardClaim(DprView& dpr, uint32_t lock) {
    dpr.put(lock + 1, dps::kWanted, std::memory_order_seq_cst);
    dpr.put(lock + 2, dps::kTurnHost, std::memory_order_seq_cst);
}

bool dpsHostHasRecord(const DprView& dpr, uint32_t lock) {
    return dpr.get(lock, std::memory_order_seq_cst) == dps::kWanted &&
           dpr.get(lock + 2, std::memory_order_seq_cst) == dps::kTurnHost;
}

void dpsBoardRelease(DprView& dpr, uint32_t lock) {
    dpr.put(lock + 1, 0);
}

void DprView::read(uint32_t offset, uint8_t* dst, uint32_t n) const {
    for (uint32_t i = 0; i < n; ++i) {
        dst[i] = get(offset + i);
    }
}

void DprView::write(uint32_t offset, const uint8_t* src, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        put(offset + i, src[i]);
    }
}

// ------------------------------------------------------------------ SimFamilyChannel

bool SimFamilyChannel::layout(AreaCursors& areas) {
    std::lock_guard lock(mutex_);
    takeAreas(areas);
    hostFlag_ = areas.b++;
    boardFlag_ = areas.c++;
    return areas.fits();
}

void SimFamilyChannel::serve() {
    std::lock_guard lock(mutex_);
    serveLocked();
}

uint8_t SimFamilyChannel::hostFlag() const {
    return dpr_.get(hostFlag_);
}

uint8_t SimFamilyChannel::boardFlag() const {
    return dpr_.get(boardFlag_);
}

void SimFamilyChannel::toggleBoard(uint8_t bits) {
    dpr_.put(boardFlag_, static_cast<uint8_t>(boardFlag() ^ bits));
}

void SimFamilyChannel::setBoard(uint8_t bits, bool on) {
    const uint8_t v = boardFlag();
    dpr_.put(boardFlag_, static_cast<uint8_t>(on ? v | bits : v & ~bits));
}

std::shared_ptr<SimFamilyChannel> makeSimFamilyChannel(uint8_t type, uint16_t parameter,
                                                       DprView dpr, uint8_t index,
                                                       romtide::Clock& clock) {
    switch (type) {
        case 1:
            return std::make_shared<SimDpsChannel>(dpr, index, clock);
        case 5:
            return std::make_shared<SimFmsChannel>(dpr, index, clock);
        case 15:
            return std::make_shared<SimPb2mChannel>(dpr, index, clock);
        case 18:
            return std::make_shared<SimListChannel>(dpr, index, clock, parameter);
        default:
            return nullptr;
    }
}

// ------------------------------------------------------------------------------ list

void SimListChannel::takeAreas(AreaCursors& areas) {
    data_ = areas.takeA(dataSize_);
    status_ = areas.takeA(2);
    reportBox_ = areas.takeA(kSimMailbox);
    commandBox_ = areas.takeA(kSimMailbox);
}

void SimListChannel::serveLocked() {
    using namespace list_bits;
    if (pending() & kCommand) {
        std::vector<uint8_t> command(kSimMailbox);
        dpr_.read(commandBox_, command.data(), kSimMailbox);
        toggleBoard(kCommand);
        commands_.push_back(command);
        reports_.push_back(echo(command));
    }
    if (!reports_.empty() && (pending() & kReport) == 0) {
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        report.resize(kSimMailbox);
        dpr_.write(reportBox_, report.data(), kSimMailbox);
        toggleBoard(kReport);
    }
}

void SimListChannel::postReport(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
}

std::vector<std::vector<uint8_t>> SimListChannel::takenCommands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

void SimListChannel::beginUpdate(uint8_t entry) {
    std::lock_guard lock(mutex_);
    dpr_.put(status_, static_cast<uint8_t>(dpr_.get(status_) + 1));
    dpr_.put(status_ + 1, entry);
}

void SimListChannel::finishUpdate() {
    std::lock_guard lock(mutex_);
    dpr_.put(status_, static_cast<uint8_t>(dpr_.get(status_) + 1));
}

void SimListChannel::writeData(uint16_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    if (offset + bytes.size() <= dataSize_) {
        dpr_.write(data_ + offset, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
}

void SimListChannel::setEntry(uint16_t offset, uint32_t value, const std::vector<uint8_t>& bytes,
                              uint8_t entry) {
    std::vector<uint8_t> record = {static_cast<uint8_t>(value >> 24),
                                   static_cast<uint8_t>(value >> 16),
                                   static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value),
                                   static_cast<uint8_t>(bytes.size())};
    record.insert(record.end(), bytes.begin(), bytes.end());
    beginUpdate(entry);
    writeData(offset, record);
    finishUpdate();
}

// ------------------------------------------------------------------------------- FMS

void SimFmsChannel::takeAreas(AreaCursors& areas) {
    for (uint32_t* box :
         {&report1_, &report2_, &fma7Report_, &command1_, &command2_, &fma7Command_}) {
        *box = areas.takeA(kSimMailbox);
    }
}

void SimFmsChannel::takeCommand(int mailbox) {
    using namespace fms_bits;
    std::vector<uint8_t> command(kSimMailbox);
    const uint32_t box = mailbox == 1 ? command1_ : mailbox == 2 ? command2_ : fma7Command_;
    dpr_.read(box, command.data(), kSimMailbox);
    toggleBoard(mailbox == 1 ? kCommand1 : mailbox == 2 ? kCommand2 : kFma7Command);
    commands_.push_back({mailbox, command});
    (mailbox == 0 ? fma7Reports_ : reports_).push_back(echo(command));
}

void SimFmsChannel::serveLocked() {
    using namespace fms_bits;
    // Host bit 1 names the command mailbox filled last.
    takeCommandPair(kCommand1, kCommand2, hostFlag() & kHostLastWasTwo,
                    [this](int box) { takeCommand(box); });
    if (pending() & kFma7Command) {
        takeCommand(0);
    }
    while (!reports_.empty() && placeInPair(kReport1, kReport2, kReportOneOlder, [this](int box) {
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        report.resize(kSimMailbox);
        dpr_.write(box == 1 ? report1_ : report2_, report.data(), kSimMailbox);
    })) {
    }
    if (!fma7Reports_.empty() && (pending() & kFma7Report) == 0) {
        std::vector<uint8_t> report = std::move(fma7Reports_.front());
        fma7Reports_.pop_front();
        report.resize(kSimMailbox);
        dpr_.write(fma7Report_, report.data(), kSimMailbox);
        toggleBoard(kFma7Report);
    }
}

void SimFmsChannel::postReport(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
}

void SimFmsChannel::postFma7Report(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    fma7Reports_.push_back(report);
}

std::vector<SimFmsChannel::Command> SimFmsChannel::takenCommands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

// ------------------------------------------------------------------------------ PB2M

void SimPb2mChannel::takeAreas(AreaCursors& areas) {
    for (Slot* s : {&report1_, &report2_, &command1_, &command2_}) {
        s->header = areas.takeA(kPb2mHeader);
        s->data = areas.takeA(kPb2mData);
    }
}

void SimPb2mChannel::takeCommand(int slot) {
    using namespace pb2m_bits;
    const Slot& s = slot == 1 ? command1_ : command2_;
    Message m{slot, std::vector<uint8_t>(kPb2mHeader), std::vector<uint8_t>(kPb2mData)};
    dpr_.read(s.header, m.header.data(), kPb2mHeader);
    dpr_.read(s.data, m.data.data(), kPb2mData);
    toggleBoard(slot == 1 ? kCommand1 : kCommand2);
    reports_.emplace_back(static_cast<uint8_t>(m.header[1] + kEchoOffset), m.data);
    commands_.push_back(std::move(m));
}

void SimPb2mChannel::serveLocked() {
    using namespace pb2m_bits;
    if (pending() & kReset) {
        // A reset drops what the firmware still had to say.
        reports_.clear();
        ++resets_;
        toggleBoard(kReset);
    }
    // Host bit 4 names the command slot filled last.
    takeCommandPair(kCommand1, kCommand2, hostFlag() & kHostLastWasTwo,
                    [this](int slot) { takeCommand(slot); });
    while (!reports_.empty() && placeInPair(kReport1, kReport2, kReportOneOlder, [this](int slot) {
        const Slot& s = slot == 1 ? report1_ : report2_;
        auto [code, data] = std::move(reports_.front());
        reports_.pop_front();
        data.resize(kPb2mData);
        const uint8_t header[kPb2mHeader] = {index_, code, 0, 0, 0, 0};
        dpr_.write(s.header, header, kPb2mHeader);
        dpr_.write(s.data, data.data(), kPb2mData);
    })) {
    }
}

void SimPb2mChannel::postReport(uint8_t code, const std::vector<uint8_t>& data) {
    std::lock_guard lock(mutex_);
    reports_.emplace_back(code, data);
}

std::vector<SimPb2mChannel::Message> SimPb2mChannel::takenCommands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

unsigned SimPb2mChannel::resets() {
    std::lock_guard lock(mutex_);
    return resets_;
}

// ------------------------------------------------------------------------- DP slave

void SimDpsChannel::takeAreas(AreaCursors& areas) {
    block_ = areas.takeA(dps::kBlockSize);
}

void SimDpsChannel::queue(uint32_t lock, std::function<void()> body, int64_t holdUntilUs) {
    actions_.push_back(Action{lock, std::move(body), holdUntilUs, false});
}

bool SimDpsChannel::boardWantsLock(uint32_t lock) const {
    return dpr_.get(block_ + lock + 1) == dps::kWanted;
}

void SimDpsChannel::runActions() {
    while (!actions_.empty()) {
        Action& a = actions_.front();
        const uint32_t l = block_ + a.lock;
        if (!a.claimed) {
            dpsBoardClaim(dpr_, l);
            a.claimed = true;
        }
        if (dpsHostHasRecord(dpr_, l)) {
            return;  // the host has the record; try again on the next pass
        }
        if (a.body) {
            a.body();
            a.body = nullptr;
        }
        if (clock_.nowUs() < a.holdUntilUs) {
            return;
        }
        dpsBoardRelease(dpr_, l);
        actions_.pop_front();
    }
}

std::vector<uint8_t> SimDpsChannel::readRecord(uint32_t lengthAt, uint32_t bytesAt,
                                               uint32_t max) const {
    std::vector<uint8_t> bytes(std::min<uint32_t>(dpr_.get(block_ + lengthAt), max));
    dpr_.read(block_ + bytesAt, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return bytes;
}

void SimDpsChannel::takeSignals() {
    // A signal is taken once the record was read under its lock: then the board makes
    // its bit equal to the host's.
    const uint8_t p = pending() & ~signalsQueued_;
    if (p & dps::kSignalInput) {
        signalsQueued_ |= dps::kSignalInput;
        queue(dps::kInputLock, [this] {
            input_ = readRecord(dps::kInputLength, dps::kInputBytes, dps::kRecordMax);
            toggleBoard(dps::kSignalInput);
            signalsQueued_ &= ~dps::kSignalInput;
            ++signalsTaken_;
        });
    }
    if (p & dps::kSignalCfgOrDiag) {
        signalsQueued_ |= dps::kSignalCfgOrDiag;
        queue(dps::kCfgLock, [this] {
            configuration_ = readRecord(dps::kCfgLength, dps::kCfgBytes, dps::kRecordMax);
        });
        queue(dps::kDiagLock, [this] {
            std::vector<uint8_t> d(4);
            dpr_.read(block_ + dps::kDiagBytes, d.data(), 4);
            std::vector<uint8_t> ext =
                readRecord(dps::kExtDiagLength, dps::kExtDiagLength + 1, dps::kExtDiagMax);
            d.insert(d.end(), ext.begin(), ext.end());
            diagnosis_ = d;
            toggleBoard(dps::kSignalCfgOrDiag);
            signalsQueued_ &= ~dps::kSignalCfgOrDiag;
            ++signalsTaken_;
        });
    }
    if (p & dps::kSignalComPar) {
        signalsQueued_ |= dps::kSignalComPar;
        queue(dps::kComParLock, [this] {
            comPar_.assign(8, 0);
            dpr_.read(block_ + dps::kComPar, comPar_.data(), 8);
            toggleBoard(dps::kSignalComPar);
            signalsQueued_ &= ~dps::kSignalComPar;
            ++signalsTaken_;
        });
    }
}

void SimDpsChannel::serveLocked() {
    takeSignals();
    runActions();
}

void SimDpsChannel::setStationAddress(uint8_t address, const std::vector<uint8_t>& record) {
    std::lock_guard lock(mutex_);
    queue(dps::kAddressLock, [this, address, record] {
        const auto n = static_cast<uint8_t>(std::min<size_t>(record.size(), dps::kAddressMax));
        dpr_.put(block_ + dps::kStationAddress, address);
        dpr_.put(block_ + dps::kAddressLength, n);
        dpr_.write(block_ + dps::kAddressBytes, record.data(), n);
        toggleBoard(kEventAddress);
    });
}

void SimDpsChannel::masterWriteOutput(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    queue(dps::kOutputLock, [this, bytes] {
        // The master sends as many bytes as the configuration gave the slave.
        const uint32_t n =
            std::min<uint32_t>({dpr_.get(block_ + dps::kOutputLength),
                                static_cast<uint32_t>(bytes.size()), dps::kRecordMax});
        dpr_.write(block_ + dps::kOutputBytes, bytes.data(), n);
        toggleBoard(kEventOutput);
    });
}

void SimDpsChannel::masterWriteParameters(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    queue(dps::kPrmLock, [this, bytes] {
        const auto n = static_cast<uint8_t>(std::min<size_t>(bytes.size(), dps::kRecordMax));
        dpr_.put(block_ + dps::kPrmLength, n);
        dpr_.write(block_ + dps::kPrmBytes, bytes.data(), n);
        toggleBoard(kEventParameters);
    });
}

void SimDpsChannel::raiseEvents(uint8_t bits) {
    std::lock_guard lock(mutex_);
    toggleBoard(bits & 0x1F);
}

void SimDpsChannel::holdLock(uint32_t lock, int64_t untilUs) {
    std::lock_guard guard(mutex_);
    queue(lock, nullptr, untilUs);
}

std::vector<uint8_t> SimDpsChannel::inputSeenByMaster() {
    std::lock_guard lock(mutex_);
    return input_;
}

std::vector<uint8_t> SimDpsChannel::configuration() {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::vector<uint8_t> SimDpsChannel::diagnosis() {
    std::lock_guard lock(mutex_);
    return diagnosis_;
}

std::vector<uint8_t> SimDpsChannel::comPar() {
    std::lock_guard lock(mutex_);
    return comPar_;
}

unsigned SimDpsChannel::signalsTaken() {
    std::lock_guard lock(mutex_);
    return signalsTaken_;
}

}  // namespace nubox_sim
