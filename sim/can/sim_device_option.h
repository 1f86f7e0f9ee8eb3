// The text that names a simulated device on a command line (--sim-device), shared by the
// headless bootloader commands and the bus server:
//   node=N,kbit=K,boot=V,product=L[,name=TEXT][,version=TEXT][,mode=app|boot][,delay=US]
//   [,fail=noack@N|erase|erase-silent|gone@N|stale|silent-after]
// and, where a program hosts several buses, iface=NAME.
#pragma once

#include <optional>
#include <string>

#include "sim/can/sim_device.h"

namespace romtide::sim {

struct SimDeviceOption {
    SimDeviceConfig config;
    std::string iface;       // empty: the program's first bus
    bool kbitGiven = false;  // otherwise the device runs at its bus's rate
};

// The bit rates a CAN device can run at, in kbit/s.
bool isCanKbit(int kbit);

// `allowIface`: whether iface=NAME is understood. On failure `error` says which item.
std::optional<SimDeviceOption> parseSimDeviceOption(const std::string& text, bool allowIface,
                                                    std::string* error);

}  // namespace romtide::sim
