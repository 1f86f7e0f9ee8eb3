// A simulated CAN field device: in its application a CANopen SDO server for the
// identification objects; after an NMT Reset Node its bootloader, which identifies
// itself on object 0x3000, erases, takes the image text unit by unit through a real
// S-record parser into a flash model, and renews itself from simulator update images.
// An application image that names its version in its S0 header (imageVersion) becomes
// the software version the device reports (object 0x100A) once it is committed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "sim/can/sim_bus.h"
#include "sim/core/sim_flash.h"

namespace romtide::sim {

struct SimDeviceConfig {
    int node = 5;
    int kbit = 125;
    int bootVersion = 3;  // 0 = version 1.0, which reports no product
    char product = 'D';   // 'D', 'E', 'F', 'G' (others for odd devices)
    char bootKind = 'C';  // byte 4 of the identification: 'B' or 'C'
    std::string name = "ENC";
    std::string hardwareVersion = "H1";
    std::string softwareVersion = "S1";
    uint32_t revision = 0x00010002;
    uint32_t deviceType = 406u | (2u << 16);  // profile 406, multi-turn encoder
    bool startsInBootloader = false;

    int64_t answerDelayUs = 150;
    int64_t resetUs = 20000;   // from Reset Node until the bootloader answers
    int64_t eraseUs = 300000;  // erasing the application flash

    // Injected faults (-1 = off).
    int noAckAfterUnits = -1;  // units after this many are not acknowledged
    int goneAfterUnits = -1;   // after this many units the device answers nothing
    bool eraseFails = false;   // erase answered with status 1
    bool eraseNeverAnswered = false;
    // After an application image is committed: keep reporting the old software version
    // (`stale`), or answer nothing ever again (`silentAfter`).
    bool staleVersion = false;
    bool silentAfterDownload = false;
};

enum class DeviceMode { Application, Resetting, Bootloader, Updater, Gone };

class SimCanDevice final : private vci::VirtualBusNode {
  public:
    SimCanDevice(SimBus& bus, SimDeviceConfig config);
    ~SimCanDevice() override;
    SimCanDevice(const SimCanDevice&) = delete;
    SimCanDevice& operator=(const SimCanDevice&) = delete;

    const SimDeviceConfig& config() const { return config_; }
    DeviceMode mode() const;
    int bootVersion() const;
    char product() const;
    // The programmed application flash and the image's start address.
    FlashImage applicationFlash() const;
    std::optional<uint32_t> applicationStart() const;
    bool writeApplicationSrec(const std::string& path) const;
    uint64_t unitsReceived() const;
    uint64_t erases() const;
    std::string parserError() const;
    // Object 0x100A as the application answers it now.
    std::string softwareVersion() const;

  private:
    void onFrame(const vci::CanFrame& frame, int64_t timeUs) override;
    void handleSdo(const vci::CanFrame& frame);
    void handleBootloader(const vci::CanFrame& frame);
    void handleUnit(const uint8_t* chars);
    void endOfDownload();
    void answer(std::initializer_list<uint8_t> bytes, int64_t extraDelayUs = 0);
    void answerString(uint8_t indexLow, const std::string& text);
    void abort(const vci::CanFrame& request);
    void after(int64_t delayUs, std::function<void()> fn);

    SimBus& bus_;
    SimDeviceConfig config_;
    int handle_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;
    DeviceMode mode_;
    int bootVersion_;
    char product_;
    char updaterProduct_ = 0;
    std::string softwareVersion_;
    uint64_t units_ = 0;
    bool acknowledging_ = true;
    SimFlash flash_;
};

// Simulator update images: the device recognises them by their S0 header.
std::string simUpdaterHeader(char product);
std::string simBootloaderHeader(char product, int version);
// A small image of the given kind, as S-record text.
std::string simUpdaterImage(char product);
std::string simBootloaderImage(char product, int version);

}  // namespace romtide::sim
