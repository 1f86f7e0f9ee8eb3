// The DP slave, FMS/FMA7, list and PB2M channels on a board with a DPR, against the
// simulated firmware on virtual time: the layout both sides agree on, the flag
// handovers, the DP slave records and their lock, and every length check.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "nuboxlink/channel/dps_channel.h"
#include "tests/nuboxlink/family_rig.h"
#include "tests/nuboxlink/ticking_clock.h"

namespace nuboxlink_test {
namespace {

using namespace nuboxlink;

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(first + i);
    }
    return b;
}

constexpr char kGreeting[] = "Event, Event, die Software rennt!";

TEST(FamilyLayout, AreasLieInTheirOrderAndReportMailboxesCarryTheGreeting) {
    FamilyRig rig;
    EXPECT_EQ(rig.channelStatus[0], 0);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_TRUE(rig.board.configured(i)) << i;
    }
    const uint32_t greeted[] = {kListReportBox,  kFmsStart,      kFmsStart + 256,
                                kFmsStart + 512, kPb2mStart + 6, kPb2mStart + 266 + 6};
    for (uint32_t at : greeted) {
        EXPECT_EQ(std::memcmp(&rig.dpr(at), kGreeting, sizeof kGreeting), 0) << at;
    }
    // The command mailboxes and the PB2M headers are not greeted.
    EXPECT_EQ(rig.dpr(kFmsStart + 3 * 256), 0);
    EXPECT_EQ(rig.dpr(kPb2mStart), 0);
    // A greeting is no report.
    uint8_t report[256];
    EXPECT_EQ(listGetReport(rig.l(), 0, kList, report), 7);
    EXPECT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 7);
}

TEST(FamilyLayout, AChannelWithoutRoomFailsAlone) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_LIST, 16354 - 514);  // fills area A exactly
    rig.channel(0, 1, NUBOX_CHANNEL_FMS, 0);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 8);
    EXPECT_EQ(rig.channelStatus[0], 2 << 2);
}

TEST(FamilyGate, CallsCheckDeviceChannelAndFamily) {
    FamilyRig rig;
    uint8_t report[256], code = 0, events = 0;
    EXPECT_EQ(fmsGetReport(rig.l(), 16, kFms, report), 1);
    EXPECT_EQ(fmsGetReport(rig.l(), 0, 4, report), 2);
    EXPECT_EQ(fmsGetReport(rig.l(), 1, kFms, report), 3);
    EXPECT_EQ(listGetReport(rig.l(), 0, kFms, report), 4);
    EXPECT_EQ(pb2mGetReport(rig.l(), 0, kList, &code, report), 4);
    EXPECT_EQ(dpsGetNewCommEvent(rig.l(), 0, kPb2m, &events), 4);
    EXPECT_EQ(fmsWriteCommand(rig.l(), 0, kDps, report, 1), 4);
    // Missing buffers are refused, not followed.
    EXPECT_EQ(listGetReport(rig.l(), 0, kList, nullptr), 5);
    EXPECT_EQ(pb2mWriteCommand(rig.l(), 0, kPb2m, 1, nullptr), 5);
    EXPECT_EQ(dpsWriteComPar(rig.l(), 0, kDps, nullptr), 5);
    EXPECT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, nullptr, 2), 5);
}

// ------------------------------------------------------------------------------ list

TEST(ListChannel, CommandsAreEchoedThroughTheMailboxPair) {
    FamilyRig rig;
    const auto cmd = bytes(5, 0x10);
    ASSERT_EQ(listWriteCommand(rig.l(), 0, kList, cmd.data(), 5), 0);
    EXPECT_EQ(listWriteCommand(rig.l(), 0, kList, cmd.data(), 5), 6);
    rig.board.step();
    auto taken = rig.list()->takenCommands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(taken[0].begin(), taken[0].begin() + 5), cmd);
    uint8_t report[256];
    ASSERT_EQ(listGetReport(rig.l(), 0, kList, report), 0);
    EXPECT_EQ(report[0], 0x10 + 0xC0);
    EXPECT_EQ(report[4], 0x14);
    EXPECT_EQ(listGetReport(rig.l(), 0, kList, report), 7);
    EXPECT_EQ(listWriteCommand(rig.l(), 0, kList, cmd.data(), 5), 0);
}

