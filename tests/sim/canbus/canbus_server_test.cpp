// The simulated bus server in this process, against our socketcand client backend and a
// raw client that writes the protocol's bytes as they come: frames reach every other
// client and device of an interface and nobody else, the handshake answers come one per
// read, split and joined commands are read alike, and bad clients are answered or
// dropped without disturbing the others.
#include "sim/canbus/canbus_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <fstream>
#include <memory>

#include "canbus_support.h"
#include "support/temp_dir.h"
#include "vci/linux_backends.h"

namespace romtide::sim {
namespace {

using test::frameOf;
using test::FrameRecorder;
using test::RawClient;
using namespace std::chrono_literals;

// The SDO upload request for the device type, and the device's answer's identifier.
const std::vector<uint8_t> kDeviceTypeRequest = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};

class CanBusServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_unique<CanBusServer>(
            std::vector<BusInterface>{{"vcan0", 1000}, {"slow", 125}});
        SimDeviceConfig device;
        device.node = 5;
        device.kbit = 1000;
        ASSERT_TRUE(server->addDevice(device, ""));
        std::string error;
        ASSERT_TRUE(server->start(0, &error)) << error;
        ASSERT_NE(server->port(), 0);
    }
    void TearDown() override { server.reset(); }

    struct Client {
        FrameRecorder sink;  // outlives the backend, which delivers into it until it goes
        std::unique_ptr<vci::Backend> backend;
    };
    std::unique_ptr<Client> connect(const std::string& iface) {
        auto c = std::make_unique<Client>();
        c->backend =
            vci::makeSocketcandBackend("127.0.0.1:" + std::to_string(server->port()) + "/" + iface);
        EXPECT_TRUE(c->backend->open(1000000, c->sink));
        return c;
    }

    std::unique_ptr<CanBusServer> server;
};

TEST_F(CanBusServerTest, AFrameReachesEveryOtherClientAndDeviceOfItsInterfaceOnly) {
    auto a = connect("vcan0");
    auto b = connect("vcan0");
    auto other = connect("slow");
    ASSERT_TRUE(a->backend->send(frameOf(0x123, {1, 2, 3})));
    ASSERT_TRUE(b->sink.waitFor([&] { return !b->sink.received.empty(); }));
    EXPECT_EQ(b->sink.frames()[0].id, 0x123u);
    EXPECT_EQ(b->sink.frames()[0].length, 3);
    EXPECT_EQ(b->sink.frames()[0].data[2], 3);

    // The hosted device answers a request of one client; every client hears the answer.
    ASSERT_TRUE(b->backend->send(frameOf(0x605, kDeviceTypeRequest)));
    ASSERT_TRUE(a->sink.waitFor(
        [&] { return !a->sink.received.empty() && a->sink.received.back().id == 0x585; }));
    ASSERT_TRUE(b->sink.waitFor([&] { return b->sink.received.back().id == 0x585; }));
    EXPECT_EQ(a->sink.frames().back().data[0], 0x43);

    // Own frames do not come back; the other interface heard nothing of all this.
    std::this_thread::sleep_for(50ms);
    for (const auto& f : a->sink.frames()) {
        EXPECT_NE(f.id, 0x123u);
    }
    EXPECT_TRUE(other->sink.frames().empty());
    EXPECT_EQ(server->clientCount(), 3u);
}

TEST_F(CanBusServerTest, HandshakeAnswersComeOneAtATimeAndSplitOrJoinedCommandsReadAlike) {
    RawClient raw(server->port());
    ASSERT_TRUE(raw.connected);
    EXPECT_EQ(raw.readOnce(), "< hi >");
    raw.trickle("< open vcan0 >");
    EXPECT_EQ(raw.readOnce(), "< ok >");
    raw.write("< rawmode >");
    EXPECT_EQ(raw.readOnce(), "< ok >");

    auto listener = connect("vcan0");
    // Two sends in one write, then one sent a byte at a time.
    raw.write("< send 111 2 0A 0B >< send 112 0 >");
    raw.trickle("<send 113 1 ff>");
    ASSERT_TRUE(listener->sink.waitFor([&] { return listener->sink.received.size() >= 3; }));
    auto frames = listener->sink.frames();
    EXPECT_EQ(frames[0].id, 0x111u);
    EXPECT_EQ(frames[0].data[1], 0x0B);
    EXPECT_EQ(frames[1].id, 0x112u);
    EXPECT_EQ(frames[1].length, 0);
    EXPECT_EQ(frames[2].data[0], 0xFF);

    // What the listener sends reaches the raw client as the protocol's frame message.
    ASSERT_TRUE(listener->backend->send(frameOf(0x222, {0xAB, 0xCD})));
    EXPECT_TRUE(raw.expect("< frame 222 "));
    EXPECT_TRUE(raw.expect(" ABCD >"));
}

