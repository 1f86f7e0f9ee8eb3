// A simulated device in a process of its own, on the bus of a socketcand server, as a
// real device sits on a real bus: the device on a small bus of its own, and a bridge
// that carries frames between that bus and the server.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"
#include "vci/backend.h"

namespace romtide::sim {

class DeviceClient final : private vci::VirtualBusNode, private vci::FrameSink {
  public:
    // `endpoint` as in "socketcand:HOST:PORT/IFNAME" after the scheme.
    DeviceClient(SimDeviceConfig config, std::string endpoint);
    ~DeviceClient() override;
    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    // Connects; false with `error` saying why.
    bool start(std::string* error);
    // Called once per connection, on another thread, when the connection to the server
    // ends.
    void onLost(std::function<void(const std::string&)> fn) { onLost_ = std::move(fn); }
    // The connection has ended since the last start.
    bool lost() const { return lost_; }
    // Drops the ended connection and connects again; the device keeps what it holds, as
    // a device stays powered on its bus while the bus's gateway restarts.
    bool reconnect(std::string* error);
    const SimCanDevice& device() const { return *device_; }

  private:
    void onFrame(const vci::CanFrame& frame, int64_t timeUs) override;
    void deliver(const vci::CanFrame* frames, size_t count, uint32_t stamp) override;
    void message(const std::string& text) override;

    std::string endpoint_;
    RealTimeScheduler scheduler_;
    SimBus bus_;
    std::unique_ptr<SimCanDevice> device_;
    std::mutex linkMutex_;  // link_ is replaced on the main thread, used on the simulation's
    std::unique_ptr<vci::Backend> link_;
    int node_ = -1;
    std::string lastMessage_;
    std::function<void(const std::string&)> onLost_;
    std::atomic<bool> started_{false};
    std::atomic<bool> lost_{false};
};

}  // namespace romtide::sim
