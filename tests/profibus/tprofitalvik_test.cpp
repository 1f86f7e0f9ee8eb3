// The DP master wrapper against a scripted board library on the virtual clock: the
// bytes of every command block, the confirmation budget, the live-list scan, the ident
// wait, PKW requests, the process-image slots and PPO detection.
#include "profibus/tprofitalvik.h"

#include <gtest/gtest.h>

#include <map>

#include "support/fakes.h"
#include "tests/profibus/fake_dp_master.h"

namespace romtide {
namespace {

using test::FakeDpMaster;
using test::Report;

// Checks the named bytes and that every other byte is 0.
void expectBytes(const std::vector<uint8_t>& block, size_t length,
                 const std::map<size_t, uint8_t>& named, const std::string& what) {
    ASSERT_EQ(block.size(), length) << what;
    for (size_t i = 0; i < length; ++i) {
        auto it = named.find(i);
        EXPECT_EQ(block[i], it == named.end() ? 0 : it->second) << what << " byte " << i;
    }
}

std::map<size_t, uint8_t> withText(std::map<size_t, uint8_t> bytes, size_t at,
                                   const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[at + i] = static_cast<uint8_t>(text[i]);
    }
    return bytes;
}

// A grid that records the order of its cell writes.
struct RecordingGrid : StationGrid {
    void setRowCount(int rows) override { rowCount = rows; }
    void setCell(int column, int row, const std::string& text) override {
        cells[{column, row}] = text;
        order.push_back(row);
    }
    int visibleRowCount() const override { return visible; }
    void setTopRow(int row) override { top = row; }
    std::string at(int column, int row) const {
        auto it = cells.find({column, row});
        return it == cells.end() ? "" : it->second;
    }
    int rowCount = -1;
    int visible = 20;
    int top = -1;
    std::map<std::pair<int, int>, std::string> cells;
    std::vector<int> order;
};

Report liveList(uint8_t length, const std::vector<std::pair<uint8_t, uint8_t>>& entries) {
    Report r{};
    r[0] = 0xF5;
    r[1] = length;
    for (size_t i = 0; i < entries.size(); ++i) {
        r[2 + 2 * i] = entries[i].first;
        r[3 + 2 * i] = entries[i].second;
    }
    return r;
}

Report diagnosis(uint8_t station, uint16_t ident) {
    Report r{};
    r[0] = 0xE1;
    r[3] = station;
    r[12] = static_cast<uint8_t>(ident >> 8);
    r[13] = static_cast<uint8_t>(ident);
    return r;
}

class WrapperTest : public ::testing::Test {
  protected:
    void SetUp() override { TProfitalvik::resetSharedState(); }
    void TearDown() override { TProfitalvik::resetSharedState(); }

    // Live list and diagnoses from a table; every other command confirmed.
    void segment(uint8_t length, std::vector<std::pair<uint8_t, uint8_t>> entries,
                 std::map<uint8_t, uint16_t> idents = {}) {
        lib.confirm = [=](const std::vector<uint8_t>& block) -> std::optional<Report> {
            if (block[0] == 0x35) {
                return liveList(length, entries);
            }
            if (block[0] == 0x21) {
                auto it = idents.find(block[3]);
                return diagnosis(block[3], it == idents.end() ? 0x0793 : it->second);
            }
            return test::confirmationOf(block.data());
        };
    }

