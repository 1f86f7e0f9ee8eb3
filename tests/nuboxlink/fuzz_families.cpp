// Lengths that come from outside: any configuration walked for its data lengths gives
// lengths a DP slave record holds or is refused, and whatever bytes a board leaves in
// the DPR (length bytes, locks, flags, counters), the list, FMS, PB2M and DP slave
// calls stay inside their records and the caller's buffers (sized exactly as the
// header states, so the sanitizer sees a byte beyond) and end within their time-outs.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nuboxlink/channel/dps_channel.h"
#include "nuboxlink/interface/family_calls.h"
#include "tests/nuboxlink/fuzz_board.h"

namespace {

using Input = nuboxlink_test::FuzzInput;

void checkWalk(const uint8_t* cfg, size_t n) {
    nuboxlink::DpDataLengths l;
    if (nuboxlink::dpConfigLengths(cfg, n, &l) &&
        (l.output > NUBOX_DPS_DATA_MAX || l.input > NUBOX_DPS_DATA_MAX)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte says how many of the following bytes are a configuration to walk;
    // an exact copy makes a read past its end visible.
    Input in{data, size};
    const size_t cfgLength = std::min<size_t>(in.byte(), size - in.at);
    const std::vector<uint8_t> cfg(data + in.at, data + in.at + cfgLength);
    checkWalk(cfg.data(), cfg.size());
    in.at += cfgLength;

    nuboxlink_test::FuzzBoard rig({{NUBOX_CHANNEL_LIST, 0, 64},
                                   {NUBOX_CHANNEL_FMS, 0, 0},
                                   {NUBOX_CHANNEL_PB2M, 0, 0},
                                   {NUBOX_CHANNEL_DPS, 0, 0}});
    nuboxlink::Library& lib = rig.lib;
    nubox_sim::SimBoard& board = rig.board;
    uint8_t* dpr = board.dpr();
    const uint32_t dprSize = board.dprSize();

    // The DP slave's buffers as the header states them: output by the configuration in
    // force, parameter data and station address by their record maxima.
    unsigned outputLength = 0, inputLength = 0;
    std::vector<uint8_t> mailbox(256), pb2m(NUBOX_PB2M_DATA), prm(NUBOX_DPS_DATA_MAX),
        address(NUBOX_DPS_ADDRESS_RECORD_MAX);
    ListEntry entry;
    uint8_t length = 0, station = 0, code = 0;
    while (in.more()) {
        const uint8_t op = in.byte() % 12;
        const uint8_t channel = in.byte() % 4;
        switch (op) {
            case 0: {  // the board writes a byte anywhere
                const uint16_t offset = static_cast<uint16_t>(in.word() % dprSize);
                dpr[offset] = in.byte();
                break;
            }
            case 1: {
                const uint8_t n = in.byte();
                std::vector<uint8_t> block(n, in.byte());
                nuboxlink::listWriteCommand(lib, 0, channel, block.data(), n);
                nuboxlink::fmsWriteCommand(lib, 0, channel, block.data(), n);
                nuboxlink::fma7WriteCommand(lib, 0, channel, block.data(), n);
                break;
            }
            case 2:
                nuboxlink::listGetReport(lib, 0, channel, mailbox.data());
                nuboxlink::fmsGetReport(lib, 0, channel, mailbox.data());
                nuboxlink::fma7GetReport(lib, 0, channel, mailbox.data());
                nuboxlink::pb2mGetReport(lib, 0, channel, &code, pb2m.data());
                break;
            case 3:
                nuboxlink::listReadInputData(lib, 0, channel, &entry, in.word() % 128, in.byte());
                break;
            case 4:
                nuboxlink::pb2mWriteCommand(lib, 0, channel, in.byte(), pb2m.data());
                nuboxlink::pb2mReset(lib, 0, channel);
                break;
            case 5: {  // a configuration from the input, walked and written
                const uint8_t n = static_cast<uint8_t>(std::min<size_t>(in.byte(), size - in.at));
                const std::vector<uint8_t> c(data + in.at, data + in.at + n);
                in.at += n;
                nuboxlink::DpDataLengths l;
                if (nuboxlink::dpsWriteCfgData(lib, 0, channel, c.data(), n) == 0 && channel == 3) {
                    nuboxlink::dpConfigLengths(c.data(), n, &l);
                    outputLength = l.output;
                    inputLength = l.input;
                }
                break;
            }
            case 6: {
                std::vector<uint8_t> out(outputLength);
                if (nuboxlink::dpsReadOutputData(lib, 0, channel, out.data(), &length) == 0 &&
                    length > outputLength) {
                    std::abort();
                }
                break;
            }
            case 7:
                nuboxlink::dpsReadPrmData(lib, 0, channel, prm.data(), &length);
                nuboxlink::dpsReadStationAddress(lib, 0, channel, address.data(), &length,
                                                 &station);
                break;
            case 8: {
                const std::vector<uint8_t> input(inputLength, in.byte());
                nuboxlink::dpsWriteInputData(lib, 0, channel, input.data());
                nuboxlink::dpsWriteInputData(lib, 0, channel, nullptr);
                break;
            }
            case 9: {  // a diagnosis exactly as long as its ext-diag length says
                const uint8_t ext = in.byte();
                std::vector<uint8_t> diag(4 + ext, in.byte());
                diag[3] = ext;
                nuboxlink::dpsWriteDiagData(lib, 0, channel, diag.data());
                const uint8_t par[8] = {};
                nuboxlink::dpsWriteComPar(lib, 0, channel, par);
                break;
            }
            case 10: {
                uint8_t events;
                nuboxlink::dpsGetNewCommEvent(lib, 0, channel, &events);
                if (nuboxlink::CChannel* c = lib.board(0)->channel(channel)) {
                    c->transport().Poll();
                }
                break;
            }
            default:
                board.step();
                break;
        }
    }
    return 0;
}
