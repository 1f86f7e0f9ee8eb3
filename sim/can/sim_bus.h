// The simulated CAN bus: one wire shared by every node. A frame occupies the bus for its
// length in bits (with stuff bits) divided by the sender's bit rate, and a node hears only
// frames sent at its own bit rate. Each node has a transmit queue of its own, as a CAN
// controller does: a full queue refuses the frame (dropped and counted), and the wire
// takes the nodes' queues in turn, so one node that sends as fast as it can takes its
// share of the bit rate but cannot starve the others or grow without bound. Optionally
// every frame on the wire is written to a trace in candump log format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
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

    // Frames a node may have waiting for the wire; a search sends two requests to each of
    // 127 nodes at once, which a controller's queue holds.
    static constexpr size_t kTransmitQueueFrames = 512;

    int attach(vci::VirtualBusNode& node, uint32_t bitRate) override;
    void detach(int node) override;
    // False when the node is not attached or its transmit queue is full.
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
        int64_t busyUs = 0;    // time the wire was occupied
        uint64_t dropped = 0;  // frames refused by a full transmit queue
    };
    Stats stats() const;

  private:
    struct Waiting {
        vci::CanFrame frame;
        int64_t sentUs;  // when the node sent it: it cannot start before
    };
    struct Node {
        vci::VirtualBusNode* node;
        uint32_t bitRate;
        std::deque<Waiting> queue;  // waiting for the wire
    };
    // Puts the next waiting frame on the wire, the nodes taken in turn after the one
    // that sent last; the wire stays idle when no frame waits. Under mutex_.
    void startNextLocked();
    void deliverFrame(int sender, vci::CanFrame frame, uint32_t bitRate, int64_t endUs);

    SimScheduler& scheduler_;
    std::string name_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;  // nodes, wire time, stats, trace
    std::map<int, Node> nodes_;
    int nextNode_ = 0;
    int64_t freeAtUs_ = 0;
    bool wireBusy_ = false;
    int lastSender_ = -1;
    bool wireTime_ = true;
    Stats stats_;
    std::FILE* trace_ = nullptr;

    // Held while a frame is handed to its receivers, so a node that detaches is never
    // called afterwards.
    std::mutex delivering_;
};

}  // namespace romtide::sim
