// The Profibus download window with its real widgets on the simulated segment: the real
// nuboxlink library code on a simulated board, its DP master firmware, the encoders and
// the DP cycles, all on one virtual clock, with the window's messages answered through
// the services. What the user does from the search to the end of a run, and what the
// stations and the board went through.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>

#include "app/desktop/profibus_views.h"
#include "tests/app/profibus_view_driver.h"
#include "tests/app/virtual_timer.h"
#include "tests/profibus/segment_rig.h"
#include "ui/qt_test_support.h"

namespace romtide::desktop {
namespace {

using pbtest::gridRows;
using pbtest::text;
using Rows = std::vector<std::vector<std::string>>;

// The default segment as the window lists it: the board's own master, another master,
// a slave of each PPO type and one that is in its bootloader.
const Rows kDefaultSegment{
    {"Master", "1", "", "", ""},
    {"Master", "2", "", "", ""},
    {"Slave", "3", "0x0793", "3.1.4", ""},
    {"Slave", "4", "0x0793", "2.7.1", ""},
    {"Slave", "5", "0x0793", "Bootloader 1.2.0", ""},
};

class ProfibusSegmentWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
    void SetUp() override {
        imagePath = pbtest::writeImage(dir, image);
        files.answer = imagePath;
        pb = std::make_unique<ProfibusView>(std::move(sessions.profibus), context,
                                            ProfibusViewOptions{&files});
        windows.profibus_option = makeProfibusOptionWindow(context);
    }
    void run(int64_t ms) {
        rig.clock().sleepMs(ms);
        rig.pump.processPending();
    }
    std::string states() const { return pbtest::buttonStates(*pb); }
    // Shown, the timer's first tick, and a search: the bus comes up with its first scan.
    void showAndSearch() {
        pb->show();
        run(1000);
        ASSERT_EQ(states(), "1111111") << "the board is initialised";
        pb->button_profibus_search->click();
    }
    void openAndMark(std::initializer_list<uint8_t> stations) {
        pb->button_profibus_open_file->click();
        ASSERT_EQ(text(pb->lab_profibus_datei).rfind("File: " + imagePath + " (", 0), 0u);
        for (uint8_t s : stations) {
            const int row = pbtest::rowOf(*pb, s);
            ASSERT_GT(row, 0) << int{s};
            pbtest::clickRow(*pb, row);
        }
    }
    // Runs `action` from the event pump once `station` has taken `count` data telegrams.
    void afterTelegrams(int station, uint64_t count, std::function<void()> action) {
        watch_ = [this, station, count, action] {
            if (rig.encoder(station).dataTelegrams() >= count) {
                action();
            } else {
                rig.pump.at(rig.clock().nowMs() + 1, [this] { watch_(); });
            }
        };
        rig.pump.at(0, [this] { watch_(); });
    }
    DeviceInfo boardInfo() {
        DeviceInfo info{};
        rig.binding.GetDeviceInfo(0, &info);
        return info;
    }

