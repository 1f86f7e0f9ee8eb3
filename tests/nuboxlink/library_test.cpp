// Board management through the device table: InitDll and its readiness wait, the
// channel-call gate, device information, assignment and enumeration, reset.
#include <gtest/gtest.h>

#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {
namespace {

using nuboxlink::Generation;

TEST(ChannelGate, AnswersTheDocumentedCodesBeforeTouchingAChannel) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    ASSERT_EQ(rig.init(1), 0);
    uint8_t report[256];
    EXPECT_EQ(rig.lib->dpemGetReport(16, 0, report), 1);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 4, report), 2);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 1, report), 3);  // configured board, empty slot
    EXPECT_EQ(rig.lib->dpemGetReport(1, 0, report), 3);  // no board
    // A channel of another family: the gate refuses before the operation runs.
    bool ran = false;
    EXPECT_EQ(rig.lib->channelCall(0, 0, NUBOX_CHANNEL_LIST,
                                   [&](auto&) {
                                       ran = true;
                                       return uint8_t{0};
                                   }),
              4);
    EXPECT_FALSE(ran);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
}

TEST(ChannelGate, ABoardThatLostItsHandleAnswersNotOpen) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    ASSERT_EQ(rig.init(1), 0);
    rig.lib->board(0)->Close();
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 3);
    const uint8_t block[4] = {0x28};
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, block), 3);  // unknown code on a closed board
}

TEST(InitDll, EmptyMaskConfiguresNothingAndLeavesBoardsAlone) {
    Rig rig;
    SimBoard& b = rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    ASSERT_EQ(rig.init(1), 0);
    const unsigned restarts = b.restarts();
    EXPECT_EQ(rig.init(0), 2);
    EXPECT_EQ(b.restarts(), restarts);
    ASSERT_NE(rig.lib->board(0), nullptr);
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 0);
}

TEST(InitDll, MissingSubkeyFailsThatDeviceAndWaitsTheFullSevenSeconds) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    rig.channel(2, 0, NUBOX_CHANNEL_DPEM, 6000);
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.init(0b101), 3);
    const int64_t took = rig.nowMs() - start;
    EXPECT_GE(took, 7000);
    EXPECT_LT(took, 7200);
    EXPECT_EQ(rig.status[0], 0);
    EXPECT_EQ(rig.status[2], 1);
    EXPECT_EQ(rig.channelStatus[2], 0);
    EXPECT_NE(rig.lib->board(0), nullptr);
    EXPECT_EQ(rig.lib->board(2), nullptr);
}

TEST(InitDll, ReadyBoardsEndTheWaitEarly) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.init(1), 0);
    EXPECT_LT(rig.nowMs() - start, 1000);
}

TEST(InitDll, NoBoardAtAllAnswersTwo) {
    Rig rig;
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 1);
}

TEST(InitDll, SecondCallReplacesTheBoardObject) {
    Rig rig;
    SimBoard& b = rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    ASSERT_EQ(rig.init(1), 0);
    const nuboxlink::CDevice* first = rig.lib->board(0);
    const unsigned restarts = b.restarts();
    // Still open from the first call: without closing it first the driver would refuse.
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_NE(rig.lib->board(0), nullptr);
    EXPECT_EQ(b.restarts(), restarts + 1);
    (void)first;
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 0);
}

TEST(InitDll, UnsupportedPlatformGeneration) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.platform.setGeneration(Generation::Unsupported);
    EXPECT_EQ(rig.init(1), 1);
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 1);
    const uint8_t types[4] = {NUBOX_CHANNEL_DPEM, 0, 0, 0};
    const uint16_t params[4] = {6000, 0, 0, 0};
    EXPECT_EQ(rig.lib->initDevice(0, types, params), 1);
    EXPECT_EQ(rig.lib->board(0), nullptr);
}

TEST(InitDll, ChannelFailuresShowInTheChannelStatusByte) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    rig.channel(0, 1, 2, 100);                     // no family has type code 2
    rig.channel(0, 2, NUBOX_CHANNEL_DPEM, 20000);  // does not fit a 16 KB DPR
    rig.channel(0, 3, 77, 0);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 8);
    EXPECT_EQ(rig.channelStatus[0], (1 << 2) | (2 << 4) | (1 << 6));
    EXPECT_EQ(rig.lib->board(0), nullptr);
}

