// The CAN download window and its dialogs against the real widgets, on the simulated
// bus and the virtual clock: the buttons' workflow, marking rows, the run's checks, a
// run over three devices, Cancel and Quit in the middle of a run, and the dialogs.
#include "app/desktop/can_views.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/sim_scenario.h"
#include "app/virtual_timer.h"
#include "sim/core/srec.h"
#include "support/can_sim.h"
#include "ui/qt_test_support.h"

namespace romtide::desktop {
namespace {

class NoShell : public ShellOpener {
  public:
    int open(const std::string&, const std::string&) override { return shell::kOk; }
};

std::string text(const QLabel* label) {
    return label->text().toStdString();
}

class CanWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
    void SetUp() override {
        Tbootloader::resetSharedState();
        canui::CanNodeSearch::resetState();
        std::string tmpl = ::testing::TempDir() + "canwinXXXXXX";
        std::string dir = ::mkdtemp(tmpl.data());
        sim::FlashImage image;
        for (uint32_t i = 0; i < 400; ++i) {
            image[0x010000 + i] = static_cast<uint8_t>(i * 7);
        }
        imagePath = dir + "/app.mhx";
        std::ofstream(imagePath) << sim::writeSrec(image, "APP", 0x010000);
        files.answer = imagePath;

        windows.can_option = makeCanOptionWindow(context);
        can = std::make_unique<CanView>(
            std::move(sessions.can), context,
            CanViewOptions{&files, [] { return "DATE TIME"; }, [] { return "END TIME"; }});
        windows.selproduct = makeSelproductWindow(context);
        can->show();
    }
    void TearDown() override {
        can.reset();
        windows = {};
        Tbootloader::resetSharedState();
    }
    void scenario() {
        for (auto c : defaultScenario()) {
            c.eraseUs = 20000;
            sim.addDevice(c);
        }
    }
    auto& ui() { return *can; }
    auto& messages() { return sim.ts.messages.shown; }
    std::vector<std::string> messageTexts() const {
        std::vector<std::string> out;
        for (const auto& m : sim.ts.messages.shown) {
            out.push_back(m.text);
        }
        return out;
    }
    // Init, Detect, Search, Download, Open, Select slave, Quit.
    std::string states() const {
        std::string s;
        for (QPushButton* b :
             {can->button_can_init, can->button_can_connect, can->button_can_search,
              can->button_can_download, can->button_can_open, can->button_can_settings,
              can->button_can_quit, can->Button1}) {
            s += b->isEnabled() ? '1' : '0';
        }
        return s;
    }
    void clickRow(int gridRow) {
        QTableWidget* t = can->StringGrid1;
        QRect r = t->visualRect(t->model()->index(gridRow - 1, 3));
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, r.center());
    }
    std::string grid(int column, int row) {
        auto* item = can->StringGrid1->item(row - 1, column);
        return item ? item->text().toStdString() : std::string();
    }
    std::vector<std::string> memo() const {
        auto t = can->memo_can_ergebnisse->toPlainText();
        std::vector<std::string> out;
        if (!t.isEmpty()) {
            for (const auto& l : t.split(QLatin1Char('\n'))) {
                out.push_back(l.toStdString());
            }
        }
        return out;
    }
    // The memo without a run's last line (its end and where its record went).
    std::vector<std::string> runLines() const {
        std::vector<std::string> lines = memo();
        if (!lines.empty() && lines.back().rfind(kEndLine, 0) == 0) {
            lines.pop_back();
        }
        return lines;
    }
    static constexpr const char* kEndLine = "Romtide, end of firmware update, END TIME: ";
    void initAndSearch() {
        can->button_can_init->click();
        ASSERT_TRUE(TCANComm::IsBoardReady());
        can->button_can_search->click();
    }

    test::CanSim sim;
    NoShell shell;
    DesktopServices services{sim.ts.services, shell,
                             [this] { return std::make_unique<test::VirtualTimer>(sim.ts.clock); },
                             [] {}};
    SessionObjects sessions{sim.ts.services};
    DesktopWindows windows;
    QWidget mainWindow;
    WindowContext context{sessions, services, &mainWindow, windows};
    test::ScriptedFileDialog files;
    std::string imagePath;
    std::unique_ptr<CanView> can;
};