    test::TestServices ts;
    FakeDpMaster lib{ts.clock};
    ui::PlainBusyCursor cursor;
    TProfitalvik dp{ts.services, lib};
};

TEST_F(WrapperTest, BusParameterSetBytesAtTheTwoTimingSets) {
    const auto common = [](uint8_t code) {
        return withText({{0, 0x24},
                         {7, 66},
                         {9, 66},
                         {10, 1},
                         {11, code},
                         {22, 0x03},
                         {23, 0xE8},
                         {24, 5},
                         {25, 126},
                         {26, 1},
                         {29, 1},
                         {30, 0xFF},
                         {31, 0xFF},
                         {32, 0x01},
                         {33, 0x2C},
                         {41, 34}},
                        42, "talvik system demo master");
    };
    auto at7 = common(7);
    at7.insert({{12, 0x0F}, {13, 0xFF}, {15, 22}, {17, 60}, {19, 55}});
    auto at9 = common(9);
    at9.insert({{12, 0x03}, {13, 0xE8}, {15, 11}, {16, 0x03}, {17, 0x20}, {18, 9}, {19, 16}});

    for (auto [code, expected] : {std::pair{7, at7}, std::pair{9, at9}}) {
        lib.commands.clear();
        TProfitalvik::SetBaudIndex(code);
        EXPECT_EQ(dp.LoadBusParameter(), 0);
        ASSERT_EQ(lib.commands.size(), 1u);
        expectBytes(lib.commands[0], 256, expected, "code " + std::to_string(code));
    }
}

TEST_F(WrapperTest, SlaveParameterSetsForBothPpoTypesAndTheFirstAndLastSlot) {
    struct Case {
        uint8_t station;
        bool ppo2;
        uint8_t config;
        uint16_t input, output;
    };
    for (const Case& c : {Case{1, false, 0xF1, 20, 0}, Case{126, true, 0xF5, 5020, 5000},
                          Case{3, true, 0xF5, 100, 80}}) {
        lib.commands.clear();
        TProfitalvik::SetStationAddress(c.station);
        TProfitalvik::SetPpo2(c.ppo2);
        EXPECT_EQ(dp.LoadSlaveParameter(), 0);
        ASSERT_EQ(lib.commands.size(), 2u);
        const std::string what = "station " + std::to_string(c.station);
        // First the empty set that removes the old one.
        expectBytes(lib.commands[0], 254, {{0, 0x25}, {3, c.station}, {7, 2}}, what + " empty");
        expectBytes(lib.commands[1], 254,
                    {{0, 0x25},
                     {3, c.station},
                     {7, 37},
                     {9, 37},
                     {10, 0x80},
                     {25, 9},
                     {29, 0x0B},
                     {30, 0x07},
                     {31, 0x93},
                     {34, 4},
                     {35, 0xF3},
                     {36, c.config},
                     {38, 6},
                     {39, static_cast<uint8_t>(c.input >> 8)},
                     {40, static_cast<uint8_t>(c.input)},
                     {41, static_cast<uint8_t>(c.output >> 8)},
                     {42, static_cast<uint8_t>(c.output)},
                     {44, 2}},
                    what);
    }
}

TEST_F(WrapperTest, ShortCommandsAndModes) {
    EXPECT_EQ(dp.SetMode(0x00), dpm::kBadMode);
    EXPECT_EQ(dp.SetMode(0x41), dpm::kBadMode);
    EXPECT_TRUE(lib.commands.empty());
    for (uint8_t mode : {0x40, 0x80, 0xC0}) {
        EXPECT_EQ(dp.SetMode(mode), 0);
        expectBytes(lib.commands.back(), 4, {{0, 0x27}, {3, mode}}, "set mode");
        EXPECT_EQ(TProfitalvik::ReportBuffer()[0], 0xE7) << "the confirmation stays for the caller";
    }
    segment(3, {}, {{17, 0x4321}});
    EXPECT_EQ(dp.ReadIdentNumber(17), 0x4321);
    expectBytes(lib.commands.back(), 4, {{0, 0x21}, {3, 17}}, "diagnosis");
}

TEST_F(WrapperTest, ConfirmationCountsOnlyBeforePoll150) {
    lib.confirmOnPoll = 149;
    EXPECT_EQ(dp.SetMode(dpm::kModeStop), 0);
    EXPECT_TRUE(ts.messages.shown.empty());
    EXPECT_EQ(lib.resets, 0);

    dp.setBusyCursor(&cursor);
    lib.confirmOnPoll = 150;
    EXPECT_EQ(dp.SetMode(dpm::kModeStop), dpm::kNoConfirmation);
    ASSERT_EQ(ts.messages.shown.size(), 1u);
    EXPECT_EQ(ts.messages.shown[0].text, "Error in Wait4Con()");
    EXPECT_EQ(ts.messages.shown[0].title, "Bootloader");
    EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_EQ(lib.resets, 1) << "the board is reset after a missing confirmation";
    EXPECT_FALSE(cursor.isBusy());
}

TEST_F(WrapperTest, NoConfirmationAtAllTakes151PollsAndAStaleOneDoesNotCount) {
    EXPECT_EQ(dp.SetMode(dpm::kModeClear), 0);  // its confirmation stays in the buffer
    lib.confirm = [](const std::vector<uint8_t>&) { return std::nullopt; };
    lib.reportPolls = 0;
    EXPECT_EQ(dp.SetMode(dpm::kModeClear), dpm::kNoConfirmation);
    EXPECT_EQ(lib.reportPolls, 151);
    EXPECT_GE(ts.clock.nowMs(), 300) << "two milliseconds between polls";
}

TEST_F(WrapperTest, UnrelatedReportsAreDiscarded) {
    Report other{};
    other[0] = 0xE4;
    lib.unrelated = {other, liveList(5, {{3, 0}, {4, 0}})};
    EXPECT_EQ(dp.SetMode(dpm::kModeOperate), 0);
    EXPECT_TRUE(lib.unrelated.empty());
    EXPECT_EQ(TProfitalvik::ReportBuffer()[0], 0xE7);
}

TEST_F(WrapperTest, LiveListFillsRowsBottomUpAndTheScanTableInReverse) {
    segment(7, {{5, 0x00}, {9, 0x00}, {12, 0x00}}, {{5, 0x0793}, {9, 0x1234}, {12, 0x00AB}});
    RecordingGrid grid;
    dp.ScanLiveList(grid);
    EXPECT_TRUE(ts.messages.shown.empty());
    EXPECT_EQ(grid.rowCount, 4);
    EXPECT_EQ(grid.at(0, 1), "Slave");
    EXPECT_EQ(grid.at(1, 1), "5");
    EXPECT_EQ(grid.at(2, 2), "0x1234");
    EXPECT_EQ(grid.at(2, 3), "0x00AB");
    // Rows 3, 2, 1 in that order.
    std::vector<int> rows;
    for (int r : grid.order) {
        if (rows.empty() || rows.back() != r) {
            rows.push_back(r);
        }
    }
    EXPECT_EQ(rows, (std::vector<int>{3, 2, 1}));
    const auto& table = dp.scanTable();
    EXPECT_EQ(table[0].row, 3);
    EXPECT_EQ(table[0].address, 12);
    EXPECT_EQ(table[1].row, 2);
    EXPECT_EQ(table[1].address, 9);
    EXPECT_EQ(table[2].row, 1);
    EXPECT_EQ(table[2].address, 5);
    EXPECT_EQ(table[3].address, 0);
    // The values behind the grid, in row order.
    auto live = dp.liveStations();
    ASSERT_EQ(live.size(), 3u);
    EXPECT_EQ(live[1].address, 9);
    EXPECT_EQ(live[1].ident, 0x1234);
}

TEST_F(WrapperTest, LiveListLengthCases) {
    struct Case {
        uint8_t length;
        const char* message;
        int rows;
    };
    for (const Case& c : {Case{1, "ProfiBus error: Master is not in token ring", -1},
                          Case{2, "ProfiBus error: GetLiveList.req failed", -1},
                          Case{3, nullptr, 2}, Case{4, nullptr, 2}}) {
        ts.messages.shown.clear();
        segment(c.length, {{2, 0x30}, {3, 0x00}});
        RecordingGrid grid;
        dp.ScanLiveList(grid);
        EXPECT_EQ(grid.rowCount, c.rows) << "L = " << int(c.length);
        if (c.message != nullptr) {
            ASSERT_EQ(ts.messages.shown.size(), 1u);
            EXPECT_EQ(ts.messages.shown[0].text, c.message);
            EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::Information);
        } else {
            EXPECT_TRUE(ts.messages.shown.empty());
            EXPECT_EQ(grid.at(0, 1), "Master");
            EXPECT_EQ(grid.at(1, 1), "2");
            EXPECT_EQ(dp.scanTable()[0].address, 0) << "a master is not a slave";
        }
    }
}

