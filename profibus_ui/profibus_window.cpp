#include "profibus_ui/profibus_window.h"

#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/file_messages.h"
#include "session/image_acceptance.h"

namespace romtide {

namespace {

constexpr const char* kBootloader = "Bootloader";
constexpr const char* kRomtide = "Romtide";
constexpr const char* kAdapterFailed = "The adapter couldn't inizialized successfully";
constexpr const char* kSlave = "Slave";
constexpr const char* kUpdate = "Update";
constexpr const char* kNotPossible = "Not possibel";
constexpr int kKindColumn = 0;
constexpr int kAddressColumn = 1;
constexpr int kUpdateColumn = 4;
constexpr uint8_t kYes = 1;  // the present and busy bytes of the device information

// A station address cell; nothing unless the whole text is a number of a station.
std::optional<uint8_t> stationOfCell(const std::string& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 ||
        value > 255) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(value);
}

}  // namespace

Tfrm_profibus::Running::~Running() {
    if (--w_.busy_ == 0 && w_.closePending_) {
        w_.closePending_ = false;
        w_.closeNow();
    }
}

Tfrm_profibus::Tfrm_profibus(Tbootloader& session, Controls controls, Actions actions)
    : session_(session), c_(controls), actions_(std::move(actions)) {
    auto& grid = c_.StringGrid1;
    grid.setRowCount(2);
    const auto& captions = pbui::gridCaptions();
    for (int col = 0; col < static_cast<int>(captions.size()); ++col) {
        grid.setCell(col, 0, captions[static_cast<size_t>(col)]);
    }
    c_.check_box_status.setItems({"Talvik adapter connected", "Talvik adapter initialized"});
    c_.progress_profibus.setRange(0, 100);
    c_.progress_profibus.setPosition(0);
    c_.progress_profibus_slaves.setPosition(0);
    // A missing confirmation resets the board under the same cursor.
    session_.profibus->setBusyCursor(&c_.cursor);
    c_.tmr_connect_adapter.setInterval(kAdapterTimerMs);
    c_.tmr_connect_adapter.setHandler([this] { tmr_connect_adapterTimer(); });
    c_.tmr_connect_adapter.setEnabled(false);
}

Tfrm_profibus::~Tfrm_profibus() {
    c_.tmr_connect_adapter.setHandler(nullptr);
    session_.profibus->setBusyCursor(nullptr);
}

void Tfrm_profibus::setEnabled(std::initializer_list<ui::Button*> buttons, bool enabled) {
    for (auto* b : buttons) {
        b->setEnabled(enabled);
    }
}

void Tfrm_profibus::message(const char* text, const char* title, ui::MessageIcon icon) {
    session_.services().messages.show({text, title, icon, ui::MessageButtons::Ok});
}

void Tfrm_profibus::initAdapter() {
    c_.cursor.setBusy(true);
    const int32_t r = session_.profibus->InitAdapter();
    c_.cursor.setBusy(false);
    if (r != dpm::kOk) {
        message(kAdapterFailed, kBootloader, ui::MessageIcon::Error);
    }
}

void Tfrm_profibus::resetAdapter() {
    c_.cursor.setBusy(true);
    session_.profibus->ResetAdapter();
    c_.cursor.setBusy(false);
}

void Tfrm_profibus::FormShow() {
    c_.tmr_connect_adapter.setEnabled(true);
    initAdapter();
}

void Tfrm_profibus::FormActivate() {
    auto& grid = c_.StringGrid1;
    for (int row = 1; row < grid.rowCount(); ++row) {
        for (int col = 0; col < grid.columnCount(); ++col) {
            grid.setCell(col, row, "");
        }
    }
}

void Tfrm_profibus::FormClose() {
    c_.tmr_connect_adapter.setEnabled(false);
    resetAdapter();
}

bool Tfrm_profibus::closeRequested() {
    if (!busy()) {
        return true;
    }
    // A station in hand is not left empty by a click unasked, and a run the user stops
    // leaves the window open with what it says about the stations.
    if (downloading_) {
        askToStopDownload();
        return false;
    }
    // Closing under a running search would reset the board beneath it: the search ends
    // at the next station, and the window closes when it has returned.
    closePending_ = true;
    return false;
}

void Tfrm_profibus::escapePressed() {
    if (downloading_) {
        askToStopDownload();
    }
}

