// The board server in this process over a recorded board: raw clients that greet it,
// send garbage, leave requests unfinished, vanish or come second; and the library's
// remote boards against it, watch thread included.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <thread>

#include "nuboxlink/interface/library.h"
#include "sim/nubox/in_process_platform.h"
#include "support/eventually.h"
#include "tests/board_server/fake_board.h"
#include "tests/board_server/server_support.h"

namespace board_server_test {
namespace {

using namespace std::chrono_literals;
using romtide::test::RawClient;

using romtide::test::eventually;

std::string configureRequest() {
    std::string r(29, '\0');
    r[0] = static_cast<char>(0xB0);
    r[13] = 19;
    return r;
}

TEST(BoardServer, GreetsWithAChallengeAndServesOnlyAClientThatAnswersIt) {
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    {
        RawClient wrong(rig.port(0));
        ASSERT_TRUE(greet(wrong, /*wrongly=*/true));
        EXPECT_TRUE(wrong.closedByServer());
    }
    EXPECT_TRUE(rig.log.contains("answered the greeting wrongly"));
    RawClient client(rig.port(0));
    ASSERT_TRUE(greet(client));
    client.write(bytes({0xB9, 0}));
    EXPECT_EQ(client.readExactly(2), bytes({0, 0x7F}));
    client.write(bytes({0xB3, 1, 0, 0x20, 3, 7}));
    EXPECT_EQ(client.readExactly(4), bytes({0, 0x20, 0x21, 0x22}));
    EXPECT_EQ(board.takeCalls(),
              (std::vector<std::string>{"online 0/0 0 0 0", "input 0/1 32 3 7"}));
}

TEST(BoardServer, ABadClientLosesItsConnectionAndTheNextIsServed) {
    struct Case {
        const char* what;
        std::string sent;
        const char* logged;
    };
    const Case cases[] = {
        {"an unknown code", bytes({0xC7, 1, 2, 3}), "does not know (code 0xC7)"},
        {"a command without a length", bytes({0xB1, 0, 0x28, 0, 0}), "command 0x28"},
        {"a short request, then silence", bytes({0xB4, 0, 0, 0, 10, 1, 1, 2}),
         "left a request unfinished"},
    };
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient bad(rig.port(0));
        ASSERT_TRUE(greet(bad));
        bad.write(c.sent);
        EXPECT_TRUE(bad.closedByServer());
        EXPECT_TRUE(rig.log.contains(c.logged));

        RawClient next(rig.port(0));
        ASSERT_TRUE(greet(next));
        next.write(bytes({0xB8, 0}));
        EXPECT_EQ(next.readExactly(2), bytes({0, 1}));
    }
    EXPECT_EQ(board.resetCount(), 0);
}

TEST(BoardServer, AClientThatNeverAnswersTheGreetingIsClosed) {
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    RawClient silent(rig.port(0));
    EXPECT_EQ(silent.readExactly(remote::kGreetingSize).size(), remote::kGreetingSize);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(rig.log.contains("did not answer the greeting in time"));
}

TEST(BoardServer, ASecondClientIsRefusedAndTheFirstKeepsWorking) {
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    RawClient first(rig.port(0));
    ASSERT_TRUE(greet(first));
    {
        RawClient second(rig.port(0));
        const std::string refusal = second.readExactly(64, 2000);
        ASSERT_FALSE(refusal.empty());
        EXPECT_EQ(static_cast<uint8_t>(refusal[0]), remote::kBoardInUse);
        EXPECT_NE(refusal.find("device 0 is in use by another client"), std::string::npos);
        EXPECT_TRUE(second.closedByServer());
    }
    EXPECT_TRUE(rig.log.contains("refused"));
    first.write(bytes({0xB9, 0}));
    EXPECT_EQ(first.readExactly(2), bytes({0, 0x7F}));
}

TEST(BoardServer, AClientWhoseLastRequestAndLeavingComeWithTheNextClientFreesTheBoard) {
    FakeBoard board;
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    board.onStationOnline = [&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    auto leaving = std::make_unique<RawClient>(rig.port(0));
    ASSERT_TRUE(greet(*leaving));
    // Two requests and the end of the stream, while the server is busy with the first;
    // the next client connects meanwhile: the server sees all of it at once.
    leaving->write(bytes({0xB9, 0, 0xB8, 0}));
    entered.get_future().wait();
    ::shutdown(leaving->fd, SHUT_WR);
    RawClient next(rig.port(0));
    ASSERT_TRUE(next.connected);
    release.set_value();
    EXPECT_EQ(leaving->readExactly(4), bytes({0, 0x7F, 0, 1}));
    ASSERT_TRUE(greet(next)) << "refused as in use";
    next.write(bytes({0xB8, 0}));
    EXPECT_EQ(next.readExactly(2), bytes({0, 1}));
}

TEST(BoardServer, OutOfDescriptorsItBacksOffAndKeepsServingItsClient) {
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    RawClient served(rig.port(0));
    ASSERT_TRUE(greet(served));
    // Served once before: the sanitizers' check of a first call needs descriptors too.
    served.write(bytes({0xB8, 0}));
    ASSERT_EQ(served.readExactly(2), bytes({0, 1}));

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
    RawClient waiting(rig.port(0));
    const bool connected = waiting.connected;
    const bool failed = eventually([&] { return rig.server->acceptFailures() > 0; });
    // The client it has is served meanwhile.
    served.write(bytes({0xB8, 0}));
    const std::string answer = served.readExactly(2);
    // Backing off, it tries a few times in 300 ms; spinning, it would try thousands.
    const uint64_t before = rig.server->acceptFailures();
    std::this_thread::sleep_for(300ms);
    const uint64_t during = rig.server->acceptFailures() - before;
    ::setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : filler) {
        ::close(fd);
    }
    ASSERT_TRUE(connected);
    ASSERT_TRUE(failed);
    EXPECT_EQ(answer, bytes({0, 1}));
    EXPECT_LE(during, 300u / board_server::BoardServer::kAcceptBackoffMs + 2);
    // Descriptors free again: the waiting client is taken (and refused: the board is
    // in use).
    const std::string refusal = waiting.readExactly(1, 2000);
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_EQ(static_cast<uint8_t>(refusal[0]), remote::kBoardInUse);
}

TEST(BoardServer, AClientThatVanishesLeavesItsBoardResetForTheNext) {
    FakeBoard board;
    ServerRig rig(board);
    ASSERT_TRUE(rig.server);
    {
        RawClient client(rig.port(0));
        ASSERT_TRUE(greet(client));
        client.write(configureRequest());
        EXPECT_EQ(client.readExactly(4), bytes({0, 0, 0, 0}));
    }
    ASSERT_TRUE(eventually([&] { return board.resetCount() == 1; }));
    RawClient next(rig.port(0));
    ASSERT_TRUE(greet(next));
    next.write(configureRequest());
    EXPECT_EQ(next.readExactly(4), bytes({0, 0, 0, 0}));
    // The restart is answered at once; the reset follows.
    next.write(bytes({0xBA}));
    EXPECT_EQ(next.readExactly(1), bytes({0}));
    ASSERT_TRUE(eventually([&] { return board.resetCount() == 2; }));
}

TEST(BoardServer, EachDeviceHasItsPortAndStoppingResetsAConfiguredBoard) {
    FakeBoard board;
    ServerRig rig(board, {2, 5});
    ASSERT_TRUE(rig.server);
    RawClient two(rig.port(2));
    RawClient five(rig.port(5));
    ASSERT_TRUE(greet(two));
    ASSERT_TRUE(greet(five));
    two.write(configureRequest());
    EXPECT_EQ(two.readExactly(4).size(), 4u);
    five.write(bytes({0xB6, 1}));
    EXPECT_EQ(five.readExactly(17).size(), 17u);
    EXPECT_EQ(board.takeCalls(), (std::vector<std::string>{"init 2", "transfer list 5/1 0 0 0"}));
    rig.server->stop();
    EXPECT_EQ(board.takeCalls(), (std::vector<std::string>{"reset 2"}));
    EXPECT_TRUE(two.closedByServer());
}

// --------------------------------------------------------- the library against it

// A library on real time whose device 0 is the server's device `served`.
struct LibraryRig {
    LibraryRig(const ServerRig& server, uint8_t served) {
        platform.setDevice(
            0, nuboxlink::RegValues{
                   {"RemoteMachine", nuboxlink::RegValue::ofString("localhost")},
                   {"RemoteDevice", nuboxlink::RegValue::ofDword(server.remoteDevice(served))}});
        configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
        configs[0].channels[0].parameter = 6000;
    }
    uint8_t init() { return lib.initDll(configs, 1, status, channelStatus); }

