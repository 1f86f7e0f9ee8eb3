// The heart of the Profibus window's download run, shared by the desktop window and the
// headless command: DownloadSlave for the first station of nodeList until the list is
// empty or a result stops the run; an updated station leaves the list, one that failed
// in the transfer or the erase is moved to its end. The caller does what comes before
// (checks, buttons, timer) and after (the closing search).
//
// A station counts as updated only once it has been identified again after its finish
// and answered as its application: one still in its bootloader when the wait ends did
// not take the image (-10), one that answers nothing did not come back (-11); with an
// expected version, one that reports another is unverified (-12). Each ends the run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::pbui {

struct StationResult {
    int station = 0;
    int32_t result = 0;      // DownloadSlave's combined result, then the identification's
    int32_t errorCode = -1;  // the device's error answer, -1 when none
    bool done = false;
    double seconds = 0;
    // After a download that ended 0: the station identified again.
    std::optional<StationComeBack> after;
    // With an expected version: whether the station came back reporting it.
    std::optional<bool> verified;
    // What the download left the station as.
    DeviceLeft left = DeviceLeft::Untouched;
};

// What the run does after each download.
struct Verification {
    int64_t comeBackMs = kComeBackMs;  // how long the station is waited for
    std::optional<uint16_t> expected;  // the version word it must report afterwards
};

// The station's result once its download ended 0 and it was identified again; sets
// `verified` when a version is expected.
int32_t judgeComeBack(const StationComeBack& again, const Verification& verification,
                      std::optional<bool>* verified);

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

ProfibusRunSummary runProfibusStations(Tbootloader& session, ProfibusRunHooks& hooks,
                                       const Verification& verification = {});

}  // namespace romtide::pbui