TEST(ListChannel, EntriesAreReadWithTheirValueMostSignificantByteFirst) {
    FamilyRig rig;
    rig.list()->setEntry(10, 0x11223344, {7, 8, 9}, 1);
    ListEntry entry;
    std::memset(&entry, 0xEE, sizeof entry);
    ASSERT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 1), 0);
    EXPECT_EQ(entry.value, 0x11223344u);
    EXPECT_EQ(entry.length, 3);
    EXPECT_EQ(entry.data[2], 9);
    EXPECT_EQ(entry.data[3], 0xEE);
    // An entry of length 0 fills only the value and the length.
    rig.list()->setEntry(40, 0x01020304, {}, 2);
    std::memset(&entry, 0xEE, sizeof entry);
    ASSERT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 40, 2), 0);
    EXPECT_EQ(entry.value, 0x01020304u);
    EXPECT_EQ(entry.length, 0);
    EXPECT_EQ(entry.data[0], 0xEE);
    // The board updating another entry does not hold the reader up.
    rig.list()->beginUpdate(9);
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 1), 0);
    EXPECT_EQ(entry.length, 3);
}

TEST(ListChannel, EntriesMustLieInTheDataAreaAndAreCutAtItsEnd) {
    FamilyRig rig;
    ListEntry entry;
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, kListArea - 4, 1), 5);
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 0xFFFF, 1), 5);
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, nullptr, 0, 1), 5);
    // A length byte of 200 with room for 3 bytes before the status word.
    rig.list()->writeData(kListArea - 8, {0, 0, 0, 1, 200, 0xA1, 0xA2, 0xA3});
    ASSERT_EQ(listReadInputData(rig.l(), 0, kList, &entry, kListArea - 8, 1), 0);
    EXPECT_EQ(entry.length, 3);
    EXPECT_EQ(entry.data[2], 0xA3);
    rig.list()->writeData(kListArea - 5, {0, 0, 0, 2, 9});
    ASSERT_EQ(listReadInputData(rig.l(), 0, kList, &entry, kListArea - 5, 1), 0);
    EXPECT_EQ(entry.length, 0);
}

TEST(ListChannel, ABoardStuckInTheCallersUpdateEndsTheReadAfterASecond) {
    FamilyRig rig;
    rig.list()->setEntry(10, 1, {1}, 4);
    rig.list()->beginUpdate(4);
    TickingClock ticking;
    rig.platform.overrideClock(&ticking);
    ListEntry entry;
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 4), 5);
    EXPECT_GE(ticking.nowUs(), 1000000);
    rig.platform.overrideClock(nullptr);
    rig.list()->finishUpdate();
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 4), 0);
}

// Three milliseconds pass on every look: each copy seems to have been preempted for long
// enough that the board's one-byte counter could have come round.
class PreemptedClock final : public romtide::Clock {
  public:
    int64_t nowUs() const override { return now_ += 3000; }
    void sleepUs(int64_t us) override { now_ += us > 0 ? us : 0; }

  private:
    mutable std::atomic<int64_t> now_{0};
};

TEST(ListChannel, ACopyThatTookTooLongIsNotTrustedWhateverTheCounterSays) {
    FamilyRig rig;
    rig.list()->setEntry(10, 1, {1}, 4);
    PreemptedClock preempted;
    rig.platform.overrideClock(&preempted);
    ListEntry entry;
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 4), 5);
    TickingClock ticking;  // a millisecond per look: quick enough
    rig.platform.overrideClock(&ticking);
    EXPECT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 4), 0);
    rig.platform.overrideClock(nullptr);
}

