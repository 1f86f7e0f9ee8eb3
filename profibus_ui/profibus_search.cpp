#include "profibus_ui/profibus_search.h"

#include <map>

#include "profibus_ui/profibus_texts.h"

namespace romtide::pbui {

namespace {

constexpr uint16_t kVersionParameter = 964;
constexpr uint16_t kVersionIndex = 9;
constexpr uint16_t kBootloaderAnswers = 0x0400;  // word 2 of the bootloader's version answer
constexpr int64_t kPauseBetweenScansMs = 200;
constexpr int64_t kPauseBetweenLooksMs = 200;

bool cancelRequested() {
    return Tbootloader::attemptCount >= Tbootloader::kCancelRequest;
}

}  // namespace

StationIdentity identifyStation(Tbootloader& session, uint8_t address) {
    TProfitalvik& dp = *session.profibus;
    TProfitalvik::SetStationAddress(address);
    StationIdentity id;
    id.text = kNotReady;
    const int32_t r = dp.DetectPpo();
    if (r < 0) {
        return id;
    }
    id.ready = true;
    id.ppo2 = r != 0;
    TProfitalvik::SetPpo2(id.ppo2);
    ParameterWords request{};
    request[1] = kVersionIndex;
    ParameterWords answer{};
    dp.RequestParameter(request, answer, kVersionParameter);
    id.text = versionText(answer);
    // An array element answer (identifier 4 or 5) for this parameter and index.
    const uint16_t identifier = answer[0] >> 12;
    id.versionAnswered = (identifier == 4 || identifier == 5) &&
                         (answer[0] & 0x07FF) == kVersionParameter &&
                         answer[1] == kVersionIndex << 8;
    id.bootloader = answer[2] == kBootloaderAnswers;
    id.versionWord = answer[3];
    return id;
}

StationComeBack identifyStationAgain(Tbootloader& session, uint8_t address, int64_t waitMs) {
    const Services& s = session.services();
    const int64_t started = s.clock.nowMs();
    StationComeBack back;
    for (;;) {
        if (cancelRequested()) {
            back.answered = CameBack::Cancelled;
            break;
        }
        back.identity = identifyStation(session, address);
        const StationIdentity& id = back.identity;
        if (id.versionAnswered && !id.bootloader) {
            back.answered = CameBack::Application;
            break;
        }
        // Only the last look counts: a bootloader seen once may have started the
        // application since.
        back.answered = id.versionAnswered ? CameBack::Bootloader : CameBack::Nothing;
        if (s.clock.nowMs() - started >= waitMs) {
            break;
        }
        ui::pumpFor(s.pump, s.clock, kPauseBetweenLooksMs * 1000);
    }
    if (back.answered != CameBack::Application && cancelRequested()) {
        back.answered = CameBack::Cancelled;
    }
    back.ms = s.clock.nowMs() - started;
    return back;
}

std::vector<SearchStation> runProfibusSearch(Tbootloader& session, SearchControls& c) {
    TProfitalvik& dp = *session.profibus;
    if (c.cursor != nullptr) {
        c.cursor->setBusy(true);
    }
    for (int row = 1; row < c.grid.rowCount(); ++row) {
        for (int column = 0; column < c.grid.columnCount(); ++column) {
            c.grid.setCell(column, row, "");
        }
    }
    // A search drops every update mark.
    for (int node = 0; node <= 127; ++node) {
        session.RemoveNode(static_cast<uint8_t>(node));
    }

    StringGridStations stations(c.grid);
    dp.ScanLiveList(stations);
    ui::pumpFor(session.services().pump, session.services().clock, kPauseBetweenScansMs * 1000);
    dp.ScanLiveList(stations);

    c.imageProgress.setPosition(0);
    size_t end = 1;
    while (end < TProfitalvik::kScanTableSize - 1 && dp.scanTable()[end].address != 0) {
        ++end;
    }
    c.stationProgress.setRange(0, 2 * static_cast<int>(end));
    c.stationProgress.setPosition(0);

    std::map<int, StationIdentity> identities;  // by grid row
    for (size_t i = 0; i < TProfitalvik::kScanTableSize && dp.scanTable()[i].address != 0; ++i) {
        if (c.stopRequested && c.stopRequested()) {
            break;
        }
        const TProfitalvik::ScanEntry entry = dp.scanTable()[i];
        const StationIdentity id = identifyStation(session, entry.address);
        c.stationProgress.stepBy(1);
        c.grid.setCell(3, entry.row, id.text);
        identities[entry.row] = id;
        dp.ScanLiveList(stations);
        c.stationProgress.stepBy(1);
    }
    if (c.cursor != nullptr) {
        c.cursor->setBusy(false);
    }

    std::vector<SearchStation> found;
    for (const LiveStation& s : dp.liveStations()) {
        SearchStation station;
        station.row = s.row;
        station.address = s.address;
        station.type = s.type;
        station.ident = s.ident;
        if (auto id = identities.find(s.row); id != identities.end()) {
            station.version = id->second.text;
            station.identity = id->second;
        }
        found.push_back(station);
    }
    return found;
}

}  // namespace romtide::pbui
