#include "can_ui/can_download_run.h"

#include "can_ui/can_texts.h"

namespace romtide::canui {

RunSummary runDownloadNodes(Tbootloader& session, DownloadRunHooks& hooks) {
    RunSummary summary;
    while (session.GetNode(0) != 0 && !summary.stopped) {
        if (hooks.stopRequested && hooks.stopRequested()) {
            summary.stopped = true;
            break;
        }
        NodeResult r;
        r.node = session.GetNode(0);
        if (hooks.nodeStarting) {
            hooks.nodeStarting(r.node);
        }
        session.SetNodeId(r.node);
        session.canComm->InitCan(0, static_cast<uint32_t>(session.GetSdoId() - 0x80));
        for (;;) {
            r.connect = session.ConnectBootloader(hooks.progress);
            ConnectOutcome outcome = connectOutcome(r.connect);
            if (outcome.suffix != nullptr) {
                hooks.memo.addLine(memoLine(r.node, outcome.suffix));
            }
            if (outcome.askProduct && hooks.chooseProduct) {
                hooks.chooseProduct();
            }
            if (outcome.next == ConnectNext::Download) {
                break;
            }
            if (outcome.next == ConnectNext::Skip) {
                r.skipped = true;
                break;
            }
        }
        r.download = r.skipped ? result::kNoConnection : session.DownloadFile(hooks.progress);
        DownloadOutcome outcome = downloadOutcome(r.download);
        if (outcome.suffix != nullptr) {
            hooks.memo.addLine(memoLine(r.node, outcome.suffix));
        }
        r.done = outcome.done;
        if (r.done) {
            ++summary.done;
            if (hooks.doneChanged) {
                hooks.doneChanged(summary.done);
            }
        }
        summary.stopped = outcome.stopRun;
        ++summary.processed;
        if (hooks.nodeFinished) {
            hooks.nodeFinished(r);
        }
        session.RemoveNode(static_cast<uint8_t>(r.node));
    }
    return summary;
}

}  // namespace romtide::canui
