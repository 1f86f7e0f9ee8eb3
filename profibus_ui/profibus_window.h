// The Profibus download window as logic: the board display driven by its timer, the
// search, marking stations, opening the image, the download run and the closing
// sequence. The search and the station loop of a run are the shared ones
// (runProfibusSearch, runProfibusStations); the window adds the checks, the buttons'
// states, the timer and the rescan after a run. A toolkit view builds the controls under
// the names used here and forwards its events to the handlers.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "profibus_ui/profibus_download_run.h"
#include "session/run_record.h"
#include "session/tbootloader.h"
#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace romtide {

class Tfrm_profibus {
  public:
    static constexpr const char* kCaption = "Romtide - Profibus download";
    static constexpr int kClientWidth = 802;
    static constexpr int kClientHeight = 433;
    static constexpr int kAdapterTimerMs = 1000;
    // Items of check_box_status.
    static constexpr int kConnectedItem = 0;
    static constexpr int kInitializedItem = 1;

    struct Controls {
        ui::Button& buton_profibus_initialize;
        ui::Button& button_profibus_search;
        ui::Button& button_profibus_settings;
        ui::Button& button_profibus_open_file;
        ui::Button& button_profibus_download;
        ui::Button& button_profibus_cancel;
        ui::Button& button_profibus_close;
        ui::CheckList& check_box_status;
        ui::TextLabel& lab_profibus_adapter;
        ui::TextLabel& lab_profibus_baudrate;
        ui::TextLabel& lab_profibus_id;
        ui::TextLabel& lab_profibus_ppo;
        ui::TextLabel& lab_profibus_datei;
        ui::TextLabel& lab_profibus_info;
        ui::ProgressBar& progress_profibus;
        ui::ProgressBar& progress_profibus_slaves;
        ui::StringGrid& StringGrid1;
        ui::OpenFileDialog& OpenDialog1;
        ui::Timer& tmr_connect_adapter;
        ui::BusyCursor& cursor;
    };
    // What the window does to itself and to the other windows: hide itself (the view
    // then runs FormClose), and show the options dialog modally.
    struct Actions {
        std::function<void()> close;
        std::function<void()> showProfibusOption;  // Tfrm_profibus_option
        // The run history (the desktop program records each run): told when a run
        // starts, after each station (with the image's text units it was sent), and at
        // the end with the counts and the stations the run did not reach; the end says
        // where the record went. Unset: the run is not recorded.
        std::function<void()> runStarted;
        std::function<void(const pbui::StationResult&, int64_t unitsSent)> stationRecorded;
        std::function<RecordOutcome(const RunCounts&, const std::vector<int>& notRun, bool stopped)>
            runEnded;
    };

    // Creation, once at program start: the window exists hidden from then on.
    Tfrm_profibus(Tbootloader& session, Controls controls, Actions actions);
    ~Tfrm_profibus();
    Tfrm_profibus(const Tfrm_profibus&) = delete;
    Tfrm_profibus& operator=(const Tfrm_profibus&) = delete;

    void FormShow();
    void FormActivate();
    void FormClose();
    void buton_profibus_initializeClick();
    void button_profibus_searchClick();
    void button_profibus_settingsClick();
    void button_profibus_open_fileClick();
    void button_profibus_downloadClick();
    void button_profibus_cancelClick();
    void button_profibus_closeClick();
    void StringGrid1SelectCell(int column, int row);
    void tmr_connect_adapterTimer();

    // The title bar's close button: whether the window may hide now. While a search
    // runs, the close is done when it has returned, as for Quit; during a download it
    // asks whether to stop it, and never closes the window.
    bool closeRequested();
    // Escape: outside a download nothing (closing resets the board); during one the
    // question of the title bar.
    void escapePressed();
    // A search or a download run is on the stack (with events processed inside it).
    bool busy() const { return busy_ > 0; }

  private:
    // Counts running handlers; when the outermost returns, a close asked for meanwhile
    // is carried out.
    class Running {
      public:
        explicit Running(Tfrm_profibus& w) : w_(w) { ++w_.busy_; }
        ~Running();

      private:
        Tfrm_profibus& w_;
    };

    void search();
    void closeNow();
    void initAdapter();
    void resetAdapter();
    void setEnabled(std::initializer_list<ui::Button*> buttons, bool enabled);
    void message(const char* text, const char* title, ui::MessageIcon icon);
    // During a download: asks whether to stop it, naming the station in hand and what
    // stopping leaves it as (No is the default). Yes stops the run at this station; the
    // window stays open.
    void askToStopDownload();
    // After the last station: what the run left stations as, and where its record went.
    void endRun(const std::vector<pbui::StationResult>& results, bool stopped);

    Tbootloader& session_;
    Controls c_;
    Actions actions_;
    int busy_ = 0;
    bool downloading_ = false;
    int inHand_ = 0;  // the station the run is writing; 0: between stations
    bool stopAsked_ = false;
    bool historyFailureSaid_ = false;
    bool closePending_ = false;
};

}  // namespace romtide
