// The CAN bootloader protocol of Tbootloader against simulated devices on the virtual
// clock: every result code of each operation, the two-stage renewal, cancel in each
// phase, and what the device programmed compared with the file by srec_cmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "session/tbootloader.h"
#include "session/update_files.h"
#include "sim/core/srec.h"
#include "support/can_sim.h"

namespace romtide {
namespace {

using test::CanSim;

// Remembers the highest position it was moved to.
struct TrackingBar : ui::PlainProgressBar {
    void setPosition(int p) override {
        PlainProgressBar::setPosition(p);
        highest = std::max(highest, p);
    }
    int highest = 0;
};

std::string tempDir() {
    std::string tmpl = ::testing::TempDir() + "canprotoXXXXXX";
    char* made = ::mkdtemp(tmpl.data());
    return made != nullptr ? std::string(made) : std::string("/tmp");
}

std::string writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// An application image of `bytes` data bytes in S2 records of 32 bytes.
std::string imageText(size_t bytes) {
    sim::FlashImage image;
    for (size_t i = 0; i < bytes; ++i) {
        image[0x010000 + static_cast<uint32_t>(i)] = static_cast<uint8_t>(i * 13 + 1);
    }
    return sim::writeSrec(image, "APP", 0x010000);
}

class CanProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        dir = tempDir();
    }
    void TearDown() override { Tbootloader::resetSharedState(); }

    // Adds the device, selects the board and starts the controller for its node.
    sim::SimCanDevice& device(sim::SimDeviceConfig c) {
        auto& d = sim.addDevice(c);
        EXPECT_EQ(session.canComm->SelectBoard(), 1);
        for (int i = 0; i <= 8; ++i) {
            if (test::kbitOf(i) == c.kbit) {
                TCANComm::SetBaudIndex(i);
            }
        }
        session.SetNodeId(c.node);
        EXPECT_GT(session.canComm->InitCan(0, static_cast<uint32_t>(session.GetSdoId() - 0x80)), 0);
        return d;
    }
    void openImage(const std::string& text) {
        test::ScriptedFileDialog dialog;
        dialog.answer = writeFile(dir + "/image.mhx", text);
        ASSERT_EQ(session.OpenFile(dialog), 0);
        ASSERT_EQ(session.CheckFile(), 0);
    }
    int questions() const {
        return static_cast<int>(std::count_if(
            sim.ts.messages.shown.begin(), sim.ts.messages.shown.end(),
            [](const ui::Message& m) { return m.buttons == ui::MessageButtons::YesNo; }));
    }

    CanSim sim;
    Tbootloader session{sim.ts.services};
    TrackingBar bar;
    std::string dir;
};

sim::SimDeviceConfig fast(sim::SimDeviceConfig c = {}) {
    c.kbit = 1000;
    c.eraseUs = 50000;
    return c;
}

TEST_F(CanProtocolTest, ACurrentBootloaderConnectsAfterTheNodeReset) {
    auto& d = device(fast());
    EXPECT_EQ(session.ConnectBootloader(bar), 0);
    EXPECT_EQ(d.mode(), sim::DeviceMode::Bootloader);
    EXPECT_EQ(bar.position(), 0);
    EXPECT_EQ(Tbootloader::attemptCount, 0);
    EXPECT_EQ(questions(), 0);
    EXPECT_EQ(session.CheckBootloader(), 0);
}

TEST_F(CanProtocolTest, ABootloaderOfKindBConnectsButDoesNotPassTheCheck) {
    auto c = fast();
    c.bootKind = 'B';
    device(c);
    EXPECT_EQ(session.ConnectBootloader(bar), 0);
    EXPECT_EQ(session.CheckBootloader(), -4);
}

