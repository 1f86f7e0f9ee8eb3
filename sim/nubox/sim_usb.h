// A simulated USB box: firmware download and start, the short, block and fetch request
// forms of the DP master firmware, the 0xBC data exchange, the status reads, and the
// notify event it signals once armed when a report waits.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "sim/nubox/sim_board.h"
#include "sim/nubox/sim_usb_families.h"

namespace nubox_sim {

class SimUsbBox final : public SimDevice {
  public:
    explicit SimUsbBox(const BoardSetup& setup);
    ~SimUsbBox() override;

    bool control(uint32_t code, const uint8_t* in, size_t inLen, std::vector<uint8_t>* out,
                 bool* mapsDpr) override;
    bool registerEvents(const std::vector<int>& fds) override;
    bool write(const uint8_t* data, size_t n) override;
    bool read(size_t n, std::vector<uint8_t>* out) override;
    void step() override;

    // Test hooks.
    void postReport(const std::vector<uint8_t>& report);
    std::vector<std::vector<uint8_t>> takenCommands();
    std::vector<uint8_t> memory(uint16_t offset, size_t n);
    void setMemory(uint16_t offset, const std::vector<uint8_t>& bytes);
    void setStatus(const uint8_t status33[33], uint8_t diagState);
    size_t firmwareBytes();
    bool running();
    uint16_t initParameter();
    std::vector<std::vector<uint8_t>> exchanges();
    // The box is unplugged: its driver signals the stop event.
    void unplug();
    // The firmware of another family than the DP master, once downloaded.
    template <class Family>
    Family* familyAs() {
        std::lock_guard lock(mutex_);
        return dynamic_cast<Family*>(family_.get());
    }

  private:
    void notifyIfArmed();
    void closeEvents();

    BoardSetup spec_;
    std::mutex mutex_;
    std::vector<uint8_t> firmware_;
    std::unique_ptr<SimUsbFamily> family_;
    bool running_ = false;
    bool armed_ = false;
    uint16_t initParameter_ = 0;
    int stopFd_ = -1, releasedFd_ = -1, notifyFd_ = -1;
    std::deque<std::vector<uint8_t>> reports_;
    std::vector<std::vector<uint8_t>> commands_;
    std::vector<std::vector<uint8_t>> exchanges_;
    std::vector<uint8_t> reply_;
    std::vector<uint8_t> memory_ = std::vector<uint8_t>(65536);
    uint8_t status_[33] = {};
    uint8_t diagState_ = 0;
    uint8_t remoteAccess_ = 0;
};

}  // namespace nubox_sim