TEST_F(WrapperTest, SlaveAtAddressZeroIsShownButEndsTheScanTable) {
    segment(9, {{0, 0x00}, {4, 0x00}, {7, 0x30}, {8, 0x55}});
    RecordingGrid grid;
    grid.visible = 3;
    dp.ScanLiveList(grid);
    EXPECT_EQ(grid.at(0, 1), "Slave");
    EXPECT_EQ(grid.at(1, 1), "0");
    EXPECT_EQ(grid.at(0, 3), "Master");
    EXPECT_EQ(grid.at(0, 4), "Unknown station");
    EXPECT_EQ(grid.at(1, 4), "8");
    EXPECT_EQ(dp.scanTable()[0].address, 4);
    EXPECT_EQ(dp.scanTable()[1].address, 0) << "station 0 ends the table";
    EXPECT_EQ(grid.top, 2) << "scrolled so the last row shows";
}

TEST_F(WrapperTest, LiveListLengthByteCannotReachBeyondTheReport) {
    std::vector<std::pair<uint8_t, uint8_t>> entries;
    for (int i = 0; i < 127; ++i) {
        entries.push_back({static_cast<uint8_t>(i + 2), 0x30});
    }
    segment(255, entries);
    RecordingGrid grid;
    dp.ScanLiveList(grid);
    EXPECT_EQ(grid.rowCount, 128);
    EXPECT_EQ(grid.at(1, 127), "128");
}

