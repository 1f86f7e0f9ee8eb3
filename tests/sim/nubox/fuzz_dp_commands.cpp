// Command blocks come from whatever program writes the DP master channel's mailbox:
// the board firmware's DP master parses every one of them without reading outside the
// block, refuses what does not add up, and keeps its segment running. The input is cut
// into 256-byte blocks, taken one per millisecond, and the bus runs a while after.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/nubox/dp_master_firmware.h"
#include "sim/profibus/sim_encoder.h"
#include "sim/profibus/station_option.h"

namespace {

constexpr size_t kBlock = 256;
constexpr uint32_t kDpr = 16384;
constexpr uint16_t kDataArea = 6000;

void put16(uint8_t* d, uint16_t v) {
    d[0] = static_cast<uint8_t>(v >> 8);
    d[1] = static_cast<uint8_t>(v);
}

// The layout and channel commands the library gives a board: one DP master channel.
void configure(nubox_sim::SimBoard& board) {
    uint8_t* d = board.dpr();
    const uint16_t layout[6] = {14, kDpr - 16, kDpr - 8, kDpr - 30, 8, 8};
    for (int i = 0; i < 6; ++i) {
        put16(d + 1 + 2 * i, layout[i]);
    }
    d[0] = 1;
    board.step();
    std::memset(d + 1, 0, 12);
    d[1] = 19;
    put16(d + 2, kDataArea);
    d[0] = 1;
    board.step();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    romtide::VirtualClock clock;
    nubox_sim::BoardSetup setup;
    nubox_sim::SimBoard board(setup, clock);
    configure(board);
    if (!board.configured(0)) {
        __builtin_trap();
    }
    romtide::sim::VirtualScheduler scheduler(clock);
    romtide::sim::DpSegment segment(scheduler);
    const auto stations = romtide::sim::defaultDpSegment();
    for (const auto& e : stations.encoders) {
        segment.addEncoder(e);
    }
    segment.addMaster(2);
    nubox_sim::DpMasterFirmware firmware(board, segment);
    for (size_t at = 0; at < size; at += kBlock) {
        std::vector<uint8_t> block(kBlock, 0);
        std::memcpy(block.data(), data + at, std::min(kBlock, size - at));
        firmware.command(0, block);
        clock.sleepUs(1000);
        board.step();
    }
    clock.sleepMs(200);
    return 0;
}
