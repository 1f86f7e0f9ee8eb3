// A board's simulated DP segment: the stations a segment description names, on the
// scheduler given (real time in programs, the virtual clock in tests), behind the DP
// master firmware attached to the board. While it exists the board's first DP master
// channel runs a DP master instead of the echo.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "sim/core/scheduler.h"
#include "sim/nubox/dp_master_firmware.h"
#include "sim/profibus/dp_segment.h"
#include "sim/profibus/sim_encoder.h"
#include "sim/profibus/station_option.h"

namespace nubox_sim {

class ProfibusSegment {
  public:
    // Throws std::invalid_argument when checkDpSegment refuses the description. The
    // scheduler must stop running (or outlive) the segment's events before it goes.
    ProfibusSegment(SimBoard& board, romtide::sim::SimScheduler& scheduler,
                    const romtide::sim::DpSegmentConfig& config);
    // On a virtual clock, for tests (the platform's virtualClock()).
    ProfibusSegment(SimBoard& board, romtide::VirtualClock& clock,
                    const romtide::sim::DpSegmentConfig& config);
    ~ProfibusSegment();
    ProfibusSegment(const ProfibusSegment&) = delete;
    ProfibusSegment& operator=(const ProfibusSegment&) = delete;

    romtide::sim::SimEncoder* encoder(int address) const { return segment_.encoder(address); }
    std::vector<romtide::sim::SimEncoder*> encoders() const { return segment_.encoders(); }
    romtide::sim::DpMaster& master() { return firmware_.master(); }
    romtide::sim::DpSegment& segment() { return segment_; }

    // DIR/station-N.srec with what each encoder's flash holds (DIR is created when
    // missing): empty, or what could not be written.
    std::string dumpStations(const std::string& dir) const;

  private:
    ProfibusSegment(SimBoard& board, std::unique_ptr<romtide::sim::SimScheduler> own,
                    romtide::sim::SimScheduler* external,
                    const romtide::sim::DpSegmentConfig& config);

    std::unique_ptr<romtide::sim::SimScheduler> ownScheduler_;
    romtide::sim::DpSegment segment_;
    DpMasterFirmware firmware_;
};

}  // namespace nubox_sim