TEST_F(CanProtocolTest, NoAnswerTakesAboutTenSecondsAndEndsWithMinusFour) {
    auto c = fast();
    c.node = 9;  // the session asks node 5
    sim.addDevice(c);
    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    TCANComm::SetBaudIndex(8);
    session.SetNodeId(5);
    session.canComm->InitCan(0, 0x585);
    int64_t start = sim.ts.clock.nowMs();
    EXPECT_EQ(session.ConnectBootloader(bar), -4);
    int64_t took = sim.ts.clock.nowMs() - start;
    EXPECT_GE(took, 10000);
    EXPECT_LT(took, 10500);
    EXPECT_EQ(bar.highest, 100);
    EXPECT_EQ(bar.position(), 0);
}

TEST_F(CanProtocolTest, WithoutABoardEveryOperationReportsTheBus) {
    EXPECT_EQ(session.ConnectBootloader(bar), -5);
    EXPECT_EQ(session.CheckBootloader(), -5);
    EXPECT_EQ(session.FinishDownload(), -5);
    EXPECT_EQ(session.EraseFlash(), -5);
    openImage(imageText(64));
    EXPECT_EQ(session.DownloadFile(bar), -9);  // the erase request is not sent
}

TEST_F(CanProtocolTest, AnOldBootloaderIsRenewedInTwoStagesWhenTheUserAgrees) {
    auto c = fast();
    c.bootVersion = 2;
    c.product = 'F';
    auto& d = device(c);
    sim.ts.messages.answers.push_back(ui::MessageAnswer::Yes);
    EXPECT_EQ(session.ConnectBootloader(bar), 1);
    ASSERT_EQ(questions(), 1);
    const auto& q = sim.ts.messages.shown[0];
    EXPECT_EQ(q.text,
              "It exist a new version of the Bootlaoder.\nAn update is recommended.\nWarning, the "
              "product software will be erased. Continue?");
    EXPECT_EQ(q.title, "Romtide");
    EXPECT_EQ(q.icon, ui::MessageIcon::Question);
    EXPECT_EQ(d.bootVersion(), 3);
    EXPECT_EQ(Tbootloader::updatePath, besideProgram("Update/Bootloader/387.mhx"));
    EXPECT_FALSE(session.updateFile);
    // Connecting again finds the current bootloader.
    EXPECT_EQ(session.ConnectBootloader(bar), 0);
}

TEST_F(CanProtocolTest, VersionBytesOf128AndAboveCountAsOld) {
    auto c = fast();
    c.bootVersion = 0x90;
    device(c);
    EXPECT_EQ(session.ConnectBootloader(bar), -6);  // the fallback answer is No
    EXPECT_EQ(questions(), 1);
}

TEST_F(CanProtocolTest, ADeclinedRenewalWritesNothing) {
    auto c = fast();
    c.bootVersion = 1;
    auto& d = device(c);
    sim.ts.messages.answers.push_back(ui::MessageAnswer::No);
    EXPECT_EQ(session.ConnectBootloader(bar), -6);
    EXPECT_EQ(d.unitsReceived(), 0u);
    EXPECT_EQ(d.erases(), 0u);
}

TEST_F(CanProtocolTest, AProductWithoutUpdateFilesIsNeitherAskedNorWritten) {
    auto c = fast();
    c.bootVersion = 1;
    c.product = 'X';
    auto& d = device(c);
    EXPECT_EQ(session.ConnectBootloader(bar), -7);
    EXPECT_EQ(questions(), 0);
    EXPECT_EQ(d.unitsReceived(), 0u);
    EXPECT_EQ(d.erases(), 0u);
}

TEST_F(CanProtocolTest, AFirstGenerationBootloaderNeedsTheProductChosen) {
    auto c = fast();
    c.bootVersion = 0;
    c.product = 'E';
    auto& d = device(c);
    EXPECT_EQ(session.ConnectBootloader(bar), -8);
    EXPECT_EQ(questions(), 0);

    Tbootloader::selectedProduct = 2;  // the product dialog was cancelled
    EXPECT_EQ(session.ConnectBootloader(bar), -6);
    EXPECT_EQ(Tbootloader::selectedProduct, 0);

    Tbootloader::selectedProduct = 498;
    sim.ts.messages.answers.push_back(ui::MessageAnswer::Yes);
    EXPECT_EQ(session.ConnectBootloader(bar), 1);
    EXPECT_EQ(Tbootloader::selectedProduct, 0);
    EXPECT_EQ(d.bootVersion(), 3);
    EXPECT_EQ(d.product(), 'E');
}

