// The hardware-selection module, loaded at run time while a CAN board is selected, and
// released right after: its five entry points and its load count are class-wide.
#pragma once

#include <string>

#include "vci/xat.h"

namespace romtide {

struct XatRegistry {
    void* library = nullptr;
    int loadCount = 0;
    vci::XatGetProductVersionFn getProductVersion = nullptr;
    vci::XatCheckProductVersionFn checkProductVersion = nullptr;
    vci::XatSelectHardwareFn selectHardware = nullptr;
    vci::XatInstallHardwareFn installHardware = nullptr;
    vci::XatGetConfigFn getConfig = nullptr;

    // 1 loaded and accepted (or loaded without the version entry points, which the
    // mapping then reports); 0 missing, wrong version, or already loaded.
    int load(const std::string& path);
    // 1 when the three selection entry points exist, -1 otherwise.
    int mapFunctions();
    void unload();
};

// The module's file name and where the program looks for it: beside the executable.
std::string xatModuleFileName();
std::string defaultXatModulePath();

}  // namespace romtide
