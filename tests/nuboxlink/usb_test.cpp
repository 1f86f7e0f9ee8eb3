// The USB box: firmware download and start, the init request during the readiness
// wait, the request forms of the DP master channel, the 0xBC data exchange and its size
// limit, the notification thread, and a box that is unplugged.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/eventually.h"
#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {
namespace {

using namespace std::chrono_literals;
using nubox_sim::SimUsbBox;

struct UsbRig : Rig {
    explicit UsbRig(uint16_t id = 0x1001, uint8_t type = NUBOX_CHANNEL_DPEM)
        : box(platform.addUsb(2, id)) {
        platform.setDevice(0, RegValues{{"USB-Id", RegValue::ofDword(id)}});
        channel(0, 0, type, 6000);
    }
    SimUsbBox& box;
};

using romtide::test::eventually;

TEST(UsbBox, IsConfiguredWithItsFirmwareAndTheDataAreaSize) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_EQ(rig.box.firmwareBytes(), 148u * 20);  // the DP master image, unchanged
    EXPECT_TRUE(rig.box.running());
    EXPECT_EQ(rig.box.initParameter(), 6000);
    DeviceInfo info{};
    ASSERT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_USB);
    EXPECT_EQ(uint32_t{info.boardId}, 0x1001u);
}

TEST(UsbBox, HighIdsAreTheOtherKindAndUnsupportedChannelsAreStatusFive) {
    UsbRig high(0x2002);
    DeviceInfo info{};
    ASSERT_EQ(high.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_USB_HIGH);
    EXPECT_EQ(info.present, 1);

    UsbRig other(0x1001, 77);
    EXPECT_EQ(other.init(1), 2);
    EXPECT_EQ(other.status[0], 5);
    EXPECT_EQ(other.box.firmwareBytes(), 0u);
}

TEST(UsbBox, WithoutChannelZeroTheReadinessWaitRunsItsFullLength) {
    UsbRig rig(0x1001, 0);
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.init(1), 0);
    EXPECT_GE(rig.nowMs() - start, 7000);
}

TEST(UsbDpem, CommandsAndReportsTravelAsBlockAndFetchForms) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    std::vector<uint8_t> block(256, 0xAA);
    block[0] = 0x22;
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, block.data()), 0);
    auto taken = rig.box.takenCommands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0][6], 0xAA);  // seven bytes for 0x22
    EXPECT_EQ(taken[0][7], 0x00);
    uint8_t report[256];
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0x22 + 0xC0);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    block[0] = 0x28;
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, block.data()), 8);
    // A box that takes no more commands answers busy.
    for (int i = 0; i < 32; ++i) {
        rig.box.postReport({0x99});
    }
    block[0] = 0x21;
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, block.data()), 6);
}

TEST(UsbDpem, ProcessDataUsesTheExchangeWithTheBoxAddresses) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    std::vector<uint8_t> out(20);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(0x40 + i);
    }
    ASSERT_EQ(rig.lib->dpemWriteOutputData(0, 0, out.data(), 100, 20, 7), 0);
    EXPECT_EQ(rig.box.memory(100, 20), out);
    auto ex = rig.box.exchanges();
    ASSERT_EQ(ex.size(), 1u);
    // 0xBC, length 29, one write entry at 100 + 0x800E, no read entry, the 20 bytes.
    EXPECT_EQ(std::vector<uint8_t>(ex[0].begin(), ex[0].begin() + 9),
              (std::vector<uint8_t>{0xBC, 0, 29, 1, 0, 0x80, 0x72, 20, 7}));

    rig.box.setMemory(300, {9, 8, 7});
    uint8_t in[3] = {};
    ASSERT_EQ(rig.lib->dpemReadInputData(0, 0, in, 300, 3, 7), 0);
    EXPECT_EQ(in[0], 9);
    EXPECT_EQ(in[2], 7);
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, in, 5999, 3, 7), 5);
}

