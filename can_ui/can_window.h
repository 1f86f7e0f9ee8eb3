// The CAN download window as logic: its state, the workflow of its buttons, the three
// timers, the results memo and the closing sequence. The search and the node loop of a
// download run are the shared ones (CanNodeSearch, runDownloadNodes); the window adds
// the checks, the buttons' states and the timers around them. A toolkit view builds the
// controls under the names used here and forwards its events to the handlers.
#pragma once

#include "can_ui/can_texts.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "can_ui/can_download_run.h"
#include "can_ui/can_search.h"
#include "session/run_record.h"
#include "session/tbootloader.h"
#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace romtide {

namespace canui {

// A picture that is either shown or hidden (the bootloader monitor's indicator).
class Picture {
  public:
    virtual ~Picture() = default;
    virtual void setVisible(bool visible) = 0;
    virtual bool isVisible() const = 0;
};

class PlainPicture : public Picture {
  public:
    void setVisible(bool visible) override { visible_ = visible; }
    bool isVisible() const override { return visible_; }

  private:
    bool visible_ = true;
};

}  // namespace canui

class Tfrm_can {
  public:
    static constexpr const char* kCaption = "Romtide - CAN download";
    static constexpr int kWidth = 1100;  // the window is widened to this at creation
    static constexpr int kClientHeight = 603;
    static constexpr int kMonitorMs = 500;
    static constexpr int kSettingsMs = 250;
    static constexpr int kCountMs = 500;

    struct Controls {
        ui::Button& button_can_init;
        ui::Button& button_can_search;
        ui::Button& button_can_open;
        ui::Button& button_can_download;
        ui::Button& Button1;
        ui::Button& button_can_quit;
        ui::Button& button_can_settings;
        ui::Button& button_can_connect;
        ui::ComboBox& combobox_baudrate;
        ui::ProgressBar& prog_bar_can_search;
        ui::TextLabel& lab_can_datei;
        ui::TextLabel& lab_can_update_nr;
        ui::TextLabel& lab_can_tot_updatezahl;
        ui::ProgressBar& progress;
        ui::TextLabel& lab_can_baudrate;
        ui::TextLabel& lab_can_id;
        canui::Picture& img_can_boot_con_false;
        canui::Picture& img_can_boot_con_okay;
        ui::Memo& memo_can_ergebnisse;
        ui::StringGrid& StringGrid1;
        ui::OpenFileDialog& OpenDialog1;
        ui::Timer& tmr_can_bootloader_connect;
        ui::Timer& tmr_can_settings;
        ui::Timer& tmr_can_updates_anzahl;
    };
    // What the window does to itself and to the other windows: hide itself (the view
    // then runs FormClose), and show the two dialogs modally.
    struct Actions {
        std::function<void()> close;
        std::function<void()> showCanOption;   // Tfrm_can_option
        std::function<void()> showSelproduct;  // Tfrm_selproduct
        // The start line's date and time.
        std::function<std::string()> dateTime = canui::localDateTimeText;
        // The run history (the desktop program records each run): told when a run
        // starts, after each node (with its time and the image's text units it was
        // sent), and at the end with the counts and the nodes the run did not reach;
        // the end says where the record went. Unset: the run is not recorded.
        std::function<void()> runStarted;
        std::function<void(const canui::NodeResult&, double seconds, int64_t unitsSent)>
            nodeRecorded;
        std::function<RecordOutcome(const RunCounts&, const std::vector<int>& notRun, bool stopped)>
            runEnded;
        // The end line's time, UTC, ISO 8601.
        std::function<std::string()> endTime = utcTimeText;
    };

    // Creation, once at program start: the window exists hidden from then on.
    Tfrm_can(Tbootloader& session, Controls controls, Actions actions);
    ~Tfrm_can();
    Tfrm_can(const Tfrm_can&) = delete;
    Tfrm_can& operator=(const Tfrm_can&) = delete;

    void FormShow();
    void FormActivate();
    void FormClose();
    void button_can_initClick();
    void button_can_openClick();
    void button_can_settingsClick();
    void button_can_connectClick();
    void button_can_searchClick();
    void button_can_downloadClick();
    void Button1Click();
    void button_can_quitClick();
    void StringGrid1SelectCell(int column, int row);
    void tmr_can_bootloader_connectTimer();
    void tmr_can_settingsTimer();
    void tmr_can_updates_anzahlTimer();

    // The row of the device `node` that the search found; 0 when there is none.
    int FindRowOfNode(int node) const;
    void PumpWait(int32_t units) { search_.PumpWait(units); }
    void ShutDownCan();

    // The title bar's close button: whether the window may hide now. While a handler
    // runs the close is done when it has returned, as for Quit; during a transfer it asks
    // first, as Quit does, and never closes the window.
    bool closeRequested();
    // Escape: outside a transfer nothing (closing releases the adapter); during one the
    // question of Quit.
    void escapePressed();
    // A device is in hand: a run or Detect is connecting to it or writing it.
    bool transferring() const { return inHand_ != 0; }
    // A handler of this window is running (a search, Detect or a download run, with
    // events processed inside it).
    bool busy() const { return busy_ > 0; }
    uint8_t connectedNode() const { return connectedNode_; }
    int doneCount() const { return done_; }
    canui::CanNodeSearch& search() { return search_; }

  private:
    // Counts running handlers; when the outermost returns, a Quit given meanwhile closes
    // the window.
    class Running {
      public:
        explicit Running(Tfrm_can& w) : w_(w) { ++w_.busy_; }
        ~Running();

      private:
        Tfrm_can& w_;
    };

    void setEnabled(std::initializer_list<ui::Button*> buttons, bool enabled);
    void showConnected(bool connected);
    void message(const char* text, const char* title, ui::MessageIcon icon);
    void clearDataRows();
    void cancelAll();
    // During a transfer: asks whether to stop it, naming the device in hand and what
    // stopping leaves it as (No is the default). Yes stops the run after this device;
    // the window stays open with its results.
    void askToStopTransfer();
    // The run's last memo line (its end, the counts, where its record went), and the
    // record's end.
    void endRun(const canui::RunSummary& summary);

    Tbootloader& session_;
    Controls c_;
    Actions actions_;
    canui::DeviceGrid deviceGrid_;
    canui::CanNodeSearch search_;
    uint8_t connectedNode_ = 0;
    int done_ = 0;
    bool stop_ = false;
    int inHand_ = 0;          // the node a run or Detect is working on; 0: none
    bool stopAsked_ = false;  // the user said Yes to stopping the run
    int64_t nodeStartedUs_ = 0;
    bool historyFailureSaid_ = false;
    int busy_ = 0;
    bool closePending_ = false;
};

}  // namespace romtide
