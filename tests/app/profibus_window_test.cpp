// The Profibus download window and its options dialog against the real widgets, on a
// scripted board on the virtual clock: the board display, the search, marking stations,
// the run's checks and messages, the reordering of failed stations, Cancel, Quit and
// closing while a handler runs, and the dialog's validation and board steps.
#include "app/desktop/profibus_views.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/virtual_timer.h"
#include "profibus_ui/profibus_download_run.h"
#include "support/fakes.h"
#include "tests/app/profibus_view_driver.h"
#include "tests/app/scripted_segment.h"
#include "ui/qt_test_support.h"

namespace romtide::desktop {
namespace {

using pbtest::NoShell;
using pbtest::text;
using test::ScriptedStation;

// What the end of a run says about a station it left without an application.
const std::string kLeft3 =
    "Station 3 is left in its bootloader, without an application; a new download repairs it.";

ScriptedStation station(uint8_t address) {
    ScriptedStation s;
    s.address = address;
    return s;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ProfibusWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
    void SetUp() override {
        imagePath = pbtest::writeImage(dir, pbtest::testImage(200));
        files.answer = imagePath;
        // A master, two slaves (PPO1 and PPO2) and one that never exchanges data.
        seg.add(station(1)).type = dpm::kActiveStation;
        seg.add(station(3)).version = 0x2105;
        ScriptedStation& ppo2 = seg.add(station(5));
        ppo2.ident = 0x0A11;
        ppo2.ppo2 = true;
        ppo2.version = 0x3010;
        seg.add(station(9)).ready = false;

        pb = std::make_unique<ProfibusView>(std::move(sessions.profibus), context,
                                            ProfibusViewOptions{&files});
        windows.profibus_option = makeProfibusOptionWindow(context);
    }
    void run(int64_t ms) {
        ts.clock.sleepMs(ms);
        ts.pump.processPending();
    }
    std::string states() const { return pbtest::buttonStates(*pb); }
    std::string grid(int column, int row) const { return pbtest::gridCell(*pb, column, row); }
    void clickRow(int gridRow) { pbtest::clickRow(*pb, gridRow); }
    std::vector<std::string> messageTexts() const { return pbtest::runMessageTexts(ts.messages); }
    std::vector<int> nodeList() const { return pbtest::nodeList(); }
    // Runs `action` once `station` has taken `count` data telegrams.
    void afterTelegrams(uint8_t station, int count, std::function<void()> action) {
        watch_ = [this, station, count, action] {
            if (seg.station(station).telegrams >= count) {
                action();
            } else {
                ts.pump.at(ts.clock.nowMs() + 1, [this] { watch_(); });
            }
        };
        ts.pump.at(0, [this] { watch_(); });
    }
    void showAndSearch() {
        pb->show();
        run(1000);
        pb->button_profibus_search->click();
    }

    pbtest::FreshSharedState shared;
    test::TestServices ts;
    test::ScriptedSegment seg{ts.clock};
    NoShell shell;
    DesktopServices services{ts.services, shell,
                             [this] { return std::make_unique<test::VirtualTimer>(ts.clock); },
                             [] {}};
    SessionObjects sessions{ts.services, seg};
    DesktopWindows windows;
    QWidget mainWindow;
    WindowContext context{sessions, services, &mainWindow, windows};
    test::ScriptedFileDialog files;
    test::TempDir dir;
    std::string imagePath;
    std::unique_ptr<ProfibusView> pb;
    std::function<void()> watch_;
};

TEST_F(ProfibusWindowTest, ControlsHaveTheirNamesCaptionsSizesAndTabOrder) {
    EXPECT_EQ(pb->windowTitle().toStdString(), "Romtide - Profibus download");
    EXPECT_EQ(pb->size(), QSize(802, 433));
    EXPECT_EQ(pb->minimumSize(), pb->maximumSize());
    QTableWidget* g = pb->StringGrid1;
    ASSERT_EQ(g->columnCount(), 5);
    EXPECT_EQ(g->rowCount(), 1) << "the title row and one empty row";
    const int widths[] = {87, 79, 223, 118, 187};
    const char* titles[] = {" Device", " NodeID", " Product", " Software Version",
                            " Update (Click to select)"};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(g->columnWidth(c), widths[c]);
        EXPECT_EQ(g->horizontalHeaderItem(c)->text().toStdString(), titles[c]);
    }
    EXPECT_EQ(g->verticalHeader()->defaultSectionSize(), 20);
    EXPECT_FALSE(g->verticalHeader()->isVisible());
    EXPECT_EQ(g->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(pb->check_box_status->count(), 2);
    EXPECT_EQ(pb->check_box_status->item(0)->text().toStdString(), "Talvik adapter connected");
    EXPECT_EQ(pb->check_box_status->item(1)->text().toStdString(), "Talvik adapter initialized");
    EXPECT_EQ(pb->check_box_status->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(pb->check_box_status->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(pb->progress_profibus->maximum(), 100);
    EXPECT_EQ(text(pb->lab_profibus_info), "Info");
    EXPECT_EQ(text(pb->lab_profibus_baudrate), "Baudrate");
    const char* captions[] = {"&Init Talvik adapter",
                              "&Search",
                              "&Settings",
                              "&Open File",
                              "&Download",
                              "&Cancel",
                              "&Quit"};
    QWidget* w = pb->buton_profibus_initialize;
    for (const char* caption : captions) {
        auto* b = qobject_cast<QPushButton*>(w);
        ASSERT_NE(b, nullptr) << caption;
        EXPECT_EQ(b->text().toStdString(), caption);
        w = w->nextInFocusChain();
    }
    EXPECT_FALSE(pb->tmr_connect_adapter().isEnabled()) << "off until the window is shown";
    EXPECT_EQ(pb->tmr_connect_adapter().interval(), 1000);
    EXPECT_EQ(seg.inits, 0) << "the board is initialised when the window shows";
}

// The window fits a 1024 x 768 panel as it is: nothing changes on it.
TEST_F(ProfibusWindowTest, OnA1024By768ScreenTheWindowKeepsItsSizeWithinTheScreen) {
    mainWindow.setGeometry(test::kSmallScreen.adjusted(100, 100, -100, -100));
    pb->show();
    EXPECT_EQ(pb->size(), QSize(802, 433));
    EXPECT_TRUE(test::kSmallScreen.contains(pb->frameGeometry()));
    EXPECT_EQ(pb->findChild<QWidget*>(QStringLiteral("window_scroll")), nullptr);
}

TEST_F(ProfibusWindowTest, TheTimerShowsTheBoardAndEnablesTheBusButtonsOnlyWhenItIsInitialised) {
    pb->show();
    ASSERT_EQ(seg.inits, 1);
    EXPECT_EQ(seg.lastMask, 1);
    EXPECT_EQ(seg.lastConfig.channels[0].type, NUBOX_CHANNEL_DPEM);
    EXPECT_EQ(seg.lastConfig.channels[0].parameter, 6000);
    EXPECT_TRUE(ts.messages.shown.empty());
    run(1000);
    EXPECT_EQ(text(pb->lab_profibus_id), "Current NodeID: 3");
    EXPECT_EQ(text(pb->lab_profibus_baudrate), "Baudrate:\t3Mb");
    EXPECT_EQ(text(pb->lab_profibus_ppo), "PPO: PPO1");
    EXPECT_EQ(text(pb->lab_profibus_adapter), "PCI adapter");
    EXPECT_EQ(pb->check_box_status->item(0)->checkState(), Qt::Checked);
    EXPECT_EQ(pb->check_box_status->item(1)->checkState(), Qt::Checked);
    EXPECT_EQ(states(), "1111111");

    // The board removed: nothing present, nothing initialised.
    seg.present = 0;
    run(1000);
    EXPECT_EQ(text(pb->lab_profibus_adapter), "-- No Adapter --");
    EXPECT_EQ(pb->check_box_status->item(0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(pb->check_box_status->item(1)->checkState(), Qt::Unchecked);
    EXPECT_EQ(states(), "1001011") << "Search, Settings and Download off";

    seg.present = 1;
    TProfitalvik::SetBaudIndex(5);
    TProfitalvik::SetPpo2(true);
    TProfitalvik::SetStationAddress(126);
    for (auto [kind, name] : std::vector<std::pair<uint8_t, std::string>>{
             {NUBOX_KIND_USB_HIGH, "USB adapter up to 12Mbit"},
             {NUBOX_KIND_PCI_HIGH, "PCI adapter up to 12MBit"},
             {NUBOX_KIND_REMOTE, "Error"}}) {
        seg.kind = kind;
        run(1000);
        EXPECT_EQ(text(pb->lab_profibus_adapter), name);
    }
    EXPECT_EQ(text(pb->lab_profibus_baudrate), "Baudrate:\tError");
    EXPECT_EQ(text(pb->lab_profibus_ppo), "PPO: PPO2");
    EXPECT_EQ(text(pb->lab_profibus_id), "Current NodeID: 126");
    EXPECT_EQ(states(), "1111111");
}

TEST_F(ProfibusWindowTest, AFailedInitialisationIsReportedOnShowAndOnInit) {
    seg.initResult = 2;
    seg.initStatus = 9;
    pb->show();
    pb->buton_profibus_initialize->click();
    ASSERT_EQ(messageTexts(),
              (std::vector<std::string>(2, "The adapter couldn't inizialized successfully")));
    EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    run(1000);
    EXPECT_EQ(states(), "1001011");
    EXPECT_EQ(pb->check_box_status->item(1)->checkState(), Qt::Unchecked);
    seg.initResult = 0;
    seg.initStatus = 0;
    pb->buton_profibus_initialize->click();
    run(1000);
    EXPECT_EQ(states(), "1111111");
    EXPECT_EQ(ts.messages.shown.size(), 2u);
}

TEST_F(ProfibusWindowTest, SearchListsKindsAddressesIdentsAndVersionsUnderTheBusyCursor) {
    ScriptedStation& inBootloader = seg.add(station(12));
    inBootloader.version = 0x1203;
    inBootloader.inBootloader = true;
    bool busyDuring = false;
    ts.pump.at(2000, [&] { busyDuring = QApplication::overrideCursor() != nullptr; });
    showAndSearch();
    EXPECT_TRUE(busyDuring);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    ASSERT_EQ(pb->StringGrid1->rowCount(), 5);
    const std::vector<std::vector<std::string>> rows{
        {"Master", "1", "", "", ""},
        {"Slave", "3", "0x0793", "2.1.5", ""},
        {"Slave", "5", "0x0A11", "3.0.16", ""},
        {"Slave", "9", "0x0793", "Not ready", ""},
        {"Slave", "12", "0x0793", "Bootloader 1.2.3", ""},
    };
    for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 5; ++c) {
            EXPECT_EQ(grid(c, r + 1), rows[static_cast<size_t>(r)][static_cast<size_t>(c)])
                << "row " << r + 1 << " column " << c;
        }
    }
    // Two steps for each of the four slaves.
    EXPECT_EQ(pb->progress_profibus_slaves->maximum(), 8);
    EXPECT_EQ(pb->progress_profibus_slaves->value(), 8);
    EXPECT_TRUE(ts.messages.shown.empty());
}

TEST_F(ProfibusWindowTest, ClicksMarkSlavesOnlyAndASearchDropsTheMarks) {
    showAndSearch();
    clickRow(1);  // the master
    EXPECT_EQ(grid(4, 1), "Not possibel");
    EXPECT_TRUE(nodeList().empty());
    clickRow(3);
    clickRow(2);
    EXPECT_EQ(grid(4, 3), "Update");
    EXPECT_EQ(grid(4, 2), "Update");
    EXPECT_EQ(nodeList(), (std::vector<int>{5, 3}));
    clickRow(3);
    EXPECT_EQ(grid(4, 3), "");
    EXPECT_EQ(nodeList(), (std::vector<int>{3}));
    pb->logic().StringGrid1SelectCell(0, 0);  // the title row
    pb->StringGrid1->setRowCount(6);          // an empty row 7
    clickRow(7);
    EXPECT_EQ(grid(4, 7), "");
    EXPECT_EQ(nodeList(), (std::vector<int>{3}));

    pb->button_profibus_search->click();
    EXPECT_EQ(grid(4, 2), "");
    EXPECT_TRUE(nodeList().empty());
}

TEST_F(ProfibusWindowTest, DownloadChecksTheListBeforeTheFileAndSendsNothing) {
    showAndSearch();
    const size_t outputs = seg.writes.size();
    pb->button_profibus_download->click();
    clickRow(2);
    pb->button_profibus_download->click();
    ASSERT_EQ(messageTexts(),
              (std::vector<std::string>{"No slave to updatelist added!", "No file open."}));
    EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
    EXPECT_EQ(ts.messages.shown[1].title, "Romtide");
    for (const auto& m : ts.messages.shown) {
        EXPECT_EQ(m.icon, ui::MessageIcon::Information);
    }
    EXPECT_EQ(seg.writes.size(), outputs);
    EXPECT_EQ(states(), "1111111");
    EXPECT_TRUE(pb->tmr_connect_adapter().isEnabled());
}

TEST_F(ProfibusWindowTest, OpenFileShowsTheChosenFileAndReportsOnesThatDoNotOpen) {
    pb->show();
    files.answer.reset();
    pb->button_profibus_open_file->click();
    EXPECT_EQ(files.lastOptions.title, "Romtide - Open file");
    EXPECT_EQ(files.lastOptions.filter, "(*.mhx)|*.mhx");
    EXPECT_TRUE(ts.messages.shown.empty()) << "a cancelled dialog says nothing";

    files.answer = dir.file("missing.mhx");
    pb->button_profibus_open_file->click();
    // An image over the bootloader: the check says so itself, the window adds nothing.
    std::ofstream(dir.file("boot.mhx")) << "S208FFA0000102034E\n";
    files.answer = dir.file("boot.mhx");
    pb->button_profibus_open_file->click();
    ASSERT_EQ(ts.messages.shown.size(), 2u);
    EXPECT_EQ(ts.messages.shown[0].text, "The file couldn't open!");
    EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_NE(ts.messages.shown[1].text.find("Bootloader!"), std::string::npos)
        << ts.messages.shown[1].text;
    EXPECT_FALSE(pb->session().imageFile);
    EXPECT_EQ(text(pb->lab_profibus_datei), "");

    files.answer = imagePath;
    pb->button_profibus_open_file->click();
    EXPECT_EQ(text(pb->lab_profibus_datei).rfind("File: " + imagePath + " (", 0), 0u);
}

// The judgement of `bootloader check` at Open: a binary is refused and closes the file
// shown before; an erase-only file is asked about, and No leaves no file open.
TEST_F(ProfibusWindowTest, OpenRefusesABinaryAndAsksBeforeAnEraseOnlyFile) {
    pb->show();
    const size_t outputs = seg.writes.size();
    pb->button_profibus_open_file->click();
    ASSERT_TRUE(pb->session().imageFile);
    std::ofstream(dir.file("data.bin"), std::ios::binary) << std::string("\x01\x02\0\0", 4);
    files.answer = dir.file("data.bin");
    pb->button_profibus_open_file->click();
    ASSERT_EQ(ts.messages.shown.size(), 1u);
    EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
    EXPECT_NE(ts.messages.shown[0].text.find("line 1: byte 0 is the control character 0x01"),
              std::string::npos)
        << ts.messages.shown[0].text;
    EXPECT_FALSE(pb->session().imageFile);
    EXPECT_EQ(text(pb->lab_profibus_datei), "");

    std::ofstream(dir.file("erase.mhx")) << "S00600004844521B\nS9030000FC\n";
    files.answer = dir.file("erase.mhx");
    ts.messages.shown.clear();
    pb->button_profibus_open_file->click();  // the fallback answer: No
    ASSERT_EQ(ts.messages.shown.size(), 1u);
    EXPECT_EQ(ts.messages.shown[0].buttons, ui::MessageButtons::NoYes);
    EXPECT_FALSE(pb->session().imageFile);
    ts.messages.answers = {ui::MessageAnswer::Yes};
    pb->button_profibus_open_file->click();
    EXPECT_EQ(text(pb->lab_profibus_datei),
              "File: " + dir.file("erase.mhx") + " (28 bytes, 8 text units)");
    EXPECT_EQ(seg.writes.size(), outputs) << "nothing reached the bus";
}

TEST_F(ProfibusWindowTest, RunUpdatesTheMarkedStationsWithEverythingButCancelLocked) {
    showAndSearch();
    pb->button_profibus_open_file->click();
    clickRow(3);
    clickRow(2);
    std::string during;
    bool timerDuring = true;
    ts.pump.at(ts.clock.nowMs() + 100, [&] {
        during = states();
        timerDuring = pb->tmr_connect_adapter().isEnabled();
    });
    std::vector<std::string> progressAtMessages;
    ts.messages.onShow = [&](const ui::Message&) {
        progressAtMessages.push_back(std::to_string(pb->progress_profibus_slaves->value()) + "/" +
                                     std::to_string(pb->progress_profibus_slaves->maximum()));
    };
    pb->button_profibus_download->click();
    EXPECT_EQ(during, "0000010");
    EXPECT_FALSE(timerDuring);
    ASSERT_EQ(messageTexts(), (std::vector<std::string>(2, "File is downloaded into Flash.")));
    for (size_t i = 0; i < 2; ++i) {
        const ui::Message& m = ts.messages.shown[i];
        EXPECT_EQ(m.icon, ui::MessageIcon::None);
        EXPECT_EQ(m.title, "Bootloader");
    }
    EXPECT_EQ(progressAtMessages, (std::vector<std::string>{"0/2", "1/2", "2/2"}));
    // After the last station: where the run's record went, the headless report of it.
    ASSERT_EQ(ts.messages.shown.size(), 3u);
    const std::string said = ts.messages.shown[2].text;
    const std::string folder = std::string(std::getenv("XDG_DATA_HOME")) + "/romtide/runs/";
    ASSERT_EQ(said.rfind("The record of this run: " + folder, 0), 0u) << said;
    std::ifstream in(said.substr(said.find(folder)));
    const auto record = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(record.is_object());
    EXPECT_EQ(record["command"], "profibus window");
    EXPECT_EQ(record["bus"], "profibus");
    EXPECT_EQ(record["end"], "complete");
    EXPECT_EQ(record["summary"]["stations"], 2);
    EXPECT_EQ(record["summary"]["okay"], 2);
    ASSERT_EQ(record["devices"].size(), 2u);
    EXPECT_EQ(record["devices"][0]["address"], 5);
    EXPECT_EQ(record["devices"][0]["version_before"], "3.0.16");
    const std::string image = fileText(imagePath);
    for (uint8_t s : {5, 3}) {
        EXPECT_EQ(seg.station(s).text, image) << "station " << int{s};
        EXPECT_EQ(seg.station(s).finishes, 1);
    }
    // Unlocked, the timer running, and the bus searched again without marks.
    EXPECT_EQ(states(), "1111111");
    EXPECT_TRUE(pb->tmr_connect_adapter().isEnabled());
    EXPECT_EQ(text(pb->lab_profibus_info), " ");
    EXPECT_TRUE(nodeList().empty());
    EXPECT_EQ(grid(4, 2), "");
    EXPECT_EQ(grid(3, 2), "2.1.5");
}

TEST_F(ProfibusWindowTest, AStationFailingInTheTransferStopsTheRunAndTheBusIsSearchedAgain) {
    seg.station(3).failAtTelegram = 4;
    showAndSearch();
    pb->button_profibus_open_file->click();
    clickRow(2);
    clickRow(3);
    pb->button_profibus_download->click();
    ASSERT_EQ(messageTexts(), (std::vector<std::string>{"Error during programing!\n", kLeft3}));
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_EQ(seg.station(5).telegrams, 0) << "the run stopped";
    EXPECT_TRUE(nodeList().empty()) << "the search afterwards drops the marks";
    EXPECT_EQ(grid(0, 2), "Slave");
    EXPECT_EQ(states(), "1111111");
}

TEST_F(ProfibusWindowTest, CancelDuringTheTransferEndsTheRun) {
    seg.station(3).ackUs = 5000;
    showAndSearch();
    pb->button_profibus_open_file->click();
    clickRow(2);
    clickRow(3);
    // Cancel once the station's bootloader is taking telegrams.
    bool cancelled = false;
    afterTelegrams(3, 5, [&] {
        cancelled = true;
        pb->button_profibus_cancel->click();
    });
    pb->button_profibus_download->click();
    ASSERT_TRUE(cancelled);
    ASSERT_EQ(messageTexts(), (std::vector<std::string>{"User has cancelled! \n", kLeft3}));
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Warning);
    EXPECT_LT(seg.station(3).telegrams, 10);
    EXPECT_EQ(seg.station(3).finishes, 0);
    EXPECT_EQ(seg.station(5).telegrams, 0);
    EXPECT_EQ(states(), "1111111");
}

TEST_F(ProfibusWindowTest, QuitStopsTheTimerAndResetsTheBoardAndTheWindowOpensAgain) {
    pb->show();
    run(1000);
    pb->button_profibus_close->click();
    EXPECT_FALSE(pb->isVisible());
    EXPECT_EQ(seg.resets, 2) << "Quit resets, and closing resets again";
    EXPECT_FALSE(pb->tmr_connect_adapter().isEnabled());
    EXPECT_FALSE(seg.open);

    pb->show();
    EXPECT_EQ(seg.inits, 2);
    EXPECT_TRUE(pb->tmr_connect_adapter().isEnabled());
    QTest::keyClick(pb.get(), Qt::Key_Escape);
    EXPECT_TRUE(pb->isVisible()) << "Escape does not close the window";
    pb->close();  // the title bar
    EXPECT_FALSE(pb->isVisible());
    EXPECT_EQ(seg.resets, 3);
}

TEST_F(ProfibusWindowTest, QuitDuringASearchClosesWhenTheSearchHasEnded) {
    pb->show();
    run(1000);
    bool visibleAfterQuit = false;
    // During the first station's PPO detection.
    ts.pump.at(ts.clock.nowMs() + 700, [&] {
        pb->button_profibus_close->click();
        visibleAfterQuit = pb->isVisible();
    });
    pb->button_profibus_search->click();
    EXPECT_TRUE(visibleAfterQuit) << "the board is not reset under the search";
    EXPECT_FALSE(pb->isVisible());
    EXPECT_EQ(seg.resets, 2);
    EXPECT_TRUE(ts.messages.shown.empty()) << "no failed confirmation";
}

// The title bar and Escape during a run ask first, naming the station in hand (Quit is
// locked then). No: the run goes on unchanged. Yes: the run stops at that station, the
// window says what it is left as and stays open.
TEST_F(ProfibusWindowTest, ClosingOrEscapeDuringARunAsksAndOnlyYesStopsIt) {
    const std::string question =
        "Station 3 is being updated.\nStopping now leaves it in its bootloader, without an "
        "application; a new download repairs it.\n\nStop the update?";
    const std::string image = fileText(imagePath);
    showAndSearch();
    pb->button_profibus_open_file->click();
    for (const bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "the title bar");
        clickRow(2);
        clickRow(3);
        ts.messages.shown.clear();
        seg.station(3).text.clear();
        seg.station(5).text.clear();
        afterTelegrams(3, seg.station(3).telegrams + 5, [&] {
            if (escape) {
                QTest::keyClick(pb.get(), Qt::Key_Escape);
            } else {
                pb->close();
            }
        });
        pb->button_profibus_download->click();  // the fallback answer: No
        ASSERT_EQ(messageTexts(),
                  (std::vector<std::string>{question, "File is downloaded into Flash.",
                                            "File is downloaded into Flash."}));
        EXPECT_EQ(ts.messages.shown[0].buttons, ui::MessageButtons::NoYes);
        EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
        EXPECT_EQ(seg.station(3).text, image);
        EXPECT_EQ(seg.station(5).text, image);
        EXPECT_TRUE(pb->isVisible());
    }

    clickRow(2);
    clickRow(3);
    ts.messages.shown.clear();
    const int station5 = seg.station(5).telegrams;
    ts.messages.answers = {ui::MessageAnswer::Yes};
    afterTelegrams(3, seg.station(3).telegrams + 5, [&] { pb->close(); });
    pb->button_profibus_download->click();
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{question, "User has cancelled! \n", kLeft3}));
    EXPECT_EQ(seg.station(5).telegrams, station5) << "the next station is not touched";
    EXPECT_TRUE(pb->isVisible()) << "what the run says stays on the screen";
    EXPECT_TRUE(seg.open);
    EXPECT_EQ(states(), "1111111");
    pb->close();
    EXPECT_FALSE(pb->isVisible());
    EXPECT_FALSE(seg.open);
}

