// Remote boards against a scripted server on virtual time: the connection and greeting,
// the configuration, every request of the table with its reply, replies in pieces, late
// or never, and a server that dies.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <vector>

#include "nuboxlink/interface/library.h"
#include "nuboxlink/remote/dpem_tcpip.h"
#include "tests/nuboxlink/fake_board_server.h"

namespace nuboxlink_test {
namespace {

using Bytes = std::vector<uint8_t>;
using nuboxlink::CTcpipDevice;

struct RemoteRig {
    explicit RemoteRig(const std::string& host = "board-pc", uint32_t remoteDevice = 3)
        : lib(std::make_unique<nuboxlink::Library>(platform)) {
        platform.setRemote(0, host, remoteDevice);
        channel(0, NUBOX_CHANNEL_DPEM, 6000);
    }
    void channel(unsigned index, uint8_t type, uint16_t parameter) {
        configs[0].channels[index].type = type;
        configs[0].channels[index].parameter = parameter;
    }
    uint8_t init() { return lib->initDll(configs, 1, status, channelStatus); }
    int64_t nowMs() { return platform.virtualClock().nowMs(); }
    FakeServer& server() { return platform.server; }

    RemotePlatform platform;
    std::unique_ptr<nuboxlink::Library> lib;
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
    uint8_t channelStatus[16] = {};
};

// A rig whose board is configured, with the server's requests counted from there.
struct ConfiguredRig : RemoteRig {
    ConfiguredRig() {
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(status[0], 0);
    }
    Bytes block(uint8_t code, uint8_t fill = 0xAA) {
        Bytes b(256, fill);
        b[0] = code;
        return b;
    }
};

// ------------------------------------------------------------- connection, greeting

TEST(RemoteConnect, AnswersTheGreetingAndReachesPortBasePlusTheRemoteDevice) {
    RemoteRig rig("board-pc", 0x107);  // only the low byte counts
    ASSERT_EQ(rig.init(), 0);
    EXPECT_EQ(rig.server().host, "board-pc");
    EXPECT_EQ(rig.server().port, 5007);
    Bytes expected(8);
    remote::putLe(expected.data(), remote::greetingAnswer(FakeServer::kChallenge), 8);
    EXPECT_EQ(rig.server().answerBytes, expected);
    nuboxlink::CDevice* board = rig.lib->board(0);
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->kind(), NUBOX_KIND_REMOTE);
    EXPECT_EQ(board->boardId(), 0);
}

TEST(RemoteConnect, TheAnswerWrapsAroundModulo2To64) {
    const uint64_t challenge = 0xFFFFFFFFFFFFFFF0ull;
    const uint64_t answer = remote::greetingAnswer(challenge);
    // 2^64 − 16 times K plus A, modulo 2^64, is A − 16·K.
    EXPECT_EQ(answer, static_cast<uint64_t>(remote::kGreetingAddend) -
                          16u * static_cast<uint64_t>(remote::kGreetingMultiplier));
    EXPECT_LT(answer, challenge);

    RemoteRig rig;
    rig.server().greeting = {{0, FakeServer::greetingBytes(challenge)}};
    ASSERT_EQ(rig.init(), 0);
    EXPECT_EQ(remote::getLe(rig.server().answerBytes.data(), 8), answer);
}

TEST(RemoteConnect, GreetingsThatAreNotOursFailTheOpenWithStatus2) {
    struct Case {
        const char* what;
        std::vector<FakeServer::Piece> greeting;
    };
    Bytes notHello = FakeServer::greetingBytes(7);
    notHello[0] = 2;
    Bytes refusal = {remote::kBoardInUse, 'i', 'n', ' ', 'u', 's', 'e', '\n', 0, 0};
    const Bytes whole = FakeServer::greetingBytes(7);
    const Case cases[] = {
        {"first byte not 1", {{0, notHello}}},
        {"the server's refusal", {{0, refusal}}},
        {"more than a greeting", {{0, whole}, {0, Bytes{0x55}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoteRig rig;
        rig.server().greeting = c.greeting;
        EXPECT_EQ(rig.init(), 2);
        EXPECT_EQ(rig.status[0], 2);
        EXPECT_TRUE(rig.server().answerBytes.empty());
        EXPECT_EQ(rig.lib->board(0), nullptr);
    }
}

TEST(RemoteConnect, AGreetingInPiecesIsReadLikeEveryReply) {
    const Bytes whole = FakeServer::greetingBytes(7);
    RemoteRig rig;
    rig.server().greeting = {{0, Bytes(whole.begin(), whole.begin() + 1)},
                             {10, Bytes(whole.begin() + 1, whole.begin() + 5)},
                             {400, Bytes(whole.begin() + 5, whole.end())}};
    ASSERT_EQ(rig.init(), 0);
    EXPECT_EQ(remote::getLe(rig.server().answerBytes.data(), 8), remote::greetingAnswer(7));

    // One that stops half-way is waited for as long as an open may take.
    RemoteRig cut;
    cut.server().greeting = {{0, Bytes(whole.begin(), whole.begin() + 5)}};
    const int64_t start = cut.nowMs();
    EXPECT_EQ(cut.init(), 2);
    EXPECT_EQ(cut.status[0], 1);
    EXPECT_GE(cut.nowMs() - start, CTcpipDevice::kOpenLimitMs);
}

TEST(RemoteConnect, ARefusedConnectionIsStatus2AndAnOpenOver30SecondsIsStatus1) {
    RemoteRig refused;
    refused.server().refuse = true;
    EXPECT_EQ(refused.init(), 2);
    EXPECT_EQ(refused.status[0], 2);

    RemoteRig silent;
    silent.server().greeting.clear();
    int64_t start = silent.nowMs();
    EXPECT_EQ(silent.init(), 2);
    EXPECT_EQ(silent.status[0], 1);
    EXPECT_GE(silent.nowMs() - start, CTcpipDevice::kOpenLimitMs);

    RemoteRig unreachable;
    unreachable.server().hang = true;
    start = unreachable.nowMs();
    EXPECT_EQ(unreachable.init(), 2);
    EXPECT_EQ(unreachable.status[0], 1);
    EXPECT_GE(unreachable.nowMs() - start, CTcpipDevice::kOpenLimitMs);
}

TEST(RemoteConnect, AHostNameOver49CharactersOrWithANulIsRefusedNeverCut) {
    for (const std::string& name : {std::string(50, 'h'), std::string("board-pc\0.evil", 15)}) {
        RemoteRig refused(name);
        EXPECT_EQ(refused.init(), 2);
        EXPECT_EQ(refused.status[0], 1);
        EXPECT_EQ(refused.server().connections, 0);
    }

    RemoteRig longest(std::string(49, 'h'));
    EXPECT_EQ(longest.init(), 0);
    EXPECT_EQ(longest.server().host, std::string(49, 'h'));
}

TEST(RemoteConnect, DeviceInfoConnectsOnceAndReportsAPresentRemoteBoard) {
    RemoteRig rig;
    DeviceInfo info{};
    ASSERT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_REMOTE);
    EXPECT_EQ(info.present, 1);
    EXPECT_EQ(info.busy, 0);
    EXPECT_EQ(rig.server().connections, 1);
    EXPECT_EQ(rig.server().requestCount(), 0u);
}

// ------------------------------------------------------------------- configuration

TEST(RemoteConfigure, SendsTheConfigurationAndTakesTheServersStatus) {
    RemoteRig rig;
    rig.configs[0].memoryAddress = 0x11223344;
    rig.configs[0].portAddress = 0x300;
    rig.channel(2, NUBOX_CHANNEL_DPEM, 0x1234);
    rig.server().answer = [](const Bytes& r) {
        return FakeServer::reply(r, 0, [](size_t i) -> uint8_t { return i == 0 ? 9 : 0x30; });
    };
    EXPECT_EQ(rig.init(), 2);
    EXPECT_EQ(rig.status[0], 9);
    EXPECT_EQ(rig.channelStatus[0], 0x30);
    ASSERT_EQ(rig.server().requestCount(), 1u);
    const Bytes config = rig.server().requests[0];
    ASSERT_EQ(config.size(), 29u);
    EXPECT_EQ(config[0], 0xB0);
    const Bytes fields(config.begin() + 1, config.end());
    const Bytes expected = {0x44, 0x33, 0x22, 0x11,  // memory address
                            0,    0,    0,    0,     // memory range
                            0x00, 0x03, 0,    0,     // port address
                            19,   0,    0x70, 0x17,  // channel 0: DP master, 6000 bytes
                            0,    0,    0,    0,     // channel 1: none
                            19,   0,    0x34, 0x12,  // channel 2
                            0,    0,    0,    0};
    EXPECT_EQ(fields, expected);
}

TEST(RemoteConfigure, AnotherFamilyFailsWithStatus8AndSendsNothing) {
    RemoteRig rig;
    rig.channel(1, NUBOX_CHANNEL_LIST, 100);
    EXPECT_EQ(rig.init(), 2);
    EXPECT_EQ(rig.status[0], 8);
    EXPECT_EQ(rig.channelStatus[0], 1 << 2);
    EXPECT_EQ(rig.server().requestCount(), 0u);
}

TEST(RemoteConfigure, AConfigurationUnansweredFor30SecondsIsStatus2) {
    RemoteRig rig;
    rig.server().answer = [](const Bytes&) { return std::vector<FakeServer::Piece>{}; };
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.init(), 2);
    EXPECT_EQ(rig.status[0], 2);
    EXPECT_GE(rig.nowMs() - start, CTcpipDevice::kConfigureLimitMs);
}

// -------------------------------------------------------------------- the requests

TEST(RemoteRequests, EachCallIsOneRequestAndItsReplyLandsInTheCallersBuffer) {
    ConfiguredRig rig;
    rig.server().answer = [](const Bytes& r) {
        return FakeServer::reply(r, r[0] == 0xB5 ? 6 : 0,
                                 [&](size_t i) { return static_cast<uint8_t>(r[0] + i); });
    };
    nuboxlink::Library& lib = *rig.lib;
    const uint8_t ch = 0;

    Bytes block = rig.block(0x21);
    EXPECT_EQ(lib.dpemWriteCommand(0, ch, block.data()), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB1, 0, 0x21, 0xAA, 0xAA, 0xAA}));

