#pragma once

#include <functional>
#include <string>

#include "session/tbootloader.h"
#include "ui/dialogs.h"

namespace CLI {
class App;
}

namespace romtide {

// Opens and checks `path` as a download window does, showing the same messages;
// exitcode::kOk with the file open in the session, or the exit status to end with.
int openCheckedImage(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path);

// bootloader check IMAGE.mhx: the checks a download window runs on opening a file,
// and the transfer reading, without a bus. Adds the sub-command to `app`; chosen, it
// sets `run`.
void addCheckCommand(CLI::App& app, std::function<int()>& run);

}  // namespace romtide
