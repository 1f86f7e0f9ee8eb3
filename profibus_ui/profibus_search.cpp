#include "profibus_ui/profibus_search.h"

#include <map>

#include "profibus_ui/profibus_texts.h"

namespace romtide::pbui {

namespace {

constexpr uint16_t kVersionParameter = 964;
constexpr uint16_t kVersionIndex = 9;
constexpr int64_t kPauseBetweenScansMs = 200;

}  // namespace

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

    std::map<int, std::string> versions;  // by grid row, as column 3 shows them
    for (size_t i = 0; i < TProfitalvik::kScanTableSize && dp.scanTable()[i].address != 0; ++i) {
        if (c.stopRequested && c.stopRequested()) {
            break;
        }
        const TProfitalvik::ScanEntry entry = dp.scanTable()[i];
        TProfitalvik::SetStationAddress(entry.address);
        int32_t r = dp.DetectPpo();
        c.stationProgress.stepBy(1);
        std::string version = kNotReady;
        if (r >= 0) {
            TProfitalvik::SetPpo2(r != 0);
            ParameterWords request{};
            request[1] = kVersionIndex;
            ParameterWords answer{};
            dp.RequestParameter(request, answer, kVersionParameter);
            version = versionText(answer);
        }
        c.grid.setCell(3, entry.row, version);
        versions[entry.row] = version;
        dp.ScanLiveList(stations);
        c.stationProgress.stepBy(1);
    }
    if (c.cursor != nullptr) {
        c.cursor->setBusy(false);
    }

    std::vector<SearchStation> found;
    for (const LiveStation& s : dp.liveStations()) {
        auto v = versions.find(s.row);
        found.push_back(
            {s.row, s.address, s.type, s.ident, v == versions.end() ? std::string() : v->second});
    }
    return found;
}

}  // namespace romtide::pbui