TEST_F(CanWindowTest, ControlsHaveTheirNamesCaptionsAndSizes) {
    EXPECT_EQ(can->windowTitle().toStdString(), "Romtide - CAN download");
    EXPECT_EQ(can->width(), 1100);
    EXPECT_EQ(can->height(), 603);
    EXPECT_EQ(can->minimumSize(), can->maximumSize());
    QTableWidget* g = can->StringGrid1;
    EXPECT_EQ(g->columnCount(), 8);
    EXPECT_EQ(g->rowCount(), 1) << "header and one empty row";
    const int widths[] = {89, 222, 236, 86, 91, 91, 88, 98};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(g->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(g->horizontalHeaderItem(0)->text().toStdString(), " Node-ID [dec]");
    EXPECT_EQ(g->horizontalHeaderItem(7)->text().toStdString(), " Update (Click)");
    EXPECT_EQ(g->verticalHeader()->defaultSectionSize(), 18);
    EXPECT_EQ(g->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(can->combobox_baudrate->count(), 9);
    EXPECT_EQ(can->combobox_baudrate->currentText().toStdString(), "    50 kBit/s");
    EXPECT_FALSE(can->combobox_baudrate->isEditable());
    EXPECT_EQ(can->prog_bar_can_search->maximum(), 127);
    EXPECT_FALSE(can->prog_bar_can_search->isTextVisible());
    EXPECT_EQ(can->progress->maximum(), 100);
    EXPECT_EQ(can->GroupBox1->title().toStdString(), "Bootloader V1.0 only ");
    EXPECT_EQ(text(can->lab_can_update_nr) + text(can->lab_can_backslash) +
                  text(can->lab_can_tot_updatezahl) + " " + text(can->Label1),
              "0/0 done");
    EXPECT_EQ(can->img_can_boot_con_false->size(), QSize(14, 14));
    EXPECT_EQ(can->img_can_boot_con_false->geometry(), can->img_can_boot_con_okay->geometry());
    EXPECT_FALSE(can->img_can_boot_con_okay->isVisible());
    EXPECT_TRUE(can->img_can_boot_con_false->isVisible());
    for (const char* name :
         {"button_can_init", "button_can_search", "button_can_open", "button_can_download",
          "Button1", "button_can_quit", "button_can_settings", "button_can_connect",
          "memo_can_ergebnisse", "lab_can_datei", "lab_can_download_status"}) {
        EXPECT_NE(can->findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
    }
    EXPECT_TRUE(can->memo_can_ergebnisse->isReadOnly());
    // The settings display runs from Show on.
    sim.run(300);
    EXPECT_EQ(text(can->lab_can_baudrate), "Baudrate: 50 kBit/s");
    EXPECT_EQ(text(can->lab_can_id), "Node-ID: 1");
}

TEST_F(CanWindowTest, ButtonsFollowTheWorkflowAndTheWindowOpensAgainAfterClosing) {
    scenario();
    // Init, Detect, Search, Download, Open, Select slave, Quit, Cancel.
    EXPECT_EQ(states(), "10001111");
    can->button_can_init->click();
    EXPECT_EQ(states(), "11101111");
    std::string duringSearch;
    sim.ts.pump.at(sim.ts.clock.nowMs() + 200, [&] { duringSearch = states(); });
    can->button_can_search->click();
    EXPECT_EQ(duringSearch, "00000011");
    EXPECT_EQ(states(), "11111111");
    EXPECT_EQ(can->StringGrid1->rowCount(), 3);
    EXPECT_EQ(can->combobox_baudrate->currentText().toStdString(), "  125 kBit/s");

    can->button_can_open->click();
    EXPECT_EQ(text(can->lab_can_datei).rfind("File: " + imagePath + " (", 0), 0u)
        << text(can->lab_can_datei);
    QTest::keyClick(can.get(), Qt::Key_Escape);
    EXPECT_TRUE(can->isVisible()) << "Escape does not close the window";

    can->close();
    EXPECT_FALSE(can->isVisible());
    EXPECT_FALSE(TCANComm::IsBoardReady());
    EXPECT_EQ(text(can->lab_can_datei), " ");
    EXPECT_FALSE(can->session().imageFile);
    EXPECT_EQ(grid(0, 1), "") << "the rows are emptied on closing";
    // Closing switches off Detect and Download only.
    EXPECT_EQ(states(), "10101111");

    // Opened again: everything starts afresh, and Init finds the bus again.
    can->show();
    EXPECT_EQ(states(), "10001111");
    can->button_can_init->click();
    EXPECT_EQ(states(), "11101111");
    EXPECT_TRUE(messages().empty());
}

// What "&Open file" lets through: the judgement of `bootloader check`, before any device
// is touched. A refused file is closed and the file shown before is gone with it.
TEST_F(CanWindowTest, OpenRefusesWhatIsNoImageAndAsksBeforeAnEraseOnlyOne) {
    const std::string sound = "S00600004844521B\nS2080000005A5A5A5A8F\nS804000000FB\n";
    struct Case {
        const char* what;
        std::string bytes;
        const char* why;  // in the message
    };
    const Case refused[] = {
        {"a text file", "root:x:0:0:root:/root:/bin/bash\n",
         "line 1: this line is not an S-record"},
        {"a program file",
         std::string("\x7F"
                     "ELF\x02\x01\x01\0\0",
                     9),
         "which no S-record text holds"},
        {"an empty file", "", "the file is empty"},
        {"a record cut short", "S2080000005A5A5A5A8F\nS2080000045A5A\n",
         "line 2: the record is cut short"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        std::ofstream(imagePath, std::ios::binary | std::ios::trunc) << sound;
        can->button_can_open->click();
        ASSERT_TRUE(can->session().imageFile);
        messages().clear();
        std::ofstream(imagePath, std::ios::binary | std::ios::trunc) << c.bytes;
        can->button_can_open->click();
        ASSERT_EQ(messages().size(), 1u);
        EXPECT_EQ(messages()[0].title, "Romtide");
        EXPECT_EQ(messages()[0].icon, ui::MessageIcon::Error);
        EXPECT_NE(messages()[0].text.find(imagePath), std::string::npos) << messages()[0].text;
        EXPECT_NE(messages()[0].text.find(c.why), std::string::npos) << messages()[0].text;
        EXPECT_NE(messages()[0].text.find("No device has been touched."), std::string::npos);
        EXPECT_FALSE(can->session().imageFile);
        EXPECT_EQ(text(can->lab_can_datei), " ");
    }

    // Records that only erase: a question whose default is No; No leaves no file open.
    std::ofstream(imagePath, std::ios::binary | std::ios::trunc)
        << "S00600004844521B\nS9030000FC\n";
    messages().clear();
    sim.ts.messages.answers = {ui::MessageAnswer::No, ui::MessageAnswer::Yes};
    can->button_can_open->click();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].buttons, ui::MessageButtons::NoYes);
    EXPECT_NE(messages()[0].text.find("only erases the devices"), std::string::npos);
    EXPECT_FALSE(can->session().imageFile);
    EXPECT_EQ(text(can->lab_can_datei), " ");
    can->button_can_open->click();
    EXPECT_TRUE(can->session().imageFile);
    EXPECT_EQ(text(can->lab_can_datei), "File: " + imagePath + " (28 bytes, 8 text units)");

    std::ofstream(imagePath, std::ios::binary | std::ios::trunc) << sound;
    messages().clear();
    can->button_can_open->click();
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(text(can->lab_can_datei), "File: " + imagePath + " (51 bytes, 15 text units)");
}

// On a 1024 x 768 panel the window is as large as the panel allows, its close button on
// the screen and the controls in a scroll area inside it; back on a large screen it has
// its own size again.
TEST_F(CanWindowTest, OnASmallScreenTheWindowFitsTheScreenAndScrollsInside) {
    scenario();
    can->close();
    mainWindow.setGeometry(test::kSmallScreen.adjusted(100, 100, -100, -100));
    can->show();
    const QRect frame = can->frameGeometry();
    EXPECT_TRUE(test::kSmallScreen.contains(frame))
        << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
    EXPECT_LT(can->width(), Tfrm_can::kWidth);
    EXPECT_GE(can->height(), Tfrm_can::kClientHeight) << "the height fits as it is";
    auto* scroll = can->findChild<QScrollArea*>(QStringLiteral("window_scroll"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->widget()->size(), QSize(Tfrm_can::kWidth, Tfrm_can::kClientHeight));
    QApplication::sendPostedEvents();  // the scroll area's resize
    EXPECT_GT(scroll->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << "room for the horizontal bar";
    // The controls work from inside it.
    can->button_can_init->click();
    can->button_can_search->click();
    EXPECT_EQ(grid(0, 1), "5");
    EXPECT_TRUE(can->img_can_boot_con_false->isVisible());
    EXPECT_FALSE(can->img_can_boot_con_okay->isVisible());

    can->close();
    mainWindow.setGeometry(100, 100, 800, 500);
    can->show();
    EXPECT_EQ(can->size(), QSize(Tfrm_can::kWidth, Tfrm_can::kClientHeight));
    QApplication::sendPostedEvents();  // the scroll area's resize
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << "nothing to scroll";
}

TEST_F(CanWindowTest, InitWithoutAnInterfaceSaysSoAndLeavesTheBusButtonsOff) {
    ::setenv("ROMTIDE_CAN_INTERFACE", "", 1);  // nothing selected
    can->button_can_init->click();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "The Board couldn't initialized successfully!");
    EXPECT_EQ(messages()[0].title, "Romtide");
    EXPECT_EQ(messages()[0].icon, ui::MessageIcon::Error);
    EXPECT_EQ(states(), "10001111");
}

TEST_F(CanWindowTest, WithoutAChosenInterfaceInitLetsTheUserSelectOne) {
    ::unsetenv("ROMTIDE_CAN_INTERFACE");
    // Leaving the selection reports nothing and prepares no board.
    std::vector<std::string> offered;
    test::whenModal([&](QWidget* w) {
        auto* list = w->findChild<QListWidget*>(QStringLiteral("interfaces"));
        for (int i = 0; i < list->count(); ++i) {
            offered.push_back(list->item(i)->text().toStdString());
        }
        static_cast<QDialog*>(w)->reject();
    });
    can->button_can_init->click();
    EXPECT_NE(std::find(offered.begin(), offered.end(), "virtual:test"), offered.end());
    EXPECT_FALSE(TCANComm::IsBoardReady());
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(states(), "10001111");

    test::whenModal([&](QWidget* w) {
        auto* list = w->findChild<QListWidget*>(QStringLiteral("interfaces"));
        auto items = list->findItems(QStringLiteral("virtual:test"), Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1);
        list->setCurrentItem(items[0]);
        static_cast<QDialog*>(w)->accept();
    });
    can->button_can_init->click();
    EXPECT_TRUE(TCANComm::IsBoardReady());
    EXPECT_EQ(states(), "11101111");
}

TEST_F(CanWindowTest, RowsToggleTheirMarkHeaderAndEmptyRowsDoNothing) {
    scenario();
    initAndSearch();
    ASSERT_EQ(grid(0, 1), "5");
    clickRow(2);
    EXPECT_EQ(grid(7, 2), "Update");
    EXPECT_EQ(Tbootloader::nodeList[0], 6);
    clickRow(1);
    EXPECT_EQ(Tbootloader::nodeList[1], 5);
    sim.run(600);
    EXPECT_EQ(text(can->lab_can_tot_updatezahl), "2");
    clickRow(2);  // the same row again
    EXPECT_EQ(grid(7, 2), "");
    EXPECT_EQ(Tbootloader::nodeList[0], 5);
    EXPECT_EQ(Tbootloader::nodeList[1], 0);
    can->logic().StringGrid1SelectCell(7, 2);
    EXPECT_EQ(grid(7, 2), "Update") << "any column of the row";

    // A cell with something else than the mark is cleared and the node leaves the list.
    can->StringGrid1->item(0, 7)->setText(QStringLiteral("x"));
    can->logic().StringGrid1SelectCell(0, 1);
    EXPECT_EQ(grid(7, 1), "");
    EXPECT_EQ(can->session().GetNode(0), 6);

    can->logic().StringGrid1SelectCell(0, 0);  // header
    can->StringGrid1->setRowCount(4);          // an empty row 4
    clickRow(4);
    EXPECT_EQ(grid(7, 4), "");
    EXPECT_EQ(can->session().GetNode(0), 6);
    EXPECT_EQ(can->session().GetNode(1), 0);
    EXPECT_EQ(can->logic().FindRowOfNode(7), 3);
    EXPECT_EQ(can->logic().FindRowOfNode(9), 0);
    EXPECT_EQ(can->logic().FindRowOfNode(0), 0);
}

TEST_F(CanWindowTest, DownloadChecksTheListBeforeTheFile) {
    scenario();
    initAndSearch();
    can->button_can_download->click();
    clickRow(1);
    can->button_can_download->click();
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{"No slave to update.", "No file open."}));
    for (const auto& m : messages()) {
        EXPECT_EQ(m.title, "Romtide");
        EXPECT_EQ(m.icon, ui::MessageIcon::Information);
    }
    EXPECT_TRUE(memo().empty()) << "no run started";
    EXPECT_EQ(states(), "11111111");
}

TEST_F(CanWindowTest, RunOverThreeDevicesRenewsUpdatesAndSearchesAgain) {
    scenario();
    sim.ts.messages.fallback = ui::MessageAnswer::Yes;  // renew the old bootloaders
    initAndSearch();
    ASSERT_EQ(can->StringGrid1->rowCount(), 3);
    EXPECT_EQ(grid(1, 1), " Encoder [406]");
    EXPECT_EQ(grid(2, 1), "MultiTurn absolute rotary encoder [2]");
    EXPECT_EQ(grid(3, 2), "QUAD");
    EXPECT_EQ(grid(4, 3), "01.02");
    can->button_can_open->click();
    for (int r = 1; r <= 3; ++r) {
        clickRow(r);
    }
    sim.run(600);
    EXPECT_EQ(text(can->lab_can_tot_updatezahl), "3");

    // The counters as each memo line appears (the done counter moves just after the
    // " - okay" line).
    std::vector<std::string> counters;
    QObject::connect(can->memo_can_ergebnisse, &QPlainTextEdit::textChanged, can.get(), [&] {
        auto lines = memo();
        counters.push_back((lines.empty() ? std::string() : lines.back()) + " " +
                           text(can->lab_can_update_nr) + "/" + text(can->lab_can_tot_updatezahl));
    });
    std::string duringRun;
    sim.ts.pump.at(sim.ts.clock.nowMs() + 100, [&] { duringRun = states(); });
    // Node 7 has a first-generation bootloader: the product dialog asks, Inkra is chosen.
    int asked = 0;
    test::whenModal([&](QWidget* w) {
        ++asked;
        auto* box = w->findChild<QComboBox*>(QStringLiteral("combobox_devices"));
        box->setEditText(QStringLiteral("Inkra"));
        w->findChild<QPushButton*>(QStringLiteral("button_okay"))->click();
    });
    can->button_can_download->click();

    EXPECT_EQ(duringRun, "00000011");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(runLines(), (std::vector<std::string>{
                              "Romtide, start firmware update, DATE TIME",
                              "Slave 5 - bootloader connect ok",
                              "Slave 5 - okay",
                              "Slave 6 - bootloader update ok",
                              "Slave 6 - bootloader connect ok",
                              "Slave 6 - okay",
                              "Slave 7 - bootloader V1.0",
                              "Slave 7 - bootloader update ok",
                              "Slave 7 - bootloader connect ok",
                              "Slave 7 - okay",
                          }));
    auto seen = [&](const std::string& entry) {
        return std::find(counters.begin(), counters.end(), entry) != counters.end();
    };
    EXPECT_TRUE(seen("Slave 5 - okay 0/3"));
    EXPECT_TRUE(seen("Slave 6 - bootloader update ok 1/3"));
    EXPECT_TRUE(seen("Slave 7 - bootloader V1.0 2/3"));
    // The last line names the run's record in the history: the report of the headless
    // commands, of this window's run.
    const std::string end = memo().back();
    const std::string prefix = std::string(kEndLine) + "3 of 3 okay, record ";
    ASSERT_EQ(end.rfind(prefix, 0), 0u) << end;
    const std::string record =
        std::string(std::getenv("XDG_DATA_HOME")) + "/romtide/runs/" + end.substr(prefix.size());
    std::ifstream in(record);
    const auto json = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(json.is_object()) << record;
    EXPECT_EQ(json["command"], "can window");
    EXPECT_EQ(json["image"]["path"], imagePath);
    EXPECT_EQ(json["end"], "complete");
    EXPECT_EQ(json["summary"]["okay"], 3);
    ASSERT_EQ(json["devices"].size(), 3u);
    EXPECT_EQ(json["devices"][1]["address"], 6);
    EXPECT_EQ(json["devices"][1]["outcome"], "okay");
    EXPECT_EQ(json["devices"][1]["left_in"], nullptr);
    EXPECT_EQ(text(can->lab_can_update_nr), "0");
    for (const auto& d : sim.devices) {
        EXPECT_EQ(d->bootVersion(), 3);
        EXPECT_EQ(d->applicationStart(), std::optional<uint32_t>(0x010000));
    }
    // The closing search has rebuilt the grid without marks; the list is empty.
    EXPECT_EQ(states(), "11111111");
    EXPECT_EQ(can->StringGrid1->rowCount(), 3);
    EXPECT_EQ(grid(0, 3), "7");
    EXPECT_EQ(grid(7, 1), "");
    EXPECT_EQ(can->session().GetNode(0), 0);
    EXPECT_EQ(messageTexts().size(), 2u) << "the two renewal questions only";
}

// A history folder that cannot be written never stops a run: the window says so once,
// and each run's last line says it is not recorded.
TEST_F(CanWindowTest, AnUnwritableHistoryIsSaidOnceAndTheRunsGoOn) {
    sim::SimDeviceConfig c;
    c.node = 5;
    c.kbit = 50;
    c.eraseUs = 20000;
    sim.addDevice(c);
    const std::string home = std::getenv("XDG_DATA_HOME");
    const std::string blocked = imagePath + ".not-a-folder";
    std::ofstream(blocked) << "a file where the folder should be";
    ::setenv("XDG_DATA_HOME", blocked.c_str(), 1);
    initAndSearch();
    can->button_can_open->click();
    for (int run = 0; run < 2; ++run) {
        clickRow(1);
        can->button_can_download->click();
        EXPECT_EQ(runLines().back(), "Slave 5 - okay");
        EXPECT_EQ(memo().back(), std::string(kEndLine) + "1 of 1 okay, not recorded");
    }
    ::setenv("XDG_DATA_HOME", home.c_str(), 1);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].icon, ui::MessageIcon::Warning);
    EXPECT_NE(messages()[0].text.find("The run history cannot be written:\n" + blocked),
              std::string::npos)
        << messages()[0].text;
}

