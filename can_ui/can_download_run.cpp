#include "can_ui/can_download_run.h"

#include "base/device_text.h"
#include "can_ui/can_texts.h"

namespace romtide::canui {

int32_t judgeComeBack(const Reidentification& again, const Verification& verification,
                      std::optional<bool>* verified) {
    if (verification.expected) {
        *verified = again.answered == Answered::Application &&
                    again.device.softwareVersion == *verification.expected;
    }
    switch (again.answered) {
        case Answered::Application:
            return verified->value_or(true) ? result::kOk : result::kUnverified;
        case Answered::Bootloader:
            return result::kNotCommitted;
        case Answered::Cancelled:
            return result::kCancelled;
        case Answered::Nothing:
            break;
    }
    return result::kNotBack;
}

RunSummary runDownloadNodes(Tbootloader& session, DownloadRunHooks& hooks,
                            const Verification& verification) {
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
        session.ForgetDevice();
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
        if (r.download == result::kOk) {
            r.after = identifyAgain(session, verification.comeBackMs);
            r.download = judgeComeBack(*r.after, verification, &r.verified);
        }
        DownloadOutcome outcome = downloadOutcome(r.download);
        if (outcome.suffix != nullptr) {
            std::string line = memoLine(r.node, outcome.suffix);
            if (r.download == result::kUnverified) {
                line += ", software version " + printableText(r.after->device.softwareVersion);
            }
            hooks.memo.addLine(line);
        }
        r.left =
            r.download == result::kNotCommitted ? DeviceLeft::InBootloader : session.deviceLeft();
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
        if (r.left != DeviceLeft::Untouched) {
            hooks.memo.addLine(memoLine(r.node, " - left ") + deviceLeftText(r.left));
        }
        session.RemoveNode(static_cast<uint8_t>(r.node));
    }
    return summary;
}

}  // namespace romtide::canui
