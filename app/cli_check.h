#pragma once

namespace romtide {

// bootloader check IMAGE.mhx: the checks a download window runs on opening a file,
// and the transfer reading, without a bus.
int runCheckCommand(int argc, char** argv);

}  // namespace romtide
