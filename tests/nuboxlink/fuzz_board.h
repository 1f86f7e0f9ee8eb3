// What the DPR fuzz targets start from: one simulated PCI board as device 0 with the
// given channels, the library initialised on it, and then a clock that moves on every
// look, so every wait for the board ends in a bounded number of steps.
#pragma once

#include <cstdlib>
#include <initializer_list>

#include "nuboxlink/interface/library.h"
#include "sim/nubox/in_process_platform.h"
#include "tests/nuboxlink/ticking_clock.h"

namespace nuboxlink_test {

struct FuzzBoard {
    explicit FuzzBoard(std::initializer_list<ChannelDescriptor> channels)
        : board(addBoard(platform)), lib(platform) {
        DeviceConfig configs[16] = {};
        size_t i = 0;
        for (const ChannelDescriptor& c : channels) {
            configs[0].channels[i++] = c;
        }
        if (lib.initDll(configs, 1, nullptr, nullptr) != 0) {
            std::abort();
        }
        platform.overrideClock(&ticking);
    }
    // The library ends on the platform's own clock.
    ~FuzzBoard() { platform.overrideClock(nullptr); }
    FuzzBoard(const FuzzBoard&) = delete;
    FuzzBoard& operator=(const FuzzBoard&) = delete;

    TickingClock ticking;
    nubox_sim::InProcessPlatform platform;
    nubox_sim::SimBoard& board;
    nuboxlink::Library lib;

  private:
    static nubox_sim::SimBoard& addBoard(nubox_sim::InProcessPlatform& platform) {
        nubox_sim::BoardSetup setup;
        setup.id = 0x42;
        nubox_sim::SimBoard& board = platform.addBoard(setup);
        platform.setDevice(0, {{"PCI-Board", nuboxlink::RegValue::ofDword(0x42)}});
        return board;
    }
};

}  // namespace nuboxlink_test
