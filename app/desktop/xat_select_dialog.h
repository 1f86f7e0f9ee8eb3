// The desktop program's CAN hardware-selection dialog, which the selection module shows
// through the access library's selector hook.
#pragma once

#include "vci/hardware_selector.h"

namespace romtide::desktop {

// The interfaces found, one to choose; Cancel abandons. Nothing when no QApplication
// runs in the process.
std::optional<vci::HardwareChoice> selectHardwareDialog(const std::vector<std::string>& interfaces);

}  // namespace romtide::desktop