TEST(UsbDpem, AnExchangeTooLargeForTheBoxIsRefusedUnsent) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    std::vector<uint8_t> bytes(255, 0x11);
    DataTransferRecord r[4];
    DataTransferRecord* list[5] = {};
    for (int i = 0; i < 4; ++i) {
        r[i] =
            DataTransferRecord{1, static_cast<uint16_t>(i * 255), 255, bytes.data(), 0, 0, nullptr};
        list[i] = &r[i];
    }
    // Three records: 5 + 12 + 765 = 782 bytes. Four would need 5 + 16 + 1020.
    list[3] = nullptr;
    EXPECT_EQ(rig.lib->dpemDataExchange(0, 0, list), 0);
    list[3] = &r[3];
    const size_t sent = rig.box.exchanges().size();
    EXPECT_EQ(rig.lib->dpemDataExchange(0, 0, list), 9);
    EXPECT_EQ(rig.box.exchanges().size(), sent);
    // The limit counts the reads of a record as well: 5 + 8 + 255 + 255 stays below.
    uint8_t in[255];
    DataTransferRecord both{1, 0, 255, bytes.data(), 0, 255, in};
    DataTransferRecord* one[2] = {&both, nullptr};
    EXPECT_EQ(rig.lib->dpemDataExchange(0, 0, one), 0);
    EXPECT_EQ(in[0], 0x11);
}

TEST(UsbDpem, StatusReadsAndTheRemoteAccessFlag) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    uint8_t status[33];
    for (int i = 0; i < 33; ++i) {
        status[i] = static_cast<uint8_t>(i + 1);
    }
    rig.box.setStatus(status, 0x04);
    uint8_t got[16], out = 0;
    ASSERT_EQ(rig.lib->dpemReadDataTransferList(0, 0, got), 0);
    EXPECT_EQ(got[0], 1);
    ASSERT_EQ(rig.lib->dpemReadSystemDiagnostic(0, 0, got), 0);
    EXPECT_EQ(got[0], 17);
    ASSERT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 0);
    EXPECT_EQ(out, 33);
    ASSERT_EQ(rig.lib->dpemReadDiagState(0, 0, &out), 0);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(rig.lib->dpemWriteRemoteAccessFlag(0, 0, 1), 0);
}

TEST(UsbBox, AnAssignedBoxIsListedOnceAtItsDeviceNumber) {
    UsbRig rig;  // box 0x1001 assigned to device 0
    rig.platform.addUsb(5, 0x1002);
    uint8_t out[5];
    ASSERT_EQ(rig.lib->attachedDevices(0x60, out), 0);
    EXPECT_EQ(out[0], NUBOX_KIND_USB);
    EXPECT_EQ(out[1] | out[2] << 8, 0x1001);
    ASSERT_EQ(rig.lib->attachedDevices(0x80, out), 0);
    EXPECT_EQ(out[1] | out[2] << 8, 0x1002);  // the unassigned one; 0x1001 not again
    EXPECT_EQ(rig.lib->attachedDevices(0x80, out), 9);
    // Assigning the second box to device 1 writes its id as the USB value.
    EXPECT_EQ(rig.lib->assignDevice(1, NUBOX_KIND_USB, 0x1002), 0);
    ASSERT_EQ(rig.lib->attachedDevices(0x40 | NUBOX_KIND_USB, out), 0);
    ASSERT_EQ(rig.lib->attachedDevices(0x80, out), 0);
    EXPECT_EQ(out[1] | out[2] << 8, 0x1002);
}

std::atomic<int> g_usbCalls{0};
std::atomic<int> g_usbChannel{-1};
void onUsbReport(uint8_t, uint8_t channel, uint32_t) {
    g_usbChannel = channel;
    ++g_usbCalls;
}

TEST(UsbWatch, TheBoxNotifiesAndTheThreadCallsBack) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    g_usbCalls = 0;
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onUsbReport, 5, 10), 0);
    EXPECT_EQ(rig.lib->watchMailbox(0, 0, onUsbReport, 5, 10), 4);
    rig.box.postReport({0x99, 1});
    ASSERT_TRUE(eventually([] { return g_usbCalls.load() > 0; }));
    EXPECT_EQ(g_usbChannel, 0);
    uint8_t report[256];
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[1], 1);
    // Armed again after the callback: the next report notifies too.
    const int calls = g_usbCalls;
    rig.box.postReport({0x99, 2});
    ASSERT_TRUE(eventually([&] { return g_usbCalls.load() > calls; }));
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 0);
}

TEST(UsbWatch, AnUnpluggedBoxIsNoLongerOpen) {
    UsbRig rig;
    ASSERT_EQ(rig.init(1), 0);
    rig.box.unplug();
    uint8_t out;
    ASSERT_TRUE(eventually([&] { return rig.lib->dpemStationOnline(0, 0, &out) == 3; }));
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
}

}  // namespace
}  // namespace nuboxlink_test
