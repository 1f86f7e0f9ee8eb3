// The board as an unattended Profibus run uses it. A run resets its board after a
// missing confirmation and once more at its end; after the first reset nothing is
// configured any more, and each further reset would open the board anew only to restart
// it (a remote board whose server stopped answering: the open limit every time). Such
// resets are answered here, until the board is configured again.
//
// Ctrl-C comes while the run may wait inside a library call for a board that no longer
// answers (a remote board: up to its request limit, 30 s for the configuration). A
// watch thread sees the interrupt; a call that has not returned shortly after it is
// ended by resetting the board from that thread, which the library lets a reset do.
// The run then finds the board closed, its waits see the interrupt, and it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "profibus/dp_master_library.h"

namespace romtide {

class ProfibusBoardGuard final : public DpMasterLibrary {
  public:
    // How long a call may go on after the interrupt before the board is reset under it.
    static constexpr int64_t kStuckAfterInterruptMs = 300;
    static constexpr int64_t kWatchStepMs = 50;

    ProfibusBoardGuard(DpMasterLibrary& inner, Clock& clock);
    ~ProfibusBoardGuard() override;
    ProfibusBoardGuard(const ProfibusBoardGuard&) = delete;
    ProfibusBoardGuard& operator=(const ProfibusBoardGuard&) = delete;

    // Starts the watch thread: `interrupted` is asked every kWatchStepMs; `onReset` runs
    // on that thread when it resets the board (to say so).
    void watchInterrupt(std::function<bool()> interrupted, std::function<void()> onReset);

    uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override;
    // Resets every board configured since the last reset; answers 0 without the library
    // when nothing was.
    uint8_t ResetDevice(uint8_t device, uint32_t port) override;
    uint8_t GetDeviceInfo(uint8_t device, DeviceInfo* info) override;
    uint8_t WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) override;
    uint8_t GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) override;
    uint8_t WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override;
    uint8_t ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override;
    uint8_t ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override;
    uint8_t StationOnline(uint8_t device, uint8_t channel, uint8_t* out) override;

  private:
    static constexpr int64_t kNoCall = -1;
    // Marks a call of the run's thread as in progress while it lasts.
    class InCall;
    void watch(const std::function<bool()>& interrupted, const std::function<void()>& onReset);

    DpMasterLibrary& inner_;
    Clock& clock_;
    // When the run's current library call began (clock ms), or kNoCall.
    std::atomic<int64_t> callStartedMs_{kNoCall};
    std::mutex resetMutex_;         // resets from the run and the watch, one at a time
    uint16_t configured_ = 0xFFFF;  // devices a reset may find configured (unknown: all)
    Wakeup stop_;
    std::thread watcher_;
};

}  // namespace romtide
