// The hardware-selection dialog of the selection module: the CAN interfaces found, one
// to choose. Shown only inside a program that runs a Qt application (the desktop
// program); the headless commands and tests select without asking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace romtide::vci {

struct HardwareChoice {
    int32_t result;   // kXatSelected or kXatAbandoned
    std::string uri;  // the chosen interface when selected
};

// Nothing when no dialog can be shown here (no Qt application in the process).
std::optional<HardwareChoice> selectHardwareDialog(const std::vector<std::string>& interfaces);

}  // namespace romtide::vci
