#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace romtide {

// bootloader profibus scan|update ...: the Profibus window's search and download run
// with terminal services. Adds the sub-commands to `app`; the one chosen sets `run`.
void addProfibusCommands(CLI::App& app, std::function<int()>& run);

}  // namespace romtide