    pbtest::FreshSharedState shared;
    test::SegmentRig rig;
    pbtest::NoShell shell;
    // The window's timer ticks from the event pump, as a toolkit timer does: never from
    // inside the library's own waits on the shared clock.
    DesktopServices services{
        rig.services, shell,
        [this] { return std::make_unique<test::PumpedTimer>(rig.clock(), rig.pump); }, [] {}};
    SessionObjects sessions{rig.services, rig.binding};
    DesktopWindows windows;
    QWidget mainWindow;
    WindowContext context{sessions, services, &mainWindow, windows};
    test::ScriptedFileDialog files;
    test::TempDir dir;
    const sim::FlashImage image = pbtest::testImage(1500);
    std::string imagePath;
    std::unique_ptr<ProfibusView> pb;
    std::function<void()> watch_;
};

TEST_F(ProfibusSegmentWindowTest, TwoMarkedStationsAreUpdatedEachWithItsMessage) {
    showAndSearch();
    EXPECT_EQ(text(pb->lab_profibus_adapter), "PCI adapter");
    ASSERT_EQ(gridRows(*pb), kDefaultSegment);
    openAndMark({4, 5});
    EXPECT_EQ(pbtest::nodeList(), (std::vector<int>{4, 5}));
    std::vector<std::string> progressAtMessages;
    rig.messages.onShow = [&](const ui::Message&) {
        progressAtMessages.push_back(std::to_string(pb->progress_profibus_slaves->value()) + "/" +
                                     std::to_string(pb->progress_profibus_slaves->maximum()));
    };
    pb->button_profibus_download->click();

    ASSERT_EQ(pbtest::runMessageTexts(rig.messages),
              (std::vector<std::string>(2, "File is downloaded into Flash.")));
    for (size_t i = 0; i < 2; ++i) {
        const ui::Message& m = rig.messages.shown[i];
        EXPECT_EQ(m.title, "Bootloader");
        EXPECT_EQ(m.icon, ui::MessageIcon::None);
    }
    EXPECT_EQ(progressAtMessages, (std::vector<std::string>{"0/2", "1/2", "2/2"}));
    for (int s : {4, 5}) {
        const sim::SimEncoder& e = rig.encoder(s);
        EXPECT_EQ(e.flashImage(), image) << "station " << s;
        EXPECT_EQ(e.erases(), 1u) << "station " << s;
        EXPECT_EQ(e.mode(), sim::EncoderMode::Application) << "station " << s;
    }
    EXPECT_EQ(rig.encoder(3).dataTelegrams(), 0u) << "an unmarked station is left alone";
    EXPECT_EQ(rig.encoder(3).erases(), 0u);

    // Unlocked, and the bus searched again: the station that was in its bootloader runs
    // its new application, and no station is marked any more.
    EXPECT_EQ(states(), "1111111");
    EXPECT_TRUE(pb->tmr_connect_adapter().isEnabled());
    EXPECT_EQ(text(pb->lab_profibus_info), " ");
    EXPECT_TRUE(pbtest::nodeList().empty());
    Rows after = kDefaultSegment;
    after[4][3] = "3.1.4";
    EXPECT_EQ(gridRows(*pb), after);
}

TEST_F(ProfibusSegmentWindowTest, CancelDuringTheTransferStopsTheRunWithinATelegram) {
    pb->show();
    // 93.75 kbit/s, typed in the options dialog: a DP cycle takes milliseconds, so the
    // transfer is well under way when Cancel comes.
    auto& dialog = static_cast<ProfibusOptionView&>(*windows.profibus_option);
    dialog.show();
    dialog.combobox_profibus_baudrate->setEditText(QStringLiteral("93.75 kBaud"));
    dialog.button_profibus_option_okay->click();
    ASSERT_FALSE(dialog.isVisible());
    ASSERT_TRUE(rig.messages.shown.empty());
    showAndSearch();
    EXPECT_EQ(text(pb->lab_profibus_baudrate), "Baudrate:\t93.75kb");
    ASSERT_EQ(gridRows(*pb), kDefaultSegment) << "the bus runs at the new rate";
    openAndMark({3, 4});

    std::string during;
    afterTelegrams(3, 20, [&] {
        during = states();
        pb->button_profibus_cancel->click();
    });
    pb->button_profibus_download->click();
    EXPECT_EQ(during, "0000010") << "only Cancel during the run";
    ASSERT_EQ(pbtest::runMessageTexts(rig.messages),
              (std::vector<std::string>{"User has cancelled! \n",
                                        "Station 3 is left in its bootloader, without an "
                                        "application; a new download repairs it."}));
    EXPECT_EQ(rig.messages.shown[0].icon, ui::MessageIcon::Warning);
    const uint64_t telegrams = rig.encoder(3).dataTelegrams();
    EXPECT_LT(telegrams, 25u);
    EXPECT_NE(rig.encoder(3).flashImage(), image);
    EXPECT_EQ(rig.encoder(4).dataTelegrams(), 0u) << "the run ended with the first station";
    EXPECT_EQ(rig.encoder(4).erases(), 0u);

    // The search after the run finds the cancelled station waiting in its bootloader.
    EXPECT_EQ(states(), "1111111");
    Rows after = kDefaultSegment;
    after[2][3] = "Bootloader 1.2.0";
    EXPECT_EQ(gridRows(*pb), after);
    EXPECT_TRUE(pbtest::nodeList().empty());
    run(2000);
    EXPECT_EQ(rig.encoder(3).dataTelegrams(), telegrams) << "nothing more was sent";
}

TEST_F(ProfibusSegmentWindowTest, QuitResetsTheBoardAndTheWindowBringsTheBusBackWhenOpened) {
    showAndSearch();
    ASSERT_EQ(gridRows(*pb), kDefaultSegment);
    sim::DpMaster& master = rig.segment->master();
    ASSERT_TRUE(master.inDataExchange(3));
    ASSERT_EQ(boardInfo().busy, 1);
    const unsigned restarts = rig.board.restarts();

    pb->button_profibus_close->click();
    EXPECT_FALSE(pb->isVisible());
    EXPECT_EQ(rig.board.restarts(), restarts + 2) << "Quit resets, and closing resets again";
    EXPECT_FALSE(pb->tmr_connect_adapter().isEnabled());
    EXPECT_FALSE(master.online());
    EXPECT_FALSE(master.inDataExchange(3));
    EXPECT_EQ(boardInfo().present, 1);
    EXPECT_EQ(boardInfo().busy, 0) << "the board is released";
    EXPECT_TRUE(rig.messages.shown.empty());

    // Opened again: the board is initialised and the bus comes back with the search.
    showAndSearch();
    EXPECT_EQ(gridRows(*pb), kDefaultSegment);
    EXPECT_TRUE(master.inDataExchange(3));
    EXPECT_TRUE(rig.messages.shown.empty());
}

}  // namespace
}  // namespace romtide::desktop
