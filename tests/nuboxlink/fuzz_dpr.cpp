// The DPR belongs to the board as much as to us: whatever bytes a board (or a broken
// one) leaves anywhere in it, the DP master calls and the watch's poll answer a result
// code, never touch memory outside the window, and never wait beyond their time-outs.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/nuboxlink/fuzz_board.h"

using Input = nuboxlink_test::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nuboxlink_test::FuzzBoard rig({{NUBOX_CHANNEL_DPEM, 0, 600}, {NUBOX_CHANNEL_DPEM, 0, 100}});
    nuboxlink::Library& lib = rig.lib;
    nubox_sim::SimBoard& board = rig.board;
    uint8_t* dpr = board.dpr();
    const uint32_t size16 = board.dprSize();
    Input in{data, size};
    std::vector<uint8_t> buffer(256);
    while (in.more()) {
        const uint8_t op = in.byte() % 8;
        const uint8_t channel = in.byte() % 3;  // 2 has no channel
        switch (op) {
            case 0: {  // the board writes a byte anywhere
                const uint16_t offset = static_cast<uint16_t>(in.word() % size16);
                dpr[offset] = in.byte();
                break;
            }
            case 1:
                for (auto& b : buffer) {
                    b = in.byte();
                }
                lib.dpemWriteCommand(0, channel, buffer.data());
                break;
            case 2:
                lib.dpemGetReport(0, channel, buffer.data());
                break;
            case 3:
                lib.dpemReadInputData(0, channel, buffer.data(), in.word(), in.byte(), in.byte());
                break;
            case 4:
                lib.dpemWriteOutputData(0, channel, buffer.data(), in.word(), in.byte(), in.byte());
                break;
            case 5:
                if (nuboxlink::CChannel* c = lib.board(0)->channel(channel)) {
                    c->transport().Poll();
                }
                break;
            case 6: {
                uint8_t out;
                lib.dpemReadDataTransferList(0, channel, buffer.data());
                lib.dpemReadSystemDiagnostic(0, channel, buffer.data());
                lib.dpemReadDiagState(0, channel, &out);
                lib.dpemStationOnline(0, channel, &out);
                lib.dpemWriteRemoteAccessFlag(0, channel, in.byte());
                break;
            }
            default:
                board.step();
                break;
        }
    }
    return 0;
}