    block = rig.block(0x3D);
    block[12] = 0x58;
    EXPECT_EQ(lib.dpemWriteCommand(0, ch, block.data()), 0);
    EXPECT_EQ(rig.server().lastRequest().size(), 2u + 15u);

    uint8_t report[256] = {};
    EXPECT_EQ(lib.dpemGetReport(0, ch, report), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB2, 0}));
    EXPECT_EQ(report[0], 0xB2);
    EXPECT_EQ(report[255], static_cast<uint8_t>(0xB2 + 255));

    uint8_t input[6] = {0, 0, 0, 0, 0xEE, 0xEE};
    EXPECT_EQ(lib.dpemReadInputData(0, ch, input, 0x0102, 4, 7), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB3, 0, 0x01, 0x02, 4, 7}));
    EXPECT_EQ(Bytes(input, input + 6), (Bytes{0xB3, 0xB4, 0xB5, 0xB6, 0xEE, 0xEE}));

    const uint8_t output[3] = {9, 8, 7};
    EXPECT_EQ(lib.dpemWriteOutputData(0, ch, output, 0x0203, 3, 5), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB4, 0, 0x02, 0x03, 3, 5, 9, 8, 7}));

    EXPECT_EQ(lib.dpemWriteRemoteAccessFlag(0, ch, 1), 6);  // the server's status byte
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB5, 0, 1}));

    uint8_t sixteen[16] = {};
    EXPECT_EQ(lib.dpemReadDataTransferList(0, ch, sixteen), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB6, 0}));
    EXPECT_EQ(sixteen[15], 0xB6 + 15);
    EXPECT_EQ(lib.dpemReadSystemDiagnostic(0, ch, sixteen), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB7, 0}));
    EXPECT_EQ(sixteen[0], 0xB7);

    uint8_t one = 0;
    EXPECT_EQ(lib.dpemReadDiagState(0, ch, &one), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB8, 0}));
    EXPECT_EQ(one, 0xB8);
    EXPECT_EQ(lib.dpemStationOnline(0, ch, &one), 0);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xB9, 0}));
    EXPECT_EQ(one, 0xB9);

    // Refused by the library before any request: no known length.
    const size_t before = rig.server().requestCount();
    EXPECT_EQ(lib.dpemWriteCommand(0, ch, rig.block(0x28).data()), 8);
    EXPECT_EQ(rig.server().requestCount(), before);
}

