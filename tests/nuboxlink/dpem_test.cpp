// The DP master channel on a board with a DPR, against the simulated firmware.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "nuboxlink/channel/dpem_channel.h"
#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {
namespace {

struct LengthCase {
    uint8_t code;
    uint8_t sub;  // byte 12
    uint16_t length;
};

TEST(DpemCommandLength, FollowsTheTable) {
    const LengthCase cases[] = {
        {0x21, 0, 4},      {0x22, 0, 7},      {0x23, 0, 7},     {0x24, 0, 256},   {0x25, 0, 254},
        {0x26, 0, 252},    {0x27, 0, 4},      {0x2B, 0, 1},     {0x2E, 0, 5},     {0x31, 0, 2},
        {0x35, 0, 1},      {0x36, 0, 2},      {0x37, 0, 2},     {0x38, 0, 2},     {0x39, 0, 248},
        {0x3D, 0x51, 256}, {0x3D, 0x57, 256}, {0x3D, 0x58, 15}, {0x3D, 0x5E, 16}, {0x3D, 0x5F, 256},
        {0x3D, 0x52, 0},   {0x3D, 0x00, 0},   {0x28, 0, 0},     {0x2A, 0, 0},     {0x2C, 0, 0},
        {0x2D, 0, 0},      {0x2F, 0, 0},      {0x30, 0, 0},     {0x32, 0, 0},     {0x34, 0, 0},
        {0x3A, 0, 0},      {0x3C, 0, 0},      {0x3E, 0, 0},     {0xFF, 0, 0},     {0x20, 0, 0},
        {0x00, 0, 0},
    };
    for (const LengthCase& c : cases) {
        uint8_t block[256] = {};
        block[0] = c.code;
        block[12] = c.sub;
        EXPECT_EQ(nuboxlink::dpemCommandLength(block), c.length)
            << std::hex << int(c.code) << "/" << int(c.sub);
    }
}

TEST(DpemWriteCommand, UnknownCodesAreRefusedAndNotWritten) {
    DpemRig rig;
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x28).data()), 8);
    auto sub52 = rig.block(0x3D);
    sub52[12] = 0x52;
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, sub52.data()), 8);
    rig.board.step();
    EXPECT_TRUE(rig.board.takenCommands(0).empty());
}

TEST(DpemWriteCommand, PassesExactlyTheTableLength) {
    DpemRig rig;
    auto b = rig.block(0x3D);
    b[12] = 0x58;
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, b.data()), 0);
    rig.board.step();
    auto taken = rig.board.takenCommands(0);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0][12], 0x58);
    EXPECT_EQ(taken[0][14], 0xAA);
    EXPECT_EQ(taken[0][15], 0x00);  // the mailbox behind the 15 bytes is untouched
}

TEST(DpemWriteCommand, SecondCommandBeforeTheBoardTookTheFirstIsBusy) {
    DpemRig rig;
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x21).data()), 0);
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x22).data()), 6);
    rig.board.step();
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x22).data()), 0);
    rig.board.step();
    auto taken = rig.board.takenCommands(0);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[1][0], 0x22);
}

TEST(DpemGetReport, ConfirmationsArriveInOrderAndThenNothing) {
    DpemRig rig;
    uint8_t report[256];
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    for (uint8_t code : {0x21, 0x31}) {
        auto b = rig.block(code);
        b[1] = code;  // a tag the firmware echoes
        ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, b.data()), 0);
        rig.board.step();
    }
    rig.board.step();
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0x21 + 0xC0);
    // The second report can only come once the first was acknowledged.
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    rig.board.step();
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0x31 + 0xC0);
    EXPECT_EQ(report[1], 0x31);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
}

