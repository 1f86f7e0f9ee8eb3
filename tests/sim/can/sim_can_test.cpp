// The simulated bus and field device: wire time, bit rates, the trace format, the
// S-record parser, and the device's replies byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/srec.h"
#include "support/can_sim.h"
#include "support/eventually.h"

namespace romtide::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const vci::CanFrame& f) {
    return Bytes(f.data, f.data + f.length);
}

vci::CanFrame frameOf(uint32_t id, Bytes b) {
    vci::CanFrame f;
    f.id = id;
    f.length = static_cast<uint8_t>(b.size());
    std::copy(b.begin(), b.end(), f.data);
    return f;
}

TEST(SimBusWire, FrameLengthCountsStuffBitsAndTheFixedTail) {
    // 19 zero bits of header and a zero CRC: 34 equal bits take six stuff bits.
    EXPECT_EQ(frameBits(frameOf(0x000, {})), 34 + 6 + 13);
    // Alternating ones and zeros need no stuffing: 83 + 15 CRC bits + 13, plus what the
    // CRC itself needs.
    int eight = frameBits(frameOf(0x555, {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}));
    EXPECT_GE(eight, 111);
    EXPECT_LE(eight, 115);
    // Eight 0xFF bytes stuff heavily.
    EXPECT_GT(frameBits(frameOf(0x7FF, Bytes(8, 0xFF))), 111 + 10);
}

TEST(SimBusWire, CandumpLinesCarryTimeInterfaceIdentifierAndData) {
    EXPECT_EQ(candumpLine(1000250, "vcan0", frameOf(0x605, {0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0})),
              "(1.000250) vcan0 605#4000300100000000");
    EXPECT_EQ(candumpLine(12, "b", frameOf(0x000, {0x81, 0x05})), "(0.000012) b 000#8105");
    EXPECT_EQ(candumpLine(0, "b", frameOf(0x1, {})), "(0.000000) b 001#");
}

TEST(SimBusWire, FramesQueueOnTheWireAndOnlyNodesAtTheSameRateHearThem) {
    test::CanSim sim;
    test::Peer a(sim.bus, 125000), b(sim.bus, 125000), other(sim.bus, 250000);
    std::vector<int64_t> ends;
    struct Stamp : vci::VirtualBusNode {
        std::vector<int64_t>* ends;
        void onFrame(const vci::CanFrame&, int64_t t) override { ends->push_back(t); }
    } stamp;
    stamp.ends = &ends;
    int h = sim.bus.attach(stamp, 125000);
    auto f = frameOf(0x123, {1, 2, 3, 4, 5, 6, 7, 8});
    int64_t duration = (frameBits(f) * 1000000 + 124999) / 125000;
    a.send(0x123, {1, 2, 3, 4, 5, 6, 7, 8});
    a.send(0x123, {1, 2, 3, 4, 5, 6, 7, 8});
    sim.ts.clock.sleepMs(10);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0], duration);
    EXPECT_EQ(ends[1], 2 * duration);
    EXPECT_EQ(b.heard.size(), 2u);
    EXPECT_TRUE(a.heard.empty());
    EXPECT_TRUE(other.heard.empty());
    EXPECT_EQ(sim.bus.stats().busyUs, 2 * duration);
    EXPECT_EQ(sim.bus.stats().frames, 2u);
    sim.bus.detach(h);
}

