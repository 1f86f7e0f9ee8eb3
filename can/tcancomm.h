// TCANComm: the program's only access to the CAN bus.
// (Board selection, controller start and the receive path come with the CAN access layer.)
#pragma once

#include "ui/services.h"

namespace romtide {

class TCANComm {
  public:
    explicit TCANComm(const Services& services) : services_(services) {}
    TCANComm(const TCANComm&) = delete;
    TCANComm& operator=(const TCANComm&) = delete;

  private:
    Services services_;
};

}  // namespace romtide
