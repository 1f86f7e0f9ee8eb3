#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace romtide {

// bootloader history [--last N] [--json]: the last runs of the run history, newest first.
// Adds the sub-command to `app`; chosen, it sets `run`.
void addHistoryCommand(CLI::App& app, std::function<int()>& run);

}  // namespace romtide