class CanRunInterrupted : public CanWindowTest {
  protected:
    void SetUp() override {
        CanWindowTest::SetUp();
        for (int node : {5, 6, 7}) {
            sim::SimDeviceConfig c;
            c.node = node;
            c.kbit = 50;
            c.eraseUs = 20000;
            sim.addDevice(c);
        }
        initAndSearch();
        can->button_can_open->click();
        for (int r = 1; r <= 3; ++r) {
            clickRow(r);
        }
    }
    // Runs `action` `afterMs` after the memo shows `line`.
    void after(const std::string& line, int64_t afterMs, std::function<void()> action) {
        QObject::connect(can->memo_can_ergebnisse, &QPlainTextEdit::textChanged, can.get(),
                         [this, line, afterMs, action, armed = true]() mutable {
                             auto lines = memo();
                             if (armed && !lines.empty() && lines.back() == line) {
                                 armed = false;
                                 sim.ts.pump.at(sim.ts.clock.nowMs() + afterMs, action);
                             }
                         });
    }
};

TEST_F(CanRunInterrupted, CancelWhileConnectingSkipsTheNodeWhileDownloadingEndsTheRun) {
    // Node 5 is still resetting 10 ms after the start; node 6 is erasing 10 ms after its
    // connect.
    after("Romtide, start firmware update, DATE TIME", 10, [this] { can->Button1->click(); });
    after("Slave 6 - bootloader connect ok", 10, [this] { can->Button1->click(); });
    can->button_can_download->click();
    EXPECT_EQ(runLines(), (std::vector<std::string>{
                              "Romtide, start firmware update, DATE TIME",
                              "Slave 5 - bootloader connect error",
                              "Slave 5 - no connection to the bootloader",
                              "Slave 6 - bootloader connect ok",
                              "Slave 6 - User has cancelled",
                              "Slave 6 - left in its bootloader, without an application; a new "
                              "download repairs it",
                          }));
    EXPECT_FALSE(sim.devices[2]->applicationStart()) << "node 7 never reached";
    EXPECT_TRUE(can->isVisible());
    EXPECT_EQ(states(), "11111111");
}