TEST(SimBusWire, AFloodingNodeFillsOnlyItsOwnQueueAndTheWireTakesNodesInTurn) {
    test::CanSim sim;
    test::Peer flood(sim.bus, 1000000), polite(sim.bus, 1000000);
    std::vector<uint32_t> order;
    struct Listener : vci::VirtualBusNode {
        std::vector<uint32_t>* order;
        void onFrame(const vci::CanFrame& f, int64_t) override { order->push_back(f.id); }
    } listener;
    listener.order = &order;
    int h = sim.bus.attach(listener, 1000000);
    // Far more than the wire carries: what does not fit the transmit queue is refused.
    size_t accepted = 0;
    const size_t sent = SimBus::kTransmitQueueFrames * 20;
    for (size_t i = 0; i < sent; ++i) {
        accepted += sim.bus.send(flood.handle, frameOf(0x001, {1, 2, 3, 4, 5, 6, 7, 8})) ? 1 : 0;
    }
    // On the wire one frame at a time, the rest waiting: queue plus the one sent.
    EXPECT_EQ(accepted, SimBus::kTransmitQueueFrames + 1);
    EXPECT_EQ(sim.bus.stats().dropped, sent - accepted);
    // A frame of another node goes next but one, not behind the whole flood.
    polite.send(0x605, {0x40, 0, 0x10, 0, 0, 0, 0, 0});
    sim.ts.clock.sleepMs(1);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[1], 0x605u);
    sim.ts.clock.sleepMs(1000);
    EXPECT_EQ(order.size(), accepted + 1) << "every accepted frame went on the wire";
    sim.bus.detach(h);
}

TEST(SrecParser, DataRecordsProgramTheFlashAndEveryChecksumIsChecked) {
    SrecStreamParser p;
    std::string text =
        "S00600004844521B\n"
        "S2080100000102030AE6\n"
        "S5030001FB\n"
        "S804010000FA\n";
    for (char c : text) {
        ASSERT_TRUE(p.feed(c)) << p.error();
    }
    EXPECT_EQ(p.header(), "HDR");
    EXPECT_EQ(p.data().size(), 4u);
    EXPECT_EQ(p.data().at(0x010003), 0x0A);
    EXPECT_EQ(p.startAddress(), 0x010000u);

    SrecStreamParser bad;
    for (char c : std::string("S2080100000102030AE5\n")) {
        bad.feed(c);
    }
    EXPECT_TRUE(bad.broken());
    EXPECT_FALSE(bad.feed('S'));
}

TEST(SrecParser, PaddingZerosAndCarriageReturnsAreSkippedAndALastLineNeedsNoLineFeed) {
    SrecStreamParser p;
    std::string text = std::string("S2080100") + '\0' + '\0' + "000102030AE6\r\nS804010000FA";
    for (char c : text) {
        ASSERT_TRUE(p.feed(c));
    }
    EXPECT_FALSE(p.startAddress());
    EXPECT_TRUE(p.finish());
    EXPECT_EQ(p.data().size(), 4u);
    EXPECT_EQ(p.startAddress(), 0x010000u);
}

TEST(SrecParser, MalformedRecordsBreakTheStream) {
    for (std::string line : {"X2080100000102030AE4", "S4030001FB", "S20801000001020", "S2G8",
                             "S2090100000102030AE4", "S5030002FA"}) {
        SrecStreamParser p;
        for (char c : line + "\n") {
            p.feed(c);
        }
        EXPECT_TRUE(p.broken()) << line;
    }
    SrecStreamParser endless;
    bool ok = true;
    for (int i = 0; i < 2000 && ok; ++i) {
        ok = endless.feed('0');
    }
    EXPECT_FALSE(ok);  // no growth without bound on a line that never ends
}

TEST(SrecWriter, AWrittenImageReadsBackTheSame) {
    FlashImage image;
    for (uint32_t i = 0; i < 100; ++i) {
        image[0x020000 + i] = static_cast<uint8_t>(i * 3);
    }
    image[0x030000] = 0xAB;
    std::string text = writeSrec(image, "T", 0x020000);
    SrecStreamParser p;
    for (char c : text) {
        ASSERT_TRUE(p.feed(c)) << p.error();
    }
    EXPECT_EQ(p.data(), image);
    EXPECT_EQ(p.startAddress(), 0x020000u);
}

class SimDeviceTest : public ::testing::Test {
  protected:
    Bytes ask(Bytes request, int64_t ms = 5, uint32_t id = 0) {
        peer.heard.clear();
        peer.send(id == 0 ? 0x605 : id, std::move(request));
        sim.ts.clock.sleepMs(ms);
        if (peer.heard.empty()) {
            return {};
        }
        EXPECT_EQ(peer.heard.back().id, (id == 0 ? 0x605u : id) - 0x80u);
        return bytesOf(peer.heard.back());
    }
    void reset() {
        peer.send(0x000, {0x81, 0x05});
        sim.ts.clock.sleepMs(50);
    }
    void sendText(const std::string& text, int64_t msPerUnit = 3) {
        for (size_t i = 0; i < text.size(); i += 4) {
            Bytes unit{0x23, 0x00, 0x30, 0x00, 0, 0, 0, 0};
            for (size_t k = 0; k < 4 && i + k < text.size(); ++k) {
                unit[4 + k] = static_cast<uint8_t>(text[i + k]);
            }
            ask(unit, msPerUnit);
        }
    }

