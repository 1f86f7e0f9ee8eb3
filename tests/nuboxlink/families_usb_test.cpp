// The DP slave, FMS/FMA7, list and PB2M channels on a USB box: the readiness and init
// requests of each family, their request forms, the DP slave's length checks, and the
// watch of a box that has reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "nuboxlink/channel/dps_channel.h"
#include "tests/nuboxlink/family_rig.h"

namespace nuboxlink_test {
namespace {

using namespace nuboxlink;
using namespace std::chrono_literals;
using nubox_sim::SimUsbBox;

struct UsbFamilyRig : Rig {
    UsbFamilyRig(uint8_t type, uint16_t parameter = 0) : box(platform.addUsb(1, 0x1234)) {
        platform.setDevice(0, RegValues{{"USB-Id", RegValue::ofDword(0x1234)}});
        channel(0, 0, type, parameter);
    }
    Library& l() { return *lib; }
    SimUsbBox& box;
};

TEST(UsbList, NeverReadySoConfiguredAfterTheFullWaitWithItsDataAreaSize) {
    UsbFamilyRig rig(NUBOX_CHANNEL_LIST, 0x0123);
    const int64_t start = rig.nowMs();
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_GE(rig.nowMs() - start, 7000);
    EXPECT_EQ(rig.box.firmwareBytes(), 123u * 20);  // the list image
    auto* fw = rig.box.familyAs<nubox_sim::SimUsbList>();
    ASSERT_NE(fw, nullptr);
    EXPECT_EQ(fw->initRequests(), 1u);
    EXPECT_EQ(fw->initParameter(), 0x0123);

    const uint8_t cmd[] = {0x31, 1, 2};
    ASSERT_EQ(listWriteCommand(rig.l(), 0, 0, cmd, 3), 0);
    EXPECT_EQ(fw->messages().back(), (std::vector<uint8_t>{0xB1, 3, 0x31, 1, 2}));
    uint8_t report[256];
    ASSERT_EQ(listGetReport(rig.l(), 0, 0, report), 0);
    EXPECT_EQ(report[0], 0x31 + 0xC0);
    EXPECT_EQ(listGetReport(rig.l(), 0, 0, report), 7);

    const uint8_t value[4] = {0x44, 0x33, 0x22, 0x11};
    fw->setEntry(6, 0x0102, value, {9, 8});
    ListEntry entry;
    std::memset(&entry, 0xEE, sizeof entry);
    ASSERT_EQ(listReadInputData(rig.l(), 0, 0, &entry, 0x0102, 6), 0);
    EXPECT_EQ(fw->messages().back(), (std::vector<uint8_t>{0xB4, 6, 0x01, 0x02}));
    EXPECT_EQ(entry.value, 0x11223344u);  // as the box sends it
    EXPECT_EQ(entry.length, 2);
    EXPECT_EQ(entry.data[1], 8);
    fw->setEntry(6, 0x0200, value, {});
    std::memset(&entry, 0xEE, sizeof entry);
    ASSERT_EQ(listReadInputData(rig.l(), 0, 0, &entry, 0x0200, 6), 0);
    EXPECT_EQ(entry.length, 0);
    EXPECT_EQ(entry.data[0], 0xEE);
}

TEST(UsbFms, InitAfterTheWaitAndFourRequestForms) {
    UsbFamilyRig rig(NUBOX_CHANNEL_FMS);
    ASSERT_EQ(rig.init(1), 0);
    auto* fw = rig.box.familyAs<nubox_sim::SimUsbFms>();
    ASSERT_NE(fw, nullptr);
    EXPECT_EQ(fw->messages().front(), (std::vector<uint8_t>{0xB0, 0, 0}));
    const uint8_t cmd[] = {0x05};
    ASSERT_EQ(fma7WriteCommand(rig.l(), 0, 0, cmd, 1), 0);
    EXPECT_EQ(fw->messages().back()[0], 0xB2);
    uint8_t report[256];
    EXPECT_EQ(fmsGetReport(rig.l(), 0, 0, report), 7);
    ASSERT_EQ(fma7GetReport(rig.l(), 0, 0, report), 0);
    EXPECT_EQ(report[0], 0x05 + 0xC0);
    ASSERT_EQ(fmsWriteCommand(rig.l(), 0, 0, cmd, 1), 0);
    EXPECT_EQ(fw->messages().back()[0], 0xB1);
    ASSERT_EQ(fmsGetReport(rig.l(), 0, 0, report), 0);
    EXPECT_EQ(fw->messages().back(), (std::vector<uint8_t>{0xB3}));
}

TEST(UsbPb2m, CommandsCarryTheirLengthLessSixtyFourAndResetAnswersTheBox) {
    UsbFamilyRig rig(NUBOX_CHANNEL_PB2M);
    const int64_t start = rig.nowMs();
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_LT(rig.nowMs() - start, 7000);  // the PB2M box answers the readiness request
    auto* fw = rig.box.familyAs<nubox_sim::SimUsbPb2m>();
    ASSERT_NE(fw, nullptr);
    std::vector<uint8_t> data(260);
    data[259] = 0x42;
    ASSERT_EQ(pb2mWriteCommand(rig.l(), 0, 0, 0x17, data.data()), 0);
    const std::vector<uint8_t> sent = fw->messages().back();
    ASSERT_EQ(sent.size(), 268u);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 8),
              (std::vector<uint8_t>{0xB1, 204, 0, 0x17, 0, 0, 0, 0}));
    EXPECT_EQ(sent[267], 0x42);
    uint8_t code = 0, got[260] = {};
    ASSERT_EQ(pb2mGetReport(rig.l(), 0, 0, &code, got), 0);
    EXPECT_EQ(code, 0x17 + 0xC0);
    EXPECT_EQ(got[259], 0x42);
    EXPECT_EQ(pb2mGetReport(rig.l(), 0, 0, &code, got), 7);
    EXPECT_EQ(pb2mReset(rig.l(), 0, 0), 0);
    EXPECT_EQ(fw->resets(), 1u);
}

