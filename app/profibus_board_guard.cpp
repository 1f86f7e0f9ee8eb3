#include "app/profibus_board_guard.h"

#include <algorithm>

namespace romtide {

class ProfibusBoardGuard::InCall {
  public:
    explicit InCall(ProfibusBoardGuard& guard) : guard_(guard) {
        guard_.callStartedMs_ = guard_.clock_.nowMs();
    }
    ~InCall() { guard_.callStartedMs_ = kNoCall; }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

  private:
    ProfibusBoardGuard& guard_;
};

ProfibusBoardGuard::ProfibusBoardGuard(DpMasterLibrary& inner, Clock& clock)
    : inner_(inner), clock_(clock) {}

ProfibusBoardGuard::~ProfibusBoardGuard() {
    stop_.raise();
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

void ProfibusBoardGuard::watchInterrupt(std::function<bool()> interrupted,
                                        std::function<void()> onReset) {
    watcher_ = std::thread([this, interrupted = std::move(interrupted),
                            onReset = std::move(onReset)] { watch(interrupted, onReset); });
}

void ProfibusBoardGuard::watch(const std::function<bool()>& interrupted,
                               const std::function<void()>& onReset) {
    int64_t interruptedAtMs = kNoCall;
    while (!clock_.sleepUntilUs(clock_.nowUs() + kWatchStepMs * 1000, stop_)) {
        if (interruptedAtMs == kNoCall) {
            if (!interrupted()) {
                continue;
            }
            interruptedAtMs = clock_.nowMs();
        }
        const int64_t started = callStartedMs_;
        if (started == kNoCall ||
            clock_.nowMs() - std::max(started, interruptedAtMs) < kStuckAfterInterruptMs) {
            continue;
        }
        onReset();
        // Every device the run may have configured: the run uses device 0 only.
        ResetDevice(0, 0);
        return;
    }
}

uint8_t ProfibusBoardGuard::InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                                    uint8_t* channelStatus) {
    {
        std::lock_guard lock(resetMutex_);
        configured_ |= mask;
    }
    InCall call(*this);
    return inner_.InitDll(configs, mask, status, channelStatus);
}

uint8_t ProfibusBoardGuard::ResetDevice(uint8_t device, uint32_t port) {
    std::lock_guard lock(resetMutex_);
    const auto bit = static_cast<uint16_t>(1u << (device & 15));
    if (device < 16 && !(configured_ & bit)) {
        return 0;
    }
    configured_ = static_cast<uint16_t>(configured_ & ~bit);
    return inner_.ResetDevice(device, port);
}

uint8_t ProfibusBoardGuard::GetDeviceInfo(uint8_t device, DeviceInfo* info) {
    InCall call(*this);
    return inner_.GetDeviceInfo(device, info);
}

uint8_t ProfibusBoardGuard::WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) {
    InCall call(*this);
    return inner_.WriteCommand(device, channel, block);
}

uint8_t ProfibusBoardGuard::GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    InCall call(*this);
    return inner_.GetReport(device, channel, report);
}

uint8_t ProfibusBoardGuard::WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                            uint16_t offset, uint8_t length, uint8_t station) {
    InCall call(*this);
    return inner_.WriteOutputData(device, channel, source, offset, length, station);
}

uint8_t ProfibusBoardGuard::ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                          uint16_t offset, uint8_t length, uint8_t station) {
    InCall call(*this);
    return inner_.ReadInputData(device, channel, destination, offset, length, station);
}

uint8_t ProfibusBoardGuard::ReadDataTransferList(uint8_t device, uint8_t channel,
                                                 uint8_t list[16]) {
    InCall call(*this);
    return inner_.ReadDataTransferList(device, channel, list);
}

uint8_t ProfibusBoardGuard::StationOnline(uint8_t device, uint8_t channel, uint8_t* out) {
    InCall call(*this);
    return inner_.StationOnline(device, channel, out);
}

}  // namespace romtide
