// The simulated board's firmware and its command-line board descriptions.
#include "sim/nubox/sim_board.h"
#include "sim/nubox/sim_usb.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nubox_sim {
namespace {

TEST(BoardSetup, ParsesEveryKindAndRefusesNonsense) {
    auto isa = parseBoardSetup("isa:3:dpr=32768");
    ASSERT_TRUE(isa);
    EXPECT_EQ(isa->kind, BoardKind::Isa);
    EXPECT_EQ(isa->index, 3u);
    EXPECT_EQ(isa->dprSize, 32768u);
    EXPECT_EQ(deviceName(*isa), "_nuBOX_Multiboard3");
    auto pci = parseBoardSetup("pci:1:0x42,hang");
    ASSERT_TRUE(pci);
    EXPECT_EQ(pci->id, 0x42);
    EXPECT_TRUE(pci->hang);
    EXPECT_EQ(pci->dprSize, 16384u);
    EXPECT_EQ(deviceName(*pci), "_nuBoxPCI_Multiboard1");
    auto card = parseBoardSetup("card:0:5");
    ASSERT_TRUE(card);
    EXPECT_EQ(deviceName(*card), "_nuBOX_Card0");
    for (const char* bad : {"", "pci", "pci:1", "pci:16:1", "pci:1:70000", "isa:0:dpr=20000",
                            "isa:0:size=16384", "card:0:16", "pci:1:2,slow", "usbx:0:1"}) {
        EXPECT_FALSE(parseBoardSetup(bad)) << bad;
    }
}

struct Firmware : ::testing::Test {
    romtide::VirtualClock clock;
    BoardSetup setup;
    std::unique_ptr<SimBoard> board;
    void make(bool hang = false) {
        setup.hang = hang;
        board = std::make_unique<SimBoard>(setup, clock);
    }
    uint8_t at(uint32_t off) { return board->dpr()[off]; }
    void layout(uint16_t a, uint16_t b) {
        uint8_t* d = board->dpr();
        const uint16_t r = 16384;
        const uint16_t v[6] = {a, b, static_cast<uint16_t>(r - 8), static_cast<uint16_t>(r - 30),
                               8, 8};
        for (int i = 0; i < 6; ++i) {
            d[1 + 2 * i] = static_cast<uint8_t>(v[i] >> 8);
            d[2 + 2 * i] = static_cast<uint8_t>(v[i]);
        }
        d[0] = 1;
    }
};

TEST_F(Firmware, SignsInAgainOnlyAfterARestartHasBooted) {
    make();
    EXPECT_EQ(std::memcmp(board->dpr() + 14, "Hurra, hurra, das DPR ist da!", 29), 0);
    board->dpr()[14] = 0xFF;
    std::vector<uint8_t> out;
    bool maps;
    ASSERT_TRUE(board->control(0x222000, nullptr, 0, &out, &maps));
    board->step();
    EXPECT_EQ(at(14), 0xFF);
    clock.sleepUs(SimBoard::kBootTimeUs);
    board->step();
    EXPECT_EQ(at(14), 'H');
    EXPECT_EQ(board->restarts(), 1u);
}

TEST_F(Firmware, RefusesAWrongLayoutAndRunsARightOne) {
    make();
    layout(14, 16384 - 15);
    board->step();
    EXPECT_EQ(at(0), 0xFF);
    make();
    layout(14, 16384 - 16);
    board->step();
    EXPECT_EQ(at(0), 0);
}

TEST_F(Firmware, HungFirmwareNeverClearsTheCommandByte) {
    make(/*hang=*/true);
    layout(14, 16384 - 16);
    for (int i = 0; i < 10; ++i) {
        board->step();
    }
    EXPECT_EQ(at(0), 1);
}

TEST_F(Firmware, AnswersTheDriverRequestsOfItsKind) {
    make();
    std::vector<uint8_t> out;
    bool maps = false;
    ASSERT_TRUE(board->control(0x222088, nullptr, 0, &out, &maps));
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 0}));
    ASSERT_TRUE(board->control(0x222010, nullptr, 0, &out, &maps));
    EXPECT_TRUE(maps);
    EXPECT_EQ(out.size(), 4u);  // PCI: the address only
    EXPECT_FALSE(board->control(0x123456, nullptr, 0, &out, &maps));
    setup.kind = BoardKind::Isa;
    make();
    EXPECT_FALSE(board->control(0x222088, nullptr, 0, &out, &maps));
    ASSERT_TRUE(board->control(0x222010, nullptr, 0, &out, &maps));
    EXPECT_EQ(out.size(), 8u);
}

}  // namespace
}  // namespace nubox_sim