TEST_F(WrapperTest, AdapterThatIsNotOnlineInTimeIsReported) {
    segment(3, {{3, 0x00}});
    for (int online : {9, 10, 0}) {
        ts.messages.shown.clear();
        lib.onlinePolls = 0;
        lib.onlineFromPoll = online;
        RecordingGrid grid;
        dp.ScanLiveList(grid);
        if (online == 9) {
            EXPECT_TRUE(ts.messages.shown.empty());
            EXPECT_EQ(grid.rowCount, 2);
        } else {
            ASSERT_EQ(ts.messages.shown.size(), 1u) << "online from pass " << online;
            EXPECT_EQ(ts.messages.shown[0].text, "Talvik Adapter is not online!");
            EXPECT_EQ(ts.messages.shown[0].icon, ui::MessageIcon::None);
            EXPECT_EQ(grid.rowCount, -1) << "grid unchanged";
        }
    }
}

TEST_F(WrapperTest, ScanStopsWithoutMessageWhenTheBoardRefusesTheBusParameters) {
    lib.confirm = [](const std::vector<uint8_t>& b) -> std::optional<Report> {
        return test::confirmationOf(b.data());
    };
    lib.writeFailure = 0;
    RecordingGrid grid;
    lib.open = false;  // every call answers 3
    dp.ScanLiveList(grid);
    EXPECT_EQ(grid.rowCount, -1);
    EXPECT_EQ(ts.messages.shown.size(), 1u) << "only the missing confirmation of the first step";
    EXPECT_EQ(dp.lastResult(), dpm::kNoConfirmation);
}

