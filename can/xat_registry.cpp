#include "can/xat_registry.h"

#include <dlfcn.h>

#include "base/program_files.h"

namespace romtide {

namespace {

template <typename Fn>
Fn lookUp(void* library, const char* name) {
    return library == nullptr ? nullptr : reinterpret_cast<Fn>(::dlsym(library, name));
}

}  // namespace

std::string xatModuleFileName() {
    return "libromtide-xat.so";
}

std::string defaultXatModulePath() {
    // Beside the running executable in the build tree, in the private library folder of
    // an installation.
    return programFile(xatModuleFileName(), ProgramFileKind::Module);
}

int XatRegistry::load(const std::string& path) {
    if (loadCount > 0) {
        ++loadCount;
        return 0;
    }
    library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return 0;
    }
    getProductVersion = lookUp<vci::XatGetProductVersionFn>(library, "XAT_GetProductVersion");
    checkProductVersion = lookUp<vci::XatCheckProductVersionFn>(library, "XAT_CheckProductVersion");
    if (getProductVersion == nullptr || checkProductVersion == nullptr) {
        // Released here; the mapping that follows finds nothing and says so.
        ::dlclose(library);
        *this = XatRegistry{};
        return 1;
    }
    if (checkProductVersion(xatModuleFileName().c_str(), vci::kXatRequiredVersion) != 0) {
        ::dlclose(library);
        *this = XatRegistry{};
        return 0;
    }
    loadCount = 1;
    return 1;
}

int XatRegistry::mapFunctions() {
    selectHardware = lookUp<vci::XatSelectHardwareFn>(library, "XAT_SelectHardware");
    installHardware = lookUp<vci::XatInstallHardwareFn>(library, "XAT_InstallHardware");
    getConfig = lookUp<vci::XatGetConfigFn>(library, "XAT_GetConfig");
    return selectHardware != nullptr && installHardware != nullptr && getConfig != nullptr ? 1 : -1;
}

void XatRegistry::unload() {
    if (loadCount == 0) {
        return;
    }
    if (loadCount == 1) {
        ::dlclose(library);
        *this = XatRegistry{};
        return;
    }
    --loadCount;
}

}  // namespace romtide