// ------------------------------------------------------------------------------- FMS

TEST(FmsChannel, ThreeCommandsWithoutTheBoardUseBothMailboxesThenAreBusy) {
    FamilyRig rig;
    auto fms = rig.fms();
    const auto a = bytes(4, 0xA0), b = bytes(4, 0xB0), c = bytes(4, 0xC0);
    ASSERT_EQ(fmsWriteCommand(rig.l(), 0, kFms, a.data(), 4), 0);
    EXPECT_EQ(fms->hostFlag() & 0x12, 0x10);  // bit 4 toggled, bit 1 clear: mailbox 1
    ASSERT_EQ(fmsWriteCommand(rig.l(), 0, kFms, b.data(), 4), 0);
    EXPECT_EQ(fms->hostFlag() & 0x0A, 0x0A);  // bit 3 toggled, bit 1 set: mailbox 2 last
    EXPECT_EQ(fmsWriteCommand(rig.l(), 0, kFms, c.data(), 4), 6);
    rig.board.step();
    auto taken = fms->takenCommands();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].mailbox, 1);
    EXPECT_EQ(taken[0].bytes[0], 0xA0);
    EXPECT_EQ(taken[1].mailbox, 2);
    EXPECT_EQ(taken[1].bytes[0], 0xB0);
    // Both free again: mailbox 1 first, host bit 1 back to clear.
    ASSERT_EQ(fmsWriteCommand(rig.l(), 0, kFms, c.data(), 4), 0);
    EXPECT_EQ(fms->hostFlag() & 0x02, 0);
}

TEST(FmsChannel, WithBothReportMailboxesWaitingBoardBitOneChooses) {
    FamilyRig rig;
    auto fms = rig.fms();
    fms->postReport({1});
    fms->postReport({2});
    rig.board.step();  // 1 in mailbox 1, 2 in mailbox 2, bit 1 set: mailbox 1 is older
    EXPECT_NE(fms->boardFlag() & 0x02, 0);
    uint8_t report[256];
    ASSERT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 0);
    EXPECT_EQ(report[0], 1);
    fms->postReport({3});
    rig.board.step();  // 3 in mailbox 1 while 2 waits: bit 1 clear, mailbox 2 first
    EXPECT_EQ(fms->boardFlag() & 0x02, 0);
    ASSERT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 0);
    EXPECT_EQ(report[0], 2);
    ASSERT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 0);
    EXPECT_EQ(report[0], 3);
    EXPECT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 7);
}

TEST(FmsChannel, Fma7HasItsOwnMailboxPair) {
    FamilyRig rig;
    const auto m = bytes(3, 0x21);
    ASSERT_EQ(fma7WriteCommand(rig.l(), 0, kFms, m.data(), 3), 0);
    EXPECT_EQ(fma7WriteCommand(rig.l(), 0, kFms, m.data(), 3), 6);
    ASSERT_EQ(fmsWriteCommand(rig.l(), 0, kFms, m.data(), 3), 0);  // FMS is not blocked
    rig.board.step();
    rig.board.step();
    uint8_t report[256];
    ASSERT_EQ(fma7GetReport(rig.l(), 0, kFms, report), 0);
    EXPECT_EQ(report[0], 0x21 + 0xC0);
    EXPECT_EQ(fma7GetReport(rig.l(), 0, kFms, report), 7);
    ASSERT_EQ(fmsGetReport(rig.l(), 0, kFms, report), 0);
    auto taken = rig.fms()->takenCommands();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].mailbox, 1);
    EXPECT_EQ(taken[1].mailbox, 0);
}

// ------------------------------------------------------------------------------ PB2M

