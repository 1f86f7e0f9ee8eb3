// The platform of the shared library: board drivers as endpoints in the driver
// directory, ownership tokens as flock()ed files, the registry as a REGEDIT4 file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

// The registry file. Every call parses the file anew, once, so a configuration written by
// another process is seen at the next InitDll; writes go to a temporary file that is
// renamed over the old one, under an flock() on "<path>.lock".
class FileRegistry final : public RegistryStore {
  public:
    explicit FileRegistry(std::string path) : path_(std::move(path)) {}
    bool readDevices(DeviceValues* devices) override;
    bool replaceDevice(unsigned device, const RegValues& values) override;

  private:
    std::string path_;
};

// The image file of a channel family ("dpem.nbf", …) in a folder; empty when missing
// or not a record array.
std::vector<uint8_t> loadFirmwareFile(const std::string& dir, uint8_t family);

class LinuxPlatform final : public Platform {
  public:
    // Directory and file from NUBOXLINK_DRIVER_DIR and NUBOXLINK_REGISTRY, or the defaults
    // "/run/nuboxlink" and "/etc/nuboxlink/registry.reg".
    LinuxPlatform();
    LinuxPlatform(std::string driverDir, std::string registryPath, romtide::Clock& clock);

    romtide::Clock& clock() override { return *clock_; }
    Generation generation() const override { return Generation::DriverLate; }
    std::unique_ptr<DriverHandle> openDriver(std::string_view deviceName, OpenResult* why) override;
    uint8_t claimToken(const std::string& name, std::unique_ptr<Token>* token) override;
    RegistryStore& registry() override { return registry_; }
    // From NUBOXLINK_FIRMWARE_DIR, or "nuboxlink-firmware" beside the library.
    std::vector<uint8_t> firmwareImage(uint8_t family) override;

    // A request that the driver has not answered within this time has failed.
    static constexpr int kRequestTimeoutMs = 5000;

  private:
    std::string driverDir_;
    FileRegistry registry_;
    romtide::SteadyClock steady_;
    romtide::Clock* clock_;
};

}  // namespace nuboxlink