TEST(InitDll, AllFourChannelsFailingIsStatusFour) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    for (unsigned i = 0; i < 4; ++i) {
        rig.channel(0, i, NUBOX_CHANNEL_DPEM, 5000);  // the third already does not fit
    }
    rig.configs[0].channels[0].parameter = 16000;
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 4);
}

TEST(InitDll, HungFirmwareEndsWithStatusThreeAfterTwoAndAHalfSeconds) {
    Rig rig;
    rig.addPci(0, 0, 0x42, /*hang=*/true);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 6000);
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.init(1), 2);
    const int64_t took = rig.nowMs() - start;
    EXPECT_EQ(rig.status[0], 3);
    EXPECT_GE(took, 2500);
    EXPECT_LT(took, 2800);
}

TEST(InitDll, PciIdConfiguredTwiceGivesTheSecondStatusTenWithoutTheDriver) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.platform.setDevice(1, RegValues{{"PCI-Board", RegValue::ofDword(0x42)}});
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    rig.channel(1, 0, NUBOX_CHANNEL_DPEM, 100);
    ASSERT_EQ(rig.init(1), 0);
    const int opens = rig.platform.opens("_nuBoxPCI_Multiboard0");
    EXPECT_EQ(rig.init(2), 2);
    EXPECT_EQ(rig.status[1], 10);
    EXPECT_EQ(rig.platform.opens("_nuBoxPCI_Multiboard0"), opens);
}

TEST(InitDll, TokenHeldElsewhereIsStatusTen) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.platform.holdElsewhere("talvik_system/nuBOXpci/DeviceID0042");
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 10);
    DeviceInfo info{};
    EXPECT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_PCI);
    EXPECT_EQ(info.present, 1);
    EXPECT_EQ(info.busy, 1);
}

TEST(InitDll, PciIdNotFoundIsStatusNine) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.platform.setDevice(0, RegValues{{"PCI-Board", RegValue::ofDword(0x2345)}});
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 9);
    DeviceInfo info{};
    EXPECT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_PCI_HIGH);
    EXPECT_EQ(uint32_t{info.boardId}, 0x2345u);
    EXPECT_EQ(info.present, 0);
}

TEST(InitDll, IsaBoardTakesItsWindowFromTheRegistry) {
    Rig rig;
    rig.addIsa(3, 32768);
    rig.channel(3, 0, NUBOX_CHANNEL_DPEM, 20000);  // fits 32 KB, not 16 KB
    ASSERT_EQ(rig.init(1 << 3), 0);
    EXPECT_EQ(rig.configs[3].portAddress, 0x300u);
    EXPECT_EQ(rig.configs[3].memoryAddress, 0xD0000u);
    EXPECT_EQ(rig.configs[3].memoryRange, 32768u);
    DeviceInfo info{};
    EXPECT_EQ(rig.lib->getDeviceInfo(3, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_ISA);
}

TEST(InitDll, RegistryValuesOfTheWrongTypeDoNotConfigure) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.platform.setDevice(0, RegValues{{"PCI-Board", RegValue::ofString("66")}});
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    EXPECT_EQ(rig.init(1), 2);
    EXPECT_EQ(rig.status[0], 1);
}

TEST(InitDevice, BuildsTheConfigurationAndAnswersTheDeviceStatus) {
    Rig rig;
    rig.addPci(5, 0, 0x42);
    const uint8_t types[4] = {NUBOX_CHANNEL_DPEM, 0, 0, 0};
    const uint16_t params[4] = {6000, 0, 0, 0};
    EXPECT_EQ(rig.lib->initDevice(16, types, params), 1);
    EXPECT_EQ(rig.lib->initDevice(6, types, params), 1);  // nothing configured there
    EXPECT_EQ(rig.lib->initDevice(5, types, params), 0);
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(5, 0, &out), 0);
}

