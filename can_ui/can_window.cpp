#include "can_ui/can_window.h"

#include <ctime>
#include <optional>

#include "can_ui/can_download_run.h"
#include "can_ui/can_texts.h"
#include "session/file_messages.h"
#include "session/image_acceptance.h"

namespace romtide {

namespace {

constexpr const char* kRomtide = "Romtide";

}  // namespace

Tfrm_can::Running::~Running() {
    if (--w_.busy_ == 0 && w_.closePending_) {
        w_.closePending_ = false;
        if (w_.actions_.close) {
            w_.actions_.close();
        }
    }
}

Tfrm_can::Tfrm_can(Tbootloader& session, Controls controls, Actions actions)
    : session_(session),
      c_(controls),
      actions_(std::move(actions)),
      deviceGrid_(c_.StringGrid1),
      search_(session, {c_.prog_bar_can_search,
                        c_.combobox_baudrate,
                        {&c_.button_can_open, &c_.button_can_init, &c_.button_can_connect,
                         &c_.button_can_search, &c_.button_can_settings, &c_.button_can_download},
                        &deviceGrid_}) {
    auto& grid = c_.StringGrid1;
    grid.setRowCount(2);
    const auto& captions = canui::gridCaptions();
    for (int col = 0; col < static_cast<int>(captions.size()); ++col) {
        grid.setCell(col, 0, captions[static_cast<size_t>(col)]);
    }
    c_.prog_bar_can_search.setRange(0, 127);
    c_.prog_bar_can_search.setPosition(0);
    c_.progress.setRange(0, 100);
    const auto& items = canui::baudListItems();
    c_.combobox_baudrate.setItems({items.begin(), items.end()});
    c_.combobox_baudrate.setItemIndex(TCANComm::GetBaudIndex());
    setEnabled(
        {&c_.button_can_init, &c_.button_can_settings, &c_.button_can_open, &c_.button_can_quit},
        true);
    setEnabled({&c_.button_can_connect, &c_.button_can_search, &c_.button_can_download}, false);

    c_.tmr_can_bootloader_connect.setInterval(kMonitorMs);
    c_.tmr_can_bootloader_connect.setHandler([this] { tmr_can_bootloader_connectTimer(); });
    c_.tmr_can_settings.setInterval(kSettingsMs);
    c_.tmr_can_settings.setHandler([this] { tmr_can_settingsTimer(); });
    c_.tmr_can_updates_anzahl.setInterval(kCountMs);
    c_.tmr_can_updates_anzahl.setHandler([this] { tmr_can_updates_anzahlTimer(); });
    c_.tmr_can_updates_anzahl.setEnabled(true);
}

Tfrm_can::~Tfrm_can() {
    TCANComm::SetReceiveForward(false);
    // The decoder belongs to this window; no frame may reach it once the window is gone.
    TCANComm::SetReceiveHandler(nullptr);
    c_.tmr_can_bootloader_connect.setHandler(nullptr);
    c_.tmr_can_settings.setHandler(nullptr);
    c_.tmr_can_updates_anzahl.setHandler(nullptr);
}

void Tfrm_can::setEnabled(std::initializer_list<ui::Button*> buttons, bool enabled) {
    for (auto* b : buttons) {
        b->setEnabled(enabled);
    }
}

void Tfrm_can::showConnected(bool connected) {
    c_.img_can_boot_con_okay.setVisible(connected);
    c_.img_can_boot_con_false.setVisible(!connected);
}

void Tfrm_can::message(const char* text, const char* title, ui::MessageIcon icon) {
    session_.services().messages.show({text, title, icon, ui::MessageButtons::Ok});
}

void Tfrm_can::clearDataRows() {
    // The grid's rows go with the devices they show; the update marks with them.
    search_.clearDevices();
    auto& grid = c_.StringGrid1;
    for (int r = 1; r < grid.rowCount(); ++r) {
        grid.setCell(7, r, "");
    }
}

void Tfrm_can::cancelAll() {
    session_.Cancel();
    canui::CanNodeSearch::searchCancel = true;
    c_.prog_bar_can_search.setPosition(0);
}

void Tfrm_can::FormShow() {
    c_.tmr_can_settings.setEnabled(true);
}

void Tfrm_can::FormActivate() {
    c_.tmr_can_bootloader_connect.setEnabled(false);
    showConnected(false);
    c_.memo_can_ergebnisse.clear();
    TCANComm::SetReceiveHandler(search_.receiveHandler());
    setEnabled(
        {&c_.button_can_init, &c_.button_can_settings, &c_.button_can_open, &c_.button_can_quit},
        true);
    setEnabled({&c_.button_can_connect, &c_.button_can_search, &c_.button_can_download}, false);
}

void Tfrm_can::FormClose() {
    clearDataRows();
    cancelAll();
    ShutDownCan();
}

void Tfrm_can::ShutDownCan() {
    session_.canComm->CancelBoard();
    c_.prog_bar_can_search.setPosition(0);
    c_.tmr_can_settings.setEnabled(false);
    setEnabled({&c_.button_can_connect, &c_.button_can_download}, false);
    c_.progress.setPosition(0);
    c_.lab_can_datei.setText(" ");
    session_.imageFile.reset();
    session_.updateFile.reset();
}

bool Tfrm_can::closeRequested() {
    if (!busy()) {
        return true;
    }
    button_can_quitClick();
    return false;
}

void Tfrm_can::escapePressed() {
    if (transferring()) {
        askToStopTransfer();
    }
}

void Tfrm_can::askToStopTransfer() {
    const int node = inHand_;
    const std::string slave = "Slave " + std::to_string(node);
    const bool renewing = session_.Renewing() || session_.deviceLeft() == DeviceLeft::InUpdater;
    const std::string text =
        renewing ? "The bootloader of " + slave + " is being renewed.\nStopping now leaves it " +
                       deviceLeftText(DeviceLeft::InUpdater) + ".\n\nStop the renewal?"
                 : slave + " is being updated.\nStopping now leaves it " +
                       deviceLeftText(DeviceLeft::InBootloader) + ".\n\nStop the update?";
    const ui::MessageAnswer answer = session_.services().messages.show(
        {text, kRomtide, ui::MessageIcon::Warning, ui::MessageButtons::NoYes});
    // The device may have been finished while the question was open: nothing to stop.
    if (answer != ui::MessageAnswer::Yes || inHand_ == 0) {
        return;
    }
    stopAsked_ = true;
    cancelAll();
}

void Tfrm_can::button_can_initClick() {
    Running running(*this);
    TCANComm::SetBaudIndex(TCANComm::kDefaultBaudIndex);
    session_.SetNodeId(1);
    int32_t r = session_.canComm->SelectBoard();
    if (r == 1) {
        setEnabled({&c_.button_can_connect, &c_.button_can_search}, true);
    } else if (r != 2 && r != 3) {
        message("The Board couldn't initialized successfully!", kRomtide, ui::MessageIcon::Error);
    }
}

void Tfrm_can::button_can_openClick() {
    Running running(*this);
    int32_t r = session_.OpenFile(c_.OpenDialog1);
    if (auto m = openFileResultMessage(r)) {
        session_.services().messages.show(*m);
    }
    if (r == result::kOk) {
        int32_t checked = session_.CheckFile();
        if (checked == result::kOk && confirmOpenedImage(session_, kRomtide)) {
            c_.lab_can_datei.setText("File: " + imageSummaryText(*session_.imageFile));
        } else if (auto m = checkFileResultMessage(checked)) {
            session_.services().messages.show(*m);
        }
    }
    // A file that did not open, or was refused, closed the one shown before.
    if (!session_.imageFile) {
        c_.lab_can_datei.setText(" ");
    }
    tmr_can_bootloader_connectTimer();
}

void Tfrm_can::button_can_settingsClick() {
    Running running(*this);
    if (actions_.showCanOption) {
        actions_.showCanOption();
    }
    if (TCANComm::IsBoardReady()) {
        int32_t r = session_.canComm->InitCan(0, static_cast<uint32_t>(session_.GetSdoId() - 0x80));
        if (r <= 0) {
            message("The CAN bus couldn't inizialized successfully", kRomtide,
                    ui::MessageIcon::Error);
        }
    }
}

void Tfrm_can::button_can_connectClick() {
    Running running(*this);
    session_.canComm->InitCan(0, static_cast<uint32_t>(session_.GetSdoId() - 0x80));
    setEnabled({&c_.button_can_connect, &c_.button_can_init, &c_.button_can_search,
                &c_.button_can_settings, &c_.button_can_download, &c_.button_can_open},
               false);
    // The connect may renew the device's bootloader: it is in hand meanwhile.
    session_.ForgetDevice();
    stopAsked_ = false;
    inHand_ = session_.GetNodeId();
    int32_t r = session_.ConnectBootloader(c_.progress);
    inHand_ = 0;
    if (r != result::kBootloaderUpdated && session_.deviceLeft() != DeviceLeft::Untouched) {
        // A renewal stopped or failed halfway: the results say what the device is left as.
        c_.memo_can_ergebnisse.addLine(canui::memoLine(session_.GetNodeId(), " - left ") +
                                       deviceLeftText(session_.deviceLeft()));
    }
    switch (r) {
        case result::kOk:
        case result::kDeclined:
            c_.tmr_can_bootloader_connect.setEnabled(true);
            break;
        case result::kBootloaderUpdated:
            tmr_can_bootloader_connectTimer();
            tmr_can_updates_anzahlTimer();
            button_can_downloadClick();
            break;
        case result::kCancelled:
            if (actions_.showSelproduct) {
                actions_.showSelproduct();
            }
            button_can_connectClick();
            break;
        case result::kTransferError:
            message("Error during update!", kRomtide, ui::MessageIcon::Information);
            break;
        case result::kBusError:
            message("You've first to initialize the CAN - Bus!", kRomtide,
                    ui::MessageIcon::Information);
            break;
        case result::kNoConnection:
            message("No Bootloader connected!\nPlease check the Node-ID and Baudrate.", kRomtide,
                    ui::MessageIcon::Information);
            break;
        default:
            break;
    }
    setEnabled({&c_.button_can_open, &c_.button_can_init, &c_.button_can_connect,
                &c_.button_can_search, &c_.button_can_settings, &c_.button_can_download},
               true);
}

void Tfrm_can::button_can_searchClick() {
    Running running(*this);
    search_.button_can_searchClick();
}

void Tfrm_can::button_can_downloadClick() {
    Running running(*this);
    // The list first: "No slave to update." whether or not a file is open.
    if (session_.GetNode(0) == 0) {
        message("No slave to update.", kRomtide, ui::MessageIcon::Information);
        return;
    }
    if (!session_.imageFile) {
        message("No file open.", kRomtide, ui::MessageIcon::Information);
        return;
    }
    c_.tmr_can_bootloader_connect.setEnabled(false);
    done_ = 0;
    c_.lab_can_update_nr.setText("0");
    // The marked count keeps its value from the start of the run.
    c_.tmr_can_updates_anzahl.setEnabled(false);
    c_.memo_can_ergebnisse.clear();
    c_.memo_can_ergebnisse.addLine("Romtide, start firmware update, " +
                                   (actions_.dateTime ? actions_.dateTime() : std::string()));
    setEnabled({&c_.button_can_open, &c_.button_can_connect, &c_.button_can_search,
                &c_.button_can_settings, &c_.button_can_download, &c_.button_can_init},
               false);

    canui::DownloadRunHooks hooks{c_.memo_can_ergebnisse, c_.progress, {}, {}, {}, {}, {}};
    hooks.chooseProduct = [this] {
        if (actions_.showSelproduct) {
            actions_.showSelproduct();
        }
    };
    hooks.doneChanged = [this](int done) {
        done_ = done;
        c_.lab_can_update_nr.setText(std::to_string(done));
    };
    if (actions_.runStarted) {
        actions_.runStarted();
    }
    Clock& clock = session_.services().clock;
    hooks.nodeStarting = [this, &clock](int node) {
        inHand_ = node;
        nodeStartedUs_ = clock.nowUs();
        session_.ResetImageUnitsSent();
    };
    hooks.nodeFinished = [this, &clock](const canui::NodeResult& r) {
        inHand_ = 0;
        if (actions_.nodeRecorded) {
            actions_.nodeRecorded(r, static_cast<double>(clock.nowUs() - nodeStartedUs_) / 1e6,
                                  session_.ImageUnitsSent());
        }
        if (int row = FindRowOfNode(r.node); row > 0) {
            c_.StringGrid1.setCell(7, row, "");
        }
    };
    // Yes to the question of Quit, the title bar or Escape: no further node is touched.
    stopAsked_ = false;
    hooks.stopRequested = [this] { return stopAsked_; };
    canui::RunSummary summary = canui::runDownloadNodes(session_, hooks);
    inHand_ = 0;
    stop_ = summary.stopped;
    endRun(summary);

    c_.lab_can_update_nr.setText("0");
    setEnabled(
        {&c_.button_can_open, &c_.button_can_init, &c_.button_can_connect, &c_.button_can_search,
         &c_.button_can_settings, &c_.button_can_download, &c_.button_can_quit},
        true);
    c_.tmr_can_bootloader_connect.setEnabled(true);
    c_.tmr_can_updates_anzahl.setEnabled(true);
    // The grid is rebuilt from what is on the bus now.
    search_.button_can_searchClick();
}

void Tfrm_can::endRun(const canui::RunSummary& summary) {
    // The nodes a stopped run did not reach are still marked.
    std::vector<int> notRun;
    for (int i = 0; i < 127 && session_.GetNode(i) != 0; ++i) {
        notRun.push_back(session_.GetNode(i));
    }
    RunCounts counts;
    counts.notRun = static_cast<int>(notRun.size());
    counts.devices = summary.processed + counts.notRun;
    counts.okay = summary.done;
    counts.failed = summary.processed - summary.done;
    std::string line = "Romtide, end of firmware update, " +
                       (actions_.endTime ? actions_.endTime() : std::string()) + ": " +
                       std::to_string(counts.okay) + " of " + std::to_string(counts.devices) +
                       " okay";
    if (!actions_.runEnded) {
        c_.memo_can_ergebnisse.addLine(line);
        return;
    }
    const RecordOutcome record = actions_.runEnded(counts, notRun, summary.stopped);
    c_.memo_can_ergebnisse.addLine(line + (record.recorded() ? ", record " + recordName(record)
                                                             : std::string(", not recorded")));
    // A history that cannot be written never stops a run; it is said once.
    if (!record.recorded() && !historyFailureSaid_) {
        historyFailureSaid_ = true;
        session_.services().messages.show(historyUnwritableMessage(record.error, kRomtide));
    }
}

void Tfrm_can::Button1Click() {
    cancelAll();
}

void Tfrm_can::button_can_quitClick() {
    // A device in hand is not left empty by a click unasked, and the results of a run
    // the user stopped stay on the screen.
    if (transferring()) {
        askToStopTransfer();
        return;
    }
    clearDataRows();
    cancelAll();
    // A running search, Detect or run sees the cancel and returns; the window closes then.
    if (busy()) {
        closePending_ = true;
        return;
    }
    if (actions_.close) {
        actions_.close();
    }
}

void Tfrm_can::StringGrid1SelectCell(int, int row) {
    auto& grid = c_.StringGrid1;
    if (row <= 0 || row >= grid.rowCount()) {
        return;
    }
    // The row's device, as the search handed it over; a row without one is empty.
    const auto& devices = search_.devices();
    if (static_cast<size_t>(row) > devices.size()) {
        return;
    }
    auto id = static_cast<uint8_t>(devices[static_cast<size_t>(row - 1)].node);
    if (grid.cell(7, row).empty()) {
        grid.setCell(7, row, "Update");
        session_.AddNode(id);
    } else {
        grid.setCell(7, row, "");
        session_.RemoveNode(id);
    }
}

void Tfrm_can::tmr_can_bootloader_connectTimer() {
    Running running(*this);
    if (session_.CheckBootloader() == 0) {
        showConnected(true);
        session_.AddNode(static_cast<uint8_t>(session_.GetNodeId()));
        connectedNode_ = static_cast<uint8_t>(session_.GetNodeId());
    } else {
        c_.tmr_can_bootloader_connect.setEnabled(false);
        showConnected(false);
        session_.RemoveNode(connectedNode_);
    }
}

void Tfrm_can::tmr_can_settingsTimer() {
    c_.lab_can_id.setText("Node-ID: " + std::to_string(session_.GetNodeId()));
    int index = TCANComm::GetBaudIndex();
    if (index >= 0 && index <= 8) {
        c_.lab_can_baudrate.setText("Baudrate: " +
                                    canui::baudDisplayTexts()[static_cast<size_t>(index)]);
    }
}

void Tfrm_can::tmr_can_updates_anzahlTimer() {
    int count = 0;
    while (count < 127 && session_.GetNode(count) != 0) {
        ++count;
    }
    c_.lab_can_tot_updatezahl.setText(std::to_string(count));
}

int Tfrm_can::FindRowOfNode(int node) const {
    if (node == 0) {
        return 0;
    }
    const auto& devices = search_.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].node == node) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

}  // namespace romtide
