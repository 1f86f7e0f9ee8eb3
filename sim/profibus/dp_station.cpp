#include "sim/profibus/dp_station.h"

namespace romtide::sim {

namespace {

// Parameter data: station status, two watchdog factors, min TSDR, ident number (high,
// low), group ident; user parameters may follow.
constexpr size_t kPrmMandatory = 7;
constexpr size_t kPrmMinTsdr = 3;
constexpr size_t kPrmIdentHigh = 4;
constexpr size_t kPrmIdentLow = 5;

}  // namespace

void DpSlaveState::restart(std::vector<uint8_t> config) {
    config_ = std::move(config);
    state_ = State::WaitPrm;
    prmFault_ = false;
    cfgFault_ = false;
    master_ = kDiagNoMaster;
    minTsdr_ = 0;
}

void DpSlaveState::setParameters(int master, const std::vector<uint8_t>& prm) {
    // New parameters always end a data exchange: the slave starts over.
    state_ = State::WaitPrm;
    cfgFault_ = false;
    const bool fits =
        prm.size() >= kPrmMandatory && (prm[kPrmIdentHigh] << 8 | prm[kPrmIdentLow]) == ident_;
    prmFault_ = !fits;
    if (!fits) {
        master_ = kDiagNoMaster;
        return;
    }
    master_ = master;
    if (prm[kPrmMinTsdr] != 0) {
        minTsdr_ = prm[kPrmMinTsdr];
    }
    state_ = State::WaitCfg;
}

void DpSlaveState::checkConfiguration(const std::vector<uint8_t>& cfg) {
    if (state_ == State::WaitPrm) {
        return;  // a slave without parameters ignores its configuration
    }
    cfgFault_ = cfg != config_;
    state_ = cfgFault_ ? State::WaitPrm : State::DataExchange;
}

DpDiagnosis DpSlaveState::diagnosis() const {
    uint8_t status1 = 0;
    if (state_ != State::DataExchange) {
        status1 |= kDiagStationNotReady;
    }
    if (cfgFault_) {
        status1 |= kDiagCfgFault;
    }
    if (prmFault_) {
        status1 |= kDiagPrmFault;
    }
    uint8_t status2 = kDiagStatus2Fixed;
    if (state_ == State::WaitPrm) {
        status2 |= kDiagPrmReq;
    }
    return {status1,
            status2,
            0,
            static_cast<uint8_t>(master_),
            static_cast<uint8_t>(ident_ >> 8),
            static_cast<uint8_t>(ident_)};
}

}  // namespace romtide::sim