// Quit, the title bar and Escape while a device is being written: a question naming the
// device and what stopping leaves it as, with No the default. No lets the run go on as
// if nothing had been clicked.
TEST_F(CanRunInterrupted, QuitCloseAndEscapeDuringATransferAskAndNoLetsTheRunFinish) {
    const std::pair<const char*, std::function<void()>> triggers[] = {
        {"Quit", [this] { can->button_can_quit->click(); }},
        {"the title bar", [this] { can->close(); }},
        {"Escape", [this] { QTest::keyClick(can.get(), Qt::Key_Escape); }},
    };
    for (const auto& [what, trigger] : triggers) {
        SCOPED_TRACE(what);
        messages().clear();
        after("Slave 6 - bootloader connect ok", 10, trigger);
        can->button_can_download->click();
        ASSERT_EQ(messages().size(), 1u);
        const ui::Message& asked = messages()[0];
        EXPECT_EQ(asked.buttons, ui::MessageButtons::NoYes);
        EXPECT_EQ(asked.title, "Romtide");
        EXPECT_EQ(asked.text,
                  "Slave 6 is being updated.\nStopping now leaves it in its bootloader, without "
                  "an application; a new download repairs it.\n\nStop the update?");
        EXPECT_EQ(runLines().back(), "Slave 7 - okay");
        EXPECT_TRUE(can->isVisible());
        EXPECT_TRUE(TCANComm::IsBoardReady());
        for (const auto& d : sim.devices) {
            const std::string dump = imagePath + ".node" + std::to_string(d->config().node);
            ASSERT_TRUE(d->writeApplicationSrec(dump));
            EXPECT_EQ(std::system((std::string(ROMTIDE_SREC_CMP) + " " + imagePath + " " + dump +
                                   " >/dev/null 2>&1")
                                      .c_str()),
                      0)
                << "node " << d->config().node;
        }
        // Marked again for the next trigger (the closing search dropped the marks).
        for (int r = 1; r <= 3; ++r) {
            clickRow(r);
        }
    }
    // Outside a transfer Quit closes at once, as before.
    can->button_can_quit->click();
    EXPECT_FALSE(can->isVisible());
}