TEST_F(ProfibusWindowTest, BoardButtonsDoNothingWhileASearchRuns) {
    pb->show();
    run(1000);
    bool modalOpened = false;
    ts.pump.at(ts.clock.nowMs() + 700, [&] {
        pb->button_profibus_settings->click();
        modalOpened = QApplication::activeModalWidget() != nullptr;
        pb->buton_profibus_initialize->click();
        pb->button_profibus_download->click();
        pb->button_profibus_search->click();
    });
    pb->button_profibus_search->click();
    EXPECT_FALSE(modalOpened);
    EXPECT_EQ(seg.inits, 1);
    EXPECT_TRUE(ts.messages.shown.empty());
    EXPECT_EQ(seg.commandsWithCode(dpm::kGetLiveList).size(), 2u + 3u)
        << "one search: two scans and one after each slave";
}

// The station loop on its own, where the window's closing search does not hide the list.
class ProfibusRunTest : public ProfibusWindowTest {
  protected:
    void SetUp() override {
        ProfibusWindowTest::SetUp();
        pb->show();
        session().imageFile = TextFile::open(imagePath);
        session().AddNode(3);
        session().AddNode(5);
    }
    Tbootloader& session() { return pb->session(); }
    pbui::ProfibusRunSummary runStations() {
        pbui::ProfibusRunHooks hooks{progress, label, stations, {}, {}, {}, {}};
        return pbui::runProfibusStations(session(), hooks);
    }
    ui::PlainProgressBar progress, stations;
    ui::PlainTextLabel label;
};

