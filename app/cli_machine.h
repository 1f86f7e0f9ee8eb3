#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace romtide {

// bootloader machine plan|apply FILE, and the hidden machine-worker the machine
// commands start for each bus. Adds the sub-commands to `app`; chosen, one sets `run`.
void addMachineCommands(CLI::App& app, std::function<int()>& run);

}  // namespace romtide
