#pragma once

#include <string>

#include "session/tbootloader.h"
#include "ui/dialogs.h"

namespace romtide {

// Opens and checks `path` as a download window does, showing the same messages;
// exitcode::kOk with the file open in the session, or the exit status to end with.
int openCheckedImage(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path);

// bootloader check IMAGE.mhx: the checks a download window runs on opening a file,
// and the transfer reading, without a bus.
int runCheckCommand(int argc, char** argv);

}  // namespace romtide