TEST_F(WrapperTest, IdentWaitIsBoundedAndAnUnfilledReportIsNoDiagnosis) {
    // A board that never produces the report: the wait gives up after a second.
    lib.confirm = [](const std::vector<uint8_t>&) { return std::nullopt; };
    EXPECT_EQ(dp.ReadIdentNumber(5), 0);
    EXPECT_LE(ts.clock.nowMs(), 1100);
    EXPECT_EQ(lib.commandsWithCode(0x21).size(), 1u);

    // A closed board answers at once, and leaves the buffer as it was: 101 attempts.
    lib.commands.clear();
    lib.open = false;
    EXPECT_EQ(dp.ReadIdentNumber(5), 0);

    // Another report than the diagnosis: asked again.
    lib.open = true;
    int asked = 0;
    lib.confirm = [&](const std::vector<uint8_t>& b) -> std::optional<Report> {
        return ++asked < 3 ? test::confirmationOf(liveList(3, {}).data()) : diagnosis(b[3], 0x4711);
    };
    EXPECT_EQ(dp.ReadIdentNumber(5), 0x4711);
    EXPECT_EQ(asked, 3);
}

TEST_F(WrapperTest, RequestParameterBuildsWordsByParameter) {
    TProfitalvik::SetStationAddress(4);
    lib.setInExchange(4);
    struct Case {
        uint16_t pnu;
        uint16_t index;
        uint16_t word0, word1;
    };
    for (const Case& c : {Case{964, 9, 0x63C4, 0x0900}, Case{922, 5, 0x139A, 0},
                          Case{300, 3, 0x112C, 0x0030}, Case{47, 1, 0x602F, 0x0100}}) {
        ParameterWords request{};
        request[1] = c.index;
        request[2] = 0x1111;
        ParameterWords response{};
        lib.onOutput = [&](uint8_t station, const ParameterWords& out) {
            ParameterWords answer = out;
            answer[0] = static_cast<uint16_t>((out[0] & 0x0FFF) | 0x1000);
            lib.setInput(station, answer);
        };
        EXPECT_EQ(dp.RequestParameter(request, response, c.pnu), 0) << c.pnu;
        const auto out = FakeDpMaster::words(lib.writes.back().bytes);
        EXPECT_EQ(out[0], c.word0) << c.pnu;
        EXPECT_EQ(out[1], c.word1) << c.pnu;
        EXPECT_EQ(out[2], 0x1111) << "the value words go as given";
        EXPECT_EQ(response[0], (c.word0 & 0x0FFF) | 0x1000);
    }
}

TEST_F(WrapperTest, ResponseMatchesOnlyWithItsIndexAndARefusalNamesItsParameter) {
    TProfitalvik::SetStationAddress(4);
    lib.setInExchange(4);
    ParameterWords request{};
    request[1] = 9;
    ParameterWords response{};

    // Answer 0x43C4 for another index: polled to the end, then handed over as read.
    lib.setInput(4, {0x43C4, 0x0800, 0, 0x1203});
    EXPECT_EQ(dp.RequestParameter(request, response, 964), 0);
    EXPECT_EQ(response[1], 0x0800);
    EXPECT_EQ(lib.inputReads, 101) << "rounds 0 to 100";

    lib.setInput(4, {0x43C4, 0x0900, 0x0400, 0x1203});
    EXPECT_EQ(dp.RequestParameter(request, response, 964), 0);
    EXPECT_EQ(response[3], 0x1203);

    // A refusal of this parameter.
    lib.setInput(4, {0x73C4, 0x0900, 0, 17});
    EXPECT_EQ(dp.RequestParameter(request, response, 964), dpm::kNoConfirmation);

    // The refusal of the previous request (parameter 920) is not this one's answer.
    lib.inputReads = 0;
    lib.setInput(4, {0x7398, 0, 0, 17});
    lib.onRead = [&](uint8_t) {
        if (lib.inputReads == 3) {
            lib.setInput(4, {0x139A, 0, 0, 1});
        }
    };
    EXPECT_EQ(dp.RequestParameter(ParameterWords{}, response, 922), 0);
    EXPECT_EQ(response[0], 0x139A);
}

