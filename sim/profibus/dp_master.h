// The bus side of a class-1 DP master on a simulated segment: it keeps the bus
// parameters and a parameter set per slave, parameterises the slaves (diagnosis, Set_Prm,
// Chk_Cfg, diagnosis) and polls every slave in data exchange, one after the other, for
// as long as it is in CLEAR or OPERATE. Every transaction occupies the bus for the time
// its frames take at the segment's baud rate; nothing is scheduled while there is
// nothing to do. The process image (the board's data area and status block) sits
// behind an interface, so the master knows nothing of the board that hosts it.
//
// Locks: the master calls the process image and the slaves while it holds its own lock,
// never the other way round; completion callbacks run without it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/profibus/dp_segment.h"
#include "sim/profibus/dp_timing.h"

namespace romtide::sim {

enum class DpMode { Stop, Clear, Operate };

struct DpIoLength {
    int inputs = 0;
    int outputs = 0;
};
// The input and output bytes that a configuration (DP identifier bytes, general and
// special format) describes; nullopt when it is cut short or describes more than a slave
// can exchange.
std::optional<DpIoLength> dpConfigLength(const std::vector<uint8_t>& cfg);

// A slave's parameter set as the master keeps it.
struct DpSlaveParameters {
    std::vector<uint8_t> prm;
    std::vector<uint8_t> cfg;
    uint16_t inputOffset = 0;
    uint16_t outputOffset = 0;
    int inputBytes = 0;
    int outputBytes = 0;
};

class DpProcessImage {
  public:
    virtual ~DpProcessImage() = default;
    // A consistent copy of a station's output bytes; false when there is none at the
    // moment (the station then gets what it got last time).
    virtual bool readOutputs(int station, uint16_t offset, uint8_t* dst, size_t n) = 0;
    virtual void writeInputs(int station, uint16_t offset, const uint8_t* src, size_t n) = 0;
    // Data transfer list and system diagnostic: one bit per station address.
    virtual void setStatus(const uint8_t transferList[16], const uint8_t diagnostic[16],
                           bool online) = 0;
};

struct DpLiveEntry {
    int address;
    DpStationType type;
    bool operator==(const DpLiveEntry&) const = default;
};

class DpMaster {
  public:
    // The master claims the token this long after it got its bus parameters.
    static constexpr int64_t kOnlineDelayUs = 20000;

    DpMaster(DpSegment& segment, DpProcessImage& image);
    ~DpMaster();
    DpMaster(const DpMaster&) = delete;
    DpMaster& operator=(const DpMaster&) = delete;

    // A board restart: STOP, no parameter sets, offline; what was under way is dropped.
    void reset();
    // Only in STOP and for a baud rate the master runs; the master leaves the bus and
    // comes back online at the new rate after kOnlineDelayUs. A diagnosis under way is
    // answered as if the station were absent.
    bool loadBusParameters(int ownAddress, const DpTiming& timing);
    void setMode(DpMode mode);
    // No set: the station is forgotten. A set (re)parameterises it when the master is in
    // CLEAR or OPERATE, else when it leaves STOP.
    void setSlaveParameters(int address, std::optional<DpSlaveParameters> set);
    // Reads a station's diagnosis over the bus; `done` gets it when the transaction ends
    // (never under the master's lock). False when the master is offline.
    bool diagnose(int address, std::function<void(const DpDiagnosis&)> done);
    // Nullopt while the master is not in the token ring.
    std::optional<std::vector<DpLiveEntry>> liveList() const;

    bool online() const;
    DpMode mode() const;
    // The master's own station address (from its bus parameters).
    int address() const;
    bool inDataExchange(int address) const;
    // Data exchanges completed, over all stations.
    uint64_t exchanges() const;

  private:
    enum class SlotState { Idle, Pending, DataExchange, Faulted, Absent };
    struct Slot {
        std::optional<DpSlaveParameters> set;
        SlotState state = SlotState::Idle;
        std::vector<uint8_t> lastOutputs;  // what the station got in its last exchange
    };
    struct Job {
        enum class Kind { Exchange, Parameterise, Diagnose } kind = Kind::Exchange;
        int address = 0;
        std::function<void(const DpDiagnosis&)> done;
        bool answered = false;  // exchange: the slave answered as a slave in data exchange
        std::vector<uint8_t> outputs;
        std::vector<uint8_t> inputs;
    };
    using After = std::function<void()>;

    void kick();
    void startNext();
    void occupy(int64_t bits);
    void finishCurrent(uint64_t epoch);
    After finishExchange(Job& job);
    void finishParameterise(int address);
    void queueParameterise(int address);
    void dropQueued(int address);
    int nextInDataExchange() const;
    int64_t parameteriseBits(int address) const;
    int64_t diagnoseBits(int address) const;
    DpDiagnosis diagnosisOf(int address) const;
    DpStation* presentStation(int address) const;
    void publish();
    void onArrival(int address);
    std::vector<std::function<void(const DpDiagnosis&)>> takeDiagnoses();

    DpSegment& segment_;
    DpProcessImage& image_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;
    uint64_t epoch_ = 0;  // events of an earlier epoch find nothing to do
    int address_ = 1;
    std::optional<DpTiming> timing_;
    bool online_ = false;
    DpMode mode_ = DpMode::Stop;
    std::array<Slot, kDpHighestAddress + 1> slots_;
    std::deque<Job> jobs_;
    std::optional<Job> current_;
    bool busy_ = false;
    int64_t anchorUs_ = 0;  // bus time counts in bits from here while the bus stays busy
    int64_t busBits_ = 0;
    int lastPolled_ = -1;
    uint64_t exchanges_ = 0;
    std::optional<std::array<uint8_t, 33>> published_;
};

}  // namespace romtide::sim