TEST(RemoteRequests, DataExchangeSendsEachPartAndAnswers5) {
    ConfiguredRig rig;
    const uint8_t out1[2] = {1, 2};
    uint8_t in1[3] = {}, in2[1] = {};
    DataTransferRecord r1{4, 10, 2, out1, 20, 3, in1};
    DataTransferRecord r2{5, 30, 0, nullptr, 40, 1, in2};
    DataTransferRecord* list[] = {&r1, &r2, nullptr};
    const size_t before = rig.server().requestCount();
    EXPECT_EQ(rig.lib->dpemDataExchange(0, 0, list), 5);
    ASSERT_EQ(rig.server().requestCount(), before + 4);
    EXPECT_EQ(rig.server().requests[before], (Bytes{0xB4, 0, 0, 10, 2, 4, 1, 2}));
    EXPECT_EQ(rig.server().requests[before + 1], (Bytes{0xB3, 0, 0, 20, 3, 4}));
    EXPECT_EQ(rig.server().requests[before + 2], (Bytes{0xB4, 0, 0, 30, 0, 5}));
    EXPECT_EQ(rig.server().requests[before + 3], (Bytes{0xB3, 0, 0, 40, 1, 5}));
}

TEST(RemoteRequests, GetReportTakesAReportTheWatchPrefetchedThenAsksTheServer) {
    ConfiguredRig rig;
    uint8_t serial = 0;
    rig.server().answer = [&serial](const Bytes& r) {
        const uint8_t n = ++serial;
        return FakeServer::reply(r, 0, [n](size_t) { return n; });
    };
    auto& channel = static_cast<nuboxlink::CDpemTcpip&>(*rig.lib->board(0)->channel(0));
    const size_t before = rig.server().requestCount();
    EXPECT_TRUE(channel.Poll());
    EXPECT_TRUE(channel.Poll());  // still buffered: no second request
    EXPECT_EQ(rig.server().requestCount(), before + 1);

    uint8_t report[256] = {};
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 1);
    EXPECT_EQ(rig.server().requestCount(), before + 1);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 2);
    EXPECT_EQ(rig.server().requestCount(), before + 2);

    // No report on the server: nothing is buffered, and the poll says so.
    rig.server().answer = [](const Bytes& r) { return FakeServer::reply(r, 7); };
    EXPECT_FALSE(channel.Poll());
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
}

