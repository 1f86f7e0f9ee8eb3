// The board firmware of the channel families other than the DP master, behind a
// simulated board's DPR: the list, FMS/FMA7 and PB2M firmware take commands and answer
// each with an echo (first byte or code + 0xC0) through their report mailboxes, moving
// the flag bits exactly as a board does, and the DP slave firmware plays its records
// for a simulated DP master under the three-byte lock. Each channel object has its own
// lock, so tests can drive the bus side while the firmware runs on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/clock.h"

namespace nubox_sim {

// A confirmation as the simulated firmware answers: the command with its first byte
// (or PB2M code) + 0xC0.
inline constexpr uint8_t kEchoOffset = 0xC0;
inline constexpr uint32_t kSimMailbox = 256;

// Byte access to the DPR as the board's processor sees it.
class DprView {
  public:
    DprView() = default;
    DprView(uint8_t* base, uint32_t size) : base_(base), size_(size) {}
    uint8_t get(uint32_t offset, std::memory_order order = std::memory_order_acquire) const;
    void put(uint32_t offset, uint8_t value, std::memory_order order = std::memory_order_release);
    void read(uint32_t offset, uint8_t* dst, uint32_t n) const;
    void write(uint32_t offset, const uint8_t* src, uint32_t n);

  private:
    uint8_t* base_ = nullptr;
    uint32_t size_ = 0;
};

// The board's half of a DP slave record lock whose three bytes {host wants, board
// wants, turn} start at `lock`: the board claims the record and leaves the turn to the
// host, so a host already waiting goes first; it may enter once the host does not have
// the record; it lets go by clearing its byte.
void dpsBoardClaim(DprView& dpr, uint32_t lock);
bool dpsHostHasRecord(const DprView& dpr, uint32_t lock);
void dpsBoardRelease(DprView& dpr, uint32_t lock);

// Where the channel command's areas stand while the channels are laid out.
struct AreaCursors {
    uint32_t a, b, c;
    uint32_t aEnd, bEnd, cEnd;
    uint32_t takeA(uint32_t n) {
        const uint32_t at = a;
        a += n;
        return at;
    }
    bool fits() const { return a <= aEnd && b <= bEnd && c <= cEnd; }
};

class SimFamilyChannel {
  public:
    SimFamilyChannel(DprView dpr, uint8_t index, romtide::Clock& clock)
        : dpr_(dpr), index_(index), clock_(clock) {}
    virtual ~SimFamilyChannel() = default;
    // Takes the channel's areas in the order the library takes them, then its flag
    // bytes; false when they do not fit (the channel then stays idle).
    bool layout(AreaCursors& areas);
    // One pass of the firmware's main loop for this channel.
    void serve();

    uint8_t hostFlag() const;
    uint8_t boardFlag() const;

  protected:
    virtual void takeAreas(AreaCursors& areas) = 0;
    virtual void serveLocked() = 0;
    // Bits where the host flag differs from the board flag: commands not yet taken,
    // reports not yet acknowledged, signals.
    uint8_t pending() const { return hostFlag() ^ boardFlag(); }
    void toggleBoard(uint8_t bits);
    void setBoard(uint8_t bits, bool on);
    // Takes the commands the host left in a mailbox pair; with both full, the one the
    // host filled last (`secondLast`: the second) goes second.
    template <class Take>
    void takeCommandPair(uint8_t firstBit, uint8_t secondBit, bool secondLast, Take&& take) {
        const uint8_t p = pending();
        const bool one = p & firstBit, two = p & secondBit;
        if (one && two) {
            take(secondLast ? 1 : 2);
            take(secondLast ? 2 : 1);
        } else if (one || two) {
            take(one ? 1 : 2);
        }
    }
    // Puts a report into the free mailbox of a pair with `write(box)`, marks with
    // `firstOlder` whether the first holds the older report, and hands it over; false
    // when both still wait.
    template <class Write>
    bool placeInPair(uint8_t firstBit, uint8_t secondBit, uint8_t firstOlder, Write&& write) {
        const uint8_t p = pending();
        const bool free1 = (p & firstBit) == 0, free2 = (p & secondBit) == 0;
        if (!free1 && !free2) {
            return false;
        }
        const int box = free1 ? 1 : 2;
        write(box);
        const bool otherWaits = box == 1 ? !free2 : !free1;
        setBoard(firstOlder, otherWaits ? box == 2 : box == 1);
        toggleBoard(box == 1 ? firstBit : secondBit);
        return true;
    }

    mutable std::mutex mutex_;
    DprView dpr_;
    uint8_t index_;
    romtide::Clock& clock_;
    uint32_t hostFlag_ = 0, boardFlag_ = 0;
};

// The firmware of a family's channel, or none for the DP master and unknown types.
std::shared_ptr<SimFamilyChannel> makeSimFamilyChannel(uint8_t type, uint16_t parameter,
                                                       DprView dpr, uint8_t index,
                                                       romtide::Clock& clock);

class SimListChannel final : public SimFamilyChannel {
  public:
    SimListChannel(DprView dpr, uint8_t index, romtide::Clock& clock, uint16_t dataSize)
        : SimFamilyChannel(dpr, index, clock), dataSize_(dataSize) {}

