#include "can/xat_registry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <climits>

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
    // Beside the running executable: the build puts programs and modules in one folder
    // (build/bin), and an installation keeps them together the same way.
    std::array<char, PATH_MAX> exe{};
    ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    std::string folder = ".";
    if (n > 0) {
        std::string path(exe.data(), static_cast<size_t>(n));
        auto slash = path.rfind('/');
        if (slash != std::string::npos) {
            folder = path.substr(0, slash);
        }
    }
    return folder + "/" + xatModuleFileName();
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