TEST(UsbDps, RecordsTravelAsTheirRequestsAndLengthsAreChecked) {
    UsbFamilyRig rig(NUBOX_CHANNEL_DPS);
    ASSERT_EQ(rig.init(1), 0);
    auto* fw = rig.box.familyAs<nubox_sim::SimUsbDps>();
    ASSERT_NE(fw, nullptr);
    const uint8_t cfg[] = {0x21, 0x13};
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, 0, cfg, 2), 0);
    auto messages = fw->messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], (std::vector<uint8_t>{0xB7, 2, 4, 2}));
    EXPECT_EQ(fw->configuration(), (std::vector<uint8_t>{0x21, 0x13}));
    ASSERT_EQ(dpsWriteInputData(rig.l(), 0, 0, nullptr), 0);
    EXPECT_EQ(fw->input(), (std::vector<uint8_t>{0, 0, 0, 0}));

    fw->masterWriteOutput({5, 6, 7});
    fw->masterWriteParameters(std::vector<uint8_t>(250, 0x3C));
    fw->setStationAddress(9, {1});
    uint8_t events = 0;
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, 0, &events), 0);
    EXPECT_EQ(events, 0x02 | 0x01 | 0x10);
    std::vector<uint8_t> output(2), prm(NUBOX_DPS_DATA_MAX), address(NUBOX_DPS_ADDRESS_RECORD_MAX);
    uint8_t length = 0, station = 0;
    ASSERT_EQ(dpsReadOutputData(rig.l(), 0, 0, output.data(), &length), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(output[1], 6);
    ASSERT_EQ(dpsReadPrmData(rig.l(), 0, 0, prm.data(), &length), 0);
    EXPECT_EQ(length, NUBOX_DPS_DATA_MAX);  // the box's 250 cut to the record
    ASSERT_EQ(dpsReadStationAddress(rig.l(), 0, 0, address.data(), &length, &station), 0);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(station, 9);
    // The request still in step: the box answers the next one normally.
    ASSERT_EQ(dpsGetNewCommEvent(rig.l(), 0, 0, &events), 0);
    EXPECT_EQ(events, 0);

    const uint8_t diag[] = {1, 2, 3, 1, 0xDD};
    ASSERT_EQ(dpsWriteDiagData(rig.l(), 0, 0, diag), 0);
    EXPECT_EQ(fw->messages().back(), (std::vector<uint8_t>{0xB8, 5, 1, 2, 3, 1, 0xDD}));
    std::vector<uint8_t> longDiag(4 + 255);
    longDiag[3] = 252;  // n would wrap past 255
    const size_t sent = fw->messages().size();
    EXPECT_EQ(dpsWriteDiagData(rig.l(), 0, 0, longDiag.data()), 5);
    std::vector<uint8_t> bigCfg(8, 0x7F);
    EXPECT_EQ(dpsWriteCfgData(rig.l(), 0, 0, bigCfg.data(), 8), 5);
    EXPECT_EQ(fw->messages().size(), sent);
    const uint8_t par[8] = {};
    ASSERT_EQ(dpsWriteComPar(rig.l(), 0, 0, par), 0);
    EXPECT_EQ(fw->comPar().size(), 8u);
    EXPECT_EQ(rig.lib->watchMailbox(
                  0, 0, [](uint8_t, uint8_t, uint32_t) {}, 0, 10),
              5);
}

std::atomic<int> g_listCalls{0};

TEST(UsbList, AWatchedBoxNotifiesWhenAReportWaits) {
    UsbFamilyRig rig(NUBOX_CHANNEL_LIST, 100);
    ASSERT_EQ(rig.init(1), 0);
    g_listCalls = 0;
    ASSERT_EQ(rig.lib->watchMailbox(
                  0, 0, [](uint8_t, uint8_t, uint32_t) { ++g_listCalls; }, 1, 10),
              0);
    auto* fw = rig.box.familyAs<nubox_sim::SimUsbList>();
    EXPECT_EQ(fw->messages().back(), (std::vector<uint8_t>{0xB3}));  // the list arm code
    fw->postReport({0x77});
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (g_listCalls == 0 && std::chrono::steady_clock::now() < end) {
        rig.box.step();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(g_listCalls.load(), 0);
    uint8_t report[256];
    ASSERT_EQ(listGetReport(rig.l(), 0, 0, report), 0);
    EXPECT_EQ(report[0], 0x77);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 0);
}

}  // namespace
}  // namespace nuboxlink_test