// Yes: the run stops with the device in hand, the results say what it is left as, and the
// window stays open with them; a further Quit closes it.
TEST_F(CanRunInterrupted, YesStopsTheRunAndTheResultsSayTheDeviceIsLeftInItsBootloader) {
    sim.ts.messages.fallback = ui::MessageAnswer::Yes;
    after("Slave 5 - bootloader connect ok", 10, [this] { can->close(); });
    can->button_can_download->click();
    const std::vector<std::string> lines = memo();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.back().rfind(std::string(kEndLine) + "0 of 3 okay, record ", 0), 0u)
        << lines.back();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{
                  "Romtide, start firmware update, DATE TIME",
                  "Slave 5 - bootloader connect ok",
                  "Slave 5 - User has cancelled",
                  "Slave 5 - left in its bootloader, without an application; a new download "
                  "repairs it",
              }));
    EXPECT_EQ(sim.devices[0]->mode(), sim::DeviceMode::Bootloader);
    EXPECT_FALSE(sim.devices[0]->applicationStart());
    EXPECT_EQ(sim.devices[1]->erases(), 0u) << "no further node is touched";
    EXPECT_EQ(sim.devices[2]->erases(), 0u);
    EXPECT_TRUE(can->isVisible()) << "the results stay on the screen";
    EXPECT_TRUE(TCANComm::IsBoardReady());
    EXPECT_EQ(states(), "11111111");
    can->button_can_quit->click();
    EXPECT_FALSE(can->isVisible());
}

