#include "sim/nubox/sim_usb_families.h"

#include <algorithm>

#include "sim/nubox/sim_families.h"

namespace nubox_sim {

namespace {

constexpr uint8_t kInit = 0xB0;
constexpr size_t kBoxQueue = 32;  // a box with this many answers waiting takes no command
constexpr size_t kPb2mHeader = 6, kPb2mData = 260;
constexpr size_t kPb2mMessage = 2 + kPb2mHeader + kPb2mData;

// Load records of each family's image, as delivered.
struct ImageSize {
    size_t records;
    uint8_t family;
};
constexpr ImageSize kImages[] = {{148, 19}, {131, 1}, {127, 5}, {123, 18}, {124, 15}};

std::vector<uint8_t> echo(const uint8_t* command, size_t n) {
    std::vector<uint8_t> report(command, command + n);
    report.resize(kSimMailbox);
    report[0] = static_cast<uint8_t>(report[0] + kEchoOffset);
    return report;
}

// The block form: [code][length mod 256][data]; answers 1 when taken, 0 when the box
// is busy.
bool takeBlock(const uint8_t* data, size_t n, ReportQueue& answers, std::vector<uint8_t>* reply) {
    if (n < 2 || n - 2 != (data[1] == 0 ? 256u : data[1])) {
        return false;
    }
    const bool taken = answers.size() < kBoxQueue;
    if (taken) {
        answers.push_back(echo(data + 2, n - 2));
    }
    reply->push_back(taken ? 1 : 0);
    return true;
}

// The fetch form: [code]; answers 0, or 1 and the 256-byte report.
void fetch(ReportQueue& reports, std::vector<uint8_t>* reply) {
    if (reports.empty()) {
        reply->push_back(0);
        return;
    }
    reply->push_back(1);
    std::vector<uint8_t> report = std::move(reports.front());
    reports.pop_front();
    report.resize(kSimMailbox);
    reply->insert(reply->end(), report.begin(), report.end());
}

}  // namespace

uint8_t familyOfImage(size_t records) {
    for (const ImageSize& i : kImages) {
        if (i.records == records) {
            return i.family;
        }
    }
    return 0;
}

std::unique_ptr<SimUsbFamily> makeSimUsbFamily(uint8_t family) {
    switch (family) {
        case 1:
            return std::make_unique<SimUsbDps>();
        case 5:
            return std::make_unique<SimUsbFms>();
        case 15:
            return std::make_unique<SimUsbPb2m>();
        case 18:
            return std::make_unique<SimUsbList>();
        default:
            return nullptr;
    }
}

bool SimUsbFamily::write(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(data, data + n);
    if (data[0] == kInit && n == 3) {
        ++initRequests_;
        initParameter_ = static_cast<uint16_t>(data[1] << 8 | data[2]);
        reply->push_back(0);
        return true;
    }
    return writeLocked(data, n, reply);
}

bool SimUsbFamily::reportWaiting() {
    std::lock_guard lock(mutex_);
    return reportWaitingLocked();
}

unsigned SimUsbFamily::initRequests() {
    std::lock_guard lock(mutex_);
    return initRequests_;
}

uint16_t SimUsbFamily::initParameter() {
    std::lock_guard lock(mutex_);
    return initParameter_;
}

std::vector<std::vector<uint8_t>> SimUsbFamily::messages() {
    std::lock_guard lock(mutex_);
    return messages_;
}

// ------------------------------------------------------------------------------ list

bool SimUsbList::writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) {
    switch (data[0]) {
        case 0xB1:
            return takeBlock(data, n, reports_, reply);
        case 0xB2:
            fetch(reports_, reply);
            return true;
        case 0xB3:  // arm code
            return n == 1;
        case 0xB4: {
            if (n != 4) {
                return false;
            }
            const uint16_t offset = static_cast<uint16_t>(data[2] << 8 | data[3]);
            auto it = entries_.find({data[1], offset});
            if (it == entries_.end()) {
                reply->insert(reply->end(), 5, 0);
            } else {
                reply->insert(reply->end(), it->second.begin(), it->second.end());
            }
            return true;
        }
        default:
            return false;
    }
}

void SimUsbList::postReport(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
}

void SimUsbList::setEntry(uint8_t station, uint16_t offset, const uint8_t value[4],
                          const std::vector<uint8_t>& data) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> entry(value, value + 4);
    entry.push_back(static_cast<uint8_t>(data.size()));
    entry.insert(entry.end(), data.begin(), data.end());
    entries_[{station, offset}] = entry;
}

// ------------------------------------------------------------------------------- FMS

bool SimUsbFms::writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) {
    switch (data[0]) {
        case 0xB1:
            return takeBlock(data, n, reports_, reply);
        case 0xB2:
            return takeBlock(data, n, fma7Reports_, reply);
        case 0xB3:
            fetch(reports_, reply);
            return true;
        case 0xB4:
            fetch(fma7Reports_, reply);
            return true;
        case 0xB5:  // arm code
            return n == 1;
        default:
            return false;
    }
}

