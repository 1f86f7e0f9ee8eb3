// How the hardware-selection module asks the user: a program that can show a dialog
// (the desktop program) registers one here, in the access library that it shares with
// the module; without one the module selects without asking. The module itself stays
// free of any toolkit, so loading it costs a headless program nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace romtide::vci {

struct HardwareChoice {
    int32_t result;   // kXatSelected or kXatAbandoned
    std::string uri;  // the chosen interface when selected
};

// Nothing: no dialog could be shown; select without asking.
using HardwareSelector =
    std::function<std::optional<HardwareChoice>(const std::vector<std::string>& interfaces)>;

// An empty selector removes the registered one.
void setHardwareSelector(HardwareSelector selector);
std::optional<HardwareChoice> askHardwareSelector(const std::vector<std::string>& interfaces);

}  // namespace romtide::vci
