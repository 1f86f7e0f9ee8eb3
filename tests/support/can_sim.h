// A simulated CAN bus on the virtual clock, selected as the program's CAN interface, for
// tests of the CAN adapter, the protocol and the search.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "can/tcancomm.h"
#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"
#include "support/fakes.h"
#include "vci/virtual_bus.h"

namespace romtide::test {

// A node of the bus that the test makes answer by hand.
struct Peer : vci::VirtualBusNode {
    Peer(sim::SimBus& b, uint32_t rate) : bus(b) { handle = bus.attach(*this, rate); }
    ~Peer() override { bus.detach(handle); }
    void onFrame(const vci::CanFrame& f, int64_t) override { heard.push_back(f); }
    void send(uint32_t id, std::vector<uint8_t> bytes) {
        vci::CanFrame f;
        f.id = id;
        f.length = static_cast<uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), f.data);
        bus.send(handle, f);
    }
    sim::SimBus& bus;
    int handle;
    std::vector<vci::CanFrame> heard;
};

// Kbit/s of a TCANComm baud index.
inline int kbitOf(int baudIndex) {
    return TCANComm::kBitRates[static_cast<size_t>(baudIndex)].kbit;
}

struct CanSim {
    explicit CanSim(const std::string& busName = "test") : bus(scheduler, busName) {
        TCANComm::resetSharedState();
        TCANComm::setRegistryModulePath({});
        ::setenv("ROMTIDE_CAN_INTERFACE", bus.uri().c_str(), 1);
    }
    ~CanSim() {
        TCANComm::resetSharedState();
        ::unsetenv("ROMTIDE_CAN_INTERFACE");
    }
    sim::SimCanDevice& addDevice(sim::SimDeviceConfig config) {
        devices.push_back(std::make_unique<sim::SimCanDevice>(bus, std::move(config)));
        return *devices.back();
    }
    // Lets `ms` of virtual time pass and runs what the bus posted to the pump.
    void run(int64_t ms) {
        ts.clock.sleepMs(ms);
        ts.pump.processPending();
    }

    TestServices ts;
    sim::VirtualScheduler scheduler{ts.clock};
    sim::SimBus bus;
    std::vector<std::unique_ptr<sim::SimCanDevice>> devices;
};

}  // namespace romtide::test