    void postReport(const std::vector<uint8_t>& report);
    std::vector<std::vector<uint8_t>> takenCommands();
    // Updates an entry under the update counter, naming it in the status word.
    void setEntry(uint16_t offset, uint32_t value, const std::vector<uint8_t>& bytes,
                  uint8_t entry);
    // Half an update: the counter is odd and names the entry until finishUpdate.
    void beginUpdate(uint8_t entry);
    void finishUpdate();
    // Bytes written into the data area as they are, without the counter.
    void writeData(uint16_t offset, const std::vector<uint8_t>& bytes);

  private:
    void takeAreas(AreaCursors& areas) override;
    void serveLocked() override;

    uint16_t dataSize_;
    uint32_t data_ = 0, status_ = 0, reportBox_ = 0, commandBox_ = 0;
    std::deque<std::vector<uint8_t>> reports_;
    std::vector<std::vector<uint8_t>> commands_;
};

class SimFmsChannel final : public SimFamilyChannel {
  public:
    using SimFamilyChannel::SimFamilyChannel;

    struct Command {
        int mailbox;  // 1 or 2; 0 for FMA7
        std::vector<uint8_t> bytes;
    };
    void postReport(const std::vector<uint8_t>& report);
    void postFma7Report(const std::vector<uint8_t>& report);
    std::vector<Command> takenCommands();

  private:
    void takeAreas(AreaCursors& areas) override;
    void serveLocked() override;
    void takeCommand(int mailbox);

    uint32_t report1_ = 0, report2_ = 0, fma7Report_ = 0;
    uint32_t command1_ = 0, command2_ = 0, fma7Command_ = 0;
    std::deque<std::vector<uint8_t>> reports_, fma7Reports_;
    std::vector<Command> commands_;
};

class SimPb2mChannel final : public SimFamilyChannel {
  public:
    using SimFamilyChannel::SimFamilyChannel;

    struct Message {
        int slot;  // 1 or 2
        std::vector<uint8_t> header;
        std::vector<uint8_t> data;
    };
    void postReport(uint8_t code, const std::vector<uint8_t>& data);
    std::vector<Message> takenCommands();
    unsigned resets();

  private:
    struct Slot {
        uint32_t header = 0, data = 0;
    };
    void takeAreas(AreaCursors& areas) override;
    void serveLocked() override;
    void takeCommand(int slot);

    Slot report1_, report2_, command1_, command2_;
    std::deque<std::pair<uint8_t, std::vector<uint8_t>>> reports_;
    std::vector<Message> commands_;
    unsigned resets_ = 0;
};

// The DP slave: the board's side of every record lock, and a simulated DP master that
// sends output and parameter data and reads the input data the library signalled.
class SimDpsChannel final : public SimFamilyChannel {
  public:
    using SimFamilyChannel::SimFamilyChannel;

    // Board flag bits this firmware raises as events.
    static constexpr uint8_t kEventOutput = 0x01;
    static constexpr uint8_t kEventParameters = 0x02;
    static constexpr uint8_t kEventAddress = 0x04;

    uint32_t block() const { return block_; }
    void setStationAddress(uint8_t address, const std::vector<uint8_t>& record);
    void masterWriteOutput(const std::vector<uint8_t>& bytes);
    void masterWriteParameters(const std::vector<uint8_t>& bytes);
    // Toggles board event bits (0-4) as the firmware does for its own reasons.
    void raiseEvents(uint8_t bits);
    // The board takes the record lock at `lock` and keeps it until `untilUs`.
    void holdLock(uint32_t lock, int64_t untilUs);
    // What the master last read after the library signalled input data.
    std::vector<uint8_t> inputSeenByMaster();
    std::vector<uint8_t> configuration();
    std::vector<uint8_t> diagnosis();
    std::vector<uint8_t> comPar();
    // Signals taken: input, configuration or diagnosis, communication parameters.
    unsigned signalsTaken();
    // True while the board has a record lock (wants or holds it).
    bool boardWantsLock(uint32_t lock) const;

  private:
    struct Action {
        uint32_t lock;
        std::function<void()> body;
        int64_t holdUntilUs = 0;
        bool claimed = false;
    };
    void takeAreas(AreaCursors& areas) override;
    void serveLocked() override;
    void takeSignals();
    // Runs queued record accesses in order; one whose lock the host has waits.
    void runActions();
    void queue(uint32_t lock, std::function<void()> body, int64_t holdUntilUs = 0);
    std::vector<uint8_t> readRecord(uint32_t lengthAt, uint32_t bytesAt, uint32_t max) const;

    uint32_t block_ = 0;
    std::deque<Action> actions_;
    uint8_t signalsQueued_ = 0;
    std::vector<uint8_t> input_, configuration_, diagnosis_, comPar_;
    unsigned signalsTaken_ = 0;
};

}  // namespace nubox_sim