void SimUsbFms::postReport(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
}

// ------------------------------------------------------------------------------ PB2M

bool SimUsbPb2m::writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) {
    switch (data[0]) {
        case 0xB1: {
            if (n != kPb2mMessage || data[1] != static_cast<uint8_t>((n - 64) % 256)) {
                return false;
            }
            const bool taken = reports_.size() < kBoxQueue;
            if (taken) {
                std::vector<uint8_t> report(data + 2, data + n);
                report[1] = static_cast<uint8_t>(report[1] + kEchoOffset);
                reports_.push_back(std::move(report));
            }
            reply->push_back(taken ? 1 : 0);
            return true;
        }
        case 0xB2:
            if (reports_.empty()) {
                reply->push_back(0);
            } else {
                reply->push_back(1);
                reply->insert(reply->end(), reports_.front().begin(), reports_.front().end());
                reply->insert(reply->end(), 2, 0);  // two bytes the box adds
                reports_.pop_front();
            }
            return true;
        case 0xB3:  // arm code
            return n == 1;
        case 0xB4:
            reports_.clear();
            ++resets_;
            reply->push_back(0);
            return true;
        default:
            return false;
    }
}

void SimUsbPb2m::postReport(uint8_t code, const std::vector<uint8_t>& data) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> report = {0, code, 0, 0, 0, 0};
    report.insert(report.end(), data.begin(), data.end());
    report.resize(kPb2mHeader + kPb2mData);
    reports_.push_back(std::move(report));
}

unsigned SimUsbPb2m::resets() {
    std::lock_guard lock(mutex_);
    return resets_;
}

// -------------------------------------------------------------------------- DP slave

bool SimUsbDps::writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) {
    if (configurationToCome_ > 0) {
        // The configuration bytes follow their request as a message of their own.
        if (n != configurationToCome_) {
            return false;
        }
        configuration_.assign(data, data + n);
        configurationToCome_ = 0;
        return true;
    }
    switch (data[0]) {
        case 0xB1:
            reply->push_back(events_);
            events_ = 0;
            return n == 1;
        case 0xB2: {
            if (n != 2) {
                return false;
            }
            std::vector<uint8_t> out = output_;
            out.resize(data[1], 0);
            reply->insert(reply->end(), out.begin(), out.end());
            return true;
        }
        case 0xB3:
            reply->push_back(static_cast<uint8_t>(parameters_.size()));
            reply->insert(reply->end(), parameters_.begin(), parameters_.end());
            return n == 1;
        case 0xB4:
            reply->push_back(static_cast<uint8_t>(addressRecord_.size()));
            reply->push_back(address_);
            reply->insert(reply->end(), addressRecord_.begin(), addressRecord_.end());
            return n == 1;
        case 0xB5:
            if (n < 2 || n - 2 != data[1]) {
                return false;
            }
            input_.assign(data + 2, data + n);
            return true;
        case 0xB6:
            if (n != 9) {
                return false;
            }
            comPar_.assign(data + 1, data + n);
            return true;
        case 0xB7:
            if (n != 4) {
                return false;
            }
            configuration_.clear();
            configurationToCome_ = data[1];
            inputLength_ = data[2];
            outputLength_ = data[3];
            return true;
        case 0xB8:
            if (n < 2 || n - 2 != data[1]) {
                return false;
            }
            diagnosis_.assign(data + 2, data + n);
            return true;
        default:
            return false;
    }
}

void SimUsbDps::setStationAddress(uint8_t address, const std::vector<uint8_t>& record) {
    std::lock_guard lock(mutex_);
    address_ = address;
    addressRecord_ = record;
    events_ |= SimDpsChannel::kEventAddress;
}

void SimUsbDps::masterWriteOutput(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    output_ = bytes;
    events_ |= SimDpsChannel::kEventOutput;
}

void SimUsbDps::masterWriteParameters(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    parameters_ = bytes;
    events_ |= SimDpsChannel::kEventParameters;
}

void SimUsbDps::raiseEvents(uint8_t bits) {
    std::lock_guard lock(mutex_);
    events_ |= bits & 0x1F;
}

std::vector<uint8_t> SimUsbDps::input() {
    std::lock_guard lock(mutex_);
    return input_;
}

std::vector<uint8_t> SimUsbDps::configuration() {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::pair<uint8_t, uint8_t> SimUsbDps::lengths() {
    std::lock_guard lock(mutex_);
    return {inputLength_, outputLength_};
}

std::vector<uint8_t> SimUsbDps::diagnosis() {
    std::lock_guard lock(mutex_);
    return diagnosis_;
}

std::vector<uint8_t> SimUsbDps::comPar() {
    std::lock_guard lock(mutex_);
    return comPar_;
}

}  // namespace nubox_sim
