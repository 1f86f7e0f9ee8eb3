// A platform whose board drivers are simulated boards in this process: the library's
// real board and channel code runs against the firmware of sim_board, with an in-memory
// registry and in-memory ownership tokens. On virtual time the firmware runs every
// millisecond of virtual time (whenever the library sleeps); on real time a firmware
// thread can run it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "nuboxlink/platform/platform.h"
#include "sim/nubox/sim_board.h"
#include "sim/nubox/sim_usb.h"

namespace nubox_sim {

class InProcessPlatform final : public nuboxlink::Platform {
  public:
    explicit InProcessPlatform(bool virtualTime = true);
    ~InProcessPlatform() override;

    romtide::Clock& clock() override;
    nuboxlink::Generation generation() const override { return generation_; }
    std::unique_ptr<nuboxlink::DriverHandle> openDriver(std::string_view deviceName,
                                                        nuboxlink::OpenResult* why) override;
    uint8_t claimToken(const std::string& name, std::unique_ptr<nuboxlink::Token>* token) override;
    nuboxlink::RegistryStore& registry() override { return registry_; }
    // The images delivered with the library's sources.
    std::vector<uint8_t> firmwareImage(uint8_t family) override;

    SimBoard& addBoard(const BoardSetup& setup);
    SimUsbBox& addUsb(unsigned slot, uint16_t id);
    SimBoard* board(const std::string& deviceName);
    romtide::VirtualClock& virtualClock() { return virtual_; }
    nuboxlink::MemoryRegistry& memoryRegistry() { return registry_; }
    void setDevice(unsigned device, const nuboxlink::RegValues& values);

    // Another process holds this token.
    void holdElsewhere(const std::string& token);
    // Times a device name was opened.
    int opens(const std::string& deviceName);
    // Runs the firmware of every board on its own thread, every 100 µs of real time.
    void startFirmwareThread();
    // From now on the library sees this clock (null: the platform's own again).
    void overrideClock(romtide::Clock* clock) { override_ = clock; }
    void stopFirmwareThread();

    void setGeneration(nuboxlink::Generation g) { generation_ = g; }

  private:
    friend class SimHandle;
    friend class SimToken;
    void stepAll();
    void scheduleFirmware();
    void release(const std::string& deviceName);
    void releaseToken(const std::string& name);

    nuboxlink::Generation generation_ = nuboxlink::Generation::DriverLate;
    bool virtualTime_;
    std::atomic<romtide::Clock*> override_{nullptr};
    romtide::VirtualClock virtual_;
    romtide::SteadyClock steady_;
    nuboxlink::MemoryRegistry registry_;

    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<SimDevice>> boards_;
    std::set<std::string> openNames_;
    std::map<std::string, int> opens_;
    std::set<std::string> tokens_;

    std::atomic<bool> firmwareRunning_{false};
    std::thread firmware_;
};

}  // namespace nubox_sim
