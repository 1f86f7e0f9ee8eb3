// The heart of the CAN window's download run, shared by the desktop window and the
// headless command: for every node of nodeList, connect (renewing the bootloader where
// needed, as often as the connect asks for), download, identify the device again, and
// one results memo line per event. The caller does what comes before (checks, start
// line, buttons) and after.
//
// The end of download awaits no reply, so a device counts as updated only once it has
// been identified again and answered as its application: one that still answers as its
// bootloader when the wait ends did not commit the download (-10, " - not committed"),
// one that answers nothing did not come back (-11); with an expected version, one that
// reports another is unverified (-12).
//
// A node that its transfers left without an application (a cancel, a failure, a renewal
// cut short) gets a line that says so after its result.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "can_ui/can_search.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::canui {

struct NodeResult {
    int node = 0;
    int32_t connect = 0;   // the last connect result
    int32_t download = 0;  // the node's result (download, then identification); -4 when skipped
    bool skipped = false;
    bool done = false;  // ended " - okay"
    // After a download that ended 0: the device identified again.
    std::optional<Reidentification> after;
    // With an expected version: whether the device came back reporting it.
    std::optional<bool> verified;
    // What the node's transfers left it as (a device that did not commit its download is
    // in its bootloader).
    DeviceLeft left = DeviceLeft::Untouched;
};

// What the run does after each download.
struct Verification {
    int64_t comeBackMs = kComeBackMs;  // how long the device is waited for
    // The software version (object 0x100A) the device must report afterwards.
    std::optional<std::string> expected;
};

struct DownloadRunHooks {
    ui::Memo& memo;
    ui::ProgressBar& progress;
    // Tfrm_selproduct, shown modally after " - bootloader V1.0"; it sets selectedProduct.
    std::function<void()> chooseProduct;
    std::function<void(int node)> nodeStarting;
    // After the node's lines, before it leaves nodeList.
    std::function<void(const NodeResult&)> nodeFinished;
    // The done counter changed (lab_can_update_nr).
    std::function<void(int done)> doneChanged;
    // Asked before each node: true ends the run there (the headless command's Ctrl-C,
    // which must stop the run even where the window's memo goes on to the next node).
    std::function<bool()> stopRequested;
};

struct RunSummary {
    int processed = 0;
    int done = 0;
    bool stopped = false;  // " - bad file", " - User has cancelled" or stopRequested ended it
};

// Runs until nodeList is empty or the run is stopped; every processed node leaves
// nodeList.
RunSummary runDownloadNodes(Tbootloader& session, DownloadRunHooks& hooks,
                            const Verification& verification = {});

// The node's result once its download ended 0 and the device was identified again;
// sets `verified` when a version is expected.
int32_t judgeComeBack(const Reidentification& again, const Verification& verification,
                      std::optional<bool>* verified);

}  // namespace romtide::canui
