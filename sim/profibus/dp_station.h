// What stands on a simulated DP segment: stations with an address, some of them DP
// slaves. The master drives the slaves' services; a slave keeps the state a real DP
// slave keeps (waiting for parameters, waiting for its configuration, data exchange).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace romtide::sim {

// Station types as the live list gives them.
enum class DpStationType : uint8_t { Slave = 0x00, Master = 0x30 };

inline constexpr int kDpHighestAddress = 126;

// The six bytes of the standard DP diagnosis.
using DpDiagnosis = std::array<uint8_t, 6>;

// Bits of the standard diagnosis.
inline constexpr uint8_t kDiagStationNonExistent = 0x01;  // status 1, set by the master
inline constexpr uint8_t kDiagStationNotReady = 0x02;
inline constexpr uint8_t kDiagCfgFault = 0x04;
inline constexpr uint8_t kDiagInvalidResponse = 0x20;  // status 1, set by the master
inline constexpr uint8_t kDiagPrmFault = 0x40;
inline constexpr uint8_t kDiagPrmReq = 0x01;        // status 2
inline constexpr uint8_t kDiagStatus2Fixed = 0x04;  // status 2: always 1 from a slave
inline constexpr uint8_t kDiagNoMaster = 0xFF;      // master address of an unlocked slave

class DpSlave;

class DpStation {
  public:
    virtual ~DpStation() = default;
    virtual int address() const = 0;
    virtual DpStationType type() const = 0;
    // On the bus now: answers requests and shows in the live list.
    virtual bool present() const = 0;
    virtual DpSlave* asSlave() { return nullptr; }
};

class DpSlave : public DpStation {
  public:
    DpStationType type() const override { return DpStationType::Slave; }
    DpSlave* asSlave() override { return this; }

    // Set_Prm and Chk_Cfg from the master with address `master`.
    virtual void setParameters(int master, const std::vector<uint8_t>& prm) = 0;
    virtual void checkConfiguration(const std::vector<uint8_t>& cfg) = 0;
    virtual DpDiagnosis diagnosis() const = 0;
    virtual bool inDataExchange() const = 0;
    // The min TSDR the slave keeps to (from its parameter data).
    virtual int minTsdr() const = 0;
    // Data exchange: the input it answers a request with, and the outputs once the
    // request has been received in full.
    virtual std::vector<uint8_t> inputs() const = 0;
    virtual void receiveOutputs(const std::vector<uint8_t>& outputs) = 0;
};

// The DP slave state machine: parameter data checked against the slave's ident number,
// configuration against its own. Not synchronised: its slave guards it.
class DpSlaveState {
  public:
    DpSlaveState(uint16_t ident, std::vector<uint8_t> config)
        : ident_(ident), config_(std::move(config)) {}

    // Power on: no parameters, no configuration, no master; faults forgotten.
    void restart(std::vector<uint8_t> config);
    void setParameters(int master, const std::vector<uint8_t>& prm);
    void checkConfiguration(const std::vector<uint8_t>& cfg);
    bool inDataExchange() const { return state_ == State::DataExchange; }
    DpDiagnosis diagnosis() const;
    int minTsdr() const { return minTsdr_; }
    uint16_t ident() const { return ident_; }

  private:
    enum class State { WaitPrm, WaitCfg, DataExchange };
    uint16_t ident_;
    std::vector<uint8_t> config_;
    State state_ = State::WaitPrm;
    bool prmFault_ = false;
    bool cfgFault_ = false;
    int master_ = kDiagNoMaster;
    int minTsdr_ = 0;
};

// Another master in the token ring: it holds an address and shows in the live list,
// but is no DP slave.
class DpOtherMaster final : public DpStation {
  public:
    explicit DpOtherMaster(int address) : address_(address) {}
    int address() const override { return address_; }
    DpStationType type() const override { return DpStationType::Master; }
    bool present() const override { return true; }

  private:
    int address_;
};

}  // namespace romtide::sim
