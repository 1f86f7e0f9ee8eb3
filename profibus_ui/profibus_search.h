// The Profibus window's search, shared by the desktop window and the headless command:
// two live-list scans, then for every slave PPO detection and the software version,
// with a fresh scan after each. It fills the station grid as the window shows it and
// hands the stations over as values, which the headless command prints.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "profibus/tprofitalvik.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::pbui {

struct SearchStation {
    int row = 0;
    uint8_t address = 0;
    uint8_t type = 0;
    uint16_t ident = 0;   // slaves
    std::string version;  // column 3: "a.b.c", "Bootloader a.b.c", "Not ready" or empty
};

struct SearchControls {
    ui::StringGrid& grid;              // five columns, row 0 the titles
    ui::ProgressBar& imageProgress;    // progress_profibus
    ui::ProgressBar& stationProgress;  // progress_profibus_slaves
    ui::BusyCursor* cursor = nullptr;
    // Asked before each station; true ends the search there (the headless command's
    // Ctrl-C). The window has none.
    std::function<bool()> stopRequested;
};

// Runs the search and returns the grid's stations in row order.
std::vector<SearchStation> runProfibusSearch(Tbootloader& session, SearchControls& controls);

}  // namespace romtide::pbui
