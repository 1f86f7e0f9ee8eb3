// Joins a simulated bus to a CAN interface of the access library, as a gateway would:
// what the simulated nodes send goes out on the interface, and what the interface
// receives is sent on the simulated bus. A simulated device thus sits on a socketcand
// server's bus or on a kernel interface (socketcan:vcan0) as a real device sits on its
// bus.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/can/sim_bus.h"
#include "vci/backend.h"

namespace romtide::sim {

class BusBridge final : private vci::VirtualBusNode, private vci::FrameSink {
  public:
    // Attaches to `bus` at `bitRate`; nothing is carried before open.
    BusBridge(SimBus& bus, uint32_t bitRate);
    ~BusBridge() override;
    BusBridge(const BusBridge&) = delete;
    BusBridge& operator=(const BusBridge&) = delete;

    // Opens the interface `uri` ("socketcan:IFNAME", "socketcand:HOST:PORT/IFNAME");
    // false with `error` saying why. Opening again drops the link it had first.
    bool open(const std::string& uri, std::string* error);
    // Called once per open, on another thread, when the link ends (a socketcand server
    // that went away).
    void onLost(std::function<void(const std::string&)> fn) { onLost_ = std::move(fn); }
    // The link has ended since the last open.
    bool lost() const { return lost_; }
    void close();

  private:
    void onFrame(const vci::CanFrame& frame, int64_t timeUs) override;
    void deliver(const vci::CanFrame* frames, size_t count, uint32_t stamp) override;
    void message(const std::string& text) override;

    SimBus& bus_;
    uint32_t bitRate_;
    int node_ = -1;
    std::mutex linkMutex_;  // link_ is replaced on the caller's thread, used on the bus's
    std::unique_ptr<vci::Backend> link_;
    std::string lastMessage_;
    std::function<void(const std::string&)> onLost_;
    std::atomic<bool> open_{false};
    std::atomic<bool> lost_{false};
};

}  // namespace romtide::sim
