// The CAN access library: bus timing, handles, receive buffers and the bounded receive
// queue, driven through a backend that the test feeds directly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vci/backend.h"
#include "vci/vci.h"

namespace romtide::vci {
namespace {

// A backend whose received frames the test hands in.
struct FeedBackend : Backend {
    static inline FrameSink* sink = nullptr;
    static inline std::vector<CanFrame> sent;
    bool open(uint32_t, FrameSink& s) override {
        sink = &s;
        return true;
    }
    void close() override { sink = nullptr; }
    bool send(const CanFrame& f) override {
        sent.push_back(f);
        return true;
    }
};

struct Received {
    std::mutex mutex;
    std::vector<std::vector<FrameRecord>> calls;
};
Received received;

void onReceive(uint16_t, uint16_t count, const FrameRecord* records) {
    std::lock_guard lock(received.mutex);
    received.calls.emplace_back(records, records + count);
}

class VciTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registerBackend("feed", 7,
                        [](const std::string&) { return std::make_unique<FeedBackend>(); });
        int32_t index = registerInterface("feed:x");
        ASSERT_GE(index, 0);
        board = VCI2_PrepareBoard(7, static_cast<uint16_t>(index), nullptr, 0, nullptr, onReceive,
                                  nullptr);
        ASSERT_GE(board, 0);
        std::lock_guard lock(received.mutex);
        received.calls.clear();
        FeedBackend::sent.clear();
    }
    void TearDown() override { VCI_CancelBoard(static_cast<uint16_t>(board)); }

