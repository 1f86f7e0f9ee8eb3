// The SocketCAN backend on the kernel's virtual CAN interfaces (run inside the CAN kernel
// of scripts/can-kernel, as root, on fresh vcan0 and vcan1): frames both ways, own frames
// handed back only as echoes, interfaces that cannot be opened, one that goes down while open, and
// a transmit queue that is full.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/canbus/canbus_support.h"
#include "support/temp_dir.h"
#include "vci/linux_backends.h"

namespace romtide::vci {
namespace {

using test::frameOf;
using test::FrameRecorder;

// Runs a shell command (ip, tc) that the test needs to succeed.
void sh(const std::string& command) {
    auto r = test::runProgram(command);
    ASSERT_EQ(r.status, 0) << command << ": " << r.out;
}

class SocketCanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto reason = socketCanUnavailableReason()) {
            GTEST_SKIP() << "needs the CAN kernel (scripts/can-kernel): " << *reason;
        }
        auto up = socketCanInterfacesUp();
        for (const char* name : {"vcan0", "vcan1"}) {
            if (std::find(up.begin(), up.end(), name) == up.end()) {
                GTEST_SKIP() << name << " is not up (scripts/can-kernel makes vcan0 and vcan1)";
            }
        }
    }
    bool opened(Backend& backend, FrameRecorder& sink) { return backend.open(125000, sink); }
};

// Own frames come back as echoes, never as received frames, in their place among them.
TEST_F(SocketCanTest, FramesGoBothWaysAndOwnFramesComeBackOnlyAsEchoes) {
    auto a = makeSocketCanBackend("vcan0");
    auto b = makeSocketCanBackend("vcan0");
    ASSERT_TRUE(a->echoesSent());
    FrameRecorder sinkA, sinkB;
    ASSERT_TRUE(opened(*a, sinkA));
    ASSERT_TRUE(opened(*b, sinkB));
    ASSERT_TRUE(a->send(frameOf(0x605, {0x40, 0x00, 0x10, 0x00})));
    ASSERT_TRUE(sinkB.waitFor([&] { return sinkB.received.size() == 1; }));
    ASSERT_TRUE(b->send(frameOf(0x585, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0x02, 0x00})));
    ASSERT_TRUE(sinkA.waitFor([&] { return !sinkA.received.empty(); }));
    ASSERT_TRUE(sinkB.waitFor([&] { return sinkB.echoed.size() == 1; }));
    std::lock_guard lockA(sinkA.mutex);
    std::lock_guard lockB(sinkB.mutex);
    ASSERT_EQ(sinkA.received.size(), 1u);
    EXPECT_EQ(sinkA.received[0].id, 0x585u);
    EXPECT_EQ(sinkA.received[0].length, 8);
    EXPECT_EQ(sinkA.received[0].data[4], 0x96);
    ASSERT_EQ(sinkA.echoed.size(), 1u);  // it came before B's answer: it is in
    EXPECT_EQ(sinkA.echoed[0].id, 0x605u);
    ASSERT_EQ(sinkB.received.size(), 1u);
    EXPECT_EQ(sinkB.received[0].id, 0x605u);
    EXPECT_EQ(sinkB.received[0].length, 4);
    EXPECT_EQ(sinkB.echoed[0].id, 0x585u);
}

TEST_F(SocketCanTest, InterfacesThatCannotBeOpenedAreRefusedWithWhatToDo) {
    sh("ip link add dev romtidedown0 type vcan");  // made down, as every new interface
    struct Case {
        const char* ifname;
        std::vector<std::string> said;
    } cases[] = {
        {"romtidecan9", {"CAN interface romtidecan9 does not exist."}},
        {"romtidedown0",
         {"CAN interface romtidedown0 is down.", "ip link set romtidedown0 down",
          "ip link set romtidedown0 type can bitrate 125000", "ip link set romtidedown0 up"}},
    };
    for (const auto& c : cases) {
        auto backend = makeSocketCanBackend(c.ifname);
        ASSERT_TRUE(backend);
        FrameRecorder sink;
        EXPECT_FALSE(opened(*backend, sink)) << c.ifname;
        ASSERT_EQ(sink.messages.size(), 1u) << c.ifname;
        for (const auto& text : c.said) {
            EXPECT_NE(sink.messages[0].find(text), std::string::npos) << text << "\n"
                                                                      << sink.messages[0];
        }
        EXPECT_FALSE(backend->send(frameOf(0x605, {1})));
    }
    sh("ip link del dev romtidedown0");
}