TEST(Pb2mChannel, TwoCommandSlotsThenBusyAndReportsOldestFirst) {
    FamilyRig rig;
    auto pb2m = rig.pb2m();
    const auto data = bytes(260, 0);
    ASSERT_EQ(pb2mWriteCommand(rig.l(), 0, kPb2m, 0x10, data.data()), 0);
    EXPECT_EQ(pb2m->hostFlag() & 0x12, 0x02);  // slot 1, bit 4 clear
    ASSERT_EQ(pb2mWriteCommand(rig.l(), 0, kPb2m, 0x11, data.data()), 0);
    EXPECT_EQ(pb2m->hostFlag() & 0x11, 0x11);  // slot 2, bit 4 set
    EXPECT_EQ(pb2mWriteCommand(rig.l(), 0, kPb2m, 0x12, data.data()), 6);
    rig.board.step();
    auto taken = pb2m->takenCommands();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].slot, 1);
    EXPECT_EQ(taken[0].header, (std::vector<uint8_t>{kPb2m, 0x10, 0, 0, 0, 0}));
    EXPECT_EQ(taken[0].data, data);
    EXPECT_EQ(taken[1].slot, 2);

    uint8_t code = 0, got[260];
    ASSERT_EQ(pb2mGetReport(rig.l(), 0, kPb2m, &code, got), 0);
    EXPECT_EQ(code, 0x10 + 0xC0);
    EXPECT_EQ(got[259], data[259]);
    pb2m->postReport(0x33, {});
    rig.board.step();  // the new report in slot 1 while slot 2 waits: slot 2 is older
    ASSERT_EQ(pb2mGetReport(rig.l(), 0, kPb2m, &code, got), 0);
    EXPECT_EQ(code, 0x11 + 0xC0);
    ASSERT_EQ(pb2mGetReport(rig.l(), 0, kPb2m, &code, got), 0);
    EXPECT_EQ(code, 0x33);
    EXPECT_EQ(pb2mGetReport(rig.l(), 0, kPb2m, &code, got), 7);
}

TEST(Pb2mChannel, ResetAnswersFiveAfterTogglingHostBitFive) {
    FamilyRig rig;
    const uint8_t before = rig.pb2m()->hostFlag();
    EXPECT_EQ(pb2mReset(rig.l(), 0, kPb2m), 5);
    EXPECT_EQ(rig.pb2m()->hostFlag(), before ^ 0x20);
    rig.board.step();
    EXPECT_EQ(rig.pb2m()->resets(), 1u);
}

// -------------------------------------------------------------------------- DP slave

struct CfgCase {
    std::vector<uint8_t> cfg;
    bool ok;
    unsigned output, input;
};

TEST(DpConfigLengths, WalksSimpleAndSpecialIdentifiers) {
    std::vector<uint8_t> seven(7, 0x7F), eight(8, 0x7F);
    const CfgCase cases[] = {
        {{0x21, 0x13}, true, 2, 4},
        {{0x61}, true, 4, 0},
        {{0x30}, true, 1, 1},
        {{}, true, 0, 0},
        {{0xC0, 0x03, 0x41}, true, 4, 4},        // special: output 4 bytes, input 2 words
        {{0x82, 0x01, 0xAA, 0xBB}, true, 2, 0},  // two manufacturer bytes skipped
        {{0x0F, 0x21}, true, 2, 0},              // 15: nothing skipped
        {{0x00, 0x13}, true, 0, 4},
        {seven, true, 224, 224},
        {eight, false, 0, 0},              // 256 bytes each way: more than a record holds
        {{0x80}, false, 0, 0},             // the output length byte is missing
        {{0x40}, false, 0, 0},             // the input length byte is missing
        {{0x83, 0x01, 0xAA}, true, 2, 0},  // three bytes announced, one there: skipped
        {{0x21, 0x03, 0x13}, true, 2, 0},  // 0x13 lies among the skipped bytes
    };
    for (const CfgCase& c : cases) {
        DpDataLengths l;
        ASSERT_EQ(dpConfigLengths(c.cfg.data(), c.cfg.size(), &l), c.ok) << c.cfg.size();
        if (c.ok) {
            EXPECT_EQ(l.output, c.output);
            EXPECT_EQ(l.input, c.input);
        }
    }
}

