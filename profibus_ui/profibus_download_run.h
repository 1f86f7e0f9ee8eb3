// The heart of the Profibus window's download run, shared by the desktop window and the
// headless command: DownloadSlave for the first station of nodeList until the list is
// empty or a result stops the run; an updated station leaves the list, one that failed
// in the transfer or the erase is moved to its end. The caller does what comes before
// (checks, buttons, timer) and after (the closing search).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "profibus_ui/profibus_texts.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::pbui {

struct StationResult {
    int station = 0;
    int32_t result = 0;      // DownloadSlave's combined result
    int32_t errorCode = -1;  // the device's error answer, -1 when none
    bool done = false;
    double seconds = 0;
};

struct ProfibusRunHooks {
    ui::ProgressBar& progress;         // progress_profibus
    ui::TextLabel& label;              // lab_profibus_info
    ui::ProgressBar& stationProgress;  // progress_profibus_slaves
    std::function<void(int station)> stationStarting;
    // Shows the result's message and returns the answer (OK or Cancel).
    std::function<ui::MessageAnswer(const StationResult&, const DownloadMessage&)> showResult;
    std::function<void(const StationResult&)> stationFinished;
    // Asked before each station; true ends the run there (the headless command's Ctrl-C:
    // a station is not touched once the user has asked to stop). The window has none.
    std::function<bool()> stopRequested;
};

struct ProfibusRunSummary {
    std::vector<StationResult> results;  // in the order they ran
    bool stopped = false;
};

ProfibusRunSummary runProfibusStations(Tbootloader& session, ProfibusRunHooks& hooks);

}  // namespace romtide::pbui