TEST(RemoteRequests, ResetSendsTheRestartAndReturnsWithoutTheFourSecondWait) {
    ConfiguredRig rig;
    const int64_t start = rig.nowMs();
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_LT(rig.nowMs() - start, 4000);
    EXPECT_EQ(rig.server().lastRequest(), (Bytes{0xBA}));
    EXPECT_EQ(rig.lib->board(0), nullptr);
    uint8_t report[256];
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 3);
}

// ---------------------------------------------------------- replies as they come

TEST(RemoteReplies, AReplyInPiecesIsCompletedWithinTheRequestsLimit) {
    ConfiguredRig rig;
    rig.server().answer = [](const Bytes& r) {
        Bytes whole =
            FakeServer::reply(r, 0, [](size_t i) { return static_cast<uint8_t>(i); })[0].bytes;
        return std::vector<FakeServer::Piece>{{5, Bytes(whole.begin(), whole.begin() + 1)},
                                              {900, Bytes(whole.begin() + 1, whole.begin() + 100)},
                                              {9000, Bytes(whole.begin() + 100, whole.end())}};
    };
    uint8_t report[256] = {};
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(report[i], static_cast<uint8_t>(i));
    }
}

TEST(RemoteReplies, RepliesOutOfStepAreNeverHandedOverAndBreakTheConnection) {
    struct Case {
        const char* what;
        // The pieces the server answers the input read (4 bytes) with.
        std::vector<FakeServer::Piece> answer;
    };
    const Bytes reply = {0, 1, 2, 3, 4};
    Bytes withStray = reply;
    withStray.push_back(0x77);
    const Case cases[] = {
        {"a stray byte with the reply", {{0, withStray}}},
        {"a flood after the reply", {{0, reply}, {0, Bytes(5000, 0)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfiguredRig rig;
        rig.server().answer = [&c](const Bytes&) { return c.answer; };
        uint8_t input[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, input, 0, 4, 1), 2);
        EXPECT_EQ(Bytes(input, input + 8), Bytes(8, 0xEE));
        // The server counts otherwise than we do: nothing it says can be trusted now.
        const size_t sent = rig.server().requestCount();
        uint8_t one = 0;
        EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &one), 2);
        EXPECT_EQ(rig.server().requestCount(), sent);
    }
}

