// The headless front end of the bootloader program: sub-commands for scripts and for
// service laptops without a mouse.
#pragma once

namespace romtide {

// Runs the sub-command named by argv[1]; returns the process exit status.
int runCommandLine(int argc, char** argv);

}  // namespace romtide