TEST_F(ProfibusRunTest, StationsFailingInTransferOrEraseGoToTheEndOfTheList) {
    seg.station(3).failAtTelegram = 2;
    auto summary = runStations();
    EXPECT_TRUE(summary.stopped);
    ASSERT_EQ(summary.results.size(), 1u);
    EXPECT_EQ(summary.results[0].result, result::kTransferError);
    EXPECT_EQ(summary.results[0].errorCode, 5);
    EXPECT_EQ(nodeList(), (std::vector<int>{5, 3}));

    seg.station(5).eraseNever = true;
    summary = runStations();
    ASSERT_EQ(summary.results.size(), 1u);
    EXPECT_EQ(summary.results[0].result, result::kEraseFailed);
    EXPECT_EQ(nodeList(), (std::vector<int>{3, 5}));
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Error during programing!\n",
                                        "Error during erasing Flash! \nPlease try again."}));
    EXPECT_EQ(stations.maximum(), 2);
}

TEST_F(ProfibusRunTest, AnUnknownResultAsksAndOnlyCancelStopsTheRun) {
    // Baud code 5 has no bus parameters: each initialisation answers 99.
    TProfitalvik::SetBaudIndex(5);
    ts.messages.answers = {ui::MessageAnswer::Ok, ui::MessageAnswer::Cancel};
    auto summary = runStations();
    EXPECT_TRUE(summary.stopped);
    ASSERT_EQ(summary.results.size(), 2u);
    EXPECT_EQ(summary.results[0].station, 3) << "OK tries the same station again";
    EXPECT_EQ(summary.results[1].station, 3);
    ASSERT_EQ(ts.messages.shown.size(), 2u);
    EXPECT_EQ(ts.messages.shown[0].text, "Unknown error!");
    EXPECT_EQ(ts.messages.shown[0].buttons, ui::MessageButtons::OkCancel);
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_EQ(nodeList(), (std::vector<int>{3, 5}));
}

