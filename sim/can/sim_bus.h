// The simulated CAN bus: one wire shared by every node. A frame occupies the bus for its
// length in bits (with stuff bits) divided by the sender's bit rate, frames queue behind
// one another, and a node hears only frames sent at its own bit rate. Optionally every
// frame on the wire is written to a trace in candump log format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/core/scheduler.h"
#include "vci/virtual_bus.h"

namespace romtide::sim {

// Bits a standard data frame occupies on the wire: stuffed part (start of frame to CRC)
// plus delimiters, acknowledgement, end of frame and the intermission.
int frameBits(const vci::CanFrame& frame);
// "(SECONDS.MICROS) IFACE ID#HEXDATA"
std::string candumpLine(int64_t timeUs, const std::string& iface, const vci::CanFrame& frame);

class SimBus final : public vci::VirtualBus {
  public:
    // Registered as "virtual:NAME" for the access library while it lives.
    SimBus(SimScheduler& scheduler, std::string name);
    ~SimBus() override;
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    int attach(vci::VirtualBusNode& node, uint32_t bitRate) override;
    void detach(int node) override;
    bool send(int node, const vci::CanFrame& frame) override;

    // Off: frames take no time on this bus. For a bus that only stands between a device
    // and a real one (a device process of the bus server), where the wire time is counted.
    void setWireTime(bool on);

    // Not owned; null stops tracing. Lines are flushed as they are written.
    void setTrace(std::FILE* trace);
    const std::string& name() const { return name_; }
    std::string uri() const { return "virtual:" + name_; }
    SimScheduler& scheduler() { return scheduler_; }

    struct Stats {
        uint64_t frames = 0;
        int64_t busyUs = 0;  // time the wire was occupied
    };
    Stats stats() const;

  private:
    struct Node {
        vci::VirtualBusNode* node;
        uint32_t bitRate;
    };
    void deliverFrame(int sender, vci::CanFrame frame, uint32_t bitRate, int64_t endUs);

    SimScheduler& scheduler_;
    std::string name_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;  // nodes, wire time, stats, trace
    std::map<int, Node> nodes_;
    int nextNode_ = 0;
    int64_t freeAtUs_ = 0;
    bool wireTime_ = true;
    Stats stats_;
    std::FILE* trace_ = nullptr;

    // Held while a frame is handed to its receivers, so a node that detaches is never
    // called afterwards.
    std::mutex delivering_;
};

}  // namespace romtide::sim