TEST(DeviceInfo, ReportsOpenBoardsWithoutTouchingTheDriver) {
    Rig rig;
    rig.addPci(0, 0, 0x1234);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    DeviceInfo info{};
    EXPECT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_PCI);
    EXPECT_EQ(uint32_t{info.boardId}, 0x1234u);
    EXPECT_EQ(info.present, 1);
    EXPECT_EQ(info.busy, 0);
    ASSERT_EQ(rig.init(1), 0);
    const int opens = rig.platform.opens("_nuBoxPCI_Multiboard0");
    EXPECT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.present, 1);
    EXPECT_EQ(info.busy, 1);
    EXPECT_EQ(rig.platform.opens("_nuBoxPCI_Multiboard0"), opens);

    EXPECT_EQ(rig.lib->getDeviceInfo(7, &info), 0);
    EXPECT_EQ(info.kind, 0);
    EXPECT_EQ(info.present, 0);
    EXPECT_EQ(rig.lib->getDeviceInfo(16, &info), 2);
}

TEST(AssignDevice, ReplacesTheWholeSubkeyAndRefusesOtherKinds) {
    Rig rig;
    // A board that is not there (status 9) can be replaced by another.
    rig.platform.setDevice(4, RegValues{{"PCI-Board", RegValue::ofDword(0x99)},
                                        {"RemoteMachine", RegValue::ofString("bench")}});
    const auto before = rig.platform.memoryRegistry().file.keys;
    EXPECT_EQ(rig.lib->assignDevice(4, NUBOX_KIND_ISA, 0), 2);
    EXPECT_EQ(rig.platform.memoryRegistry().file.keys, before);

    BoardSetup setup;
    setup.index = 1;
    setup.id = 0x77;
    rig.platform.addBoard(setup);
    EXPECT_EQ(rig.lib->assignDevice(4, NUBOX_KIND_PCI, 0x77), 0);
    RegValues values;
    ASSERT_TRUE(rig.platform.registry().readDevice(4, &values));
    EXPECT_EQ(values.size(), 1u);
    EXPECT_EQ(nuboxlink::dwordValue(values, "PCI-Board"), 0x77u);

    EXPECT_EQ(rig.lib->assignDevice(2, NUBOX_KIND_USB, 0x1001), 0);
    ASSERT_TRUE(rig.platform.registry().readDevice(2, &values));
    EXPECT_EQ(nuboxlink::dwordValue(values, "USB-Id"), 0x1001u);
}

TEST(AssignDevice, ABoardThatCannotBeExaminedIsNotReassigned) {
    Rig rig;
    // An ISA board whose driver is not there: its information cannot be had.
    rig.platform.setDevice(4, RegValues{{"PortAddress", RegValue::ofDword(0x300)}});
    EXPECT_EQ(rig.lib->assignDevice(4, NUBOX_KIND_PCI, 0x77), 2);
    RegValues values;
    ASSERT_TRUE(rig.platform.registry().readDevice(4, &values));
    EXPECT_TRUE(nuboxlink::numberValue(values, "PortAddress"));
}

TEST(AssignDevice, ABoardInUseIsNotReassigned) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_EQ(rig.lib->assignDevice(0, NUBOX_KIND_PCI, 0x43), 10);
    RegValues values;
    ASSERT_TRUE(rig.platform.registry().readDevice(0, &values));
    EXPECT_EQ(nuboxlink::dwordValue(values, "PCI-Board"), 0x42u);
}

TEST(AssignDevice, AFailedRegistryWriteAnswersTwo) {
    Rig rig;
    rig.platform.memoryRegistry().failWrites = true;
    EXPECT_EQ(rig.lib->assignDevice(0, NUBOX_KIND_PCI, 0x42), 2);
}

TEST(InitDll, TheRegistryIsReadOncePerCall) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.addPci(7, 1, 0x43);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    rig.channel(7, 0, NUBOX_CHANNEL_DPEM, 100);
    int before = rig.platform.memoryRegistry().reads;
    EXPECT_EQ(rig.init(0xFFFF), 3) << "fourteen device numbers without a board";
    EXPECT_EQ(rig.status[0], 0);
    EXPECT_EQ(rig.status[7], 0);
    EXPECT_EQ(rig.platform.memoryRegistry().reads - before, 1);

    before = rig.platform.memoryRegistry().reads;
    uint8_t out[5];
    EXPECT_EQ(rig.lib->attachedDevices(0x40, out), 0);
    EXPECT_EQ(rig.platform.memoryRegistry().reads - before, 1);
}