    void start(uint16_t base) {
        auto b = static_cast<uint16_t>(board);
        ASSERT_EQ(VCI_InitCan(b, 0, 0x03, 0x1C, 0), kVciOk);
        ASSERT_EQ(VCI_ConfigQueue(b, 0, kTransmitQueue, 100, 0, 0, 0, &txq), kVciOk);
        ASSERT_EQ(VCI_ConfigBuffer(b, 0, 0, base, &buf), kVciOk);
        ASSERT_EQ(VCI_ConfigQueue(b, 0, kReceiveQueue, 50, 1, 0, 100, &rxq), kVciOk);
        ASSERT_EQ(VCI_AssignRxQueObj(b, rxq, 1, 0, 0), kVciOk);
        ASSERT_EQ(VCI_StartCan(b, 0), kVciOk);
    }
    std::vector<FrameRecord> waitForRecords(size_t n) {
        for (int i = 0; i < 2000; ++i) {
            {
                std::lock_guard lock(received.mutex);
                std::vector<FrameRecord> all;
                for (auto& c : received.calls) {
                    all.insert(all.end(), c.begin(), c.end());
                }
                if (all.size() >= n) {
                    return all;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return {};
    }

    int32_t board = -1;
    uint16_t txq = 0, rxq = 0, buf = 0;
};

TEST(VciTiming, EveryBitRateOfTheTableComesOutOfItsTimingBytes) {
    struct Row {
        uint8_t btr0, btr1;
        uint32_t rate;
    };
    for (Row r : {Row{0x31, 0x1C, 10000}, Row{0x18, 0x1C, 20000}, Row{0x09, 0x1C, 50000},
                  Row{0x04, 0x1C, 100000}, Row{0x03, 0x1C, 125000}, Row{0x01, 0x1C, 250000},
                  Row{0x00, 0x1C, 500000}, Row{0x00, 0x16, 800000}, Row{0x00, 0x14, 1000000}}) {
        EXPECT_EQ(bitRateOfTiming(r.btr0, r.btr1), r.rate) << int(r.btr0) << "/" << int(r.btr1);
    }
    EXPECT_EQ(bitRateOfTiming(0x00, 0x00), 0u);  // too few time quanta
}

TEST(VciInterfaces, UnknownSchemesAndBoardsAreRefused) {
    EXPECT_EQ(registerInterface("nosuch:x"), -1);
    EXPECT_EQ(boardTypeOf("virtual:a"), kBoardTypeVirtual);
    int32_t a = registerInterface("virtual:same");
    EXPECT_EQ(registerInterface("virtual:same"), a);
    // A virtual bus that nobody registered cannot be prepared.
    EXPECT_LT(VCI2_PrepareBoard(kBoardTypeVirtual, static_cast<uint16_t>(a), nullptr, 0, nullptr,
                                nullptr, nullptr),
              0);
    EXPECT_EQ(VCI_CancelBoard(4000), kVciBadHandle);
}

TEST_F(VciTest, FramesOfOneDeliveryAreReportedTogetherInOrderAndTheBufferKeepsTheLast) {
    start(0x585);
    CanFrame f[3];
    for (int i = 0; i < 3; ++i) {
        f[i].id = 0x585;
        f[i].length = 1;
        f[i].data[0] = static_cast<uint8_t>(i + 1);
    }
    FeedBackend::sink->deliver(f, 3, 42);
    auto all = waitForRecords(3);
    ASSERT_EQ(all.size(), 3u);
    {
        std::lock_guard lock(received.mutex);
        EXPECT_EQ(received.calls.size(), 1u);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(all[i].data[0], i + 1);
        // One stamp for the delivery, but each record its own.
        EXPECT_EQ(static_cast<uint32_t>(all[i].timeStamp), 42u + static_cast<uint32_t>(i));
    }
    uint8_t data[8];
    uint8_t length = 0;
    EXPECT_EQ(VCI_ReadBufData(static_cast<uint16_t>(board), buf, data, &length), kVciOk);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(VCI_ReadBufData(static_cast<uint16_t>(board), buf, data, &length), kVciNothing);
}

// What --trace records on any interface: every frame the board sent and every frame it
// received, named by the interface, until the trace is taken away.
struct RecordingTrace : FrameTrace {
    std::mutex mutex;
    std::vector<std::string> lines;
    void frame(const std::string& interfaceName, uint32_t id, uint8_t length, const uint8_t* data,
               bool received) override {
        std::lock_guard lock(mutex);
        lines.push_back((received ? "in " : "out ") +
                        candumpLine(0, interfaceName, id, length, data));
    }
};

TEST_F(VciTest, ATraceSeesBothDirectionsOfEveryBoardUntilItIsTakenAway) {
    start(0x585);
    RecordingTrace trace;
    setFrameTrace(&trace);
    const uint8_t request[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
    ASSERT_EQ(VCI_TransmitObj(static_cast<uint16_t>(board), txq, 0x605, 8, request), kVciOk);
    CanFrame answer;
    answer.id = 0x585;
    answer.length = 4;
    answer.data[0] = 0x43;
    answer.data[3] = 0xAB;
    FeedBackend::sink->deliver(&answer, 1, 7);
    ASSERT_EQ(waitForRecords(1).size(), 1u);
    setFrameTrace(nullptr);
    ASSERT_EQ(VCI_TransmitObj(static_cast<uint16_t>(board), txq, 0x605, 8, request), kVciOk);
    std::lock_guard lock(trace.mutex);
    EXPECT_EQ(trace.lines, (std::vector<std::string>{"out (0.000000) x 605#4000100000000000",
                                                     "in (0.000000) x 585#430000AB"}));
}

TEST(VciTrace, InterfaceNamesAndCandumpLines) {
    EXPECT_EQ(interfaceNameOf("socketcan:can0"), "can0");
    EXPECT_EQ(interfaceNameOf("socketcand:bench-pc:29536/vcan1"), "vcan1");
    EXPECT_EQ(interfaceNameOf("socketcand:bench-pc/can0"), "can0");
    EXPECT_EQ(interfaceNameOf("virtual:sim"), "sim");
    const uint8_t data[2] = {0x81, 0x05};
    EXPECT_EQ(candumpLine(1796731200123456, "can0", 0x000, 2, data),
              "(1796731200.123456) can0 000#8105");
    // More than eight bytes never leave the frame.
    const uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(candumpLine(5, "b", 0x7FF, 9, nine), "(0.000005) b 7FF#0102030405060708");
}

TEST_F(VciTest, NoTwoRecordsShareATimeStampEvenFromABackendWithoutStamps) {
    start(0x585);
    CanFrame f;
    f.id = 0x586;
    f.length = 1;
    FeedBackend::sink->deliver(&f, 1, 0);  // as a backend without time stamps delivers
    FeedBackend::sink->deliver(&f, 1, 0);
    FeedBackend::sink->deliver(&f, 1, 500);
    FeedBackend::sink->deliver(&f, 1, 500);  // the same 100 us
    FeedBackend::sink->deliver(&f, 1, 900);
    auto all = waitForRecords(5);
    ASSERT_EQ(all.size(), 5u);
    // Never 0 either: a receiver that starts from 0 would take a stamp of 0 for a repeat.
    std::vector<uint32_t> stamps;
    for (const auto& r : all) {
        stamps.push_back(static_cast<uint32_t>(r.timeStamp));
    }
    EXPECT_EQ(stamps, (std::vector<uint32_t>{1, 2, 500, 501, 900}));
}

TEST_F(VciTest, AFullReceiveQueueDropsTheNewestFramesAndCountsThem) {
    start(0x585);
    std::vector<CanFrame> flood(60);
    for (size_t i = 0; i < flood.size(); ++i) {
        flood[i].id = 0x100;
        flood[i].length = 15;  // a length byte above 8 never reads past the data
        flood[i].data[0] = static_cast<uint8_t>(i);
    }
    FeedBackend::sink->deliver(flood.data(), flood.size(), 1);
    auto all = waitForRecords(50);
    ASSERT_EQ(all.size(), 50u);
    EXPECT_EQ(all.front().data[0], 0);
    EXPECT_EQ(all.back().data[0], 49);
    EXPECT_EQ(all.back().length, 8);
    EXPECT_EQ(VCI_GetDroppedFrames(static_cast<uint16_t>(board)), 10);
}

TEST_F(VciTest, TransmitChecksItsArgumentsAndTheController) {
    auto b = static_cast<uint16_t>(board);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(VCI_TransmitObj(b, 1, 0x600, 8, data), kVciBadHandle);  // nothing configured
    start(0x585);
    EXPECT_EQ(VCI_TransmitObj(b, txq, 0x605, 9, data), kVciBadArgument);
    EXPECT_EQ(VCI_TransmitObj(b, txq, 0x605, 8, data), kVciOk);
    ASSERT_EQ(FeedBackend::sent.size(), 1u);
    EXPECT_EQ(FeedBackend::sent[0].id, 0x605u);
    // A second initialisation resets the controller: old handles are gone, nothing is sent.
    ASSERT_EQ(VCI_InitCan(b, 0, 0x09, 0x1C, 0), kVciOk);
    EXPECT_EQ(VCI_TransmitObj(b, txq, 0x605, 8, data), kVciBadHandle);
    uint8_t out[8];
    EXPECT_EQ(VCI_ReadBufData(b, buf, out, nullptr), kVciBadHandle);
}

// The acknowledgement wait relies on this order: by the time the receive callback has
// posted a frame, the receive buffer holds it; and the callback has run before the
// backend's delivery returns, on the backend's own thread, with no thread in between.
struct SeenInCallback {
    std::thread::id thread;
    int32_t bufferRead = 0;
    uint8_t firstByte = 0;
    uint16_t board = 0;
    uint16_t buffer = 0;
} seenInCallback;
void onReceiveReadingTheBuffer(uint16_t, uint16_t, const FrameRecord*) {
    seenInCallback.thread = std::this_thread::get_id();
    uint8_t data[8] = {};
    seenInCallback.bufferRead =
        VCI_ReadBufData(seenInCallback.board, seenInCallback.buffer, data, nullptr);
    seenInCallback.firstByte = data[0];
}

// A board on a backend of its own scheme, with the callbacks given; -1 when refused.
template <class SomeBackend>
int32_t prepareOwnBoard(const std::string& scheme, uint32_t type, MessageCallback onMessage,
                        ReceiveCallback onReceive, ExceptionCallback onException) {
    registerBackend(scheme, type,
                    [](const std::string&) { return std::make_unique<SomeBackend>(); });
    int32_t index = registerInterface(scheme + ":x");
    if (index < 0) {
        return -1;
    }
    return VCI2_PrepareBoard(type, static_cast<uint16_t>(index), nullptr, 0, onMessage, onReceive,
                             onException);
}

TEST(VciReceivePath, TheCallbackRunsOnTheDeliveringThreadWithTheBufferAlreadyFilled) {
    int32_t board =
        prepareOwnBoard<FeedBackend>("feed2", 9, nullptr, onReceiveReadingTheBuffer, nullptr);
    ASSERT_GE(board, 0);
    auto b = static_cast<uint16_t>(board);
    uint16_t rxq = 0;
    ASSERT_EQ(VCI_InitCan(b, 0, 0x03, 0x1C, 0), kVciOk);
    ASSERT_EQ(VCI_ConfigBuffer(b, 0, 0, 0x585, &seenInCallback.buffer), kVciOk);
    ASSERT_EQ(VCI_ConfigQueue(b, 0, kReceiveQueue, 50, 1, 0, 100, &rxq), kVciOk);
    ASSERT_EQ(VCI_AssignRxQueObj(b, rxq, 1, 0, 0), kVciOk);
    ASSERT_EQ(VCI_StartCan(b, 0), kVciOk);
    seenInCallback.board = b;

    std::thread::id reader;
    std::thread backendThread([&] {
        reader = std::this_thread::get_id();
        CanFrame f;
        f.id = 0x585;
        f.length = 1;
        f.data[0] = 0x60;
        FeedBackend::sink->deliver(&f, 1, 7);
    });
    backendThread.join();
    EXPECT_EQ(seenInCallback.thread, reader);
    EXPECT_EQ(seenInCallback.bufferRead, kVciOk);
    EXPECT_EQ(seenInCallback.firstByte, 0x60);
    VCI_CancelBoard(b);
}

// A backend whose interface cannot be opened, and which reports a bus event when asked.
struct RefusingBackend : Backend {
    bool open(uint32_t bitRate, FrameSink& s) override {
        s.exception(kVciError, "error frame: bus-off");
        s.message("interface down at " + std::to_string(bitRate));
        return false;
    }
    void close() override {}
    bool send(const CanFrame&) override { return true; }
};

std::vector<std::string> callbackTexts;
void onMessage(const char* text) {
    callbackTexts.push_back(std::string("message: ") + text);
}
void onException(int32_t, int32_t code, int32_t, const char* text) {
    callbackTexts.push_back("exception " + std::to_string(code) + ": " + text);
}

TEST(VciBackendReports, WhyAnInterfaceCannotOpenReachesTheMessageCallbackAndEventsTheOther) {
    int32_t board =
        prepareOwnBoard<RefusingBackend>("refusing", 8, onMessage, onReceive, onException);
    ASSERT_GE(board, 0);
    auto b = static_cast<uint16_t>(board);
    callbackTexts.clear();
    ASSERT_EQ(VCI_InitCan(b, 0, 0x03, 0x1C, 0), kVciOk);
    uint16_t txq = 0;
    ASSERT_EQ(VCI_ConfigQueue(b, 0, kTransmitQueue, 100, 0, 0, 0, &txq), kVciOk);
    EXPECT_EQ(VCI_StartCan(b, 0), kVciNoInterface);
    uint8_t data[1] = {1};
    EXPECT_EQ(VCI_TransmitObj(b, txq, 0x605, 1, data), kVciNotStarted);
    EXPECT_EQ(callbackTexts,
              (std::vector<std::string>{"exception -1: error frame: bus-off",
                                        "message: interface down at 125000",
                                        "exception -4: interface cannot be opened"}));
    VCI_CancelBoard(b);
}

}  // namespace
}  // namespace romtide::vci