TEST(DpsChannel, InitClearsTheAddressLengthTheChangedMarkersAndTheDataLengths) {
    // A board whose memory still holds what the last session left in it.
    Rig rig;
    BoardSetup setup;
    setup.id = 0x42;
    setup.bootFill = 0xA5;
    SimBoard& board = rig.platform.addBoard(setup);
    rig.platform.setDevice(0, RegValues{{"PCI-Board", RegValue::ofDword(0x42)}});
    rig.channel(0, 0, NUBOX_CHANNEL_DPS, 0);
    ASSERT_EQ(rig.init(1), 0);
    const uint32_t block = nuboxlink::kAreaAOffset;
    for (uint32_t at :
         {kDpsAddressLength, kDpsCfgChanged, kDpsDiagChanged, kDpsOutputLength, kDpsInputLength}) {
        EXPECT_EQ(board.dpr()[block + at], 0) << at;
    }
}

TEST(DpsChannel, AConfigurationSetsTheLengthsAndSignalsTheBoardOnce) {
    FamilyRig rig;
    auto dps = rig.dps();
    const uint8_t cfg[] = {0x21, 0x13};
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 2), 0);
    EXPECT_EQ(rig.dpsByte(kDpsOutputLength), 2);
    EXPECT_EQ(rig.dpsByte(kDpsInputLength), 4);
    EXPECT_EQ(rig.dpsByte(kDpsCfgChanged), 0xFF);
    EXPECT_EQ(rig.dpsByte(kDpsCfgLength), 2);
    EXPECT_EQ(rig.dpsByte(kDpsCfgLock), 0);  // released
    EXPECT_NE(dps->hostFlag() & 0x40, 0);
    // A diagnosis before the board took the configuration leaves the signal as it is.
    const uint8_t diag[] = {1, 2, 3, 2, 0xD1, 0xD2};
    ASSERT_EQ(dpsWriteDiagData(rig.l(), 0, kDps, diag), 0);
    EXPECT_NE(dps->hostFlag() & 0x40, 0);
    rig.board.step();
    EXPECT_EQ(dps->configuration(), (std::vector<uint8_t>{0x21, 0x13}));
    EXPECT_EQ(dps->diagnosis(), (std::vector<uint8_t>{1, 2, 3, 2, 0xD1, 0xD2}));
    EXPECT_EQ(dps->signalsTaken(), 1u);
    EXPECT_EQ((dps->hostFlag() ^ dps->boardFlag()) & 0xE0, 0);
    // Taken: the next diagnosis signals again.
    ASSERT_EQ(dpsWriteDiagData(rig.l(), 0, kDps, diag), 0);
    EXPECT_EQ(dps->hostFlag() & 0x40, 0);
}

TEST(DpsChannel, InputDataWithoutDataWritesZeros) {
    FamilyRig rig;
    auto dps = rig.dps();
    const uint8_t cfg[] = {0x13};
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 1), 0);
    const uint8_t in[] = {1, 2, 3, 4};
    ASSERT_EQ(dpsWriteInputData(rig.l(), 0, kDps, in), 0);
    rig.board.step();
    EXPECT_EQ(dps->inputSeenByMaster(), (std::vector<uint8_t>{1, 2, 3, 4}));
    ASSERT_EQ(dpsWriteInputData(rig.l(), 0, kDps, nullptr), 0);
    rig.board.step();
    EXPECT_EQ(dps->inputSeenByMaster(), (std::vector<uint8_t>{0, 0, 0, 0}));
    const uint8_t par[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_EQ(dpsWriteComPar(rig.l(), 0, kDps, par), 0);
    rig.board.step();
    EXPECT_EQ(dps->comPar(), std::vector<uint8_t>(par, par + 8));
}

