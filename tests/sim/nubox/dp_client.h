// The tool's side of a DP master channel through libnuboxlink's public interface, on
// real time: what a program does against nubox-simd or a hosted simulated board.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "nuboxlink.h"
#include "tests/sim/nubox/dp_blocks.h"
#include "tests/sim/profibus/dp_text.h"

namespace nubox_sim::test {

constexpr uint8_t kStop = 0x40, kClear = 0x80, kOperate = 0xC0;

inline void pause(int us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// The next report within two seconds, or an empty block.
inline Block report() {
    Block r(256);
    for (int i = 0; i < 2000; ++i) {
        if (DPEM_GetReport(0, 0, r.data()) == 0) {
            return r;
        }
        pause(1000);
    }
    return {};
}

inline Block confirm(const Block& block) {
    EXPECT_EQ(DPEM_WriteCommand(0, 0, block.data()), 0);
    Block r = report();
    EXPECT_FALSE(r.empty()) << "no confirmation of " << std::hex << int(block[0]);
    return r;
}

inline bool initBoard() {
    DeviceConfig configs[16] = {};
    configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
    configs[0].channels[0].parameter = 6000;
    uint8_t status[16] = {}, channelStatus[16] = {};
    return InitDll(configs, 1, status, channelStatus) == 0;
}

// STOP, the bus parameters, and the wait for the master to join the ring.
inline bool busUp(int baudCode) {
    confirm(setModeBlock(kStop));
    confirm(busParameterBlock(baudCode));
    uint8_t online = 0;
    for (int i = 0; i < 500 && online == 0; ++i) {
        pause(1000);
        DPEM_StationOnline(0, 0, &online);
    }
    return online != 0;
}

inline bool inTransferList(uint8_t station) {
    uint8_t list[16] = {};
    DPEM_ReadDataTransferList(0, 0, list);
    return list[station / 8] & (1 << (station % 8));
}

// PPO1 for the station, CLEAR, OPERATE, and the wait for its data exchange.
inline bool exchangePpo1(uint8_t station) {
    confirm(emptySlaveParameterBlock(station));
    confirm(slaveParameterBlock(station, false));
    confirm(setModeBlock(kClear));
    confirm(setModeBlock(kOperate));
    for (int i = 0; i < 1000 && !inTransferList(station); ++i) {
        pause(1000);
    }
    return inTransferList(station);
}

inline void writeWords(uint8_t station, uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3) {
    const uint8_t bytes[12] = {uint8_t(w0 >> 8), uint8_t(w0), uint8_t(w1 >> 8), uint8_t(w1),
                               uint8_t(w2 >> 8), uint8_t(w2), uint8_t(w3 >> 8), uint8_t(w3)};
    EXPECT_EQ(DPEM_WriteOutputData(0, 0, bytes, outputOffsetOf(station), 12, station), 0);
}

// Polls the input back to back until words 0 and 1 are these, for at most `limitMs`.
inline bool await(uint8_t station, uint16_t w0, uint16_t w1, int limitMs = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    uint8_t in[12];
    do {
        DPEM_ReadInputData(0, 0, in, inputOffsetOf(station), 12, station);
        if ((in[0] << 8 | in[1]) == w0 && (in[2] << 8 | in[3]) == w1) {
            return true;
        }
        pause(20);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// Erase, the file's text in data telegrams, finish: the bootloader protocol as the tool
// runs it against a station in data exchange.
inline bool download(uint8_t station, const std::string& imagePath) {
    writeWords(station, 0x87D0, 3, 0xAA55, 0);
    if (!await(station, 0x67D0, 3)) {
        return false;
    }
    std::stringstream text;
    text << std::ifstream(imagePath).rdbuf();
    uint16_t sequence = 9;
    for (const auto& chars : romtide::sim::test::dataTelegramWords(text.str())) {
        ++sequence;
        writeWords(station, 0x87D0, sequence, chars[0], chars[1]);
        if (!await(station, 0x67D0, sequence)) {
            return false;
        }
    }
    writeWords(station, 0x87D0, 1, 0xAA55, 0);
    return true;
}

}  // namespace nubox_sim::test
