// The families where the board's processor and the library run at once: watched list,
// FMS and PB2M channels, the DP slave's record lock against a board that writes the
// same record, and the list entries the board keeps updating.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/clock.h"
#include "nuboxlink/channel/dps_channel.h"
#include "sim/nubox/sim_families.h"
#include "tests/nuboxlink/family_rig.h"

namespace nuboxlink_test {
namespace {

using namespace nuboxlink;
using namespace std::chrono_literals;

std::atomic<int> g_calls[4];

void onReport(uint8_t, uint8_t channel, uint32_t) {
    ++g_calls[channel & 3];
}

template <class Pred>
bool eventually(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end && !pred()) {
        std::this_thread::sleep_for(1ms);
    }
    return pred();
}

TEST(FamilyWatch, CallsBackWhileAReportWaitsAndLeavesItForTheApplication) {
    FamilyRig rig(/*virtualTime=*/false);
    for (auto& c : g_calls) {
        c = 0;
    }
    for (uint8_t ch : {kList, kFms, kPb2m}) {
        ASSERT_EQ(rig.lib->watchMailbox(0, ch, onReport, ch, 5), 0) << int(ch);
        EXPECT_EQ(rig.lib->watchMailbox(0, ch, onReport, ch, 5), 4);
    }
    rig.list()->postReport({0x51});
    rig.fms()->postFma7Report({0x52});
    rig.pb2m()->postReport(0x53, {1});
    // The callback repeats for as long as the report waits in the mailbox.
    ASSERT_TRUE(
        eventually([] { return g_calls[kList] > 1 && g_calls[kFms] > 1 && g_calls[kPb2m] > 1; }));
    uint8_t report[256], code = 0, data[260];
    ASSERT_EQ(listGetReport(rig.l(), 0, kList, report), 0);
    EXPECT_EQ(report[0], 0x51);
    ASSERT_EQ(fma7GetReport(rig.l(), 0, kFms, report), 0);
    EXPECT_EQ(report[0], 0x52);
    ASSERT_EQ(pb2mGetReport(rig.l(), 0, kPb2m, &code, data), 0);
    EXPECT_EQ(code, 0x53);
    for (uint8_t ch : {kList, kFms, kPb2m}) {
        EXPECT_EQ(rig.lib->stopWatchThread(0, ch), 0);
        EXPECT_EQ(rig.lib->stopWatchThread(0, ch), 5);
    }
}

TEST(DpsLockThreads, OutputDataIsNeverReadHalfWritten) {
    FamilyRig rig(/*virtualTime=*/false);
    const uint8_t cfg[] = {0x6F, 0x6F, 0x6F, 0x6F, 0x6F, 0x6F};  // 6 x 16 words out
    ASSERT_EQ(dpsWriteCfgData(rig.l(), 0, kDps, cfg, sizeof cfg), 0);
    auto dps = rig.dps();
    std::atomic<bool> stop{false};
    std::thread master([&] {
        for (uint8_t k = 1; !stop; ++k) {
            dps->masterWriteOutput(std::vector<uint8_t>(192, k));
            std::this_thread::sleep_for(100us);
        }
    });
    std::vector<uint8_t> data(192);
    uint8_t length = 0;
    int torn = 0, reads = 0, changes = 0;
    uint8_t last = 0;
    const auto end = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(dpsReadOutputData(rig.l(), 0, kDps, data.data(), &length), 0);
        ASSERT_EQ(length, 192);
        ++reads;
        for (uint8_t b : data) {
            torn += b != data[0];
        }
        changes += data[0] != last;
        last = data[0];
    }
    stop = true;
    master.join();
    EXPECT_EQ(torn, 0) << reads << " reads";
    EXPECT_GT(changes, 1);  // the master's writes did come through meanwhile
}

// The library's half and the board firmware's half of a record lock, each in a thread of
// its own taking the record as fast as it can: no round may find the other side inside.
// A lock whose claim can be passed by the read of the other side's byte (a store buffer
// does that) lets both in within a few thousand rounds.
TEST(DpsLockThreads, TheLibraryAndTheBoardAreNeverInsideARecordTogether) {
    alignas(64) uint8_t memory[64] = {};
    constexpr uint32_t kLock = 8;
    Dpr host(memory, sizeof memory);
    nubox_sim::DprView board(memory, sizeof memory);
    romtide::SteadyClock clock;
    constexpr int kRounds = 200000;
    const auto end = std::chrono::steady_clock::now() + 400ms;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    int64_t entries = 0;  // counted inside the record only: lost counts are overlaps too
    std::atomic<bool> go{false};
    auto enter = [&](int me) {
        inside.store(me, std::memory_order_relaxed);
        for (int i = 0; i < 8; ++i) {
            if (inside.load(std::memory_order_relaxed) != me) {
                overlaps.fetch_add(1, std::memory_order_relaxed);
                break;
            }
        }
        ++entries;
    };
    int boardRounds = 0;
    std::thread firmware([&] {
        while (!go) {
        }
        for (; boardRounds < kRounds && std::chrono::steady_clock::now() < end; ++boardRounds) {
            nubox_sim::dpsBoardClaim(board, kLock);
            while (nubox_sim::dpsHostHasRecord(board, kLock)) {
            }
            enter(2);
            nubox_sim::dpsBoardRelease(board, kLock);
        }
    });
    int hostRounds = 0, busy = 0;
    go = true;
    for (; hostRounds < kRounds && std::chrono::steady_clock::now() < end; ++hostRounds) {
        if (!dpsLockRecord(host, kLock, clock)) {
            ++busy;
            continue;
        }
        enter(1);
        dpsUnlockRecord(host, kLock);
    }
    firmware.join();
    EXPECT_EQ(overlaps.load(), 0) << hostRounds << " + " << boardRounds << " rounds";
    EXPECT_EQ(entries, hostRounds - busy + boardRounds);
    EXPECT_GT(hostRounds, 1000);
    EXPECT_GT(boardRounds, 1000);
}

TEST(ListThreads, AnEntryIsNeverReadHalfUpdated) {
    FamilyRig rig(/*virtualTime=*/false);
    auto list = rig.list();
    list->setEntry(10, 0, std::vector<uint8_t>(50, 0), 1);
    std::atomic<bool> stop{false};
    // The board updates the entry once per bus cycle, at least 46 µs apart.
    std::thread board([&] {
        for (uint32_t k = 1; !stop; ++k) {
            list->setEntry(10, k & 0xFF, std::vector<uint8_t>(50, static_cast<uint8_t>(k)), 1);
            std::this_thread::sleep_for(50us);
        }
    });
    ListEntry entry;
    int torn = 0;
    const auto end = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(listReadInputData(rig.l(), 0, kList, &entry, 10, 1), 0);
        ASSERT_EQ(entry.length, 50);
        for (int i = 0; i < 50; ++i) {
            torn += entry.data[i] != static_cast<uint8_t>(entry.value);
        }
    }
    stop = true;
    board.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace nuboxlink_test