TEST(DpsChannel, WhatTheMasterSentArrivesWithItsEvents) {
    FamilyRig rig;
    auto dps = rig.dps();
    const uint8_t cfg[] = {0x21};  // two output bytes
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 1), 0);
    dps->masterWriteOutput({7, 8, 9});
    dps->masterWriteParameters({1, 2, 3});
    dps->setStationAddress(5, {0x0A, 0x0B});
    rig.board.step();
    uint8_t events = 0;
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, kDps, &events), 0);
    // Board bit 0 (output) → 0x02, bit 1 (parameters) → 0x01, bit 2 (address) → 0x10.
    EXPECT_EQ(events, 0x02 | 0x01 | 0x10);
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, kDps, &events), 0);
    EXPECT_EQ(events, 0);
    std::vector<uint8_t> data(NUBOX_DPS_DATA_MAX);
    uint8_t length = 0, address = 0;
    ASSERT_EQ(dpsReadOutputData(rig.l(), 0, kDps, data.data(), &length), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(data[1], 8);
    ASSERT_EQ(dpsReadPrmData(rig.l(), 0, kDps, data.data(), &length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(data[2], 3);
    ASSERT_EQ(dpsReadStationAddress(rig.l(), 0, kDps, data.data(), &length, &address), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(address, 5);
    EXPECT_EQ(data[1], 0x0B);
    // Bits 3 and 4 of the board map to 0x04 and 0x08; signal bits 5-7 are no events.
    dps->raiseEvents(0x18);
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, kDps, &events), 0);
    EXPECT_EQ(events, 0x04 | 0x08);
    ASSERT_EQ(dpsWriteInputData(rig.l(), 0, kDps, nullptr), 0);  // host bit 5 now pending
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, kDps, &events), 0);
    EXPECT_EQ(events, 0);
    EXPECT_NE(dps->hostFlag() & 0x20, 0);
}

TEST(DpsChannel, RecordsOutsideTheirLimitsAreRefusedUnwritten) {
    FamilyRig rig;
    std::vector<uint8_t> cfg(NUBOX_DPS_CFG_MAX + 1, 0x00);
    EXPECT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg.data(), static_cast<uint8_t>(cfg.size())), 5);
    std::vector<uint8_t> big(8, 0x7F);  // 256 bytes each way
    EXPECT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, big.data(), 8), 5);
    const uint8_t truncated[] = {0x21, 0xC0, 0x01};
    EXPECT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, truncated, 3), 5);
    EXPECT_EQ(rig.dpsByte(kDpsCfgChanged), 0);
    EXPECT_EQ(rig.dpsByte(kDpsCfgLength), 0);
    EXPECT_EQ(rig.dps()->hostFlag() & 0x40, 0);

    std::vector<uint8_t> diag(4 + 255, 0x5A);
    diag[3] = NUBOX_DPS_EXT_DIAG_MAX + 1;
    EXPECT_EQ(dpsWriteDiagData(rig.l(), 0, kDps, diag.data()), 5);
    EXPECT_EQ(rig.dpsByte(kDpsDiagChanged), 0);
    diag[3] = NUBOX_DPS_EXT_DIAG_MAX;
    ASSERT_EQ(dpsWriteDiagData(rig.l(), 0, kDps, diag.data()), 0);
    EXPECT_EQ(rig.dpsByte(kDpsExtDiagBytes + NUBOX_DPS_EXT_DIAG_MAX - 1), 0x5A);
    EXPECT_EQ(rig.dpsByte(kDpsOutputLock), 0);  // the next record is untouched
}

