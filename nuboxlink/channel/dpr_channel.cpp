#include "nuboxlink/channel/dpr_channel.h"

#include "nuboxlink/board/device.h"
#include "nuboxlink/channel/dpem_channel.h"

namespace nuboxlink {

bool takeChannelAreas(CIsaDevice& board, std::initializer_list<AreaRequest> areas,
                      uint32_t* hostFlag, uint32_t* boardFlag) {
    bool ok = true;
    for (const AreaRequest& r : areas) {
        ok = board.areaA().take(r.size, r.offset) && ok;
    }
    ok = board.areaB().take(1, hostFlag) && ok;
    ok = board.areaC().take(1, boardFlag) && ok;
    return ok;
}

void endWatch(CIsaChannel& channel) {
    if (channel.watching()) {
        channel.StopWatch();
        channel.isaBoard().platform().clock().sleepMs(200);
    }
}

void fillReportMailbox(Dpr& dpr, uint32_t offset) {
    dpr.write(offset, kReportMailboxText, sizeof kReportMailboxText);
}

}  // namespace nuboxlink
