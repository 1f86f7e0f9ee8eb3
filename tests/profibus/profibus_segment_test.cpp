// The tool's Profibus side against the simulated segment, in this process and on the
// virtual clock: the window's search and download run with the real wrapper, the real
// library code and the simulated board, encoders and DP cycles. What each station
// programmed is compared with the image by srec_cmp.
#include <gtest/gtest.h>

#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "session/tbootloader.h"
#include "sim/core/srec.h"
#include "support/temp_dir.h"
#include "tests/profibus/segment_rig.h"

namespace romtide {
namespace {

using sim::SimEncoderConfig;

SimEncoderConfig station(int address, int ppo = 1) {
    SimEncoderConfig c;
    c.address = address;
    c.ppo = ppo;
    return c;
}

// An application image of `bytes` data bytes in S2 records.
std::string imageText(size_t bytes, const std::string& header = "PB APP") {
    sim::FlashImage image;
    for (size_t i = 0; i < bytes; ++i) {
        image[0x020000 + static_cast<uint32_t>(i)] = static_cast<uint8_t>(i * 7 + 3);
    }
    return sim::writeSrec(image, header, 0x020000);
}

class SegmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        TProfitalvik::resetSharedState();
    }
    void TearDown() override {
        Tbootloader::resetSharedState();
        TProfitalvik::resetSharedState();
    }

    // The rig with `stations`, the image opened, the board initialised as the window does.
    void start(std::vector<SimEncoderConfig> stations, int32_t baud = 7) {
        sim::DpSegmentConfig config;
        config.encoders = std::move(stations);
        config.masters = {2};
        rig = std::make_unique<test::SegmentRig>(config);
        session = std::make_unique<Tbootloader>(rig->services, rig->binding);
        image = dir.write("app.mhx", imageText(600));
        session->imageFile = TextFile::open(image);
        ASSERT_TRUE(session->imageFile);
        TProfitalvik::SetBaudIndex(baud);
        ASSERT_EQ(session->profibus->InitAdapter(), 0);
        // The bus comes up with the window's first scan.
        StringGridStations table(grid);
        session->profibus->ScanLiveList(table);
    }
    std::vector<pbui::SearchStation> search() {
        pbui::SearchControls controls{grid, imageBar, stationBar, nullptr, {}};
        return pbui::runProfibusSearch(*session, controls);
    }
    pbui::ProfibusRunSummary run(std::vector<uint8_t> stations,
                                 const pbui::Verification& verification = {}) {
        for (uint8_t s : stations) {
            session->AddNode(s);
        }
        pbui::ProfibusRunHooks hooks{imageBar, label, stationBar, {}, {}, {}, {}};
        return pbui::runProfibusStations(*session, hooks, verification);
    }
    // srec_cmp of the image with what the station's flash holds.
    bool programmed(int address) {
        const std::string dump = dir.file("station-" + std::to_string(address) + ".srec");
        if (!rig->encoder(address).writeFlashSrec(dump)) {
            return false;
        }
        return test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " + dump).status ==
               0;
    }

    test::TempDir dir;
    std::unique_ptr<test::SegmentRig> rig;
    std::unique_ptr<Tbootloader> session;
    std::string image;
    ui::PlainStringGrid grid{5, 2};
    ui::PlainProgressBar imageBar, stationBar;
    ui::PlainTextLabel label;
};

TEST_F(SegmentTest, SearchListsKindsIdentsAndVersions) {
    SimEncoderConfig boot = station(5);
    boot.startsInBootloader = true;
    SimEncoderConfig wrongIdent = station(7);
    wrongIdent.ident = 0x1234;
    start({station(3), station(4, 2), boot, wrongIdent});
    auto found = search();
    ASSERT_EQ(found.size(), 6u);
    EXPECT_EQ(found[0].address, 1);
    EXPECT_EQ(found[0].type, dpm::kActiveStation);
    EXPECT_EQ(found[1].address, 2);
    struct Row {
        uint8_t address;
        uint16_t ident;
        const char* version;
    };
    for (const Row& r : {Row{3, 0x0793, "3.1.4"}, Row{4, 0x0793, "3.1.4"},
                         Row{5, 0x0793, "Bootloader 1.2.0"}, Row{7, 0x1234, "Not ready"}}) {
        auto it = std::find_if(found.begin(), found.end(),
                               [&](const auto& s) { return s.address == r.address; });
        ASSERT_NE(it, found.end());
        EXPECT_EQ(it->type, dpm::kPassiveStation);
        EXPECT_EQ(it->ident, r.ident) << int(r.address);
        EXPECT_EQ(it->version, r.version) << int(r.address);
        EXPECT_EQ(grid.cell(3, it->row), r.version);
        EXPECT_EQ(grid.cell(0, it->row), "Slave");
    }
    // The station with another ident number never went into data exchange.
    EXPECT_FALSE(rig->segment->master().inDataExchange(7));
    EXPECT_TRUE(rig->messages.shown.empty());
}

