// The wire between nuboxlink and a board server in another computer: the greeting, the
// request table and the length of every reply. The library and nubox-board-server both
// count bytes with what is here, so the two sides cannot drift apart; it is header-only
// and needs nothing but the public header, so the server stays a plain client of
// libnuboxlink.so.
//
// A request carries no length field: its code (and for the variable requests a length
// byte, or the command code of the block) says how long it is. A reply is one status
// byte, 0 for success, followed by exactly the payload length the request implies.
// Requests and replies strictly alternate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nuboxlink/channel/dpem_commands.h"
#include "nuboxlink/nuboxlink.h"

namespace nuboxlink::remote {

// A board server serves its device number n on this port + n.
inline constexpr unsigned kPortBase = 5000;

// The greeting: the server sends the hello byte and a 64-bit challenge, little-endian;
// the library answers with challenge × K + A modulo 2^64, little-endian. This proves to
// the server only that the peer speaks this protocol; anyone who has the constants can
// answer, so it is no authentication and the link is not encrypted.
inline constexpr size_t kGreetingSize = 9;
inline constexpr uint8_t kHello = 1;
inline constexpr size_t kAnswerSize = 8;
inline constexpr uint8_t kGreetingMultiplier = 0x9D;  // K
inline constexpr uint8_t kGreetingAddend = 0x5B;      // A

constexpr uint64_t greetingAnswer(uint64_t challenge) {
    // Unsigned arithmetic wraps: modulo 2^64 as the protocol wants.
    return challenge * kGreetingMultiplier + kGreetingAddend;
}

// Our server's first byte instead of the hello when the board already has a client,
// followed by a line of text for people; the library takes any first byte but the
// hello as a failed connection.
inline constexpr uint8_t kBoardInUse = 0;

enum Request : uint8_t {
    kConfigure = 0xB0,         // 28-byte DeviceConfig → 3 bytes: status, channel status, 0
    kWriteCommand = 0xB1,      // channel, command block (length from its command code)
    kGetReport = 0xB2,         // channel → 256-byte report
    kReadInput = 0xB3,         // channel, offset high, low, length, station → length bytes
    kWriteOutput = 0xB4,       // channel, offset high, low, length, station, the bytes
    kRemoteAccessFlag = 0xB5,  // channel, flag
    kTransferList = 0xB6,      // channel → 16 bytes
    kSystemDiagnostic = 0xB7,  // channel → 16 bytes
    kDiagState = 0xB8,         // channel → 1 byte
    kStationOnline = 0xB9,     // channel → 1 byte
    kRestart = 0xBA,           // (nothing more) → none
};

inline constexpr size_t kConfigSize = 28;
inline constexpr size_t kConfigReplySize = 3;
inline constexpr size_t kReportSize = 256;
inline constexpr size_t kStatusAreaSize = 16;
// Header of the data requests: code, channel, offset high, offset low, length, station.
inline constexpr size_t kDataHeaderSize = 6;
inline constexpr size_t kDataLengthOffset = 4;
// Code and channel before a command block.
inline constexpr size_t kCommandHeaderSize = 2;
// The longest request (0xB4 with 255 bytes) and the longest reply (status and a report).
inline constexpr size_t kMaxRequestSize = kDataHeaderSize + 255;
inline constexpr size_t kMaxReplySize = 1 + kReportSize;

inline constexpr uint8_t kReplyOk = 0;

// How long a request is, judged from the first `have` bytes of it.
struct RequestSize {
    enum State { NeedMore, Complete, Invalid };
    State state;
    // NeedMore: the bytes needed before more can be said (always above `have`).
    // Complete: the request's length (at most `have`).
    size_t size;
};

constexpr RequestSize requestSize(const uint8_t* bytes, size_t have) {
    if (have == 0) {
        return {RequestSize::NeedMore, 1};
    }
    size_t size = 0;
    switch (bytes[0]) {
        case kConfigure:
            size = 1 + kConfigSize;
            break;
        case kWriteCommand: {
            if (have < kCommandHeaderSize + 1) {
                return {RequestSize::NeedMore, kCommandHeaderSize + 1};
            }
            const size_t needs = kCommandHeaderSize + dpemCommandLengthNeeds(bytes[2]);
            if (have < needs) {
                return {RequestSize::NeedMore, needs};
            }
            const uint16_t length = dpemCommandLength(bytes + kCommandHeaderSize);
            if (length == 0) {
                return {RequestSize::Invalid, 0};
            }
            size = kCommandHeaderSize + length;
            break;
        }
        case kGetReport:
        case kTransferList:
        case kSystemDiagnostic:
        case kDiagState:
        case kStationOnline:
            size = 2;
            break;
        case kReadInput:
            size = kDataHeaderSize;
            break;
        case kWriteOutput:
            if (have <= kDataLengthOffset) {
                return {RequestSize::NeedMore, kDataLengthOffset + 1};
            }
            size = kDataHeaderSize + bytes[kDataLengthOffset];
            break;
        case kRemoteAccessFlag:
            size = 3;
            break;
        case kRestart:
            size = 1;
            break;
        default:
            return {RequestSize::Invalid, 0};
    }
    return have >= size ? RequestSize{RequestSize::Complete, size}
                        : RequestSize{RequestSize::NeedMore, size};
}

// Payload bytes of the reply to a complete request (after its status byte).
constexpr size_t replyPayloadLength(const uint8_t* request) {
    switch (request[0]) {
        case kConfigure:
            return kConfigReplySize;
        case kGetReport:
            return kReportSize;
        case kReadInput:
            return request[kDataLengthOffset];
        case kTransferList:
        case kSystemDiagnostic:
            return kStatusAreaSize;
        case kDiagState:
        case kStationOnline:
            return 1;
        default:
            return 0;
    }
}

inline void putLe(uint8_t* out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint64_t getLe(const uint8_t* in, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

// The configuration as the wire carries it: the record's fields, little-endian.
inline void encodeConfig(const DeviceConfig& config, uint8_t out[kConfigSize]) {
    putLe(out, config.memoryAddress, 4);
    putLe(out + 4, config.memoryRange, 4);
    putLe(out + 8, config.portAddress, 4);
    for (size_t i = 0; i < 4; ++i) {
        uint8_t* d = out + 12 + 4 * i;
        d[0] = config.channels[i].type;
        d[1] = config.channels[i].reserved;
        putLe(d + 2, config.channels[i].parameter, 2);
    }
}

inline DeviceConfig decodeConfig(const uint8_t in[kConfigSize]) {
    DeviceConfig config{};
    config.memoryAddress = static_cast<uint32_t>(getLe(in, 4));
    config.memoryRange = static_cast<uint32_t>(getLe(in + 4, 4));
    config.portAddress = static_cast<uint32_t>(getLe(in + 8, 4));
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t* d = in + 12 + 4 * i;
        config.channels[i].type = d[0];
        config.channels[i].reserved = d[1];
        config.channels[i].parameter = static_cast<uint16_t>(getLe(d + 2, 2));
    }
    return config;
}

}  // namespace nuboxlink::remote