// A bootloader renewal in hand: the question says so, and what stopping leaves.
TEST_F(CanWindowTest, StoppingARenewalIsAskedAboutAndLeavesTheDeviceInItsUpdater) {
    for (const ui::MessageAnswer answer : {ui::MessageAnswer::No, ui::MessageAnswer::Yes}) {
        SCOPED_TRACE(answer == ui::MessageAnswer::Yes ? "Yes" : "No");
        sim.devices.clear();
        sim::SimDeviceConfig c = defaultScenario()[1];  // an old bootloader
        c.eraseUs = 20000;
        sim.addDevice(c);
        messages().clear();
        if (!TCANComm::IsBoardReady()) {
            initAndSearch();
        } else {
            can->button_can_search->click();
        }
        can->button_can_open->click();
        clickRow(1);
        // Yes to the renewal question, then the answer to the question of Quit.
        sim.ts.messages.answers = {ui::MessageAnswer::Yes, answer};
        std::function<void()> watch = [&] {
            if (can->session().Renewing() && can->session().deviceLeft() != DeviceLeft::Untouched) {
                can->button_can_quit->click();
            } else {
                sim.ts.pump.at(sim.ts.clock.nowMs() + 1, watch);
            }
        };
        sim.ts.pump.at(0, watch);
        can->button_can_download->click();
        ASSERT_EQ(messages().size(), 2u);
        EXPECT_EQ(messages()[1].text,
                  "The bootloader of Slave 6 is being renewed.\nStopping now leaves it in its "
                  "updater; a new download finishes the renewal of its bootloader and repairs "
                  "it.\n\nStop the renewal?");
        if (answer == ui::MessageAnswer::No) {
            EXPECT_EQ(runLines().back(), "Slave 6 - okay");
            EXPECT_EQ(sim.devices[0]->bootVersion(), 3);
            const std::string dump = imagePath + ".node6";
            ASSERT_TRUE(sim.devices[0]->writeApplicationSrec(dump));
            EXPECT_EQ(std::system((std::string(ROMTIDE_SREC_CMP) + " " + imagePath + " " + dump +
                                   " >/dev/null 2>&1")
                                      .c_str()),
                      0);
        } else {
            EXPECT_EQ(runLines().back(),
                      "Slave 6 - left in its updater; a new download finishes the renewal of its "
                      "bootloader and repairs it");
            EXPECT_NE(sim.devices[0]->mode(), sim::DeviceMode::Application);
            EXPECT_TRUE(can->isVisible());
        }
    }
}

