#include "app/sim_scenario.h"

#include <stdlib.h>

namespace romtide {

std::vector<sim::SimDeviceConfig> defaultScenario() {
    sim::SimDeviceConfig current;
    current.node = 5;
    current.bootVersion = 3;
    current.product = 'D';
    current.name = "ENC";
    sim::SimDeviceConfig old = current;
    old.node = 6;
    old.bootVersion = 2;
    old.product = 'F';
    old.name = "QUAD";
    old.deviceType = 406u | (1u << 16);
    sim::SimDeviceConfig first = current;
    first.node = 7;
    first.bootVersion = 0;
    first.product = 'E';
    first.name = "INKR";
    first.deviceType = 406u | (4u << 16);
    return {current, old, first};
}

Simulation::Simulation(const std::vector<sim::SimDeviceConfig>& configs) {
    for (const auto& c : configs) {
        devices.push_back(std::make_unique<sim::SimCanDevice>(bus, c));
    }
}

Simulation::~Simulation() {
    scheduler.stop();  // nothing runs on the devices while they go
    devices.clear();
    bus.setTrace(nullptr);
    if (trace != nullptr) {
        std::fclose(trace);
    }
}

void Simulation::selectAsInterface() const {
    ::setenv("ROMTIDE_CAN_INTERFACE", bus.uri().c_str(), 1);
}

}  // namespace romtide