TEST(RemoteReplies, AByteThatComesAfterItsReplyFailsTheNextRequestUnsent) {
    ConfiguredRig rig;
    rig.server().answer = [](const Bytes& r) {
        auto pieces = FakeServer::reply(r, 0, [](size_t) -> uint8_t { return 0x11; });
        pieces.push_back({5, Bytes{0x00}});  // shifts every later reply by one
        return pieces;
    };
    uint8_t input[4] = {};
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, input, 0, 4, 1), 0);
    EXPECT_EQ(input[3], 0x11);
    rig.platform.virtualClock().sleepMs(10);
    const size_t sent = rig.server().requestCount();
    uint8_t shifted[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, shifted, 0, 4, 1), 2);
    EXPECT_EQ(shifted[0], 0xEE);
    EXPECT_EQ(rig.server().requestCount(), sent);
}

TEST(RemoteReplies, AnExtraByteAfterTheConfigurationReplyFailsTheConfiguration) {
    RemoteRig rig;
    rig.server().answer = [](const Bytes& r) {
        auto pieces = FakeServer::reply(r, 0);
        pieces[0].bytes.push_back(0);
        return pieces;
    };
    EXPECT_EQ(rig.init(), 2);
    EXPECT_EQ(rig.status[0], 2);
    EXPECT_EQ(rig.lib->board(0), nullptr);
}

TEST(RemoteReplies, AFailingCallLeavesTheCallersBufferAsItWas) {
    ConfiguredRig rig;
    // The server's error replies carry payload bytes all the same (zeros here).
    rig.server().answer = [](const Bytes& r) {
        return FakeServer::reply(r, r[0] == remote::kGetReport ? 7 : 5);
    };
    uint8_t report[256];
    std::memset(report, 0xEE, sizeof report);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    EXPECT_EQ(Bytes(report, report + 256), Bytes(256, 0xEE));
    uint8_t input[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, input, 6000, 4, 1), 5);
    EXPECT_EQ(Bytes(input, input + 4), Bytes(4, 0xEE));
    uint8_t sixteen[16] = {0xEE};
    EXPECT_EQ(rig.lib->dpemReadDataTransferList(0, 0, sixteen), 5);
    EXPECT_EQ(sixteen[0], 0xEE);
}

TEST(RemoteReplies, AServerThatStopsAnsweringCostsOneRequestLimitThenEveryCallFailsAtOnce) {
    ConfiguredRig rig;
    rig.server().answer = [](const Bytes& r) {
        auto pieces = FakeServer::reply(r, 0, [](size_t) -> uint8_t { return 0x11; });
        pieces[0].delayMs = 12000;  // comes after its limit: it would answer the next one
        return pieces;
    };
    uint8_t out = 0;
    int64_t start = rig.nowMs();
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 2);
    EXPECT_EQ(rig.nowMs() - start, CTcpipDevice::kRequestLimitMs);
    EXPECT_EQ(out, 0);
    // A confirmation wait of 150 polls no longer costs 150 request limits.
    const size_t sent = rig.server().requestCount();
    start = rig.nowMs();
    uint8_t report[256];
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 2);
    }
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 2);
    EXPECT_LT(rig.nowMs() - start, 100);
    EXPECT_EQ(rig.server().requestCount(), sent);
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_LT(rig.nowMs() - start, 1000);
}

TEST(RemoteReplies, AServerKilledMidRequestMakesEveryLaterRequestAnswer2) {
    ConfiguredRig rig;
    rig.server().dieAtRequest = rig.server().requestCount() + 1;
    uint8_t report[256] = {};
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 2);
    const size_t sent = rig.server().requestCount();
    EXPECT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x21).data()), 2);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 2);
    EXPECT_EQ(rig.server().requestCount(), sent);
    // Not rebuilt: the board stays in the table until it is reset.
    EXPECT_NE(rig.lib->board(0), nullptr);
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
}

