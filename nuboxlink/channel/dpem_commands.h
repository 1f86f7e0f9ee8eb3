// How many bytes of a DP master command block go to the board, by command code. The
// block has no length of its own, so the library and a board server that reads blocks
// off the wire must count them from the same table; it is header-only for that reason.
#pragma once

#include <cstdint>

namespace nuboxlink {

namespace detail {

struct CommandLength {
    uint8_t code;
    uint16_t length;
};

inline constexpr CommandLength kCommandLengths[] = {
    {0x21, 4}, {0x22, 7}, {0x23, 7}, {0x24, 256}, {0x25, 254}, {0x26, 252}, {0x27, 4},   {0x2B, 1},
    {0x2E, 5}, {0x31, 2}, {0x35, 1}, {0x36, 2},   {0x37, 2},   {0x38, 2},   {0x39, 248},
};

// Code 0x3D carries its sub-code in byte 12.
inline constexpr uint8_t kCommandWithSubCode = 0x3D;
inline constexpr unsigned kSubCodeOffset = 12;
inline constexpr CommandLength kSubCommandLengths[] = {
    {0x51, 256}, {0x57, 256}, {0x58, 15}, {0x5E, 16}, {0x5F, 256},
};

}  // namespace detail

// Bytes of a command block passed to the board, from its command code (and for 0x3D
// its sub-code in byte 12); 0 when the code has no known length. Reads byte 12 only for
// code 0x3D.
constexpr uint16_t dpemCommandLength(const uint8_t* block) {
    if (block[0] == detail::kCommandWithSubCode) {
        for (const detail::CommandLength& c : detail::kSubCommandLengths) {
            if (c.code == block[detail::kSubCodeOffset]) {
                return c.length;
            }
        }
        return 0;
    }
    for (const detail::CommandLength& c : detail::kCommandLengths) {
        if (c.code == block[0]) {
            return c.length;
        }
    }
    return 0;
}

// Bytes of a block that must be at hand before its length is known.
constexpr unsigned dpemCommandLengthNeeds(uint8_t code) {
    return code == detail::kCommandWithSubCode ? detail::kSubCodeOffset + 1 : 1;
}

}  // namespace nuboxlink
