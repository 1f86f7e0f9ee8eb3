#pragma once

namespace romtide {

// bootloader profibus scan|update ...: the Profibus window's search and download run
// with terminal services.
int runProfibusCommand(int argc, char** argv);

}  // namespace romtide
