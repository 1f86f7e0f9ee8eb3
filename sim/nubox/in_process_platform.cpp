#include "sim/nubox/in_process_platform.h"

#include <algorithm>
#include <cstring>

#include "nuboxlink/platform/linux_platform.h"

namespace nubox_sim {

class SimHandle final : public nuboxlink::DriverHandle {
  public:
    SimHandle(InProcessPlatform& platform, SimDevice& board, std::string name)
        : platform_(platform), board_(board), name_(std::move(name)) {}
    ~SimHandle() override { platform_.release(name_); }

    bool control(uint32_t code, const uint8_t* in, size_t inLen, uint8_t* out, size_t outCapacity,
                 size_t* outLen) override {
        std::vector<uint8_t> answer;
        bool mapsDpr = false;
        bool ok = board_.control(code, in, inLen, &answer, &mapsDpr);
        size_t n = std::min(answer.size(), outCapacity);
        if (out && n) {
            std::memcpy(out, answer.data(), n);
        }
        if (outLen) {
            *outLen = n;
        }
        return ok;
    }
    bool map(uint32_t code, const uint8_t* in, size_t inLen, nuboxlink::Window* window) override {
        std::vector<uint8_t> answer;
        bool mapsDpr = false;
        auto* board = dynamic_cast<SimBoard*>(&board_);
        if (!board || !board_.control(code, in, inLen, &answer, &mapsDpr) || !mapsDpr) {
            return false;
        }
        window->base = board->dpr();
        window->size = board->dprSize();
        return true;
    }
    bool read(uint8_t* dst, size_t n, size_t* got) override {
        std::vector<uint8_t> bytes;
        bool ok = board_.read(n, &bytes);
        if (!bytes.empty()) {
            std::memcpy(dst, bytes.data(), bytes.size());
        }
        if (got) {
            *got = bytes.size();
        }
        return ok;
    }
    bool write(const uint8_t* src, size_t n) override { return board_.write(src, n); }
    bool registerEvents(uint32_t code, nuboxlink::Event* const* events, size_t count) override {
        std::vector<int> fds;
        for (size_t i = 0; i < count; ++i) {
            fds.push_back(events[i] ? events[i]->fd() : -1);
        }
        return code == 0x222044 && board_.registerEvents(fds);
    }

  private:
    InProcessPlatform& platform_;
    SimDevice& board_;
    std::string name_;
};

class SimToken final : public nuboxlink::Token {
  public:
    SimToken(InProcessPlatform& platform, std::string name)
        : platform_(platform), name_(std::move(name)) {}
    ~SimToken() override { platform_.releaseToken(name_); }

  private:
    InProcessPlatform& platform_;
    std::string name_;
};

InProcessPlatform::InProcessPlatform(bool virtualTime) : virtualTime_(virtualTime) {
    if (virtualTime_) {
        scheduleFirmware();
    }
}

InProcessPlatform::~InProcessPlatform() {
    stopFirmwareThread();
}

romtide::Clock& InProcessPlatform::clock() {
    if (romtide::Clock* c = override_.load()) {
        return *c;
    }
    if (virtualTime_) {
        return virtual_;
    }
    return steady_;
}

void InProcessPlatform::scheduleFirmware() {
    virtual_.scheduleAfterUs(1000, [this] {
        stepAll();
        scheduleFirmware();
    });
}

void InProcessPlatform::stepAll() {
    std::vector<SimDevice*> boards;
    {
        std::lock_guard lock(mutex_);
        for (auto& [name, b] : boards_) {
            boards.push_back(b.get());
        }
    }
    for (SimDevice* b : boards) {
        b->step();
    }
}

SimBoard& InProcessPlatform::addBoard(const BoardSetup& setup) {
    auto board = std::make_unique<SimBoard>(setup, clock());
    SimBoard& ref = *board;
    std::lock_guard lock(mutex_);
    boards_[deviceName(setup)] = std::move(board);
    return ref;
}

SimUsbBox& InProcessPlatform::addUsb(unsigned slot, uint16_t id) {
    BoardSetup setup;
    setup.kind = BoardKind::Usb;
    setup.index = slot;
    setup.id = id;
    auto box = std::make_unique<SimUsbBox>(setup);
    SimUsbBox& ref = *box;
    std::lock_guard lock(mutex_);
    boards_[deviceName(setup)] = std::move(box);
    return ref;
}

SimBoard* InProcessPlatform::board(const std::string& deviceName) {
    std::lock_guard lock(mutex_);
    auto it = boards_.find(deviceName);
    return it == boards_.end() ? nullptr : dynamic_cast<SimBoard*>(it->second.get());
}

std::vector<uint8_t> InProcessPlatform::firmwareImage(uint8_t family) {
    return nuboxlink::loadFirmwareFile(NUBOXLINK_FIRMWARE_SOURCE_DIR, family);
}

void InProcessPlatform::setDevice(unsigned device, const nuboxlink::RegValues& values) {
    registry_.replaceDevice(device, values);
}

std::unique_ptr<nuboxlink::DriverHandle> InProcessPlatform::openDriver(std::string_view deviceName,
                                                                       nuboxlink::OpenResult* why) {
    std::string name(deviceName);
    std::lock_guard lock(mutex_);
    ++opens_[name];
    auto it = boards_.find(name);
    if (it == boards_.end()) {
        *why = nuboxlink::OpenResult::NotFound;
        return nullptr;
    }
    if (!openNames_.insert(name).second) {
        *why = nuboxlink::OpenResult::SharingViolation;
        return nullptr;
    }
    *why = nuboxlink::OpenResult::Ok;
    return std::make_unique<SimHandle>(*this, *it->second, name);
}

void InProcessPlatform::release(const std::string& deviceName) {
    std::lock_guard lock(mutex_);
    openNames_.erase(deviceName);
}

uint8_t InProcessPlatform::claimToken(const std::string& name,
                                      std::unique_ptr<nuboxlink::Token>* token) {
    std::lock_guard lock(mutex_);
    if (!tokens_.insert(name).second) {
        return 10;
    }
    *token = std::make_unique<SimToken>(*this, name);
    return 0;
}

void InProcessPlatform::releaseToken(const std::string& name) {
    std::lock_guard lock(mutex_);
    tokens_.erase(name);
}

void InProcessPlatform::holdElsewhere(const std::string& token) {
    std::lock_guard lock(mutex_);
    tokens_.insert(token);
}

int InProcessPlatform::opens(const std::string& deviceName) {
    std::lock_guard lock(mutex_);
    return opens_[deviceName];
}

void InProcessPlatform::startFirmwareThread() {
    if (firmwareRunning_.exchange(true)) {
        return;
    }
    firmware_ = std::thread([this] {
        while (firmwareRunning_.load()) {
            stepAll();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
}

void InProcessPlatform::stopFirmwareThread() {
    if (firmwareRunning_.exchange(false)) {
        firmware_.join();
    }
}

}  // namespace nubox_sim
