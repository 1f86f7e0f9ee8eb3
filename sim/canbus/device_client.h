// A simulated device in a process of its own, on a CAN interface the access library
// reaches (the bus of a socketcand server, or a kernel interface), as a real device sits
// on a real bus: the device on a small bus of its own, and a bridge that carries frames
// between that bus and the interface.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/canbus/bus_bridge.h"
#include "sim/core/scheduler.h"

namespace romtide::sim {

class DeviceClient final {
  public:
    // `uri` as the access library takes it: "socketcand:HOST:PORT/IFNAME",
    // "socketcan:IFNAME".
    DeviceClient(SimDeviceConfig config, std::string uri);
    ~DeviceClient();
    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    // Connects; false with `error` saying why.
    bool start(std::string* error);
    // Called once per connection, on another thread, when the connection to the server
    // ends.
    void onLost(std::function<void(const std::string&)> fn) { bridge_->onLost(std::move(fn)); }
    // The connection has ended since the last start.
    bool lost() const { return bridge_->lost(); }
    // Drops the ended connection and connects again; the device keeps what it holds, as
    // a device stays powered on its bus while the bus's gateway restarts.
    bool reconnect(std::string* error) { return start(error); }
    const SimCanDevice& device() const { return *device_; }
    const std::string& uri() const { return uri_; }

  private:
    std::string uri_;
    RealTimeScheduler scheduler_;
    SimBus bus_;
    std::unique_ptr<SimCanDevice> device_;
    std::unique_ptr<BusBridge> bridge_;
};

}  // namespace romtide::sim
