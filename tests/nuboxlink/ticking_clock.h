// What the DPR fuzz targets and the give-up tests share: a clock that moves a
// millisecond on every look, so a wait for the board ends after its time-out in a
// bounded number of steps, and a reader of the fuzz input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/clock.h"

namespace nuboxlink_test {

class TickingClock final : public romtide::Clock {
  public:
    int64_t nowUs() const override { return now_ += 1000; }
    void sleepUs(int64_t us) override { now_ += us > 0 ? us : 0; }

  private:
    mutable std::atomic<int64_t> now_{0};
};

struct FuzzInput {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

}  // namespace nuboxlink_test
