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

// What the search learns of one slave: whether it answers as PPO1 or PPO2, and the
// version its application or its bootloader reports.
struct StationIdentity {
    bool ready = false;  // it answered the PPO detection
    bool ppo2 = false;
    bool versionAnswered = false;
    bool bootloader = false;   // its bootloader answered the version request
    uint16_t versionWord = 0;  // a << 12 | b << 8 | c
    std::string text;          // column 3: "a.b.c", "Bootloader a.b.c" or "Not ready"
};

// The PPO detection and version read of the search for one slave (station address and
// PPO type of the wrapper are left set for it).
StationIdentity identifyStation(Tbootloader& session, uint8_t address);

struct SearchStation {
    int row = 0;
    uint8_t address = 0;
    uint8_t type = 0;
    uint16_t ident = 0;        // slaves
    std::string version;       // column 3: "a.b.c", "Bootloader a.b.c", "Not ready" or empty
    StationIdentity identity;  // slaves the search asked
};

// What answered when a station was identified again after its download.
enum class CameBack {
    Application,  // its application, with `identity`
    Bootloader,   // its bootloader still, when the wait ended
    Nothing,      // no answer at all
    Cancelled,    // the wait was cancelled (Cancel, Ctrl-C)
};
struct StationComeBack {
    CameBack answered = CameBack::Nothing;
    StationIdentity identity;
    int64_t ms = 0;  // how long it took
};
// How long a station is waited for after its download, unless told otherwise.
constexpr int64_t kComeBackMs = 30000;
// Identifies `address` again as the search does until its application answers the
// version request or `waitMs` have passed. A station restarts after the finish and is
// off the bus meanwhile; one that answers only as its bootloader is asked again until
// the wait ends.
StationComeBack identifyStationAgain(Tbootloader& session, uint8_t address, int64_t waitMs);

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