TEST_F(CanBusServerTest, BadCommandsAreAnsweredAndBrokenStreamsDroppedWithoutHarmToOthers) {
    auto listener = connect("vcan0");
    {
        RawClient raw(server->port());
        raw.readOnce();
        raw.write("< open nosuch >");
        EXPECT_NE(raw.readOnce().find("< error"), std::string::npos);
        raw.write("< rawmode >");  // no interface open yet
        EXPECT_NE(raw.readOnce().find("< error"), std::string::npos);
        raw.write("< open vcan0 >");
        EXPECT_EQ(raw.readOnce(), "< ok >");
        raw.write("< bcmmode >");
        EXPECT_NE(raw.readOnce().find("< error"), std::string::npos);
        raw.write("< rawmode >");
        EXPECT_EQ(raw.readOnce(), "< ok >");
        for (const char* bad : {"< send 605 9 1 2 3 4 5 6 7 8 9 >", "< send 605 2 01 >",
                                "< send 12345678 1 00 >", "< frobnicate >"}) {
            raw.write(bad);
            EXPECT_TRUE(raw.expect("< error")) << bad;
        }
        raw.write("< echo >");
        EXPECT_TRUE(raw.expect("< echo >"));
    }
    {
        RawClient garbage(server->port());
        garbage.readOnce();
        garbage.write("GET / HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(garbage.closedByServer());
    }
    {
        RawClient overlong(server->port());
        overlong.readOnce();
        overlong.write("< open " + std::string(100000, 'x'));
        EXPECT_TRUE(overlong.closedByServer());
    }
    // A half message and then silence holds nobody up.
    RawClient silent(server->port());
    silent.readOnce();
    silent.write("< open vca");
    auto talker = connect("vcan0");
    ASSERT_TRUE(talker->backend->send(frameOf(0x605, kDeviceTypeRequest)));
    EXPECT_TRUE(listener->sink.waitFor([&] {
        return listener->sink.received.size() >= 2 && listener->sink.received.back().id == 0x585;
    }));
    EXPECT_TRUE(listener->sink.messages.empty());
    EXPECT_EQ(listener->sink.frames().front().id, 0x605u) << "nothing of the bad sends went out";
}

TEST_F(CanBusServerTest, ClientsThatGoAreForgottenAndAStoppedServerEndsEveryConnection) {
    auto stays = connect("vcan0");
    {
        auto goes = connect("vcan0");
        RawClient midHandshake(server->port());
        midHandshake.readOnce();
        EXPECT_EQ(server->clientCount(), 3u);
        goes->backend->close();
    }
    for (int i = 0; i < 500 && server->clientCount() != 1; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(server->clientCount(), 1u);
    server->stop();
    ASSERT_TRUE(stays->sink.waitFor([&] { return !stays->sink.messages.empty(); }));
    EXPECT_NE(stays->sink.messages[0].find("was lost"), std::string::npos);
    EXPECT_FALSE(stays->backend->send(frameOf(0x605, kDeviceTypeRequest)));
}

TEST_F(CanBusServerTest, OutOfDescriptorsTheServerBacksOffAndKeepsServingItsClients) {
    RawClient served(server->port());
    ASSERT_TRUE(served.expect("< hi >"));
    served.write("< open vcan0 >");
    ASSERT_TRUE(served.expect("< ok >"));
    served.write("< rawmode >");
    ASSERT_TRUE(served.expect("< ok >"));

    // Every descriptor in use: the next connection waits in the listen queue.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && filler.size() < 4096;) {
        filler.push_back(fd);
    }
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(filler.back() + 1);
    // The waiting client's own socket needs one: free it before the limit falls.
    ::close(filler.back());
    filler.pop_back();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    RawClient waiting(server->port());
    ASSERT_TRUE(waiting.connected);
    for (int i = 0; i < 500 && server->acceptFailures() == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(server->acceptFailures(), 0u);
    // The clients it has are served meanwhile.
    served.write("< echo >");
    EXPECT_TRUE(served.expect("< echo >"));
    // Backing off, it tries a few times in half a second; spinning, it would try
    // hundreds of thousands of times.
    uint64_t before = server->acceptFailures();
    std::this_thread::sleep_for(500ms);
    uint64_t during = server->acceptFailures() - before;
    EXPECT_LE(during, 500u / CanBusServer::kAcceptBackoffMs + 2);

    // Descriptors free again: the waiting client is taken.
    ::setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : filler) {
        ::close(fd);
    }
    EXPECT_TRUE(waiting.expect("< hi >"));
}

TEST_F(CanBusServerTest, DumpsHoldWhatEachHostedDeviceProgrammed) {
    test::TempDir dir;
    std::string error;
    ASSERT_TRUE(server->writeDumps(dir.file("dump"), &error)) << error;
    std::ifstream in(dir.file("dump/node-5.srec"));
    EXPECT_TRUE(in.good());
    EXPECT_FALSE(server->writeDumps("/proc/no-such-folder", &error));
    EXPECT_NE(error.find("node-5.srec"), std::string::npos) << error;
}

TEST(CanBusInterfaces, NamesAndRatesOfTheCommandLineAreChecked) {
    BusInterface i;
    ASSERT_TRUE(parseBusInterface("vcan0:125", &i));
    EXPECT_EQ(i.name, "vcan0");
    EXPECT_EQ(i.kbit, 125);
    ASSERT_TRUE(parseBusInterface("bench:1000", &i));
    EXPECT_EQ(i.kbit, 1000);
    for (const char* bad :
         {"vcan0", ":125", "vcan0:", "vcan0:126", "vcan0:125x", "a b:125", "x/y:125"}) {
        EXPECT_FALSE(parseBusInterface(bad, &i)) << bad;
    }
    CanBusServer defaults({});
    ASSERT_EQ(defaults.interfaces().size(), 1u);
    EXPECT_EQ(defaults.interfaces()[0].name, "vcan0");
    EXPECT_EQ(defaults.interfaces()[0].kbit, 125);
    EXPECT_FALSE(defaults.addDevice(SimDeviceConfig{}, "nosuch"));
}

}  // namespace
}  // namespace romtide::sim
