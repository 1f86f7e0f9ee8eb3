// The hardware-selection module: offers the CAN interfaces the access library finds and
// reports the chosen one as board index and type. Without a display, or with
// ROMTIDE_CAN_INTERFACE set, it selects without asking anybody.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vci/hardware_selector.h"
#include "vci/vci.h"
#include "vci/xat.h"

using romtide::vci::XatHardwareRecord;

namespace {

constexpr const char* kOwnVersion = "01,01,0,0";

int32_t fill(const std::string& uri, XatHardwareRecord* record) {
    int32_t index = romtide::vci::registerInterface(uri);
    if (index < 0) {
        std::fprintf(stderr,
                     "CAN interface '%s' is not known (socketcan:IFNAME, "
                     "socketcand:HOST:PORT/IFNAME or virtual:NAME)\n",
                     uri.c_str());
        return romtide::vci::kXatNothingSelected;
    }
    record->boardIndex = static_cast<uint16_t>(index);
    record->boardType = romtide::vci::boardTypeOf(uri);
    std::snprintf(record->interfaceName, sizeof record->interfaceName, "%s", uri.c_str());
    return romtide::vci::kXatSelected;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t XAT_GetProductVersion(char* text, int32_t size) {
    if (text != nullptr && size > 0) {
        std::snprintf(text, static_cast<size_t>(size), "%s", kOwnVersion);
    }
    return 0;
}

__attribute__((visibility("default"))) int32_t XAT_CheckProductVersion(const char*,
                                                                       const char* version) {
    // 0: the caller's required version is served by this module.
    return version != nullptr && std::strcmp(version, kOwnVersion) == 0 ? 0 : 1;
}

__attribute__((visibility("default"))) int32_t XAT_SelectHardware(void*,
                                                                  XatHardwareRecord* record) {
    if (record == nullptr) {
        return romtide::vci::kXatNothingSelected;
    }
    std::memset(record, 0, sizeof *record);
    if (const char* chosen = std::getenv("ROMTIDE_CAN_INTERFACE"); chosen != nullptr) {
        return *chosen == '\0' ? romtide::vci::kXatNothingSelected : fill(chosen, record);
    }
    auto found = romtide::vci::availableInterfaces();
    if (found.empty()) {
        return romtide::vci::kXatNothingSelected;
    }
    // In the desktop program the user chooses; without a display the first one is taken.
    if (auto choice = romtide::vci::askHardwareSelector(found)) {
        return choice->result == romtide::vci::kXatSelected ? fill(choice->uri, record)
                                                            : choice->result;
    }
    return fill(found.front(), record);
}

__attribute__((visibility("default"))) int32_t XAT_InstallHardware(void*) {
    return 0;
}

__attribute__((visibility("default"))) int32_t XAT_GetConfig(uint16_t boardIndex,
                                                             XatHardwareRecord* record) {
    std::string uri = romtide::vci::interfaceUri(boardIndex);
    if (uri.empty() || record == nullptr) {
        return -1;
    }
    return fill(uri, record) == romtide::vci::kXatSelected ? 0 : -1;
}

}  // extern "C"
