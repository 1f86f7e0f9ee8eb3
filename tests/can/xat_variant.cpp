// Hardware-selection modules that go wrong in the ways the program must report:
// built once per variant (XAT_VARIANT_INCOMPLETE, _WRONG_VERSION, _ABANDON).
#include <cstdint>
#include <cstring>

#include "vci/xat.h"

extern "C" {

__attribute__((visibility("default"))) int32_t XAT_GetProductVersion(char*, int32_t) {
    return 0;
}

__attribute__((visibility("default"))) int32_t XAT_CheckProductVersion(const char*, const char*) {
#ifdef XAT_VARIANT_WRONG_VERSION
    return 1;
#else
    return 0;
#endif
}

#ifndef XAT_VARIANT_INCOMPLETE
__attribute__((visibility("default"))) int32_t XAT_SelectHardware(
    void*, romtide::vci::XatHardwareRecord* record) {
    std::memset(record, 0, sizeof *record);
    return romtide::vci::kXatAbandoned;
}
__attribute__((visibility("default"))) int32_t XAT_InstallHardware(void*) {
    return 0;
}
__attribute__((visibility("default"))) int32_t XAT_GetConfig(uint16_t,
                                                             romtide::vci::XatHardwareRecord*) {
    return -1;
}
#endif
}