TEST_F(CanProtocolTest, AFirstStageWithoutAcknowledgementEndsTheConnectWithMinusFour) {
    auto c = fast();
    c.bootVersion = 1;
    c.noAckAfterUnits = 10;
    device(c);
    sim.ts.messages.answers.push_back(ui::MessageAnswer::Yes);
    EXPECT_EQ(session.ConnectBootloader(bar), -4);
}

TEST_F(CanProtocolTest, CancelInEveryPhaseOfTheConnectEndsItWithMinusFour) {
    struct Phase {
        const char* name;
        int64_t atMs;
    };
    // At 150 ms the identification runs; the first stage (small updater at 1 Mbit/s)
    // runs from about 300 ms, the second stage from about 700 ms.
    for (Phase p :
         {Phase{"identification", 150}, Phase{"first stage", 420}, Phase{"second stage", 900}}) {
        CanSim s("cancel");
        Tbootloader::resetSharedState();
        Tbootloader t(s.ts.services);
        auto c = fast();
        c.bootVersion = p.atMs == 150 ? 3 : 1;
        c.node = 5;
        if (p.atMs == 150) {
            c.resetUs = 1000000;  // still resetting: the identification goes unanswered
        }
        auto& d = s.addDevice(c);
        ASSERT_EQ(t.canComm->SelectBoard(), 1);
        TCANComm::SetBaudIndex(8);
        t.SetNodeId(5);
        t.canComm->InitCan(0, 0x585);
        s.ts.messages.answers.push_back(ui::MessageAnswer::Yes);
        s.ts.pump.at(p.atMs, [&t] { t.Cancel(); });
        ui::PlainProgressBar b;
        EXPECT_EQ(t.ConnectBootloader(b), -4) << p.name;
        EXPECT_EQ(Tbootloader::attemptCount, 0) << p.name;
        if (p.atMs == 900) {
            EXPECT_EQ(d.mode(), sim::DeviceMode::Updater) << p.name;
        }
    }
}