// ------------------------------------------------- servers that accept but never greet

TEST(RemoteExamination, SilentServersAreExaminedAtOnceSoTheEnumerationCostsOneOpenLimit) {
    RemotePlatform platform;
    for (unsigned d = 0; d < 3; ++d) {
        platform.setRemote(d, "board-pc", d);
    }
    platform.server.greeting.clear();
    // Every connection waits for the other two: one after the other, they never meet.
    std::mutex mutex;
    std::condition_variable all;
    int connecting = 0;
    bool met = true;
    platform.server.onConnect = [&] {
        std::unique_lock lock(mutex);
        ++connecting;
        all.notify_all();
        met = all.wait_for(lock, std::chrono::seconds(5), [&] { return connecting >= 3; }) && met;
    };
    nuboxlink::Library lib(platform);
    const int64_t start = platform.virtualClock().nowMs();
    uint8_t out[5] = {};
    EXPECT_EQ(lib.attachedDevices(0x40, out), 9);
    EXPECT_TRUE(met);
    EXPECT_EQ(platform.server.connections, 3);
    const int64_t took = platform.virtualClock().nowMs() - start;
    EXPECT_GE(took, CTcpipDevice::kOpenLimitMs);
    EXPECT_LT(took, 2 * CTcpipDevice::kOpenLimitMs);
}

TEST(RemoteExamination, AnExaminationWaitingOnTheNetworkHoldsNoOtherManagementCall) {
    RemotePlatform platform;
    platform.setRemote(0, "board-pc", 0);
    std::promise<void> connecting, release;
    std::shared_future<void> released = release.get_future().share();
    platform.server.onConnect = [&connecting, released] {
        connecting.set_value();
        released.wait();
    };
    nuboxlink::Library lib(platform);
    auto examining = std::async(std::launch::async, [&lib] {
        DeviceInfo info{};
        return lib.getDeviceInfo(0, &info);
    });
    connecting.get_future().wait();
    // Device 1 is not configured: answered at once, while device 0's server is awaited.
    auto other = std::async(std::launch::async, [&lib] {
        DeviceInfo info{};
        return lib.getDeviceInfo(1, &info);
    });
    const bool answered = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(answered);
    EXPECT_EQ(examining.get(), 0);
    EXPECT_EQ(other.get(), 0);
}

TEST(RemoteExamination, AResetEndsAChannelCallWaitingForAServerThatStopped) {
    ConfiguredRig rig;
    std::promise<void> asked;
    rig.server().answer = [&asked](const Bytes&) {
        asked.set_value();
        return std::vector<FakeServer::Piece>{};  // never answered
    };
    // The waiting call stays in its receive, as on a real socket: only the reset can
    // end it before its limit.
    rig.server().stall(true);
    auto waiting = std::async(std::launch::async, [&rig] {
        uint8_t one = 0;
        return rig.lib->dpemStationOnline(0, 0, &one);
    });
    asked.get_future().wait();
    auto reset = std::async(std::launch::async, [&rig] { return rig.lib->resetDevice(0, 0); });
    const bool ended = reset.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    rig.server().stall(false);  // lets a reset that did not end it finish after all
    EXPECT_TRUE(ended);
    EXPECT_EQ(reset.get(), 0);
    EXPECT_EQ(waiting.get(), 2);
    EXPECT_EQ(rig.lib->board(0), nullptr);
}

TEST(RemoteExamination, AResetEndsAConfigurationWaitingForAGreetingAndConnectsNoMore) {
    RemoteRig rig;
    rig.server().greeting.clear();
    rig.server().stall(true);
    std::promise<void> connecting;
    rig.server().onConnect = [&connecting] { connecting.set_value(); };
    auto configuring = std::async(std::launch::async, [&rig] { return rig.init(); });
    connecting.get_future().wait();
    auto reset = std::async(std::launch::async, [&rig] { return rig.lib->resetDevice(0, 0); });
    const bool ended = reset.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    rig.server().stall(false);
    EXPECT_TRUE(ended);
    EXPECT_EQ(reset.get(), 0);
    EXPECT_EQ(configuring.get(), 2);
    EXPECT_EQ(rig.status[0], 2);
    EXPECT_EQ(rig.server().connections, 1);
}

}  // namespace
}  // namespace nuboxlink_test
