#include "sim/canbus/device_client.h"

#include <atomic>

namespace romtide::sim {

namespace {

std::string busName(const SimDeviceConfig& config) {
    // Private to this object: the name only has to differ from other buses of the process.
    static std::atomic<int> serial{0};
    return "device-" + std::to_string(config.node) + "-" + std::to_string(++serial);
}

}  // namespace

DeviceClient::DeviceClient(SimDeviceConfig config, std::string uri)
    : uri_(std::move(uri)), scheduler_(), bus_(scheduler_, busName(config)) {
    // The wire time is the real bus's (or the server's) to count; this bus only joins
    // device and bridge.
    bus_.setWireTime(false);
    uint32_t rate = static_cast<uint32_t>(config.kbit) * 1000u;
    device_ = std::make_unique<SimCanDevice>(bus_, std::move(config));
    bridge_ = std::make_unique<BusBridge>(bus_, rate);
}

DeviceClient::~DeviceClient() {
    // The simulation first: nothing sends on the link once it closes.
    scheduler_.stop();
    bridge_.reset();
    device_.reset();
}

bool DeviceClient::start(std::string* error) {
    return bridge_->open(uri_, error);
}

}  // namespace romtide::sim
