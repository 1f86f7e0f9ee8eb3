// TCANComm: the program's only access to the CAN bus.
// (Board selection, controller start and the receive path come with the CAN access layer.)
#pragma once

#include <cstdint>

#include "ui/services.h"

namespace romtide {

class TCANComm {
  public:
    explicit TCANComm(const Services& services) : services_(services) {}
    TCANComm(const TCANComm&) = delete;
    TCANComm& operator=(const TCANComm&) = delete;

    // Index into the bit-rate table 0..8; anything else selects 50 kBit/s.
    int32_t GetBaudIndex() const { return baudIndex; }
    void SetBaudIndex(int32_t index) { baudIndex = (index >= 0 && index <= 8) ? index : 2; }
    static inline int32_t baudIndex = 2;

    const Services& services() const { return services_; }

  private:
    Services services_;
};

}  // namespace romtide