    test::CanSim sim;
    test::Peer peer{sim.bus, 125000};
};

TEST_F(SimDeviceTest, TheApplicationAnswersTheIdentificationObjects) {
    SimDeviceConfig c;
    c.name = "ENC1";
    c.softwareVersion = "SOFTWARE";
    c.revision = 0x00010002;
    sim.addDevice(c);
    EXPECT_EQ(ask({0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}),
              (Bytes{0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0x02, 0x00}));
    EXPECT_EQ(ask({0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0}),
              (Bytes{0x43, 0x08, 0x10, 0x00, 'E', 'N', 'C', '1'}));
    EXPECT_EQ(ask({0x40, 0x09, 0x10, 0x00, 0, 0, 0, 0}),
              (Bytes{0x43, 0x09, 0x10, 0x00, 'H', '1', 0, 0}));
    EXPECT_EQ(ask({0x40, 0x0A, 0x10, 0x00, 0, 0, 0, 0}),
              (Bytes{0x41, 0x0A, 0x10, 0x00, 8, 0, 0, 0}));  // segmented: too long
    EXPECT_EQ(ask({0x40, 0x18, 0x10, 0x03, 0, 0, 0, 0}),
              (Bytes{0x43, 0x18, 0x10, 0x03, 0x02, 0x00, 0x01, 0x00}));
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}),
              (Bytes{0x80, 0x00, 0x30, 0x01, 0x00, 0x00, 0x02, 0x06}));
    EXPECT_EQ(ask({0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}, 5, 0x606), Bytes{});  // other node
}

TEST_F(SimDeviceTest, TheBootloaderIdentifiesErasesAndAcknowledgesUnits) {
    auto& dev = sim.addDevice({});
    reset();
    EXPECT_EQ(dev.mode(), DeviceMode::Bootloader);
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}),
              (Bytes{0x43, 0x00, 0x30, 0x01, 'C', 0x03, 'D', 0x00}));
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0}, 5), Bytes{});  // still erasing
    sim.ts.clock.sleepMs(400);
    ASSERT_FALSE(peer.heard.empty());
    EXPECT_EQ(bytesOf(peer.heard.back()), (Bytes{0x43, 0x00, 0x30, 0x03, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(ask({0x23, 0x00, 0x30, 0x00, 'S', '2', '0', '8'}),
              (Bytes{0x60, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(SimDeviceTest, AFirstGenerationBootloaderReportsNoProduct) {
    SimDeviceConfig c;
    c.bootVersion = 0;
    c.bootKind = 'B';
    sim.addDevice(c);
    reset();
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}),
              (Bytes{0x43, 0x00, 0x30, 0x01, 'B', 0x00, 0x00, 0x00}));
}

TEST_F(SimDeviceTest, UpdaterThenNewBootloaderRenewTheDevice) {
    SimDeviceConfig c;
    c.bootVersion = 1;
    c.product = 'F';
    c.eraseUs = 1000;
    auto& dev = sim.addDevice(c);
    reset();
    ask({0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0}, 10);
    sendText(simUpdaterImage('F'));
    ask({0x40, 0x00, 0x30, 0x02, 0, 0, 0, 0});
    EXPECT_EQ(dev.mode(), DeviceMode::Updater);
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}),
              (Bytes{0x43, 0x00, 0x30, 0x01, 'C', 0x01, 'U', 'F'}));
    ask({0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0}, 10);
    sendText(simBootloaderImage('F', 4));
    ask({0x40, 0x00, 0x30, 0x02, 0, 0, 0, 0});
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}),
              (Bytes{0x43, 0x00, 0x30, 0x01, 'C', 0x04, 'F', 0x00}));
    EXPECT_TRUE(dev.applicationFlash().empty());  // the renewal erased the product software
}

