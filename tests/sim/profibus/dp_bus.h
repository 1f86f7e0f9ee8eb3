// A DP segment on the virtual clock with the master's process image in memory: the
// master, the slaves and their timing without a board in between.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "sim/profibus/dp_master.h"
#include "sim/profibus/sim_encoder.h"

namespace romtide::sim::test {

// Every station n has its outputs at (n - 1) * 40 and its inputs 20 bytes further, as
// the tool lays out its data area.
inline uint16_t outputOffset(int station) {
    return static_cast<uint16_t>((station - 1) * 40);
}
inline uint16_t inputOffset(int station) {
    return static_cast<uint16_t>((station - 1) * 40 + 20);
}

struct MemoryImage : DpProcessImage {
    std::vector<uint8_t> data = std::vector<uint8_t>(6000);
    uint8_t transfer[16] = {};
    uint8_t diagnostic[16] = {};
    bool online = false;
    std::function<void(int)> onInput;
    bool writing = false;  // the host is writing: no consistent copy of the outputs

    bool readOutputs(int, uint16_t offset, uint8_t* dst, size_t n) override {
        std::memcpy(dst, data.data() + offset, n);
        return !writing;
    }
    void writeInputs(int station, uint16_t offset, const uint8_t* src, size_t n) override {
        std::memcpy(data.data() + offset, src, n);
        if (onInput) {
            onInput(station);
        }
    }
    void setStatus(const uint8_t t[16], const uint8_t d[16], bool on) override {
        std::memcpy(transfer, t, 16);
        std::memcpy(diagnostic, d, 16);
        online = on;
    }
    bool inTransferList(int a) const { return transfer[a / 8] & (1 << (a % 8)); }
};

// The parameter set the tool gives a station: PPO1 or PPO2, ident 0x0793.
inline DpSlaveParameters toolParameters(int station, bool ppo2, uint16_t ident = 0x0793) {
    DpSlaveParameters set;
    set.prm = {
        0x00, 0x00, 0x00, 0x0B, static_cast<uint8_t>(ident >> 8), static_cast<uint8_t>(ident),
        0x00};
    set.cfg = {0xF3, static_cast<uint8_t>(ppo2 ? 0xF5 : 0xF1)};
    set.inputOffset = inputOffset(station);
    set.outputOffset = outputOffset(station);
    set.inputBytes = set.outputBytes = ppo2 ? 20 : 12;
    return set;
}

struct DpBus {
    VirtualClock clock;
    VirtualScheduler scheduler{clock};
    DpSegment segment{scheduler};
    MemoryImage image;
    DpMaster master{segment, image};

    SimEncoder& add(SimEncoderConfig c) { return segment.addEncoder(c); }
    // Bus parameters of the tool at this baud rate code, online, OPERATE.
    void up(int baudCode) {
        ASSERT_TRUE(master.loadBusParameters(1, dpToolTiming(baudCode)));
        clock.sleepUs(DpMaster::kOnlineDelayUs);
        ASSERT_TRUE(master.online());
        master.setMode(DpMode::Operate);
    }
    void parameterise(int station, bool ppo2 = false, uint16_t ident = 0x0793) {
        master.setSlaveParameters(station, toolParameters(station, ppo2, ident));
    }
    void write(int station, std::vector<uint16_t> words) {
        for (size_t i = 0; i < words.size(); ++i) {
            image.data[outputOffset(station) + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
            image.data[outputOffset(station) + 2 * i + 1] = static_cast<uint8_t>(words[i]);
        }
    }
    std::vector<uint16_t> read(int station, size_t words = 4) const {
        std::vector<uint16_t> w(words);
        for (size_t i = 0; i < words; ++i) {
            w[i] = static_cast<uint16_t>(image.data[inputOffset(station) + 2 * i] << 8 |
                                         image.data[inputOffset(station) + 2 * i + 1]);
        }
        return w;
    }
    // Lets time pass in small steps until word 0 and 1 of the input are these; false
    // when `limitUs` passed first.
    bool waitFor(int station, uint16_t w0, uint16_t w1, int64_t limitUs, int64_t stepUs = 10) {
        for (int64_t t = 0; t <= limitUs; t += stepUs) {
            auto in = read(station, 2);
            if (in[0] == w0 && in[1] == w1) {
                return true;
            }
            clock.sleepUs(stepUs);
        }
        return false;
    }
};

}  // namespace romtide::sim::test