TEST_F(WrapperTest, AtTheFastestRatesThePkwRoundsStillLastSomeCycles) {
    TProfitalvik::SetBaudIndex(9);
    ASSERT_EQ(dp.LoadBusParameter(), 0);
    ASSERT_EQ(TProfitalvik::GetPkwPollDelay(), 0);
    TProfitalvik::SetStationAddress(4);
    lib.setInExchange(4);
    // The answer comes three DP cycles (about 140 us at 12 Mbit/s) after the request.
    int64_t requested = 0;
    lib.onOutput = [&](uint8_t, const ParameterWords&) { requested = ts.clock.nowUs(); };
    lib.onRead = [&](uint8_t station) {
        if (ts.clock.nowUs() - requested >= 140) {
            lib.setInput(station, {0x43C4, 0x0900, 0, 0x2107});
        }
    };
    ParameterWords request{};
    request[1] = 9;
    ParameterWords response{};
    EXPECT_EQ(dp.RequestParameter(request, response, 964), 0);
    EXPECT_EQ(response[3], 0x2107);
}

TEST_F(WrapperTest, AStationOutOfDataExchangeHasNotAnswered) {
    TProfitalvik::SetStationAddress(4);
    lib.setInput(4, {0x139A, 0, 0, 1});
    ParameterWords response{};
    EXPECT_EQ(dp.RequestParameter(ParameterWords{}, response, 922), 0);
    EXPECT_EQ(response[0], 0xFFFF) << "the working response stays untouched";
}

TEST_F(WrapperTest, SlotsOffsetsAndLengths) {
    ParameterWords words{};
    for (size_t i = 0; i < 10; ++i) {
        words[i] = static_cast<uint16_t>(0x0101 * (i + 1));
    }
    TProfitalvik::SetStationAddress(1);
    EXPECT_EQ(dp.WriteOutputWords(words), 0);
    EXPECT_EQ(lib.writes.back().offset, 0);
    ASSERT_EQ(lib.writes.back().bytes.size(), 12u);
    EXPECT_EQ(lib.writes.back().bytes[0], 0x01);
    EXPECT_EQ(lib.writes.back().bytes[11], 0x06);

    TProfitalvik::SetStationAddress(126);
    TProfitalvik::SetPpo2(true);
    EXPECT_EQ(dp.WriteOutputWords(words), 0);
    EXPECT_EQ(lib.writes.back().offset, 5000);
    EXPECT_EQ(lib.writes.back().bytes.size(), 20u);
    ParameterWords in{};
    lib.setInput(126, words);
    EXPECT_EQ(dp.ReadInputWords(in), 0);
    EXPECT_EQ(lib.reads.back().offset, 5020);
    EXPECT_EQ(in[9], 0x0A0A);

    // PPO1 reads 12 bytes: words 6-9 are 0 whatever the board holds beyond.
    TProfitalvik::SetPpo2(false);
    EXPECT_EQ(dp.ReadInputWords(in), 0);
    EXPECT_EQ(in[5], 0x0606);
    EXPECT_EQ(in[6], 0);
    EXPECT_EQ(in[9], 0);

    // Addresses without a slot never reach the process image.
    const size_t writes = lib.writes.size(), reads = lib.reads.size();
    for (int station : {0, 127, 200, -3}) {
        TProfitalvik::SetStationAddress(station);
        EXPECT_EQ(dp.WriteOutputWords(words), dpm::kOutsideDataArea);
        EXPECT_EQ(dp.ReadInputWords(in), dpm::kOutsideDataArea);
        EXPECT_EQ(in[0], 0);
        EXPECT_EQ(dp.LoadSlaveParameter(), dpm::kOutsideDataArea);
    }
    EXPECT_EQ(lib.writes.size(), writes);
    EXPECT_EQ(lib.reads.size(), reads);
    EXPECT_TRUE(lib.commandsWithCode(0x25).empty());
}