TEST(DpsChannel, LengthBytesOfTheBoardAreCutToRecordAndBuffer) {
    FamilyRig rig;
    const uint8_t cfg[] = {0x21, 0x13};  // output 2, input 4
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 2), 0);
    rig.dpsByte(kDpsOutputLength) = 250;
    rig.dpsByte(kDpsInputLength) = 250;
    rig.dpsByte(kDpsPrmLength) = 250;
    rig.dpsByte(kDpsAddressLength) = 255;
    // Buffers of exactly the stated sizes: the sanitizer sees any byte beyond them.
    std::vector<uint8_t> output(2), prm(NUBOX_DPS_DATA_MAX), address(NUBOX_DPS_ADDRESS_RECORD_MAX);
    uint8_t length = 0, station = 0;
    ASSERT_EQ(dpsReadOutputData(rig.l(), 0, kDps, output.data(), &length), 0);
    EXPECT_EQ(length, 2);
    ASSERT_EQ(dpsReadPrmData(rig.l(), 0, kDps, prm.data(), &length), 0);
    EXPECT_EQ(length, NUBOX_DPS_DATA_MAX);
    ASSERT_EQ(dpsReadStationAddress(rig.l(), 0, kDps, address.data(), &length, &station), 0);
    EXPECT_EQ(length, NUBOX_DPS_ADDRESS_RECORD_MAX);
    const std::vector<uint8_t> in(4, 0x77);
    rig.dpsByte(kDpsInputBytes + 4) = 0x99;
    ASSERT_EQ(dpsWriteInputData(rig.l(), 0, kDps, in.data()), 0);
    EXPECT_EQ(rig.dpsByte(kDpsInputBytes + 3), 0x77);
    EXPECT_EQ(rig.dpsByte(kDpsInputBytes + 4), 0x99);
}

TEST(DpsLock, ABoardThatHoldsARecordAWhileIsWaitedFor) {
    FamilyRig rig;
    const uint8_t cfg[] = {0x21};
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 1), 0);
    rig.dps()->masterWriteOutput({4, 5});
    rig.board.step();
    rig.dps()->holdLock(kDpsOutputLock, rig.platform.clock().nowUs() + 30000);
    rig.board.step();
    ASSERT_TRUE(rig.dps()->boardWantsLock(kDpsOutputLock));
    const int64_t start = rig.nowMs();
    uint8_t data[2] = {}, length = 0;
    ASSERT_EQ(dpsReadOutputData(rig.l(), 0, kDps, data, &length), 0);
    EXPECT_GE(rig.nowMs() - start, 29);
    EXPECT_LT(rig.nowMs() - start, NUBOX_DPS_LOCK_TIMEOUT_MS);
    EXPECT_EQ(data[1], 5);
}

TEST(DpsLock, ABoardThatNeverLetsGoMakesTheCallBusy) {
    FamilyRig rig;
    const uint8_t cfg[] = {0x21, 0x13};
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, 2), 0);
    rig.dps()->holdLock(kDpsOutputLock, std::numeric_limits<int64_t>::max());
    rig.board.step();
    const int64_t start = rig.nowMs();
    uint8_t data[2] = {0xEE, 0xEE}, length = 0x33;
    EXPECT_EQ(dpsReadOutputData(rig.l(), 0, kDps, data, &length), 6);
    EXPECT_GE(rig.nowMs() - start, NUBOX_DPS_LOCK_TIMEOUT_MS);
    EXPECT_EQ(length, 0x33);  // nothing read
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(rig.dpsByte(kDpsOutputLock), 0);  // our claim withdrawn
    // The other records are not held.
    EXPECT_EQ(dpsWriteInputData(rig.l(), 0, kDps, nullptr), 0);
}

TEST(DpsChannel, CannotBeWatched) {
    FamilyRig rig;
    EXPECT_EQ(rig.lib->watchMailbox(
                  0, kDps, [](uint8_t, uint8_t, uint32_t) {}, 0, 10),
              5);
    EXPECT_EQ(rig.lib->stopWatchThread(0, kDps), 5);
}

}  // namespace
}  // namespace nuboxlink_test