class ProfibusOptionTest : public ProfibusWindowTest {
  protected:
    ProfibusOptionView& d() { return static_cast<ProfibusOptionView&>(*windows.profibus_option); }
    void ok() { d().button_profibus_option_okay->click(); }
    void setRate(const char* rate) {
        d().combobox_profibus_baudrate->setEditText(QString::fromUtf8(rate));
    }
    // The commands of the last OK, as codes (and modes).
    std::vector<std::string> boardSteps(size_t from) const {
        std::vector<std::string> out;
        for (size_t i = from; i < seg.commands.size(); ++i) {
            const auto& c = seg.commands[i];
            char step[16];
            std::snprintf(step, sizeof step, c[0] == dpm::kSetMode ? "%02X/%02X" : "%02X", c[0],
                          c[3]);
            out.push_back(step);
        }
        return out;
    }
};

TEST_F(ProfibusOptionTest, ActivationFillsTheFieldsFromTheSharedValues) {
    ProfibusOptionView& v = d();
    EXPECT_EQ(v.windowTitle().toStdString(), "Bootloader - Option ProfiBus");
    EXPECT_EQ(v.size(), QSize(327, 81));
    EXPECT_TRUE(v.lab_profibus_option_baudrate->font().bold());
    EXPECT_TRUE(v.combobox_profibus_baudrate->isEditable());
    std::vector<std::string> items;
    for (int i = 0; i < v.combobox_profibus_baudrate->count(); ++i) {
        items.push_back(v.combobox_profibus_baudrate->itemText(i).toStdString());
    }
    EXPECT_EQ(items, (std::vector<std::string>{"500 kBaud", "1.5 MBaud", "3 MBaud", "6 MBaud",
                                               "12 MBaud"}));
    TProfitalvik::SetPpo2(true);
    TProfitalvik::SetStationAddress(17);
    v.show();
    EXPECT_EQ(v.combobox_profibus_baudrate->currentText().toStdString(), "3Mb");
    EXPECT_EQ(v.edit_id_profibus->text().toStdString(), "17");
    EXPECT_TRUE(v.radio_profibus_ppo2->isChecked());
    EXPECT_FALSE(v.radio_profibus_ppo1->isChecked());
    for (QWidget* hidden :
         std::initializer_list<QWidget*>{v.lab_profibus_option_id, v.edit_id_profibus,
                                         v.radio_profibus_ppo1, v.radio_profibus_ppo2}) {
        EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
    }
    EXPECT_GE(v.radio_profibus_ppo1->y(), 81) << "below the client area";
    EXPECT_EQ(v.combobox_profibus_baudrate->nextInFocusChain(), v.button_profibus_option_okay);

    v.edit_id_profibus->clear();
    QTest::keyClicks(v.edit_id_profibus, "1a2-");
    EXPECT_EQ(v.edit_id_profibus->text().toStdString(), "12") << "only digits are typed";
    QTest::keyClick(v.edit_id_profibus, Qt::Key_Backspace);
    EXPECT_EQ(v.edit_id_profibus->text().toStdString(), "1");

    v.button_profibus_option_cancel->click();
    EXPECT_FALSE(v.isVisible());
    EXPECT_EQ(TProfitalvik::GetStationAddress(), 17) << "Cancel stores nothing";
    TProfitalvik::SetPpo2(false);
    v.show();
    EXPECT_TRUE(v.radio_profibus_ppo1->isChecked());
    EXPECT_EQ(v.edit_id_profibus->text().toStdString(), "17");
}