TEST_F(CanProtocolTest, TheImageIsProgrammedUnitByUnitAndEqualsTheFile) {
    auto& d = device(fast());
    std::string trace = dir + "/trace.log";
    std::FILE* t = std::fopen(trace.c_str(), "w");
    ASSERT_NE(t, nullptr);
    sim.bus.setTrace(t);
    openImage(imageText(300));
    ASSERT_EQ(session.ConnectBootloader(bar), 0);
    EXPECT_EQ(session.DownloadFile(bar), 0);
    sim.bus.setTrace(nullptr);
    std::fclose(t);
    EXPECT_EQ(bar.position(), 0);
    EXPECT_GE(bar.highest, 5);

    std::string dump = dir + "/flash.srec";
    ASSERT_TRUE(d.writeApplicationSrec(dump));
    std::string cmp = std::string(ROMTIDE_SREC_CMP) + " " + dir + "/image.mhx " + dump;
    EXPECT_EQ(std::system(cmp.c_str()), 0) << cmp;

    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    ASSERT_GT(lines.size(), 10u);
    EXPECT_NE(lines[0].find(") test 000#8105"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].front(), '(');
    EXPECT_NE(lines[1].find(" test 605#4000300100000000"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" test 585#4300300143034400"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(" test 605#4000300300000000"), std::string::npos) << lines[3];
    // The first text unit: "S0" of the header record and its count.
    EXPECT_NE(lines[5].find(" test 605#2300300053303036"), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find(" test 585#6000300000000000"), std::string::npos) << lines[6];
    EXPECT_NE(lines[lines.size() - 2].find("605#4000300200000000"), std::string::npos);
}

TEST_F(CanProtocolTest, AnEmptyImageIsErasedAndFinishedWithoutUnits) {
    auto& d = device(fast());
    openImage("");
    ASSERT_EQ(session.ConnectBootloader(bar), 0);
    EXPECT_EQ(session.DownloadFile(bar), 0);
    EXPECT_EQ(d.erases(), 1u);
    EXPECT_EQ(d.unitsReceived(), 0u);
}

TEST_F(CanProtocolTest, DownloadFaultsEndInTheirResultCodes) {
    struct Case {
        const char* name;
        void (*fault)(sim::SimDeviceConfig&);
        int32_t expected;
    };
    for (Case k :
         {Case{"no acknowledgement", [](sim::SimDeviceConfig& c) { c.noAckAfterUnits = 20; }, -7},
          Case{"bootloader gone", [](sim::SimDeviceConfig& c) { c.goneAfterUnits = 20; }, -9},
          Case{"erase fails", [](sim::SimDeviceConfig& c) { c.eraseFails = true; }, -9},
          Case{"erase never answered", [](sim::SimDeviceConfig& c) { c.eraseNeverAnswered = true; },
               -9}}) {
        CanSim s("faults");
        Tbootloader::resetSharedState();
        Tbootloader t(s.ts.services);
        auto c = fast();
        k.fault(c);
        s.addDevice(c);
        ASSERT_EQ(t.canComm->SelectBoard(), 1);
        TCANComm::SetBaudIndex(8);
        t.SetNodeId(5);
        t.canComm->InitCan(0, 0x585);
        test::ScriptedFileDialog dialog;
        dialog.answer = writeFile(dir + "/f.mhx", imageText(400));
        ASSERT_EQ(t.OpenFile(dialog), 0);
        ui::PlainProgressBar b;
        ASSERT_EQ(t.ConnectBootloader(b), 0) << k.name;
        int64_t start = s.ts.clock.nowMs();
        EXPECT_EQ(t.DownloadFile(b), k.expected) << k.name;
        EXPECT_EQ(b.position(), 0) << k.name;
        if (c.eraseNeverAnswered) {
            EXPECT_GE(s.ts.clock.nowMs() - start, 10000);  // fifty looks, 200 ms apart
        }
    }
}

TEST_F(CanProtocolTest, CancelDuringTheDownloadIsSeenAfterTheUnitInFlight) {
    auto& d = device(fast());
    openImage(imageText(2000));
    ASSERT_EQ(session.ConnectBootloader(bar), 0);
    // Cancelled while the erase runs: the first unit still goes out and is acknowledged.
    sim.ts.pump.at(sim.ts.clock.nowMs() + 100, [this] { session.Cancel(); });
    EXPECT_EQ(session.DownloadFile(bar), -8);
    EXPECT_EQ(d.unitsReceived(), 1u);

    // Cancelled in the middle of the units.
    ASSERT_EQ(session.ConnectBootloader(bar), 0);
    sim.ts.pump.at(sim.ts.clock.nowMs() + 300, [this] { session.Cancel(); });
    EXPECT_EQ(session.DownloadFile(bar), -8);
    EXPECT_GT(d.unitsReceived(), 10u);
    EXPECT_LT(d.unitsReceived(), 1000u);
    EXPECT_EQ(bar.position(), 0);
    // No end of download: the device still sits in its bootloader.
    EXPECT_EQ(d.mode(), sim::DeviceMode::Bootloader);
}

TEST_F(CanProtocolTest, NoImageOrAMissingUpdateFileAreRefusedBeforeTheBus) {
    auto& d = device(fast());
    EXPECT_EQ(session.DownloadFile(bar), -1);
    Tbootloader::updatePath = dir + "/missing.mhx";
    EXPECT_EQ(session.DownloadUpdate(bar), -7);
    EXPECT_EQ(d.erases(), 0u);
}

TEST_F(CanProtocolTest, AnUpdateWhoseEraseFailsReportsATransferError) {
    auto c = fast();
    c.eraseFails = true;
    device(c);
    Tbootloader::updatePath = writeFile(dir + "/u.mhx", sim::simUpdaterImage('D'));
    ASSERT_EQ(session.ConnectBootloader(bar), 0);
    EXPECT_EQ(session.DownloadUpdate(bar), -7);
}

}  // namespace
}  // namespace romtide
