// The heart of the CAN window's download run, shared by the desktop window and the
// headless command: for every node of nodeList, connect (renewing the bootloader where
// needed, as often as the connect asks for), download, and one results memo line per
// event. The caller does what comes before (checks, start line, buttons) and after.
#pragma once

#include <cstdint>
#include <functional>

#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::canui {

struct NodeResult {
    int node = 0;
    int32_t connect = 0;   // the last connect result
    int32_t download = 0;  // the download result; -4 when the node was skipped
    bool skipped = false;
    bool done = false;  // ended " - okay"
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
RunSummary runDownloadNodes(Tbootloader& session, DownloadRunHooks& hooks);

}  // namespace romtide::canui