TEST_F(ProfibusOptionTest, UntouchedOkKeepsTheRateAndLoadsTheBusParametersAfresh) {
    pb->show();
    d().show();
    const size_t from = seg.commands.size();
    ok();
    EXPECT_FALSE(d().isVisible());
    EXPECT_EQ(TProfitalvik::GetBaudIndex(), 7);
    EXPECT_EQ(seg.inits, 2) << "the board is initialised again";
    EXPECT_EQ(boardSteps(from), (std::vector<std::string>{"27/80", "27/40", "24", "27/40"}));
    EXPECT_EQ(seg.commands[from + 2][11], 7) << "the bus parameters carry the rate";
    EXPECT_TRUE(ts.messages.shown.empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ProfibusOptionTest, RatesAreAcceptedOnlyAsTheirExactTexts) {
    pb->show();
    const std::vector<std::pair<const char*, int>> cases{
        {"187.5 kBaud", 7}, {"187.5 KBaud", 3}, {"12 MBaud", 9},  {"9.6 kBaud", 0},
        {"1.5MBaud", 0},    {"93.75 kBaud", 2}, {"500 kBaud", 4}, {"12Mb", 4},
    };
    for (auto [rate, expected] : cases) {
        d().show();
        setRate(rate);
        ok();
        EXPECT_EQ(TProfitalvik::GetBaudIndex(), expected) << rate;
        EXPECT_FALSE(d().isVisible());
    }
    // The short text of the rate chosen is shown on the next activation.
    d().show();
    EXPECT_EQ(d().combobox_profibus_baudrate->currentText().toStdString(), "500kb");
}

TEST_F(ProfibusOptionTest, TheStationIsValidatedInOrderAndStoredWithThePpoType) {
    pb->show();
    d().show();
    d().edit_id_profibus->clear();
    setRate("");
    ok();
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Please select a baudrate or click 'Cancel'.",
                                        "Please select an NodeID or click 'Cancel'."}));
    for (const auto& m : ts.messages.shown) {
        EXPECT_EQ(m.title, "Bootloader");
        EXPECT_EQ(m.icon, ui::MessageIcon::None);
    }
    EXPECT_TRUE(d().isVisible());

    ts.messages.shown.clear();
    setRate("6 MBaud");
    for (const char* bad : {"127", "1x", "99999999999999999999", "-1"}) {
        d().edit_id_profibus->setText(QString::fromLatin1(bad));  // as if pasted
        ok();
    }
    ASSERT_EQ(ts.messages.shown.size(), 4u);
    for (const auto& m : ts.messages.shown) {
        EXPECT_EQ(m.text, "The NodeID number has to be between 0 and 126.");
        EXPECT_EQ(m.icon, ui::MessageIcon::Information);
    }
    EXPECT_TRUE(d().isVisible());
    EXPECT_EQ(TProfitalvik::GetStationAddress(), 3);
    EXPECT_EQ(TProfitalvik::GetBaudIndex(), 7) << "nothing stored";
    EXPECT_EQ(seg.inits, 1);

    for (int station : {0, 126}) {
        d().show();
        d().edit_id_profibus->setText(QString::number(station));
        d().radio_profibus_ppo2->setChecked(true);
        ok();
        EXPECT_FALSE(d().isVisible());
        EXPECT_EQ(TProfitalvik::GetStationAddress(), station);
        EXPECT_TRUE(TProfitalvik::GetPpo2());
    }
    EXPECT_EQ(TProfitalvik::GetBaudIndex(), 8);
    EXPECT_EQ(ts.messages.shown.size(), 4u);
}