TEST_F(SimDeviceTest, ABadRecordStopsTheAcknowledgementsUntilTheNextErase) {
    SimDeviceConfig c;
    c.eraseUs = 1000;
    auto& dev = sim.addDevice(c);
    reset();
    sendText("S2080100000102030AE5\n");  // wrong checksum, found at the line feed
    EXPECT_EQ(ask({0x23, 0x00, 0x30, 0x00, 'S', '2', '0', '8'}), Bytes{});
    EXPECT_FALSE(dev.parserError().empty());
    ask({0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0}, 10);
    EXPECT_EQ(ask({0x23, 0x00, 0x30, 0x00, 'S', '2', '0', '8'}),
              (Bytes{0x60, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(SimDeviceTest, InjectedFaultsShowOnTheWire) {
    SimDeviceConfig c;
    c.noAckAfterUnits = 2;
    c.eraseFails = true;
    c.eraseUs = 1000;
    sim.addDevice(c);
    SimDeviceConfig g;
    g.node = 6;
    g.goneAfterUnits = 1;
    g.startsInBootloader = true;
    sim.addDevice(g);
    reset();
    Bytes unit{0x23, 0x00, 0x30, 0x00, 'S', '0', '0', '3'};
    EXPECT_FALSE(ask(unit).empty());
    EXPECT_FALSE(ask(unit).empty());
    EXPECT_TRUE(ask(unit).empty());
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0})[4], 'C');  // still identifies
    EXPECT_EQ(ask({0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0}, 10),
              (Bytes{0x43, 0x00, 0x30, 0x03, 0x03, 0x01, 0x00, 0x00}));

    EXPECT_FALSE(ask(unit, 5, 0x606).empty());
    EXPECT_TRUE(ask(unit, 5, 0x606).empty());
    EXPECT_TRUE(ask({0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0}, 5, 0x606).empty());  // gone
}

// On real time the scheduler's thread runs events late now and then (a busy machine). That
// delay is not the device's: its answer still comes its answer time after the request's
// end on the wire, and a frame waiting for the wire starts when the wire is free.
TEST(SimBusRealTime, TheDevicesAnswerTimeCountsFromTheRequestsEndHoweverLateEventsRun) {
    RealTimeScheduler scheduler;
    SimBus bus(scheduler, "realtime");
    SimDeviceConfig c;
    c.node = 5;
    c.kbit = 1000;
    c.answerDelayUs = 150;
    c.startsInBootloader = true;
    SimCanDevice device(bus, c);
    struct Listener : vci::VirtualBusNode {
        void onFrame(const vci::CanFrame& f, int64_t endUs) override {
            std::lock_guard lock(mutex);
            heard.emplace_back(f, endUs);
        }
        std::mutex mutex;
        std::vector<std::pair<vci::CanFrame, int64_t>> heard;
    } listener;
    struct Host : vci::VirtualBusNode {
        void onFrame(const vci::CanFrame&, int64_t) override {}
    } host;
    const int listenerHandle = bus.attach(listener, 1000000);
    const int hostHandle = bus.attach(host, 1000000);

    // The scheduler's thread is held up while the request's end falls due.
    scheduler.at(scheduler.nowUs(),
                 [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
    const vci::CanFrame request = frameOf(0x605, {0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0});
    ASSERT_TRUE(bus.send(hostHandle, request));
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard lock(listener.mutex);
        return listener.heard.size() >= 2;
    }));
    scheduler.stop();
    bus.detach(listenerHandle);
    bus.detach(hostHandle);

    const auto& [asked, askedEnd] = listener.heard[0];
    const auto& [answer, answerEnd] = listener.heard[1];
    EXPECT_EQ(asked.id, 0x605u);
    EXPECT_EQ(answer.id, 0x585u);
    const int64_t answerStart =
        answerEnd - (int64_t{frameBits(answer)} * 1000000 + 999999) / 1000000;
    EXPECT_EQ(answerStart - askedEnd, 150);
}

}  // namespace
}  // namespace romtide::sim
