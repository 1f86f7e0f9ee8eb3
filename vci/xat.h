// The hardware-selection module's entry points, as the program looks them up by name
// after loading the module at run time.
#pragma once

#include <cstdint>

namespace romtide::vci {

// What XAT_SelectHardware fills in.
struct XatHardwareRecord {
    uint16_t boardIndex;
    uint32_t boardType;
    char interfaceName[128];  // the URI of the chosen interface, for display
};

// The version string the program asks the module to accept.
constexpr const char* kXatRequiredVersion = "01,01,0,0";

// XAT_SelectHardware results.
constexpr int32_t kXatNothingSelected = 0;
constexpr int32_t kXatSelected = 1;
constexpr int32_t kXatAbandoned = 2;

using XatGetProductVersionFn = int32_t (*)(char* text, int32_t size);
using XatCheckProductVersionFn = int32_t (*)(const char* module, const char* version);
using XatSelectHardwareFn = int32_t (*)(void* owner, XatHardwareRecord* record);
using XatInstallHardwareFn = int32_t (*)(void* owner);
using XatGetConfigFn = int32_t (*)(uint16_t boardIndex, XatHardwareRecord* record);

}  // namespace romtide::vci
