// What the channel families on a DPR board have in common: their areas taken front to
// back at Init, the pre-filled report mailboxes, the host flag byte kept as a local
// copy and written whole, and the input copy under the board's update counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "base/clock.h"
#include "nuboxlink/board/dpr.h"

namespace nuboxlink {

class CIsaChannel;
class CIsaDevice;

inline constexpr uint32_t kMailboxBytes = 256;

// One area of area A that a channel takes at Init, and where its offset goes.
struct AreaRequest {
    uint32_t size;
    uint32_t* offset;
};

// Takes the areas in A in the order given, then one host flag byte from B and one board
// flag byte from C. Every area is taken even after one failed, as the firmware counts
// the same way; false when any did not fit.
bool takeChannelAreas(CIsaDevice& board, std::initializer_list<AreaRequest> areas,
                      uint32_t* hostFlag, uint32_t* boardFlag);

// A channel object stops its own watch before its parts go (the watch thread polls
// them) and gives a callback still running time to return.
void endWatch(CIsaChannel& channel);

// Leaves the firmware's greeting in a report mailbox, so a program that reads one before
// the board ever answered sees that the channel is alive.
void fillReportMailbox(Dpr& dpr, uint32_t offset);

// The flag byte pair of a channel. The library changes its flags only in the local copy
// and then writes the whole copy to the host flag byte; a bit where the board flag
// differs from the copy is a command not yet taken, a report waiting or an event.
class ChannelFlags {
  public:
    void bind(Dpr& dpr, uint32_t hostFlag, uint32_t boardFlag) {
        dpr_ = &dpr;
        host_ = hostFlag;
        board_ = boardFlag;
        local_.store(dpr.get(hostFlag), std::memory_order_relaxed);
    }
    uint8_t board() const { return dpr_->get(board_); }
    uint8_t local() const { return local_.load(std::memory_order_relaxed); }
    uint8_t differing() const { return static_cast<uint8_t>(board() ^ local()); }
    // Toggles, then sets, then clears the given bits of the copy and writes it. Only
    // channel calls change the copy (under the device lock); watches only read it.
    void change(uint8_t toggle, uint8_t set = 0, uint8_t clear = 0) {
        const uint8_t v = static_cast<uint8_t>(((local() ^ toggle) | set) & ~clear);
        local_.store(v, std::memory_order_relaxed);
        dpr_->put(host_, v);
    }

    // Hands over command mailbox `box` (1 or 2) of a pair by toggling its bit, and tells
    // the board which one was filled last: `secondLast` set for the second, clear for the
    // first.
    void handOverCommand(int box, uint8_t firstBit, uint8_t secondBit, uint8_t secondLast) {
        if (box == 1) {
            change(firstBit, 0, secondLast);
        } else {
            change(secondBit, secondLast);
        }
    }

  private:
    Dpr* dpr_ = nullptr;
    uint32_t host_ = 0, board_ = 0;
    std::atomic<uint8_t> local_{0};
};

// Families with two command mailboxes (or slots) fill the first while the board has
// taken its last command, else the second: 1, 2, or 0 when both are busy.
inline int freeMailbox(uint8_t differing, uint8_t firstBit, uint8_t secondBit) {
    if ((differing & firstBit) == 0) {
        return 1;
    }
    return (differing & secondBit) == 0 ? 2 : 0;
}

// ... and two report mailboxes: the one waiting, or with both waiting the first when the
// board's `firstOlder` bit says it holds the older report; 0 when none waits.
inline int waitingMailbox(uint8_t board, uint8_t local, uint8_t firstBit, uint8_t secondBit,
                          uint8_t firstOlder) {
    const uint8_t x = static_cast<uint8_t>(board ^ local);
    const bool first = x & firstBit, second = x & secondBit;
    if (!first && !second) {
        return 0;
    }
    return first && (!second || (board & firstOlder)) ? 1 : 2;
}

// A board that stopped in the middle of updating input data would keep a reader
// repeating its copy for ever; after this long the read counts as failed.
inline constexpr int64_t kInputReadLimitUs = 1000000;

// The board's update counter is one byte: 128 updates during one copy bring it back to
// where it was. A board updates at most once per bus cycle (some 46 µs at 12 Mbit/s), so
// 128 updates take several milliseconds; a copy that took longer than this (the caller's
// thread was preempted in the middle of it) is repeated whatever the counter says.
inline constexpr int64_t kInputCopyMaxUs = 2000;

// Copies input data that the board updates under its counter (odd while it writes, the
// station byte naming what it writes): `copy` runs until a copy is consistent, that is
// the counter was even and unchanged, or it moved only for what `ours` says is not the
// caller's. False when the board kept the data in motion past kInputReadLimitUs.
template <class Copy, class Ours>
bool consistentCopy(romtide::Clock& clock, const Dpr& dpr, uint32_t counter, uint32_t station,
                    Copy&& copy, Ours&& ours) {
    const int64_t start = clock.nowUs();
    for (uint32_t attempt = 1;; ++attempt) {
        const int64_t copyStart = clock.nowUs();
        const uint8_t c1 = dpr.get(counter);
        copy();
        const uint8_t s = dpr.get(station);
        const uint8_t c2 = dpr.get(counter);
        const bool quick = clock.nowUs() - copyStart <= kInputCopyMaxUs;
        const uint8_t d = static_cast<uint8_t>(c2 - c1);
        const bool even = (c1 & 1) == 0;
        if (quick && ((even && d == 0) || (even && (d == 1 || d == 2) && !ours(s)) ||
                      (!even && d <= 1 && !ours(s)))) {
            return true;
        }
        if ((attempt & 0xFF) == 0 &&
            (clock.nowUs() - start > kInputReadLimitUs || attempt >= (1u << 30))) {
            return false;
        }
    }
}

}  // namespace nuboxlink