TEST(InitDll, ADeviceKeyWithoutASectionForItsParentConfiguresTheDevice) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    // As a file that names only "...\Devices\0" reads.
    auto& keys = rig.platform.memoryRegistry().file.keys;
    std::erase_if(keys, [](const auto& k) { return k.first == nuboxlink::kDevicesKey; });
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(rig.init(1), 0);
    EXPECT_EQ(rig.status[0], 0);
}

TEST(AttachedDevices, RefusesBadFlags) {
    Rig rig;
    uint8_t out[5];
    EXPECT_EQ(rig.lib->attachedDevices(0x80, out), 2);  // nothing started yet
    EXPECT_EQ(rig.lib->attachedDevices(0x41, out), 2);  // kind 1 is no filter value
    EXPECT_EQ(rig.lib->attachedDevices(0x44, out), 2);
    EXPECT_EQ(rig.lib->attachedDevices(0x47, out), 2);
    EXPECT_EQ(rig.lib->attachedDevices(0x02, out), 2);  // none of bits 5-7
    EXPECT_EQ(rig.lib->attachedDevices(0x81, out), 2);
}

TEST(AttachedDevices, ListsConfiguredBoardsThenUnassignedOnesOnce) {
    Rig rig;
    rig.addPci(0, 0, 0x42);
    BoardSetup spare;
    spare.index = 3;
    spare.id = 0x2001;  // an id above 8191 is the other PCI kind
    rig.platform.addBoard(spare);
    uint8_t out[5];
    ASSERT_EQ(rig.lib->attachedDevices(0x60, out), 0);
    EXPECT_EQ(out[0], NUBOX_KIND_PCI);
    EXPECT_EQ(out[1] | out[2] << 8, 0x42);
    ASSERT_EQ(rig.lib->attachedDevices(0x80, out), 0);
    EXPECT_EQ(out[0], NUBOX_KIND_PCI_HIGH);
    EXPECT_EQ(out[1] | out[2] << 8, 0x2001);
    EXPECT_EQ(rig.lib->attachedDevices(0x80, out), 9);
    EXPECT_EQ(rig.lib->attachedDevices(0x80, out), 9);

    // Only boards that are not assigned, and only the kind asked for.
    ASSERT_EQ(rig.lib->attachedDevices(0x20 | NUBOX_KIND_PCI_HIGH, out), 0);
    EXPECT_EQ(out[0], NUBOX_KIND_PCI_HIGH);
    EXPECT_EQ(rig.lib->attachedDevices(0x80, out), 9);
    EXPECT_EQ(rig.lib->attachedDevices(0x20 | NUBOX_KIND_USB, out), 9);
}

TEST(ResetDevice, RestartsWaitsAndEmptiesTheSlot) {
    Rig rig;
    SimBoard& b = rig.addPci(0, 0, 0x42);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 100);
    ASSERT_EQ(rig.init(1), 0);
    const unsigned restarts = b.restarts();
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_GE(rig.nowMs() - start, 4100);
    EXPECT_EQ(b.restarts(), restarts + 1);
    EXPECT_EQ(rig.lib->board(0), nullptr);
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 3);
    // The board can be configured again: nothing of the old object is left claimed.
    EXPECT_EQ(rig.init(1), 0);
}

TEST(ResetDevice, ResetsABoardThatIsNotOpenAndRefusesUnknownDevices) {
    Rig rig;
    SimBoard& b = rig.addPci(0, 0, 0x42);
    const unsigned restarts = b.restarts();
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_EQ(b.restarts(), restarts + 1);
    EXPECT_EQ(rig.lib->resetDevice(1, 0), 3);
    EXPECT_EQ(rig.lib->resetDevice(16, 0), 3);
}

}  // namespace
}  // namespace nuboxlink_test
