// A PCI board whose four channels run the families other than the DP master: list on
// channel 0, FMS on 1, PB2M on 2, DP slave on 3; and the offsets the library and the
// board's firmware both lay them out at.
#pragma once

#include "nuboxlink/interface/family_calls.h"
#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {

using nubox_sim::SimDpsChannel;
using nubox_sim::SimFmsChannel;
using nubox_sim::SimListChannel;
using nubox_sim::SimPb2mChannel;

constexpr uint8_t kList = 0, kFms = 1, kPb2m = 2, kDps = 3;
constexpr uint16_t kListArea = 200;
// Area A from 14: list data, status (2), report, command; FMS six mailboxes; PB2M four
// slots of 6 + 260; the DP slave block.
constexpr uint32_t kListReportBox = 14 + kListArea + 2;
constexpr uint32_t kFmsStart = kListReportBox + 2 * 256;
constexpr uint32_t kPb2mStart = kFmsStart + 6 * 256;
constexpr uint32_t kDpsBlock = kPb2mStart + 4 * 266;

struct FamilyRig : Rig {
    explicit FamilyRig(bool virtualTime = true) : Rig(virtualTime), board(addPci(0, 0, 0x42)) {
        channel(0, kList, NUBOX_CHANNEL_LIST, kListArea);
        channel(0, kFms, NUBOX_CHANNEL_FMS, 0);
        channel(0, kPb2m, NUBOX_CHANNEL_PB2M, 0);
        channel(0, kDps, NUBOX_CHANNEL_DPS, 0);
        if (!virtualTime) {
            platform.startFirmwareThread();
        }
        EXPECT_EQ(init(1), 0);
    }
    std::shared_ptr<SimListChannel> list() { return board.familyAs<SimListChannel>(kList); }
    std::shared_ptr<SimFmsChannel> fms() { return board.familyAs<SimFmsChannel>(kFms); }
    std::shared_ptr<SimPb2mChannel> pb2m() { return board.familyAs<SimPb2mChannel>(kPb2m); }
    std::shared_ptr<SimDpsChannel> dps() { return board.familyAs<SimDpsChannel>(kDps); }
    uint8_t& dpr(uint32_t offset) { return board.dpr()[offset]; }
    uint8_t& dpsByte(uint32_t offset) { return board.dpr()[kDpsBlock + offset]; }

    nuboxlink::Library& l() { return *lib; }
    SimBoard& board;
};

}  // namespace nuboxlink_test
