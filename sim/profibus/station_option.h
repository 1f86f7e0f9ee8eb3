// The text that describes a simulated DP station on a command line (--station of
// nubox-simd, --sim-station of the headless bootloader):
//   addr=N[,ppo=1|2][,ident=0xHHHH][,version=A.B.C][,boot=A.B.C][,mode=app|boot]
//   [,delay=US][,fail=noack@N|error@N:CODE|erase|gone@N|finish:CODE|stale|silent-after]
// and the segments built from such descriptions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/profibus/sim_encoder.h"

namespace romtide::sim {

// On failure `error` names the item that was refused.
std::optional<SimEncoderConfig> parseDpStationOption(const std::string& text, std::string* error);

// A version A.B.C as a station description gives it (A, B 0-15, C 0-255).
std::optional<DpVersion> parseDpVersion(const std::string& text);

struct DpSegmentConfig {
    std::vector<SimEncoderConfig> encoders;
    std::vector<int> masters;  // other masters in the token ring
};

// Three encoders (PPO1 application at 3, PPO2 application at 4, a running bootloader at
// 5) and a second master at 2.
DpSegmentConfig defaultDpSegment();

// The board's own master has this address.
inline constexpr int kDpBoardMasterAddress = 1;

// Empty when every station has an address of its own, apart from the board's master;
// otherwise says which address is taken twice.
std::string checkDpSegment(const DpSegmentConfig& segment);

}  // namespace romtide::sim