TEST_F(ProfibusOptionTest, BoardFailuresKeepTheDialogOpenOrAreReportedOnClosing) {
    pb->show();
    d().show();
    seg.initResult = 2;
    seg.initStatus = 4;
    setRate("1.5 MBaud");
    ok();
    ASSERT_EQ(messageTexts(),
              (std::vector<std::string>{"The adapter couldn't inizialized successfully"}));
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_TRUE(d().isVisible());
    EXPECT_EQ(TProfitalvik::GetBaudIndex(), 6) << "stored before the board is touched";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The bus parameter set is never confirmed.
    seg.initResult = 0;
    seg.initStatus = 0;
    seg.confirm = [](const std::vector<uint8_t>& block) -> std::optional<test::Report> {
        if (block[0] == dpm::kBusParameterSet) {
            return std::nullopt;
        }
        return test::confirmation(block);
    };
    ts.messages.shown.clear();
    ok();
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Error in Wait4Con()", "Unable to load bus parameter!"}));
    EXPECT_EQ(ts.messages.shown[1].icon, ui::MessageIcon::None);
    EXPECT_FALSE(d().isVisible()) << "closes all the same";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ProfibusOptionTest, SettingsOpensTheDialogAndTheWindowShowsTheNewRate) {
    pb->show();
    run(1000);
    test::whenModal([this](QWidget* w) {
        EXPECT_EQ(w, &d());
        setRate("12 MBaud");
        ok();
    });
    pb->button_profibus_settings->click();
    EXPECT_EQ(TProfitalvik::GetBaudIndex(), 9);
    run(1000);
    EXPECT_EQ(text(pb->lab_profibus_baudrate), "Baudrate:\t12Mb");
}

