// TProfitalvik: the Profibus DP master of a download session.
// (The master itself comes with the Profibus issue; until then it owns nothing.)
#pragma once

#include "ui/services.h"

namespace romtide {

class TProfitalvik {
  public:
    explicit TProfitalvik(const Services& services) : services_(services) {}
    TProfitalvik(const TProfitalvik&) = delete;
    TProfitalvik& operator=(const TProfitalvik&) = delete;

    const Services& services() const { return services_; }

  private:
    Services services_;
};

}  // namespace romtide