void Tfrm_profibus::askToStopDownload() {
    // Between two stations (a result's message is open) the next one is named.
    const int station = inHand_ != 0 ? inHand_ : session_.GetNode(0);
    const std::string text = "Station " + std::to_string(station) +
                             " is being updated.\nStopping now leaves it " +
                             deviceLeftText(DeviceLeft::InBootloader) + ".\n\nStop the update?";
    const ui::MessageAnswer answer = session_.services().messages.show(
        {text, kBootloader, ui::MessageIcon::Warning, ui::MessageButtons::NoYes});
    if (answer != ui::MessageAnswer::Yes || !downloading_) {
        return;
    }
    stopAsked_ = true;
    session_.Cancel();
}

void Tfrm_profibus::closeNow() {
    c_.tmr_connect_adapter.setEnabled(false);
    resetAdapter();
    if (actions_.close) {
        actions_.close();
    }
}

void Tfrm_profibus::endRun(const std::vector<pbui::StationResult>& results, bool stopped) {
    // A station tried twice counts as it ended last.
    auto lastOf = [&results](size_t i) {
        for (size_t j = i + 1; j < results.size(); ++j) {
            if (results[j].station == results[i].station) {
                return false;
            }
        }
        return true;
    };
    RunCounts counts;
    std::string text;
    for (size_t i = 0; i < results.size(); ++i) {
        if (!lastOf(i)) {
            continue;
        }
        ++counts.devices;
        results[i].done ? ++counts.okay : ++counts.failed;
        if (results[i].left != DeviceLeft::Untouched) {
            text += "Station " + std::to_string(results[i].station) + " is left " +
                    deviceLeftText(results[i].left) + ".\n";
        }
    }
    // The marked stations no result names: the run stopped before them.
    std::vector<int> notRun;
    for (int i = 0; i < 127 && session_.GetNode(i) != 0; ++i) {
        const int station = session_.GetNode(i);
        bool tried = false;
        for (const auto& r : results) {
            tried = tried || r.station == station;
        }
        if (!tried) {
            notRun.push_back(station);
        }
    }
    counts.notRun = static_cast<int>(notRun.size());
    counts.devices += counts.notRun;
    std::optional<RecordOutcome> record;
    if (actions_.runEnded) {
        record = actions_.runEnded(counts, notRun, stopped);
        if (record->recorded()) {
            text +=
                (text.empty() ? "" : "\n") + std::string("The record of this run: ") + record->path;
        }
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    if (!text.empty()) {
        const bool left = counts.okay < counts.devices;
        session_.services().messages.show(
            {text, kBootloader, left ? ui::MessageIcon::Warning : ui::MessageIcon::Information,
             ui::MessageButtons::Ok});
    }
    // A history that cannot be written never stops a run; it is said once.
    if (record && !record->recorded() && !historyFailureSaid_) {
        historyFailureSaid_ = true;
        session_.services().messages.show(historyUnwritableMessage(record->error, kBootloader));
    }
}

void Tfrm_profibus::buton_profibus_initializeClick() {
    // The board is not initialised again under a running search.
    if (busy()) {
        return;
    }
    initAdapter();
}

void Tfrm_profibus::button_profibus_settingsClick() {
    // The dialog initialises the board again: not under a running search.
    if (busy()) {
        return;
    }
    if (actions_.showProfibusOption) {
        actions_.showProfibusOption();
    }
}

void Tfrm_profibus::button_profibus_cancelClick() {
    session_.Cancel();
}

void Tfrm_profibus::button_profibus_closeClick() {
    if (!closeRequested()) {
        return;
    }
    closeNow();
}

void Tfrm_profibus::button_profibus_open_fileClick() {
    const int32_t r = session_.OpenFile(c_.OpenDialog1);
    if (auto m = openFileResultMessage(r)) {
        session_.services().messages.show(*m);
    }
    if (r == result::kOk) {
        const int32_t checked = session_.CheckFile();
        if (checked == result::kOk && confirmOpenedImage(session_, kBootloader)) {
            c_.lab_profibus_datei.setText("File: " + imageSummaryText(*session_.imageFile));
        } else if (auto m = checkFileResultMessage(checked)) {
            m->title = kBootloader;  // this window's boxes say "Bootloader"
            session_.services().messages.show(*m);
        }
    }
    // A file that did not open, or was refused, closed the one shown before.
    if (!session_.imageFile) {
        c_.lab_profibus_datei.setText("");
    }
}

void Tfrm_profibus::tmr_connect_adapterTimer() {
    c_.lab_profibus_id.setText("Current NodeID: " +
                               std::to_string(TProfitalvik::GetStationAddress()));
    c_.lab_profibus_baudrate.setText("Baudrate:\t" +
                                     pbui::baudShortText(TProfitalvik::GetBaudIndex()));
    c_.lab_profibus_ppo.setText(TProfitalvik::GetPpo2() ? "PPO: PPO2" : "PPO: PPO1");
    DeviceInfo info{};
    session_.profibus->GetAdapterInfo(info);
    c_.lab_profibus_adapter.setText(pbui::boardKindText(info.kind));
    if (info.present == kYes) {
        c_.check_box_status.setChecked(kConnectedItem, true);
    } else {
        c_.check_box_status.setChecked(kConnectedItem, false);
        c_.lab_profibus_adapter.setText("-- No Adapter --");
    }
    const bool initialised = info.busy == kYes;
    c_.check_box_status.setChecked(kInitializedItem, initialised);
    setEnabled(
        {&c_.button_profibus_search, &c_.button_profibus_settings, &c_.button_profibus_download},
        initialised);
}

void Tfrm_profibus::button_profibus_searchClick() {
    if (busy()) {
        return;
    }
    search();
}

void Tfrm_profibus::search() {
    Running running(*this);
    pbui::SearchControls controls{c_.StringGrid1, c_.progress_profibus, c_.progress_profibus_slaves,
                                  &c_.cursor,
                                  // A close asked for during the search ends it early.
                                  [this] { return closePending_; }};
    pbui::runProfibusSearch(session_, controls);
}

void Tfrm_profibus::StringGrid1SelectCell(int, int row) {
    auto& grid = c_.StringGrid1;
    if (row <= 0 || row >= grid.rowCount()) {
        return;
    }
    const std::string kind = grid.cell(kKindColumn, row);
    if (kind.empty()) {
        return;
    }
    if (kind != kSlave) {
        grid.setCell(kUpdateColumn, row, kNotPossible);
        return;
    }
    auto station = stationOfCell(grid.cell(kAddressColumn, row));
    if (!station) {
        return;
    }
    if (grid.cell(kUpdateColumn, row) == kUpdate) {
        grid.setCell(kUpdateColumn, row, "");
        session_.RemoveNode(*station);
    } else {
        grid.setCell(kUpdateColumn, row, kUpdate);
        session_.AddNode(*station);
    }
}

void Tfrm_profibus::button_profibus_downloadClick() {
    if (busy()) {
        return;
    }
    if (session_.GetNode(0) == 0) {
        message("No slave to updatelist added!", kBootloader, ui::MessageIcon::Information);
        return;
    }
    if (!session_.imageFile) {
        message("No file open.", kRomtide, ui::MessageIcon::Information);
        return;
    }
    Running running(*this);
    c_.tmr_connect_adapter.setEnabled(false);
    const std::initializer_list<ui::Button*> locked{
        &c_.buton_profibus_initialize, &c_.button_profibus_settings, &c_.button_profibus_search,
        &c_.button_profibus_open_file, &c_.button_profibus_download, &c_.button_profibus_close};
    setEnabled(locked, false);
    c_.button_profibus_cancel.setEnabled(true);

    downloading_ = true;
    stopAsked_ = false;
    pbui::ProfibusRunHooks hooks{
        c_.progress_profibus, c_.lab_profibus_info, c_.progress_profibus_slaves, {}, {}, {}, {}};
    if (actions_.runStarted) {
        actions_.runStarted();
    }
    hooks.stationStarting = [this](int station) {
        inHand_ = station;
        session_.ResetImageUnitsSent();
    };
    hooks.stationFinished = [this](const pbui::StationResult& r) {
        inHand_ = 0;
        if (actions_.stationRecorded) {
            actions_.stationRecorded(r, session_.ImageUnitsSent());
        }
    };
    hooks.stopRequested = [this] { return stopAsked_; };
    const pbui::ProfibusRunSummary summary = pbui::runProfibusStations(session_, hooks);
    downloading_ = false;
    inHand_ = 0;
    endRun(summary.results, summary.stopped || stopAsked_);

    setEnabled(locked, true);
    c_.lab_profibus_info.setText(" ");
    c_.tmr_connect_adapter.setEnabled(true);
    // The list is rebuilt from what is on the bus now, unless the window is closing.
    if (!closePending_) {
        search();
    }
}

}  // namespace romtide
