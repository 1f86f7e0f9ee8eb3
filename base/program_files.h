// Where a program finds its own files, in the build tree and in an installed tree alike.
// The build puts programs, modules and data in one folder (build/bin); an installation
// puts programs in bin/, modules in a private library folder and data in share/romtide/,
// at fixed places relative to the programs' folder. Nothing is found through an absolute
// path of the build, so an installed tree works wherever it is unpacked.
#pragma once

#include <string>

namespace romtide {

// The folder that holds the running executable, without a trailing '/'.
std::string executableFolder();

enum class ProgramFileKind {
    Module,  // a library the program loads at run time (libromtide-xat.so)
    Data,    // a data file ("Update/Bootloader/497.mhx", "demo/demo.mhx")
};

// `relative` beside the executable when it is there (the build tree); otherwise where an
// installation keeps such a file, whether it exists or not, so a message names the place
// the file is looked for.
std::string programFile(const std::string& relative, ProgramFileKind kind);

// The same for a program whose executable lies in `folder` (tests).
std::string programFileFrom(const std::string& folder, const std::string& relative,
                            ProgramFileKind kind);

}  // namespace romtide
