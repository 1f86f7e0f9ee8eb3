#pragma once

namespace romtide {

// bootloader can search|update ...: the CAN window's search and download run without a
// window, on a real interface or on the built-in simulated bus.
int runCanCommand(int argc, char** argv);

}  // namespace romtide