TEST_F(CanWindowTest, DetectFindsTheBootloaderAtTheNodeChosenByHand) {
    sim::SimDeviceConfig c;
    c.node = 9;
    c.kbit = 250;
    c.startsInBootloader = true;
    sim.addDevice(c);
    can->button_can_init->click();
    // Select slave: node 9 at 250 kbit/s.
    test::whenModal([](QWidget* w) {
        w->findChild<QComboBox*>(QStringLiteral("combobox_baudrate"))->setCurrentIndex(5);
        w->findChild<QLineEdit*>(QStringLiteral("edit_id"))->setText(QStringLiteral("9"));
        w->findChild<QPushButton*>(QStringLiteral("button_can_option_okay"))->click();
    });
    can->button_can_settings->click();
    EXPECT_EQ(Tbootloader::nodeId, 9);
    EXPECT_EQ(TCANComm::GetBaudIndex(), 5);
    std::string during;
    sim.ts.pump.at(sim.ts.clock.nowMs() + 20, [&] { during = states(); });
    can->button_can_connect->click();
    EXPECT_EQ(during, "00000011") << "Detect leaves Quit as it is";
    EXPECT_EQ(states(), "11111111");
    EXPECT_TRUE(messages().empty());
    sim.run(1200);
    EXPECT_TRUE(can->img_can_boot_con_okay->isVisible());
    EXPECT_FALSE(can->img_can_boot_con_false->isVisible());
    EXPECT_EQ(can->session().GetNode(0), 9);
    EXPECT_EQ(text(can->lab_can_tot_updatezahl), "1");

    // The bootloader gone: the monitor stops and the node leaves the list.
    sim.devices.clear();
    sim.run(1200);
    EXPECT_FALSE(can->img_can_boot_con_okay->isVisible());
    EXPECT_EQ(can->session().GetNode(0), 0);
    EXPECT_FALSE(can->tmr_can_bootloader_connect().isEnabled());

    // Detect where nobody answers.
    can->button_can_connect->click();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text,
              "No Bootloader connected!\nPlease check the Node-ID and Baudrate.");
}

TEST_F(CanWindowTest, DetectOfAFirstGenerationBootloaderAsksTheProductRenewsAndDownloads) {
    sim::SimDeviceConfig c;
    c.node = 1;
    c.kbit = 50;
    c.bootVersion = 0;
    c.product = 'E';
    c.eraseUs = 20000;
    sim.addDevice(c);
    sim.ts.messages.fallback = ui::MessageAnswer::Yes;
    can->button_can_init->click();
    int asked = 0;
    test::whenModal([&](QWidget* w) {
        ++asked;
        w->findChild<QComboBox*>(QStringLiteral("combobox_devices"))
            ->setEditText(QStringLiteral("Inkra"));
        w->findChild<QPushButton*>(QStringLiteral("button_okay"))->click();
    });
    can->button_can_connect->click();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(sim.devices[0]->bootVersion(), 3);
    // The renewed bootloader is marked by the monitor and the triggered Download finds
    // no file.
    ASSERT_EQ(messages().size(), 2u);
    EXPECT_EQ(messages()[0].buttons, ui::MessageButtons::YesNo);
    EXPECT_EQ(messages()[1].text, "No file open.");
    EXPECT_EQ(can->session().GetNode(0), 1);
    EXPECT_EQ(text(can->lab_can_tot_updatezahl), "1");
    EXPECT_TRUE(can->img_can_boot_con_okay->isVisible());
    EXPECT_EQ(states(), "11111111");
}

class CanDialogsTest : public CanWindowTest {
  protected:
    CanOptionView& option() { return static_cast<CanOptionView&>(*windows.can_option); }
    SelproductView& product() { return static_cast<SelproductView&>(*windows.selproduct); }
};