namespace nubox_sim {
namespace {

struct UsbBoxTest : ::testing::Test {
    UsbBoxTest() : box(setup()) {}
    static BoardSetup setup() {
        BoardSetup s;
        s.kind = BoardKind::Usb;
        s.id = 0x1001;
        return s;
    }
    bool start() {
        std::vector<uint8_t> image(40, 0), out;
        image[20 + 3] = 1;  // the end record
        bool maps;
        const uint8_t startBox[5] = {209, 0, 0, 0, 0};
        return box.control(0x222080, image.data(), image.size(), &out, &maps) &&
               box.control(0x222040, startBox, 5, &out, &maps);
    }
    std::vector<uint8_t> ask(std::vector<uint8_t> message, size_t reply) {
        std::vector<uint8_t> out;
        EXPECT_TRUE(box.write(message.data(), message.size()));
        EXPECT_TRUE(box.read(reply, &out));
        return out;
    }
    SimUsbBox box;
};

TEST_F(UsbBoxTest, StartsOnlyWithARecordArray) {
    std::vector<uint8_t> out;
    bool maps;
    const uint8_t startBox[5] = {209, 0, 0, 0, 0};
    EXPECT_FALSE(box.control(0x222040, startBox, 5, &out, &maps));  // no firmware yet
    std::vector<uint8_t> notRecords(30, 1);
    EXPECT_FALSE(box.control(0x222080, notRecords.data(), notRecords.size(), &out, &maps));
    const uint8_t init[3] = {0xB0, 0x17, 0x70};
    EXPECT_FALSE(box.write(init, 3));  // a stopped box answers nothing
    ASSERT_TRUE(start());
    EXPECT_EQ(ask({0xB0, 0x17, 0x70}, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(box.initParameter(), 6000);
}

TEST_F(UsbBoxTest, AnswersCommandsWithReports) {
    ASSERT_TRUE(start());
    EXPECT_EQ(ask({0xB2}, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(ask({0xB1, 2, 0x31, 0x05}, 1), std::vector<uint8_t>{1});
    auto report = ask({0xB2}, 257);
    EXPECT_EQ(report[0], 1);
    EXPECT_EQ(report[1], 0x31 + 0xC0);
    EXPECT_EQ(report[2], 0x05);
    const uint8_t badLength[3] = {0xB1, 5, 0x31};
    EXPECT_FALSE(box.write(badLength, 3));
}

TEST_F(UsbBoxTest, ExchangeWritesAndReadsItsMemory) {
    ASSERT_TRUE(start());
    box.setMemory(0x20, {5, 6});
    // One write entry (offset 0x10, 3 bytes) and one read entry (offset 0x20, 2 bytes).
    auto in = ask({0xBC, 0, 16, 1, 1, 0x80, 0x1E, 3, 1, 0x80, 0x2E, 2, 1, 7, 8, 9}, 2);
    EXPECT_EQ(in, (std::vector<uint8_t>{5, 6}));
    EXPECT_EQ(box.memory(0x10, 3), (std::vector<uint8_t>{7, 8, 9}));
    const uint8_t wrongLength[5] = {0xBC, 0, 9, 0, 0};
    EXPECT_FALSE(box.write(wrongLength, 5));
}

}  // namespace
}  // namespace nubox_sim