TEST(DpemProcessData, OutputIsWrittenWithTheCounterHandshake) {
    DpemRig rig;
    std::vector<uint8_t> data(20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    const uint8_t counter = rig.board.outputCounter(0);
    ASSERT_EQ(rig.lib->dpemWriteOutputData(0, 0, data.data(), 100, 20, 5), 0);
    EXPECT_EQ(rig.board.output(0, 100, 20), data);
    EXPECT_EQ(rig.board.outputCounter(0), static_cast<uint8_t>(counter + 2));
}

TEST(DpemProcessData, RangesBeyondTheDataAreaAreRefused) {
    DpemRig rig;
    std::vector<uint8_t> data(20, 0x55);
    const uint8_t counter = rig.board.outputCounter(0);
    EXPECT_EQ(rig.lib->dpemWriteOutputData(0, 0, data.data(), kDataArea - 19, 20, 5), 5);
    EXPECT_EQ(rig.board.outputCounter(0), counter);  // nothing stepped, nothing written
    EXPECT_EQ(rig.lib->dpemWriteOutputData(0, 0, data.data(), kDataArea - 20, 20, 5), 0);
    uint8_t in[20];
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, in, 0xFFFF, 20, 5), 5);
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, in, kDataArea - 20, 20, 5), 0);
}

TEST(DpemProcessData, InputIsReadAsTheBoardWroteIt) {
    DpemRig rig;
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    rig.board.updateInput(0, 9, 200, bytes);
    std::vector<uint8_t> in(8);
    ASSERT_EQ(rig.lib->dpemReadInputData(0, 0, in.data(), 200, 8, 9), 0);
    EXPECT_EQ(in, bytes);
}

TEST(DpemProcessData, AnotherStationsUpdateDoesNotHoldTheReadUp) {
    DpemRig rig;
    rig.board.updateInput(0, 9, 0, {1, 1, 1, 1});
    rig.board.beginInputUpdate(0, 10);  // counter odd, station 10
    std::vector<uint8_t> in(4);
    ASSERT_EQ(rig.lib->dpemReadInputData(0, 0, in.data(), 0, 4, 9), 0);
    EXPECT_EQ(in, (std::vector<uint8_t>{1, 1, 1, 1}));
}

TEST(DpemProcessData, DataExchangeWritesAndReadsEveryRecordInOrder) {
    DpemRig rig;
    rig.board.updateInput(0, 0x7F, 50, {7, 8, 9});
    const uint8_t out1[2] = {0x11, 0x12};
    const uint8_t out2[3] = {0x21, 0x22, 0x23};
    uint8_t in1[3] = {};
    DataTransferRecord r1{4, 10, 2, out1, 50, 3, in1};
    DataTransferRecord r2{5, 20, 3, out2, 0, 0, nullptr};
    DataTransferRecord* list[] = {&r1, &r2, nullptr};
    const uint8_t counter = rig.board.outputCounter(0);
    ASSERT_EQ(rig.lib->dpemDataExchange(0, 0, list), 0);
    EXPECT_EQ(rig.board.output(0, 10, 2), (std::vector<uint8_t>{0x11, 0x12}));
    EXPECT_EQ(rig.board.output(0, 20, 3), (std::vector<uint8_t>{0x21, 0x22, 0x23}));
    EXPECT_EQ(in1[0], 7);
    EXPECT_EQ(in1[2], 9);
    EXPECT_EQ(rig.board.outputCounter(0), static_cast<uint8_t>(counter + 4));
    // A record beyond the data area stops the exchange with the refusal.
    DataTransferRecord bad{5, kDataArea, 1, out2, 0, 0, nullptr};
    DataTransferRecord* badList[] = {&bad, nullptr};
    EXPECT_EQ(rig.lib->dpemDataExchange(0, 0, badList), 5);
}