    nubox_sim::InProcessPlatform platform{/*virtualTime=*/false};
    nuboxlink::Library lib{platform};
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
    uint8_t channelStatus[16] = {};
};

std::atomic<int> g_calls{0};
void onReport(uint8_t, uint8_t, uint32_t) {
    ++g_calls;
}

TEST(BoardServerWithLibrary, TheWatchPrefetchesReportsWhileTheApplicationCalls) {
    FakeBoard board;
    ServerRig rig(board, {3}, 10000);
    ASSERT_TRUE(rig.server);
    LibraryRig client(rig, 3);
    ASSERT_EQ(client.init(), 0) << "device status " << int(client.status[0]);
    g_calls = 0;
    ASSERT_EQ(client.lib.watchMailbox(0, 0, onReport, 1, 2), 0);
    // Application calls interleave with the watch's polls, request by request.
    std::vector<uint8_t> block(256, 0);
    block[0] = 0x21;
    ASSERT_EQ(client.lib.dpemWriteCommand(0, 0, block.data()), 0);
    ASSERT_TRUE(eventually([] { return g_calls.load() > 0; }));
    for (int i = 0; i < 50; ++i) {
        uint8_t online = 0;
        ASSERT_EQ(client.lib.dpemStationOnline(0, 0, &online), 0);
        ASSERT_EQ(online, 0x7F);
    }
    uint8_t report[256] = {};
    ASSERT_EQ(client.lib.dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0xE1);
    EXPECT_EQ(client.lib.stopWatchThread(0, 0), 0);
    EXPECT_EQ(client.lib.dpemGetReport(0, 0, report), 7);
    EXPECT_EQ(client.lib.resetDevice(0, 0), 0);
    EXPECT_TRUE(eventually([&] { return board.resetCount() == 1; }));
}

TEST(BoardServerWithLibrary, ASecondLibraryIsRefusedUntilTheFirstResetsItsBoard) {
    FakeBoard board;
    ServerRig rig(board, {0}, 10000);
    ASSERT_TRUE(rig.server);
    LibraryRig first(rig, 0);
    LibraryRig second(rig, 0);
    ASSERT_EQ(first.init(), 0);
    EXPECT_EQ(second.init(), 2);
    EXPECT_EQ(second.status[0], 2);
    uint8_t online = 0;
    EXPECT_EQ(first.lib.dpemStationOnline(0, 0, &online), 0);
    ASSERT_EQ(first.lib.resetDevice(0, 0), 0);
    // The server takes the next client once it has reset the board.
    ASSERT_TRUE(eventually([&] { return board.resetCount() == 1; }));
    EXPECT_EQ(second.init(), 0);
    EXPECT_EQ(second.lib.dpemStationOnline(0, 0, &online), 0);
}

}  // namespace
}  // namespace board_server_test
