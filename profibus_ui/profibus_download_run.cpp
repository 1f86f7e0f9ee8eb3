#include "profibus_ui/profibus_download_run.h"

namespace romtide::pbui {

int32_t judgeComeBack(const StationComeBack& again, const Verification& verification,
                      std::optional<bool>* verified) {
    if (verification.expected) {
        *verified = again.answered == CameBack::Application &&
                    again.identity.versionWord == *verification.expected;
    }
    switch (again.answered) {
        case CameBack::Application:
            return verified->value_or(true) ? result::kOk : result::kUnverified;
        case CameBack::Bootloader:
            return result::kNotCommitted;
        case CameBack::Cancelled:
            return result::kCancelled;
        case CameBack::Nothing:
            break;
    }
    return result::kNotBack;
}

ProfibusRunSummary runProfibusStations(Tbootloader& session, ProfibusRunHooks& hooks,
                                       const Verification& verification) {
    ProfibusRunSummary summary;
    int stations = 0;
    while (stations < 127 && session.GetNode(stations) != 0) {
        ++stations;
    }
    hooks.stationProgress.setRange(0, stations);
    hooks.stationProgress.setPosition(0);
    Clock& clock = session.services().clock;
    while (session.GetNode(0) != 0 && !summary.stopped) {
        if (hooks.stopRequested && hooks.stopRequested()) {
            summary.stopped = true;
            break;
        }
        StationResult r;
        r.station = session.GetNode(0);
        if (hooks.stationStarting) {
            hooks.stationStarting(r.station);
        }
        const int64_t started = clock.nowUs();
        session.ForgetDevice();
        r.result = session.DownloadSlave(hooks.progress, hooks.label);
        r.errorCode = session.ProfibusErrorCode();
        if (r.result == result::kOk) {
            hooks.label.setText("Waiting for the station to start its firmware...");
            r.after = identifyStationAgain(session, static_cast<uint8_t>(r.station),
                                           verification.comeBackMs);
            r.result = judgeComeBack(*r.after, verification, &r.verified);
        }
        r.seconds = static_cast<double>(clock.nowUs() - started) / 1e6;
        r.left =
            r.result == result::kNotCommitted ? DeviceLeft::InBootloader : session.deviceLeft();
        const DownloadMessage m = downloadMessage(r.result);
        r.done = m.done;
        ui::MessageAnswer answer =
            hooks.showResult ? hooks.showResult(r, m) : session.services().messages.show(m.message);
        const auto station = static_cast<uint8_t>(r.station);
        if (m.done) {
            session.RemoveNode(station);
            hooks.stationProgress.stepBy(1);
        }
        summary.stopped = m.stopRun || (m.cancelStops && answer == ui::MessageAnswer::Cancel);
        if (m.moveToEnd) {
            session.RemoveNode(station);
            session.AddNode(station);
        }
        summary.results.push_back(r);
        if (hooks.stationFinished) {
            hooks.stationFinished(r);
        }
    }
    return summary;
}

}  // namespace romtide::pbui
