// A simulated nuBOX board: its dual-port RAM (shared memory, so it can be handed to a
// library in another process) and the firmware behind it. The firmware writes the
// ready signature after a restart, runs the layout and channel commands, keeps the flag
// toggles of the DP master mailboxes, and writes input data and the status block with
// the board's counter protocol. The commands of a DP master channel go to the DP master
// firmware attached to the board (a simulated DP segment behind it); a board without
// one answers every command with a report whose first byte is the command code + 0xC0.
// It also answers the driver requests of its board kind. Used in-process by tests and
// served to other processes by nubox-simd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "sim/nubox/sim_families.h"

namespace nubox_sim {

enum class BoardKind { Isa, Pci, Card, Usb };

struct BoardSetup {
    BoardKind kind = BoardKind::Pci;
    unsigned index = 0;  // ISA: device number; PCI, USB, card: driver slot
    uint16_t id = 0;     // PCI, USB: board id; card: socket
    uint32_t dprSize = 16384;
    bool hang = false;  // the firmware never clears the command byte
    // What the firmware leaves in every DPR byte it does not set when it boots: zeros
    // here, whatever the last session left on a real board.
    uint8_t bootFill = 0;
};

// "isa:N[:dpr=16384|32768|65536]", "pci:SLOT:ID", "usb:SLOT:ID", "card:SLOT:SOCKET",
// each optionally followed by ",hang". Numbers are decimal or 0x-prefixed hex.
std::optional<BoardSetup> parseBoardSetup(std::string_view text);
// The board driver's device name, without the leading "\\.\".
std::string deviceName(const BoardSetup& setup);

// What a board driver offers: control requests by code, and for USB boxes plain reads
// and writes and the events the library registers.
class SimDevice {
  public:
    virtual ~SimDevice() = default;
    // False when the request failed or is unknown; `mapsDpr` is set when the answer
    // hands over the DPR (dprFd()).
    virtual bool control(uint32_t code, const uint8_t* in, size_t inLen, std::vector<uint8_t>* out,
                         bool* mapsDpr) = 0;
    // Event registration (0x222044 with the events); the device keeps its own copies of
    // the descriptors.
    virtual bool registerEvents(const std::vector<int>&) { return false; }
    virtual bool write(const uint8_t*, size_t) { return false; }
    virtual bool read(size_t, std::vector<uint8_t>*) { return false; }
    virtual int dprFd() const { return -1; }
    virtual void step() = 0;
};

// The protocol side of the board's DP master channel. The board calls it from its main
// loop without holding its own lock, so it may call back into the board at any time.
class ChannelFirmware {
  public:
    virtual ~ChannelFirmware() = default;
    // A command block taken from the channel's mailbox (256 bytes).
    virtual void command(unsigned channel, const std::vector<uint8_t>& block) = 0;
    // The board was restarted.
    virtual void restarted() = 0;
};

class SimBoard final : public SimDevice {
  public:
    SimBoard(const BoardSetup& setup, romtide::Clock& clock);
    ~SimBoard() override;
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    const BoardSetup& setup() const { return spec_; }
    int dprFd() const override { return fd_; }
    uint8_t* dpr() { return dpr_; }
    uint32_t dprSize() const { return spec_.dprSize; }

    // A driver control request. False when the request failed or is unknown; `mapsDpr`
    // is set when the answer hands over the DPR.
    bool control(uint32_t code, const uint8_t* in, size_t inLen, std::vector<uint8_t>* out,
                 bool* mapsDpr) override;
    // Cards: the removal and released events of the plug-and-play driver.
    bool registerEvents(const std::vector<int>& fds) override;
    // The card is pulled: the driver signals the removal event.
    void removeCard();
    bool eventsRegistered();

    // One pass of the firmware's main loop.
    void step() override;

    static constexpr int64_t kBootTimeUs = 20000;

    // The firmware of the first DP master channel (null: the echo again). Attach and
    // detach only while nobody runs step().
    void attachDpMaster(ChannelFirmware* firmware);

    // The DP master firmware's access to a channel; nothing happens on a channel that is
    // not configured.
    uint16_t dataSize(unsigned channel);
    // A copy of output bytes that the library is not writing at the moment (its output
    // counter and station bytes); false when the data area does not hold them or the
    // library is writing them now (the master then sends what it sent before, as a board
    // sends only consistent data). A write that stays unfinished for 100 ms is of a library
    // that died in it: what it left is taken.
    bool readOutputs(unsigned channel, uint8_t station, uint16_t offset, uint8_t* dst, size_t n);

    // What the bus side of the firmware does, for tests and tools.
    void postReport(unsigned channel, const std::vector<uint8_t>& report);
    // The commands an echoing channel took (a DP master's commands go to its firmware).
    std::vector<std::vector<uint8_t>> takenCommands(unsigned channel);
    void updateInput(unsigned channel, uint8_t station, uint16_t offset,
                     const std::vector<uint8_t>& bytes);
    // An update in two halves, to catch the library in the middle of one.
    void beginInputUpdate(unsigned channel, uint8_t station);
    void finishInputUpdate(unsigned channel, uint16_t offset, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> output(unsigned channel, uint16_t offset, size_t n);
    uint8_t outputCounter(unsigned channel);
    void setStatus(unsigned channel, const uint8_t transferList[16], const uint8_t diagnostic[16],
                   uint8_t online);
    void setDiagState(unsigned channel, bool on);
    uint8_t remoteAccessFlag(unsigned channel);
    size_t pendingReports(unsigned channel);
    unsigned restarts();
    bool configured(unsigned channel);
    // The firmware of a DP slave, FMS, list or PB2M channel (none for the DP master).
    std::shared_ptr<SimFamilyChannel> family(unsigned channel);
    template <class Family>
    std::shared_ptr<Family> familyAs(unsigned channel) {
        return std::dynamic_pointer_cast<Family>(family(channel));
    }

  private:
    struct Channel {
        bool active = false;
        uint8_t type = 0;
        uint16_t dataSize = 0;
        uint32_t data = 0, status = 0, reportBox = 0, commandBox = 0, hostFlag = 0, boardFlag = 0;
        std::deque<std::vector<uint8_t>> reports;
        std::vector<std::vector<uint8_t>> commands;
        std::shared_ptr<SimFamilyChannel> family;
        // The library's output counter seen odd (a write under way) and since when.
        uint8_t writingCounter = 0;
        int64_t writingSinceUs = -1;
    };

    using Commands = std::vector<std::pair<unsigned, std::vector<uint8_t>>>;
    void boot();
    void runFirmware(Commands* forDpMaster);
    void runCommand();
    // `toDpMaster`: where this channel's commands go instead of the echo.
    void serveChannel(Channel& c, unsigned index, Commands* toDpMaster);
    uint8_t get(uint32_t off) const;
    void put(uint32_t off, uint8_t v);
    void readDpr(uint32_t off, uint8_t* dst, uint32_t n) const;
    void writeDpr(uint32_t off, const uint8_t* src, uint32_t n);

    BoardSetup spec_;
    romtide::Clock& clock_;
    int fd_ = -1;
    uint8_t* dpr_ = nullptr;

    std::mutex mutex_;
    bool booting_ = false;
    bool restartPending_ = false;  // the DP master firmware has not yet heard of it
    ChannelFirmware* dpMaster_ = nullptr;
    int64_t bootAtUs_ = 0;
    bool expectLayout_ = true;
    unsigned restarts_ = 0;
    int removalFd_ = -1, releasedFd_ = -1;
    void closeEvents();
    Channel channels_[4];
};

}  // namespace nubox_sim
