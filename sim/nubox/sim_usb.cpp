#include "sim/nubox/sim_usb.h"

#include <unistd.h>

#include <cstring>

namespace nubox_sim {

namespace {

void signalFd(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
}

}  // namespace

SimUsbBox::SimUsbBox(const BoardSetup& setup) : spec_(setup) {}

SimUsbBox::~SimUsbBox() {
    closeEvents();
}

void SimUsbBox::closeEvents() {
    for (int* fd : {&stopFd_, &releasedFd_, &notifyFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool SimUsbBox::registerEvents(const std::vector<int>& fds) {
    std::lock_guard lock(mutex_);
    if (fds.size() != 3) {
        return false;
    }
    closeEvents();
    stopFd_ = dup(fds[0]);
    releasedFd_ = dup(fds[1]);
    notifyFd_ = dup(fds[2]);
    return stopFd_ >= 0 && releasedFd_ >= 0 && notifyFd_ >= 0;
}

bool SimUsbBox::control(uint32_t code, const uint8_t* in, size_t inLen, std::vector<uint8_t>* out,
                        bool* mapsDpr) {
    std::lock_guard lock(mutex_);
    *mapsDpr = false;
    out->clear();
    switch (code) {
        case 0x222088:
            out->push_back(static_cast<uint8_t>(spec_.id));
            out->push_back(static_cast<uint8_t>(spec_.id >> 8));
            return true;
        case 0x222044:  // without input: unregister
            if (inLen == 0) {
                closeEvents();
                return true;
            }
            return false;
        case 0x222080:  // firmware: a record array ending with a type-1 record
            if (inLen == 0 || inLen % 20 != 0 || in[inLen - 20 + 3] != 1) {
                return false;
            }
            firmware_.assign(in, in + inLen);
            family_ = makeSimUsbFamily(familyOfImage(inLen / 20));
            return true;
        case 0x222040:
            if (inLen != 5) {
                return false;
            }
            if (in[0] == 209) {
                running_ = !firmware_.empty();
                return running_;
            }
            if (in[0] == 208) {
                running_ = false;
                armed_ = false;
                return true;
            }
            return false;
        case 0x22202C:
            armed_ = true;
            notifyIfArmed();
            return true;
        default:
            return false;
    }
}

void SimUsbBox::notifyIfArmed() {
    const bool waiting = !reports_.empty() || (family_ && family_->reportWaiting());
    if (armed_ && waiting && notifyFd_ >= 0) {
        armed_ = false;
        signalFd(notifyFd_);
    }
}

bool SimUsbBox::write(const uint8_t* data, size_t n) {
    std::lock_guard lock(mutex_);
    if (n == 0 || !running_) {
        return false;
    }
    reply_.clear();
    if (family_) {
        return family_->write(data, n, &reply_);
    }
    switch (data[0]) {
        case 0xB0:  // init with the data-area size
            if (n != 3) {
                return false;
            }
            initParameter_ = static_cast<uint16_t>(data[1] << 8 | data[2]);
            reply_.push_back(0);
            return true;
        case 0xB1: {  // block form: a command
            if (n < 2 || n - 2 != (data[1] == 0 ? 256u : data[1])) {
                return false;
            }
            std::vector<uint8_t> command(data + 2, data + n);
            command.resize(256);
            const bool taken = reports_.size() < 32;
            if (taken) {
                commands_.push_back(command);
                std::vector<uint8_t> report = command;
                report[0] = static_cast<uint8_t>(command[0] + 0xC0);
                reports_.push_back(report);
                notifyIfArmed();
            }
            reply_.push_back(taken ? 1 : 0);
            return true;
        }
        case 0xB2:  // fetch form: a report
            if (reports_.empty()) {
                reply_.push_back(0);
            } else {
                reply_.push_back(1);
                reply_.insert(reply_.end(), reports_.front().begin(), reports_.front().end());
                reports_.pop_front();
            }
            return true;
        case 0xB3:  // arm code
            return true;
        case 0xB6:
            if (n != 2) {
                return false;
            }
            remoteAccess_ = data[1];
            return true;
        case 0xB9:
            reply_.push_back(diagState_);
            return true;
        case 0xBB:
            reply_.assign(status_, status_ + 33);
            return true;
        case 0xBC: {
            if (n < 5 || static_cast<size_t>(data[1] << 8 | data[2]) != n) {
                return false;
            }
            exchanges_.emplace_back(data, data + n);
            const size_t writes = data[3], reads = data[4];
            size_t at = 5 + 4 * (writes + reads);
            if (at > n) {
                return false;
            }
            for (size_t i = 0; i < writes; ++i) {
                const uint8_t* e = data + 5 + 4 * i;
                const uint16_t offset = static_cast<uint16_t>((e[0] << 8 | e[1]) - 0x800E);
                if (at + e[2] > n || offset + e[2] > memory_.size()) {
                    return false;
                }
                std::memcpy(memory_.data() + offset, data + at, e[2]);
                at += e[2];
            }
            for (size_t i = 0; i < reads; ++i) {
                const uint8_t* e = data + 5 + 4 * (writes + i);
                const uint16_t offset = static_cast<uint16_t>((e[0] << 8 | e[1]) - 0x800E);
                if (offset + e[2] > memory_.size()) {
                    return false;
                }
                reply_.insert(reply_.end(), memory_.begin() + offset,
                              memory_.begin() + offset + e[2]);
            }
            return at == n;
        }
        default:
            return false;
    }
}

bool SimUsbBox::read(size_t n, std::vector<uint8_t>* out) {
    std::lock_guard lock(mutex_);
    if (n > reply_.size()) {
        return false;
    }
    out->assign(reply_.begin(), reply_.begin() + static_cast<std::ptrdiff_t>(n));
    reply_.erase(reply_.begin(), reply_.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

void SimUsbBox::step() {
    std::lock_guard lock(mutex_);
    notifyIfArmed();
}

void SimUsbBox::postReport(const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> r = report;
    r.resize(256);
    reports_.push_back(r);
    notifyIfArmed();
}

std::vector<std::vector<uint8_t>> SimUsbBox::takenCommands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<uint8_t> SimUsbBox::memory(uint16_t offset, size_t n) {
    std::lock_guard lock(mutex_);
    return std::vector<uint8_t>(memory_.begin() + offset, memory_.begin() + offset + n);
}

void SimUsbBox::setMemory(uint16_t offset, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    std::memcpy(memory_.data() + offset, bytes.data(), bytes.size());
}

void SimUsbBox::setStatus(const uint8_t status33[33], uint8_t diagState) {
    std::lock_guard lock(mutex_);
    std::memcpy(status_, status33, 33);
    diagState_ = diagState;
}

size_t SimUsbBox::firmwareBytes() {
    std::lock_guard lock(mutex_);
    return firmware_.size();
}

bool SimUsbBox::running() {
    std::lock_guard lock(mutex_);
    return running_;
}

uint16_t SimUsbBox::initParameter() {
    std::lock_guard lock(mutex_);
    return initParameter_;
}

std::vector<std::vector<uint8_t>> SimUsbBox::exchanges() {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

void SimUsbBox::unplug() {
    std::lock_guard lock(mutex_);
    running_ = false;
    signalFd(stopFd_);
}

}  // namespace nubox_sim