TEST_F(SegmentTest, PpoDetectionOfBothTypes) {
    start({station(3), station(4, 2)});
    TProfitalvik::SetStationAddress(4);
    EXPECT_EQ(session->profibus->DetectPpo(), 1);
    EXPECT_TRUE(TProfitalvik::GetPpo2());
    TProfitalvik::SetStationAddress(3);
    EXPECT_EQ(session->profibus->DetectPpo(), 0);
    EXPECT_FALSE(TProfitalvik::GetPpo2());
    TProfitalvik::SetStationAddress(9);  // nobody there
    EXPECT_EQ(session->profibus->DetectPpo(), dpm::kNoConfirmation);
}

TEST_F(SegmentTest, StationsOfBothPpoTypesAndOneInItsBootloaderAreUpdated) {
    SimEncoderConfig boot = station(5);
    boot.startsInBootloader = true;
    start({station(3), station(4, 2), boot}, 9);
    auto summary = run({3, 4, 5});
    ASSERT_EQ(summary.results.size(), 3u);
    for (const auto& r : summary.results) {
        EXPECT_EQ(r.result, result::kOk) << r.station;
        EXPECT_TRUE(r.done);
        EXPECT_TRUE(programmed(r.station)) << r.station;
        EXPECT_EQ(rig->encoder(r.station).erases(), 1u);
    }
    ASSERT_EQ(rig->messages.shown.size(), 3u);
    EXPECT_EQ(rig->messages.shown[2].text, "File is downloaded into Flash.");
    EXPECT_EQ(session->GetNode(0), 0);
    EXPECT_EQ(stationBar.position(), 3);
    // The finish reached the last station too: it starts its new application.
    rig->clock().sleepMs(500);
    EXPECT_EQ(rig->encoder(5).mode(), sim::EncoderMode::Application);
}