// Taken down while open: sends fail at once and the person is told once; back up, the
// same open backend carries frames again.
TEST_F(SocketCanTest, AnInterfaceThatGoesDownWhileOpenFailsSendsSaysSoAndWorksWhenBackUp) {
    auto a = makeSocketCanBackend("vcan1");
    auto b = makeSocketCanBackend("vcan1");
    FrameRecorder sinkA, sinkB;
    ASSERT_TRUE(opened(*a, sinkA));
    ASSERT_TRUE(opened(*b, sinkB));
    sh("ip link set vcan1 down");
    ASSERT_TRUE(sinkA.waitFor([&] { return !sinkA.messages.empty(); }));
    {
        std::lock_guard lock(sinkA.mutex);
        EXPECT_EQ(sinkA.messages[0], "The CAN interface vcan1 went down: Network is down.");
    }
    EXPECT_FALSE(a->send(frameOf(0x605, {1})));
    sh("ip link set vcan1 up");
    ASSERT_TRUE(a->send(frameOf(0x605, {2})));
    ASSERT_TRUE(sinkB.waitFor([&] { return !sinkB.received.empty(); }));
    EXPECT_EQ(sinkB.frames()[0].data[0], 2);
    std::lock_guard lock(sinkA.mutex);
    EXPECT_EQ(sinkA.messages.size(), 1u);
}

// A transmit queue of one frame that empties at a bit rate (tbf), as a CAN controller's
// does while the bus carries what it holds: a send waits for room, up to its 100 ms.
TEST_F(SocketCanTest, AFullTransmitQueueHoldsASendUntilThereIsRoomForAtMostItsWait) {
    struct Case {
        const char* rate;  // a frame of the queue takes 128 bits
        bool allSent;      // 10 ms per frame: room in time; 128 ms: not
    } cases[] = {{"12800bit", true}, {"1000bit", false}};
    for (const auto& c : cases) {
        sh("ip link set vcan1 txqueuelen 1");
        sh(std::string("tc qdisc replace dev vcan1 root tbf rate ") + c.rate +
           " burst 32 limit 16");
        auto a = makeSocketCanBackend("vcan1");
        auto b = makeSocketCanBackend("vcan1");
        FrameRecorder sinkA, sinkB;
        ASSERT_TRUE(opened(*a, sinkA));
        ASSERT_TRUE(opened(*b, sinkB));
        int sent = 0;
        for (uint8_t i = 0; i < 6 && a->send(frameOf(0x605, {i})); ++i) {
            ++sent;
        }
        if (c.allSent) {
            EXPECT_EQ(sent, 6) << c.rate;
            ASSERT_TRUE(sinkB.waitFor([&] { return sinkB.received.size() == 6; })) << c.rate;
            auto frames = sinkB.frames();
            for (uint8_t i = 0; i < 6; ++i) {
                EXPECT_EQ(frames[i].data[0], i) << c.rate;
            }
        } else {
            // What the bucket and the queue hold goes; then a send finds no room in its
            // wait and fails instead of waiting on.
            EXPECT_GE(sent, 1) << c.rate;
            EXPECT_LT(sent, 6) << c.rate;
        }
        sh("tc qdisc del dev vcan1 root");
        sh("ip link set vcan1 txqueuelen 1000");
    }
}

}  // namespace
}  // namespace romtide::vci