TEST(DpemStatus, StatusBlockAndFlagsReachTheCaller) {
    DpemRig rig;
    uint8_t list[16], diag[16];
    for (int i = 0; i < 16; ++i) {
        list[i] = static_cast<uint8_t>(i);
        diag[i] = static_cast<uint8_t>(0xF0 | i);
    }
    rig.board.setStatus(0, list, diag, 0x5A);
    rig.board.setDiagState(0, true);
    uint8_t got[16], out = 0;
    ASSERT_EQ(rig.lib->dpemReadDataTransferList(0, 0, got), 0);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 16), std::vector<uint8_t>(list, list + 16));
    ASSERT_EQ(rig.lib->dpemReadSystemDiagnostic(0, 0, got), 0);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 16), std::vector<uint8_t>(diag, diag + 16));
    ASSERT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 0);
    EXPECT_EQ(out, 0x5A);
    ASSERT_EQ(rig.lib->dpemReadDiagState(0, 0, &out), 0);
    EXPECT_EQ(out, 1);
    rig.board.setDiagState(0, false);
    ASSERT_EQ(rig.lib->dpemReadDiagState(0, 0, &out), 0);
    EXPECT_EQ(out, 0);
    ASSERT_EQ(rig.lib->dpemWriteRemoteAccessFlag(0, 0, 0x33), 0);
    EXPECT_EQ(rig.board.remoteAccessFlag(0), 0x33);
}

TEST(DpemInit, ReportMailboxCarriesTheStartText) {
    DpemRig rig;
    auto* c = static_cast<nuboxlink::CDpemIsa*>(rig.lib->board(0)->channel(0));
    const uint8_t* dpr = rig.board.dpr();
    // Channel 0's areas start at 14: data area, status block, then the report mailbox.
    const uint32_t reportBox = 14 + kDataArea + 38;
    EXPECT_EQ(c->dataArea(), 14u);
    EXPECT_STREQ(reinterpret_cast<const char*>(dpr + reportBox), nuboxlink::kReportMailboxText);
}

TEST(DpemInit, SecondChannelFollowsTheFirstInTheDpr) {
    Rig rig;
    SimBoard& board = rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 1000);
    rig.channel(0, 1, NUBOX_CHANNEL_DPEM, 500);
    ASSERT_EQ(rig.init(1), 0);
    // Both channels work independently: the firmware found the same layout.
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 1, std::vector<uint8_t>(256, 0x21).data()), 0);
    board.step();
    board.step();
    uint8_t report[256];
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    ASSERT_EQ(rig.lib->dpemGetReport(0, 1, report), 0);
    EXPECT_EQ(report[0], 0x21 + 0xC0);
    uint8_t data[4] = {1, 2, 3, 4};
    const std::vector<uint8_t> channel0 = board.output(0, 0, 4);
    ASSERT_EQ(rig.lib->dpemWriteOutputData(0, 1, data, 0, 4, 1), 0);
    EXPECT_EQ(board.output(1, 0, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(board.output(0, 0, 4), channel0);
}

TEST(DpemInit, AreaABoundsTheDataAreaToTheLastByte) {
    // A 16 KB DPR has 16354 bytes in area A; a channel takes its data area, 38 bytes of
    // status and two 256-byte mailboxes from it.
    for (uint16_t size : {uint16_t{15804}, uint16_t{15805}}) {
        Rig rig;
        rig.addPci(0, 0, 0x42);
        rig.channel(0, 0, NUBOX_CHANNEL_DPEM, size);
        const bool fits = size == 15804;
        EXPECT_EQ(rig.init(1), fits ? 0 : 2) << size;
        EXPECT_EQ(rig.status[0], fits ? 0 : 8) << size;
        EXPECT_EQ(rig.channelStatus[0], fits ? 0 : 2) << size;
    }
}

TEST(DpemInit, ChannelWithoutProcessDataStillCarriesCommandsAndReports) {
    Rig rig;
    SimBoard& board = rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 0);
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_EQ(rig.status[0], 0);
    EXPECT_EQ(rig.channelStatus[0], 0);
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, std::vector<uint8_t>(256, 0x21).data()), 0);
    board.step();
    board.step();
    uint8_t report[256];
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0x21 + 0xC0);
    uint8_t data[1] = {7};
    EXPECT_EQ(rig.lib->dpemWriteOutputData(0, 0, data, 0, 1, 1), 5);
}

}  // namespace
}  // namespace nuboxlink_test