TEST_F(SegmentTest, EachFaultEndsInItsMessage) {
    struct Case {
        const char* name;
        std::function<void(SimEncoderConfig&)> fault;
        int32_t result;
        const char* text;
        int32_t errorCode;
    };
    const std::vector<Case> cases{
        {"noack", [](SimEncoderConfig& c) { c.noAnswerAt = 20; }, result::kTransferError,
         "Error during programing!\n", -1},
        {"error", [](SimEncoderConfig& c) { c.errorAt = 12, c.errorCode = 42; },
         result::kTransferError, "Error during programing!\n", 42},
        {"erase", [](SimEncoderConfig& c) { c.eraseNeverAnswered = true; }, result::kEraseFailed,
         "Error during erasing Flash! \nPlease try again.", -1},
        {"slow erase", [](SimEncoderConfig& c) { c.eraseUs = 10200000; }, result::kEraseFailed,
         "Error during erasing Flash! \nPlease try again.", -1},
        {"gone", [](SimEncoderConfig& c) { c.goneAfter = 30; }, result::kTransferError,
         "Error during programing!\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tbootloader::resetSharedState();
        SimEncoderConfig faulty = station(3);
        c.fault(faulty);
        start({faulty, station(4, 2)});
        auto summary = run({3, 4});
        ASSERT_EQ(summary.results.size(), 1u) << "the run stops at the first failure";
        EXPECT_EQ(summary.results[0].result, c.result);
        EXPECT_EQ(summary.results[0].errorCode, c.errorCode);
        ASSERT_FALSE(rig->messages.shown.empty());
        EXPECT_EQ(rig->messages.shown.back().text, c.text);
        // The failed station moves to the end of the list; the other was not tried.
        EXPECT_EQ(session->GetNode(0), 4);
        EXPECT_EQ(session->GetNode(1), 3);
        EXPECT_EQ(rig->encoder(4).erases(), 0u);
        if (c.errorCode >= 0) {
            EXPECT_EQ(label.text(), "Errorcode: " + std::to_string(c.errorCode));
        }
    }
}

TEST_F(SegmentTest, AtASlowRateTheRequestsNobodyAnswersStillReachTheStation) {
    // At 93.75 kbit/s a DP cycle takes 6 ms, far longer than the board needs to take the
    // next set-mode command: the enter-bootloader request and the finish telegram must
    // be carried by the data exchange before that command ends it.
    start({station(3)}, 2);
    auto summary = run({3});
    ASSERT_EQ(summary.results.size(), 1u);
    EXPECT_EQ(summary.results[0].result, result::kOk);
    EXPECT_TRUE(programmed(3));
    session->profibus->ResetAdapter();
    rig->clock().sleepMs(500);
    EXPECT_EQ(rig->encoder(3).mode(), sim::EncoderMode::Application) << "finish carried";
}

TEST_F(SegmentTest, CancelDuringTheTransferEndsWithinOneTelegram) {
    start({station(3)}, 2);  // 93.75 kbit/s: a telegram takes some milliseconds
    rig->pump.at(8000, [&] { session->Cancel(); });
    auto summary = run({3});
    ASSERT_EQ(summary.results.size(), 1u);
    EXPECT_EQ(summary.results[0].result, result::kCancelled);
    EXPECT_EQ(rig->messages.shown.back().text, "User has cancelled! \n");
    const uint64_t telegrams = rig->encoder(3).dataTelegrams();
    EXPECT_GT(telegrams, 0u);
    rig->clock().sleepMs(1000);
    EXPECT_EQ(rig->encoder(3).dataTelegrams(), telegrams) << "nothing more was sent";
}

// After its finish a station must come back as its application; the version it then
// reports decides, and each failure ends the run.
TEST_F(SegmentTest, TheStationIdentifiedAgainDecidesTheResult) {
    struct Case {
        const char* what;
        std::function<void(SimEncoderConfig&)> fault;
        int32_t result;
        const char* text;
        std::optional<uint16_t> after;
    };
    const std::vector<Case> cases{
        {"verified", [](SimEncoderConfig&) {}, result::kOk, "File is downloaded into Flash.",
         0x2000},
        {"stale", [](SimEncoderConfig& c) { c.staleVersion = true; }, result::kUnverified,
         "File is downloaded, but the station reports another version.", 0x3104},
        {"never came back", [](SimEncoderConfig& c) { c.silentAfterFinish = true; },
         result::kNotBack, "File is downloaded, but the station did not answer afterwards.",
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tbootloader::resetSharedState();
        SimEncoderConfig first = station(3, 2);
        c.fault(first);
        start({first, station(4)}, 9);
        session->imageFile =
            TextFile::open(dir.write("v2.mhx", imageText(300, "PB VERSION=2.0.0")));
        pbui::Verification verification;
        verification.comeBackMs = 5000;
        verification.expected = 0x2000;
        const int64_t started = rig->clock().nowMs();
        auto summary = run({3, 4}, verification);
        ASSERT_FALSE(summary.results.empty());
        const pbui::StationResult& r = summary.results[0];
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.verified, c.result == result::kOk);
        EXPECT_EQ(rig->messages.shown.front().text, c.text);
        ASSERT_TRUE(r.after);
        const bool back = r.after->answered == pbui::CameBack::Application;
        EXPECT_EQ(back ? std::optional(r.after->identity.versionWord) : std::nullopt, c.after);
        EXPECT_EQ(summary.results.size(), c.result == result::kOk ? 2u : 1u);
        // A station that came back is not waited for; one that did not, the whole wait.
        if (back) {
            EXPECT_LT(r.after->ms, 1000);
        } else {
            EXPECT_GE(r.after->ms, verification.comeBackMs);
        }
        EXPECT_LT(r.after->ms, verification.comeBackMs + 3000);
        EXPECT_GE(rig->clock().nowMs() - started, r.after->ms);
    }
}

}  // namespace
}  // namespace romtide
