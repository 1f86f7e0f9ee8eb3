#include "sim/can/sim_bus.h"

#include <algorithm>
#include <array>
#include <vector>

#include "vci/vci.h"

namespace romtide::sim {

int frameBits(const vci::CanFrame& frame) {
    uint8_t length = std::min<uint8_t>(frame.length, 8);
    // Start of frame to the end of the CRC: at most 98 bits. Counted on every frame the
    // bus carries, so no allocation.
    std::array<uint8_t, 98> bits{};
    size_t n = 0;
    auto put = [&](uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bits[n++] = static_cast<uint8_t>((value >> i) & 1u);
        }
    };
    put(0, 1);  // start of frame
    put(frame.id & 0x7FF, 11);
    put(0, 1);  // remote request: data frame
    put(0, 1);  // identifier extension: standard
    put(0, 1);  // reserved
    put(length, 4);
    for (uint8_t i = 0; i < length; ++i) {
        put(frame.data[i], 8);
    }
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t next = static_cast<uint32_t>(bits[i]) ^ ((crc >> 14) & 1u);
        crc = (crc << 1) & 0x7FFF;
        if (next != 0) {
            crc ^= 0x4599;
        }
    }
    put(crc, 15);
    // A stuff bit follows every five equal bits, and counts in the next run.
    int stuffed = 0;
    int run = 0;
    int last = -1;
    for (size_t i = 0; i < n; ++i) {
        const int b = bits[i];
        if (b == last) {
            ++run;
        } else {
            last = b;
            run = 1;
        }
        if (run == 5) {
            ++stuffed;
            last = 1 - b;
            run = 1;
        }
    }
    // CRC delimiter, acknowledgement slot and delimiter, end of frame, intermission.
    return static_cast<int>(n) + stuffed + 1 + 2 + 7 + 3;
}

std::string candumpLine(int64_t timeUs, const std::string& iface, const vci::CanFrame& frame) {
    return vci::candumpLine(timeUs, iface, frame.id, frame.length, frame.data);
}

SimBus::SimBus(SimScheduler& scheduler, std::string name)
    : scheduler_(scheduler), name_(std::move(name)) {
    vci::registerVirtualBus(name_, this);
}

SimBus::~SimBus() {
    vci::unregisterVirtualBus(name_);
    std::lock_guard deliveringLock(delivering_);
    *alive_ = false;
}

int SimBus::attach(vci::VirtualBusNode& node, uint32_t bitRate) {
    if (bitRate == 0) {
        return -1;
    }
    std::lock_guard lock(mutex_);
    int handle = nextNode_++;
    nodes_[handle] = Node{&node, bitRate, {}};
    return handle;
}

void SimBus::detach(int node) {
    std::lock_guard deliveringLock(delivering_);
    std::lock_guard lock(mutex_);
    nodes_.erase(node);
}

bool SimBus::send(int node, const vci::CanFrame& frame) {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) {
        return false;
    }
    if (it->second.queue.size() >= kTransmitQueueFrames) {
        ++stats_.dropped;
        return false;
    }
    it->second.queue.push_back({frame, scheduler_.nowUs()});
    if (!wireBusy_) {
        startNextLocked();
    }
    return true;
}

void SimBus::startNextLocked() {
    if (nodes_.empty()) {
        wireBusy_ = false;
        return;
    }
    // Round robin: the first node after the last sender with a frame waiting.
    auto next = nodes_.upper_bound(lastSender_);
    for (size_t looked = 0; looked < nodes_.size(); ++looked, ++next) {
        if (next == nodes_.end()) {
            next = nodes_.begin();
        }
        if (!next->second.queue.empty()) {
            break;
        }
    }
    if (next == nodes_.end() || next->second.queue.empty()) {
        wireBusy_ = false;
        return;
    }
    int sender = next->first;
    uint32_t rate = next->second.bitRate;
    const Waiting waiting = next->second.queue.front();
    const vci::CanFrame& frame = waiting.frame;
    next->second.queue.pop_front();
    lastSender_ = sender;
    wireBusy_ = true;
    int64_t duration = wireTime_ ? (static_cast<int64_t>(frameBits(frame)) * 1000000 + rate - 1) /
                                       static_cast<int64_t>(rate)
                                 : 0;
    // A frame sent while the wire was taken starts when it is free, and never before it
    // was sent: not at the time its predecessor's delivery happens to run, which on real
    // time comes a little after that frame's end.
    int64_t start = std::max(waiting.sentUs, freeAtUs_);
    int64_t end = start + duration;
    freeAtUs_ = end;
    stats_.busyUs += duration;
    std::weak_ptr<bool> alive = alive_;
    scheduler_.at(end, [this, alive, sender, frame, rate, end] {
        if (auto a = alive.lock(); a && *a) {
            deliverFrame(sender, frame, rate, end);
        }
    });
}

void SimBus::deliverFrame(int sender, vci::CanFrame frame, uint32_t bitRate, int64_t endUs) {
    std::lock_guard deliveringLock(delivering_);
    if (!*alive_) {
        return;
    }
    std::vector<vci::VirtualBusNode*> receivers;
    {
        std::lock_guard lock(mutex_);
        ++stats_.frames;
        if (trace_ != nullptr) {
            std::string line = candumpLine(endUs + scheduler_.wallOffsetUs(), name_, frame);
            std::fprintf(trace_, "%s\n", line.c_str());
            std::fflush(trace_);
        }
        for (const auto& [handle, n] : nodes_) {
            if (handle != sender && n.bitRate == bitRate) {
                receivers.push_back(n.node);
            }
        }
    }
    for (auto* r : receivers) {
        r->onFrame(frame, endUs);
    }
    // The wire is free again (still under delivering_, so the bus is alive).
    std::lock_guard lock(mutex_);
    startNextLocked();
}

void SimBus::setWireTime(bool on) {
    std::lock_guard lock(mutex_);
    wireTime_ = on;
}

void SimBus::setTrace(std::FILE* trace) {
    std::lock_guard lock(mutex_);
    trace_ = trace;
}

SimBus::Stats SimBus::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace romtide::sim
