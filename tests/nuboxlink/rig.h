// A library on simulated boards in this process, on virtual time unless asked otherwise.
#pragma once

#include <memory>
#include <vector>

#include "nuboxlink/interface/library.h"
#include "sim/nubox/in_process_platform.h"

namespace nuboxlink_test {

using nubox_sim::BoardKind;
using nubox_sim::BoardSetup;
using nubox_sim::SimBoard;
using nuboxlink::RegValue;
using nuboxlink::RegValues;

struct Rig {
    explicit Rig(bool virtualTime = true)
        : platform(virtualTime), lib(std::make_unique<nuboxlink::Library>(platform)) {}

    // A PCI board in a driver slot, configured for a device number.
    SimBoard& addPci(unsigned device, unsigned slot, uint16_t id, bool hang = false) {
        BoardSetup setup;
        setup.kind = BoardKind::Pci;
        setup.index = slot;
        setup.id = id;
        setup.hang = hang;
        SimBoard& b = platform.addBoard(setup);
        platform.setDevice(device, RegValues{{"PCI-Board", RegValue::ofDword(id)}});
        return b;
    }
    SimBoard& addIsa(unsigned device, uint32_t dprSize) {
        BoardSetup setup;
        setup.kind = BoardKind::Isa;
        setup.index = device;
        setup.dprSize = dprSize;
        SimBoard& b = platform.addBoard(setup);
        platform.setDevice(device, RegValues{{"PortAddress", RegValue::ofDword(0x300)},
                                             {"MemoryAddress", RegValue::ofDword(0xD0000)},
                                             {"MemoryRange", RegValue::ofDword(dprSize)}});
        return b;
    }
    void channel(unsigned device, unsigned index, uint8_t type, uint16_t parameter) {
        configs[device].channels[index].type = type;
        configs[device].channels[index].parameter = parameter;
    }
    uint8_t init(uint16_t mask) { return lib->initDll(configs, mask, status, channelStatus); }
    int64_t nowMs() { return platform.clock().nowMs(); }

    nubox_sim::InProcessPlatform platform;
    std::unique_ptr<nuboxlink::Library> lib;
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
    uint8_t channelStatus[16] = {};
};

// A PCI board at device 0 with a DP master channel 0, configured.
constexpr uint16_t kDataArea = 6000;

struct DpemRig : Rig {
    explicit DpemRig(bool virtualTime = true) : Rig(virtualTime), board(addPci(0, 0, 0x42)) {
        channel(0, 0, NUBOX_CHANNEL_DPEM, kDataArea);
        if (!virtualTime) {
            platform.startFirmwareThread();
        }
        EXPECT_EQ(init(1), 0);
    }
    std::vector<uint8_t> block(uint8_t code, uint8_t fill = 0xAA) {
        std::vector<uint8_t> b(256, fill);
        b[0] = code;
        return b;
    }
    SimBoard& board;
};

}  // namespace nuboxlink_test
