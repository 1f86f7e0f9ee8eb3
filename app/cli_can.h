#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace romtide {

// bootloader can search|update ...: the CAN window's search and download run without a
// window, on a real interface or on the built-in simulated bus. Adds the sub-commands to
// `app`; the one chosen sets `run`.
void addCanCommands(CLI::App& app, std::function<int()>& run);

}  // namespace romtide
