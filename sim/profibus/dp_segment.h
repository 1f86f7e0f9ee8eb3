// A simulated DP segment: the stations on it (beside the board's own master) and the
// scheduler their time runs on. Stations are added while the segment is built and stay
// until it goes; the master learns through the arrival listener when a station comes
// (back) on the bus.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/core/scheduler.h"
#include "sim/profibus/dp_station.h"

namespace romtide::sim {

class SimEncoder;
struct SimEncoderConfig;

class DpSegment {
  public:
    explicit DpSegment(SimScheduler& scheduler) : scheduler_(scheduler) {}
    DpSegment(const DpSegment&) = delete;
    DpSegment& operator=(const DpSegment&) = delete;

    SimScheduler& scheduler() { return scheduler_; }

    SimEncoder& addEncoder(const SimEncoderConfig& config);
    void addMaster(int address);

    DpStation* station(int address) const;
    SimEncoder* encoder(int address) const;
    // In address order.
    std::vector<DpStation*> stations() const;
    std::vector<SimEncoder*> encoders() const;

    // Called by a station (never while it holds its own lock) when it answers on the bus
    // again.
    void stationArrived(int address);
    void setArrivalListener(std::function<void(int)> listener);

  private:
    SimScheduler& scheduler_;
    std::vector<std::unique_ptr<DpStation>> stations_;
    std::vector<SimEncoder*> encoders_;
    std::mutex listenerMutex_;
    std::function<void(int)> listener_;
};

}  // namespace romtide::sim
