// --trace FILE on any CAN interface: what the program sent and received, in candump log
// format, so the usual CAN tools read it.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "vci/vci.h"

namespace romtide {

class CandumpFileTrace final : public vci::FrameTrace {
  public:
    // `out` stays the caller's. Time stamps are `clock`'s time plus `wallOffsetUs`, the
    // wall clock's time at the clock's zero, so lines match a candump of the same bus.
    // Every line is flushed: a killed run leaves its trace.
    CandumpFileTrace(std::FILE* out, const Clock& clock, int64_t wallOffsetUs);
    void frame(const std::string& interfaceName, uint32_t id, uint8_t length, const uint8_t* data,
               bool received) override;
    // A line could not be written.
    bool failed() const;

  private:
    std::FILE* out_;
    const Clock& clock_;
    const int64_t wallOffsetUs_;
    mutable std::mutex mutex_;
    bool failed_ = false;
};

}  // namespace romtide