TEST_F(CanDialogsTest, SelectSlaveValidatesInOrderAndKeepsItsFields) {
    CanOptionView& d = option();
    EXPECT_EQ(d.windowTitle().toStdString(), "CAN download - Select slave");
    EXPECT_EQ(d.size(), QSize(353, 89));
    EXPECT_TRUE(d.lab_option_can_baudrate->font().bold());
    EXPECT_EQ(d.edit_id->text().toStdString(), "1");
    EXPECT_EQ(d.combobox_baudrate->currentText().toStdString(), "    50 kBit/s");
    EXPECT_EQ(d.button_can_option_okay->nextInFocusChain(), d.button_can_opt_cancel);
    d.show();

    d.edit_id->clear();
    QTest::keyClicks(d.edit_id, "1a2-");
    EXPECT_EQ(d.edit_id->text().toStdString(), "12") << "only digits are typed";
    QTest::keyClick(d.edit_id, Qt::Key_Backspace);
    EXPECT_EQ(d.edit_id->text().toStdString(), "1");
    // The desktop delivers Delete with the text DEL (0x7F); it edits, it types nothing.
    d.edit_id->setText(QStringLiteral("12"));
    d.edit_id->setCursorPosition(0);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
    QApplication::sendEvent(d.edit_id, &del);
    EXPECT_EQ(d.edit_id->text().toStdString(), "2");

    d.edit_id->clear();
    d.combobox_baudrate->setCurrentIndex(-1);
    d.button_can_option_okay->click();
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Please select a baudrate or click 'Cancel'.",
                                        "Please select an ID or click 'Cancel'."}));
    EXPECT_EQ(messages()[0].title, "Bootloader");
    EXPECT_EQ(messages()[0].icon, ui::MessageIcon::None);
    EXPECT_TRUE(d.isVisible());

    messages().clear();
    d.combobox_baudrate->setCurrentIndex(4);
    for (const char* bad : {"0", "128", "1x"}) {
        d.edit_id->setText(QString::fromLatin1(bad));  // as if pasted
        d.button_can_option_okay->click();
    }
    ASSERT_EQ(messages().size(), 3u);
    for (const auto& m : messages()) {
        EXPECT_EQ(m.text, "The NodeID number has to be between 1 and 127.");
        EXPECT_EQ(m.icon, ui::MessageIcon::Information);
    }
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(Tbootloader::nodeId, 1);

    d.edit_id->setText(QStringLiteral("127"));
    d.button_can_option_okay->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Tbootloader::nodeId, 127);
    EXPECT_EQ(TCANComm::GetBaudIndex(), 4);

    // Cancel writes nothing; the fields stay as they were left.
    d.show();
    d.edit_id->setText(QStringLiteral("3"));
    d.button_can_opt_cancel->click();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Tbootloader::nodeId, 127);
    EXPECT_EQ(d.edit_id->text().toStdString(), "3");
}

TEST_F(CanDialogsTest, SelectProductWritesTheCodeOfAnExactItemOnly) {
    SelproductView& d = product();
    EXPECT_EQ(d.windowTitle().toStdString(), "CAN download - select product");
    EXPECT_EQ(d.size(), QSize(259, 73));
    EXPECT_TRUE(d.combobox_devices->isEditable());
    EXPECT_EQ(d.combobox_devices->currentText().toStdString(), "Quadra");
    EXPECT_EQ(d.combobox_devices->count(), 3);
    d.show();
    d.combobox_devices->setEditText(QStringLiteral("inkra"));
    d.button_okay->click();
    EXPECT_EQ(Tbootloader::selectedProduct, 0);
    EXPECT_FALSE(d.isVisible());
    d.show();
    d.combobox_devices->setCurrentIndex(2);
    d.button_okay->click();
    EXPECT_EQ(Tbootloader::selectedProduct, 497);
    d.show();
    d.button_cancel->click();
    EXPECT_EQ(Tbootloader::selectedProduct, 2);
}

// The CAN windows in the program's start-up, opened from the main window.
class FakeProfibusWindow : public DesktopWindow {
  public:
    FakeProfibusWindow() { dialog.setObjectName(QStringLiteral("frm_profibus")); }
    Form& form() override { return form_; }
    QDialog dialog;
    WidgetForm form_{&dialog};
};

TEST(CanWindowInDesktop, JoinsTheStartUpAndF3WhileItIsOpenDoesNothing) {
    test::testApplication();
    Tbootloader::resetSharedState();
    test::CanSim sim;
    NoShell shell;
    SessionObjects sessions(sim.ts.services);
    WindowFactories factories;
    factories.can_option = makeCanOptionWindow;
    factories.can = makeCanWindow;
    factories.selproduct = makeSelproductWindow;
    FakeProfibusWindow* profibus = nullptr;
    factories.profibus = [&](WindowContext&) {
        auto w = std::make_unique<FakeProfibusWindow>();
        profibus = w.get();
        return w;
    };
    auto desktop = std::make_unique<Desktop>(
        sessions,
        DesktopServices{sim.ts.services, shell,
                        [&] { return std::make_unique<test::VirtualTimer>(sim.ts.clock); }, [] {}},
        std::move(factories));
    EXPECT_EQ(desktop->startupSteps(),
              (std::vector<std::string>{"title", "splash shown", "frm_main", "frm_about",
                                        "frm_can_option", "frm_reset", "frm_profibus", "frm_can",
                                        "frm_selproduct", "main window shown"}));
    EXPECT_FALSE(sessions.can) << "the window took its session";
    MainWindowView& main = desktop->mainWindow();
    ASSERT_TRUE(main.menu_can->isEnabled());
    ASSERT_TRUE(main.menu_profibus->isEnabled());

    for (int opening = 0; opening < 2; ++opening) {
        std::string opened;
        bool profibusShown = true;
        bool mainShown = true;
        test::whenModal([&](QWidget* w) {
            opened = w->objectName().toStdString();
            mainShown = main.isVisible();
            QTest::keyClick(w, Qt::Key_F3);
            main.menu_profibus->trigger();
            profibusShown = profibus->dialog.isVisible();
            w->findChild<QPushButton*>(QStringLiteral("button_can_quit"))->click();
        });
        main.menu_can->trigger();
        EXPECT_EQ(opened, "frm_can");
        EXPECT_FALSE(mainShown);
        EXPECT_FALSE(profibusShown);
        EXPECT_TRUE(main.isVisible());
    }
    desktop.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace romtide::desktop