// The Profibus windows in the program's start-up, opened from the main window.
TEST(ProfibusWindowInDesktop, F3OpensItAndQuitBringsTheMainWindowBack) {
    test::testApplication();
    pbtest::FreshSharedState shared;
    test::TestServices ts;
    test::ScriptedSegment seg{ts.clock};
    NoShell shell;
    SessionObjects sessions(ts.services, seg);
    WindowFactories factories;
    factories.profibus = makeProfibusWindow;
    factories.profibus_option = makeProfibusOptionWindow;
    auto desktop = std::make_unique<Desktop>(
        sessions,
        DesktopServices{ts.services, shell,
                        [&] { return std::make_unique<test::VirtualTimer>(ts.clock); }, [] {}},
        std::move(factories));
    EXPECT_EQ(
        desktop->startupSteps(),
        (std::vector<std::string>{"title", "splash shown", "frm_main", "frm_about", "frm_reset",
                                  "frm_profibus", "frm_profibus_option", "main window shown"}));
    EXPECT_FALSE(sessions.profibus);
    EXPECT_FALSE(sessions.profibus_option);
    MainWindowView& main = desktop->mainWindow();
    ASSERT_TRUE(main.menu_profibus->isEnabled());
    EXPECT_FALSE(main.menu_can->isEnabled());

    main.activateWindow();
    QApplication::setActiveWindow(&main);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    std::string opened;
    bool mainShown = true;
    test::whenModal([&](QWidget* w) {
        opened = w->objectName().toStdString();
        mainShown = main.isVisible();
        w->findChild<QPushButton*>(QStringLiteral("button_profibus_close"))->click();
    });
    QTest::keyClick(&main, Qt::Key_F3);
    EXPECT_EQ(opened, "frm_profibus");
    EXPECT_FALSE(mainShown);
    EXPECT_TRUE(main.isVisible());
    EXPECT_EQ(seg.inits, 1);
    EXPECT_EQ(seg.resets, 2);
    desktop.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace romtide::desktop
