// Command blocks of the DP master channel byte for byte as the tool's wrapper builds
// them, for tests that talk to the simulated board through the library.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace nubox_sim::test {

using Block = std::vector<uint8_t>;

inline void put16(Block& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

inline Block header(uint8_t code, uint8_t station, uint16_t dataLength) {
    Block b(256, 0);
    b[0] = code;
    b[3] = station;
    put16(b, 6, dataLength);
    return b;
}

inline Block setModeBlock(uint8_t mode) {
    return header(0x27, mode, 0);
}

inline Block liveListBlock() {
    return header(0x35, 0, 0);
}

inline Block diagnosisBlock(uint8_t station) {
    return header(0x21, station, 0);
}

inline Block busParameterBlock(int baudCode) {
    const bool fastest = baudCode == 9;
    Block b = header(0x24, 0, 66);
    put16(b, 8, 66);
    b[10] = 1;
    b[11] = static_cast<uint8_t>(baudCode);
    put16(b, 12, fastest ? 1000 : 4095);
    put16(b, 14, fastest ? 11 : 22);
    put16(b, 16, fastest ? 800 : 60);
    b[18] = fastest ? 9 : 0;
    b[19] = fastest ? 16 : 55;
    b[20] = 0;
    b[21] = 0;
    put16(b, 22, 1000);  // TTR, u32
    b[24] = 5;
    b[25] = 126;
    b[26] = 1;
    b[27] = 0;
    put16(b, 28, 1);
    put16(b, 30, 65535);
    put16(b, 32, 300);
    put16(b, 40, 34);
    const char name[] = "talvik system demo master";
    std::memcpy(b.data() + 42, name, sizeof name - 1);
    return b;
}

inline uint16_t outputOffsetOf(uint8_t station) {
    return static_cast<uint16_t>((station - 1) * 40);
}
inline uint16_t inputOffsetOf(uint8_t station) {
    return static_cast<uint16_t>((station - 1) * 40 + 20);
}

inline Block slaveParameterBlock(uint8_t station, bool ppo2, uint16_t ident = 0x0793) {
    Block b = header(0x25, station, 37);
    b.resize(254);
    put16(b, 8, 37);
    b[10] = 0x80;
    b[11] = 0;
    put16(b, 24, 9);
    const uint8_t prm[7] = {
        0x00, 0x00, 0x00, 0x0B, static_cast<uint8_t>(ident >> 8), static_cast<uint8_t>(ident),
        0x00};
    std::memcpy(b.data() + 26, prm, sizeof prm);
    put16(b, 33, 4);
    b[35] = 0xF3;
    b[36] = ppo2 ? 0xF5 : 0xF1;
    put16(b, 37, 6);
    put16(b, 39, inputOffsetOf(station));
    put16(b, 41, outputOffsetOf(station));
    put16(b, 43, 2);
    return b;
}

inline Block emptySlaveParameterBlock(uint8_t station) {
    Block b = header(0x25, station, 2);
    b.resize(254);
    return b;
}

}  // namespace nubox_sim::test