TEST_F(WrapperTest, InitAdapterConfiguresOneDpMasterChannel) {
    EXPECT_EQ(dp.InitAdapter(), 0);
    EXPECT_EQ(lib.lastMask, 1);
    EXPECT_EQ(lib.lastConfig.channels[0].type, NUBOX_CHANNEL_DPEM);
    EXPECT_EQ(lib.lastConfig.channels[0].parameter, 6000);
    EXPECT_EQ(lib.lastConfig.channels[1].type, 0);
    EXPECT_EQ(lib.lastConfig.memoryAddress, 0u);

    lib.initResult = 1;
    lib.initStatus = 8;
    EXPECT_EQ(dp.InitAdapter(), 8) << "the status of device 0";
    // Failed before device 0 had a status: still a failure.
    lib.initStatus = 0;
    lib.initResult = 2;
    EXPECT_NE(dp.InitAdapter(), 0);
}

TEST_F(WrapperTest, BaudCodesAndPkwPollSettings) {
    struct Case {
        int code;
        int32_t result, limit, delay;
    };
    for (const Case& c : {Case{0, 0, 200, 50}, Case{2, 0, 100, 2}, Case{7, 0, 100, 2},
                          Case{8, 0, 100, 0}, Case{9, 0, 100, 0}}) {
        TProfitalvik::SetBaudIndex(c.code);
        EXPECT_EQ(dp.LoadBusParameter(), c.result) << c.code;
        EXPECT_EQ(TProfitalvik::GetPkwPollLimit(), c.limit) << c.code;
        EXPECT_EQ(TProfitalvik::GetPkwPollDelay(), c.delay) << c.code;
    }
    for (int code : {5, 10}) {
        lib.commands.clear();
        TProfitalvik::SetBaudIndex(code);
        EXPECT_EQ(dp.LoadBusParameter(), dpm::kUnsupportedBaud);
        EXPECT_EQ(lib.commands.size(), 1u) << "the set is sent all the same";
        EXPECT_EQ(TProfitalvik::GetPkwPollDelay(), 0) << "settings keep their last values";
    }
    lib.writeFailure = 0;
    lib.open = false;
    TProfitalvik::SetBaudIndex(7);
    EXPECT_EQ(dp.LoadBusParameter(), 3) << "a refused write is the result";
}

// A station whose application answers 922 only when parameterised with its own PPO.
struct PpoStation {
    PpoStation(FakeDpMaster& lib, uint8_t address, int ppo) {
        lib.confirm = [&lib, address, ppo](const std::vector<uint8_t>& b) -> std::optional<Report> {
            if (b[0] == 0x25 && b[3] == address && b[7] == 37) {
                lib.setInExchange(address, b[36] == (ppo == 2 ? 0xF5 : 0xF1));
            }
            return test::confirmationOf(b.data());
        };
        lib.onOutput = [&lib, ppo](uint8_t station, const ParameterWords& out) {
            if (out[0] == 0x139A) {
                lib.setInput(station, {0x139A, 0, 0, static_cast<uint16_t>(ppo)});
            }
        };
    }
};

TEST_F(WrapperTest, PpoDetectionFallsBackToPpo2) {
    TProfitalvik::SetStationAddress(4);
    PpoStation station(lib, 4, 2);
    EXPECT_EQ(dp.DetectPpo(), 1);
    EXPECT_TRUE(TProfitalvik::GetPpo2());
    auto sets = lib.commandsWithCode(0x25);
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[1][36], 0xF1);
    EXPECT_EQ(sets[3][36], 0xF5);
    EXPECT_EQ(lib.commandsWithCode(0x27).back()[3], dpm::kModeOperate);
}

TEST_F(WrapperTest, PpoDetectionOfAPpo1StationAndOfNoStation) {
    TProfitalvik::SetStationAddress(3);
    PpoStation station(lib, 3, 1);
    TProfitalvik::SetPpo2(true);
    EXPECT_EQ(dp.DetectPpo(), 0);
    EXPECT_FALSE(TProfitalvik::GetPpo2());
    EXPECT_EQ(lib.commandsWithCode(0x25).size(), 2u);

    TProfitalvik::SetStationAddress(9);  // nobody there
    EXPECT_EQ(dp.DetectPpo(), dpm::kNoConfirmation);
    EXPECT_TRUE(TProfitalvik::GetPpo2()) << "left at the type it last configured";
}

}  // namespace
}  // namespace romtide
