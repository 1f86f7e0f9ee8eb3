// The built-in simulated CAN bus with its devices, in real time: what `--simulate`
// gives the headless commands and the desktop program when no hardware is at hand.
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"

namespace romtide {

// Three devices at 125 kbit/s: one current, one that needs the two-stage renewal, one
// of the first generation that needs its product named.
std::vector<sim::SimDeviceConfig> defaultScenario();

struct Simulation {
    explicit Simulation(const std::vector<sim::SimDeviceConfig>& configs);
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;
    // Makes the program's hardware selection take this bus (ROMTIDE_CAN_INTERFACE).
    void selectAsInterface() const;

    sim::RealTimeScheduler scheduler;
    sim::SimBus bus{scheduler, "sim"};
    std::vector<std::unique_ptr<sim::SimCanDevice>> devices;
    std::FILE* trace = nullptr;
};

}  // namespace romtide
