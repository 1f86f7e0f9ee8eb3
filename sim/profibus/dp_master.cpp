#include "sim/profibus/dp_master.h"

#include <algorithm>
#include <cstring>

namespace romtide::sim {

namespace {

// The longest input or output a DP slave exchanges.
constexpr int kMaxIoBytes = 244;
// Slave services run on service access points: DSAP and SSAP travel in the data unit.
constexpr int kSapBytes = 2;
constexpr int kDiagnosisBytes = 6;

constexpr uint8_t kGeneralDirection = 0x30;
constexpr uint8_t kInputBit = 0x10;
constexpr uint8_t kOutputBit = 0x20;
constexpr uint8_t kWordUnit = 0x40;
constexpr uint8_t kLengthMask = 0x0F;
constexpr uint8_t kSpecialLengthMask = 0x3F;

int unitLength(uint8_t lengthBits, uint8_t mask, bool words) {
    return ((lengthBits & mask) + 1) * (words ? 2 : 1);
}

}  // namespace

std::optional<DpIoLength> dpConfigLength(const std::vector<uint8_t>& cfg) {
    DpIoLength len;
    size_t i = 0;
    while (i < cfg.size()) {
        const uint8_t id = cfg[i++];
        if (id & kGeneralDirection) {
            const int n = unitLength(id, kLengthMask, id & kWordUnit);
            len.inputs += id & kInputBit ? n : 0;
            len.outputs += id & kOutputBit ? n : 0;
        } else {
            // Special format: bits 6-7 say which length bytes follow (output first), bits
            // 0-3 how many manufacturer bytes come after them.
            const int follows = id >> 6;
            for (int part : {2, 1}) {
                if (!(follows & part)) {
                    continue;
                }
                if (i >= cfg.size()) {
                    return std::nullopt;
                }
                const uint8_t b = cfg[i++];
                (part == 2 ? len.outputs : len.inputs) +=
                    unitLength(b, kSpecialLengthMask, b & kWordUnit);
            }
            i += id & kLengthMask;
            if (i > cfg.size()) {
                return std::nullopt;
            }
        }
        if (len.inputs > kMaxIoBytes || len.outputs > kMaxIoBytes) {
            return std::nullopt;
        }
    }
    return len;
}

DpMaster::DpMaster(DpSegment& segment, DpProcessImage& image) : segment_(segment), image_(image) {
    std::weak_ptr<bool> alive = alive_;
    segment_.setArrivalListener([this, alive](int address) {
        if (auto a = alive.lock(); a && *a) {
            onArrival(address);
        }
    });
}

DpMaster::~DpMaster() {
    segment_.setArrivalListener(nullptr);
    std::lock_guard lock(mutex_);
    *alive_ = false;
}

void DpMaster::reset() {
    std::lock_guard lock(mutex_);
    ++epoch_;
    address_ = 1;
    timing_.reset();
    online_ = false;
    mode_ = DpMode::Stop;
    slots_ = {};
    jobs_.clear();
    current_.reset();
    busy_ = false;
    lastPolled_ = -1;
    published_.reset();
}

std::vector<std::function<void(const DpDiagnosis&)>> DpMaster::takeDiagnoses() {
    std::vector<std::function<void(const DpDiagnosis&)>> done;
    if (current_ && current_->kind == Job::Kind::Diagnose) {
        done.push_back(std::move(current_->done));
    }
    for (Job& job : jobs_) {
        if (job.kind == Job::Kind::Diagnose) {
            done.push_back(std::move(job.done));
        }
    }
    return done;
}

bool DpMaster::loadBusParameters(int ownAddress, const DpTiming& timing) {
    std::vector<std::function<void(const DpDiagnosis&)>> interrupted;
    {
        std::lock_guard lock(mutex_);
        if (dpBaudRate(timing.baudCode) == 0 || mode_ != DpMode::Stop) {
            return false;
        }
        interrupted = takeDiagnoses();
        ++epoch_;
        jobs_.clear();
        current_.reset();
        busy_ = false;
        address_ = ownAddress;
        timing_ = timing;
        online_ = false;
        publish();
        std::weak_ptr<bool> alive = alive_;
        SimScheduler& scheduler = segment_.scheduler();
        scheduler.at(scheduler.nowUs() + kOnlineDelayUs, [this, alive, epoch = epoch_] {
            if (auto a = alive.lock(); !a || !*a) {
                return;
            }
            std::lock_guard l(mutex_);
            if (epoch != epoch_) {
                return;
            }
            online_ = true;
            publish();
            kick();
        });
    }
    const DpDiagnosis absent{kDiagStationNonExistent, 0, 0, kDiagNoMaster, 0, 0};
    for (auto& done : interrupted) {
        if (done) {
            done(absent);
        }
    }
    return true;
}

void DpMaster::setMode(DpMode mode) {
    std::lock_guard lock(mutex_);
    const DpMode old = mode_;
    mode_ = mode;
    if (mode == DpMode::Stop) {
        // The master stops exchanging data; leaving STOP parameterises every slave anew.
        for (Slot& s : slots_) {
            s.state = SlotState::Idle;
        }
        std::erase_if(jobs_, [](const Job& j) { return j.kind == Job::Kind::Parameterise; });
    } else if (old == DpMode::Stop) {
        for (int a = 0; a <= kDpHighestAddress; ++a) {
            if (slots_[a].set) {
                queueParameterise(a);
            }
        }
    }
    publish();
    kick();
}

void DpMaster::setSlaveParameters(int address, std::optional<DpSlaveParameters> set) {
    if (address < 0 || address > kDpHighestAddress) {
        return;
    }
    std::lock_guard lock(mutex_);
    dropQueued(address);
    Slot& slot = slots_[address];
    slot.set = std::move(set);
    slot.state = SlotState::Idle;
    slot.lastOutputs.clear();
    if (slot.set && mode_ != DpMode::Stop) {
        queueParameterise(address);
    }
    publish();
    kick();
}

bool DpMaster::diagnose(int address, std::function<void(const DpDiagnosis&)> done) {
    std::lock_guard lock(mutex_);
    if (!online_) {
        return false;
    }
    Job job;
    job.kind = Job::Kind::Diagnose;
    job.address = address;
    job.done = std::move(done);
    jobs_.push_back(std::move(job));
    kick();
    return true;
}

std::optional<std::vector<DpLiveEntry>> DpMaster::liveList() const {
    std::lock_guard lock(mutex_);
    if (!online_) {
        return std::nullopt;
    }
    std::vector<DpLiveEntry> list{{address_, DpStationType::Master}};
    for (DpStation* s : segment_.stations()) {
        if (s->address() != address_ && s->present()) {
            list.push_back({s->address(), s->type()});
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const DpLiveEntry& a, const DpLiveEntry& b) {
        return a.address < b.address;
    });
    return list;
}

bool DpMaster::online() const {
    std::lock_guard lock(mutex_);
    return online_;
}

int DpMaster::address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

DpMode DpMaster::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

bool DpMaster::inDataExchange(int address) const {
    std::lock_guard lock(mutex_);
    return address >= 0 && address <= kDpHighestAddress &&
           slots_[address].state == SlotState::DataExchange;
}

uint64_t DpMaster::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

void DpMaster::queueParameterise(int address) {
    slots_[address].state = SlotState::Pending;
    Job job;
    job.kind = Job::Kind::Parameterise;
    job.address = address;
    jobs_.push_back(std::move(job));
}

void DpMaster::dropQueued(int address) {
    std::erase_if(jobs_, [address](const Job& j) {
        return j.kind == Job::Kind::Parameterise && j.address == address;
    });
}

void DpMaster::onArrival(int address) {
    if (address < 0 || address > kDpHighestAddress) {
        return;
    }
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[address];
    // A slave that restarted comes back unparameterised: the master parameterises it
    // again with the set it keeps.
    if (!slot.set || mode_ == DpMode::Stop || slot.state == SlotState::Pending ||
        slot.state == SlotState::Idle) {
        return;
    }
    queueParameterise(address);
    publish();
    kick();
}

void DpMaster::kick() {
    if (!busy_) {
        startNext();
    }
}

DpStation* DpMaster::presentStation(int address) const {
    if (address == address_) {
        return nullptr;
    }
    DpStation* s = segment_.station(address);
    return s && s->present() ? s : nullptr;
}

int DpMaster::nextInDataExchange() const {
    for (int i = 1; i <= kDpHighestAddress + 1; ++i) {
        const int a = (lastPolled_ + i) % (kDpHighestAddress + 1);
        if (slots_[a].state == SlotState::DataExchange) {
            return a;
        }
    }
    return -1;
}

int64_t DpMaster::diagnoseBits(int address) const {
    const DpTiming& t = *timing_;
    DpStation* s = presentStation(address);
    if (!s) {
        return dpTimeoutBits(t, kSapBytes);
    }
    DpSlave* slave = s->asSlave();
    if (!slave) {
        // Another master refuses the slave service with a short answer.
        return dpTransactionBits(t, kSapBytes, 0, 0);
    }
    return dpTransactionBits(t, kSapBytes, kSapBytes + kDiagnosisBytes, slave->minTsdr());
}

int64_t DpMaster::parameteriseBits(int address) const {
    const DpTiming& t = *timing_;
    DpStation* s = presentStation(address);
    if (!s || !s->asSlave()) {
        return diagnoseBits(address);
    }
    const DpSlaveParameters& set = *slots_[address].set;
    const int tsdr = s->asSlave()->minTsdr();
    const int64_t diagnosis = diagnoseBits(address);
    return 2 * diagnosis +
           dpTransactionBits(t, kSapBytes + static_cast<int>(set.prm.size()), 0, tsdr) +
           dpTransactionBits(t, kSapBytes + static_cast<int>(set.cfg.size()), 0, tsdr);
}

DpDiagnosis DpMaster::diagnosisOf(int address) const {
    DpStation* s = presentStation(address);
    if (!s) {
        return {kDiagStationNonExistent, 0, 0, kDiagNoMaster, 0, 0};
    }
    if (DpSlave* slave = s->asSlave()) {
        return slave->diagnosis();
    }
    return {kDiagInvalidResponse, 0, 0, kDiagNoMaster, 0, 0};
}

void DpMaster::startNext() {
    if (!online_) {
        busy_ = false;
        return;
    }
    if (!jobs_.empty()) {
        current_ = std::move(jobs_.front());
        jobs_.pop_front();
        const int a = current_->address;
        occupy(current_->kind == Job::Kind::Parameterise ? parameteriseBits(a) : diagnoseBits(a));
        return;
    }
    const int a = mode_ == DpMode::Stop ? -1 : nextInDataExchange();
    if (a < 0) {
        busy_ = false;  // nothing to do: no events until something changes
        return;
    }
    lastPolled_ = a;
    const DpSlaveParameters& set = *slots_[a].set;
    Job job;
    job.kind = Job::Kind::Exchange;
    job.address = a;
    job.outputs.assign(static_cast<size_t>(set.outputBytes), 0);
    if (mode_ == DpMode::Operate && !job.outputs.empty() &&
        !image_.readOutputs(a, set.outputOffset, job.outputs.data(), job.outputs.size())) {
        // No consistent outputs this cycle: the station gets its previous ones again.
        const std::vector<uint8_t>& last = slots_[a].lastOutputs;
        if (last.size() == job.outputs.size()) {
            job.outputs = last;
        } else {
            std::fill(job.outputs.begin(), job.outputs.end(), 0);
        }
    }
    slots_[a].lastOutputs = job.outputs;
    const DpTiming& t = *timing_;
    DpStation* s = presentStation(a);
    DpSlave* slave = s ? s->asSlave() : nullptr;
    int64_t bits;
    if (slave && slave->inDataExchange()) {
        job.answered = true;
        job.inputs = slave->inputs();
        job.inputs.resize(static_cast<size_t>(set.inputBytes));
        bits = dpCycleBits(t, set.outputBytes, set.inputBytes, slave->minTsdr());
    } else if (s) {
        bits = dpTransactionBits(t, set.outputBytes, 0, kDpSlaveMinTsdr);
    } else {
        bits = dpTimeoutBits(t, set.outputBytes);
    }
    current_ = std::move(job);
    occupy(bits);
}

void DpMaster::occupy(int64_t bits) {
    SimScheduler& scheduler = segment_.scheduler();
    if (!busy_) {
        anchorUs_ = scheduler.nowUs();
        busBits_ = 0;
    }
    busy_ = true;
    busBits_ += bits;
    const int64_t at = anchorUs_ + dpBitsToUs(busBits_, dpBaudRate(timing_->baudCode));
    std::weak_ptr<bool> alive = alive_;
    scheduler.at(at, [this, alive, epoch = epoch_] {
        if (auto a = alive.lock(); a && *a) {
            finishCurrent(epoch);
        }
    });
}

void DpMaster::finishCurrent(uint64_t epoch) {
    After after;
    {
        std::lock_guard lock(mutex_);
        if (epoch != epoch_ || !current_) {
            return;
        }
        Job job = std::move(*current_);
        current_.reset();
        switch (job.kind) {
            case Job::Kind::Exchange:
                after = finishExchange(job);
                break;
            case Job::Kind::Parameterise:
                finishParameterise(job.address);
                break;
            case Job::Kind::Diagnose:
                after = [done = std::move(job.done), d = diagnosisOf(job.address)] {
                    if (done) {
                        done(d);
                    }
                };
                break;
        }
        startNext();
    }
    if (after) {
        after();
    }
}

DpMaster::After DpMaster::finishExchange(Job& job) {
    Slot& slot = slots_[job.address];
    if (slot.state != SlotState::DataExchange || !slot.set) {
        return {};  // stopped or parameterised anew while the frames were on the wire
    }
    DpStation* s = presentStation(job.address);
    DpSlave* slave = s ? s->asSlave() : nullptr;
    if (job.answered && slave) {
        slave->receiveOutputs(job.outputs);
        image_.writeInputs(job.address, slot.set->inputOffset, job.inputs.data(),
                           job.inputs.size());
        ++exchanges_;
        return {};
    }
    // No answer as a slave in data exchange: it restarted or left the bus. One that still
    // answers is parameterised again; an absent one when it comes back.
    if (s) {
        queueParameterise(job.address);
    } else {
        slot.state = SlotState::Absent;
    }
    publish();
    return {};
}

void DpMaster::finishParameterise(int address) {
    Slot& slot = slots_[address];
    if (!slot.set || slot.state != SlotState::Pending) {
        return;
    }
    DpStation* s = presentStation(address);
    DpSlave* slave = s ? s->asSlave() : nullptr;
    if (!s) {
        slot.state = SlotState::Absent;
    } else if (!slave) {
        slot.state = SlotState::Faulted;
    } else {
        slave->setParameters(address_, slot.set->prm);
        slave->checkConfiguration(slot.set->cfg);
        slot.state = slave->inDataExchange() ? SlotState::DataExchange : SlotState::Faulted;
    }
    publish();
}

void DpMaster::publish() {
    std::array<uint8_t, 33> status{};
    for (int a = 0; a <= kDpHighestAddress; ++a) {
        const Slot& s = slots_[a];
        const uint8_t bit = static_cast<uint8_t>(1u << (a % 8));
        if (s.state == SlotState::DataExchange) {
            status[static_cast<size_t>(a / 8)] |= bit;
        } else if (s.set && mode_ != DpMode::Stop) {
            status[static_cast<size_t>(16 + a / 8)] |= bit;
        }
    }
    status[32] = online_ ? 1 : 0;
    if (published_ == status) {
        return;
    }
    published_ = status;
    image_.setStatus(status.data(), status.data() + 16, online_);
}

}  // namespace romtide::sim
