#include "base/program_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>

#ifndef ROMTIDE_MODULE_DIR_FROM_BIN
#error "the build states where modules are installed, relative to the programs"
#endif
#ifndef ROMTIDE_DATA_DIR_FROM_BIN
#error "the build states where data files are installed, relative to the programs"
#endif

namespace romtide {

std::string executableFolder() {
    std::array<char, PATH_MAX> path{};
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) {
        return ".";
    }
    std::string exe(path.data(), static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string programFileFrom(const std::string& folder, const std::string& relative,
                            ProgramFileKind kind) {
    const std::string base = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
    const std::string beside = base + relative;
    struct stat st {};
    if (::stat(beside.c_str(), &st) == 0) {
        return beside;
    }
    const char* installed =
        kind == ProgramFileKind::Module ? ROMTIDE_MODULE_DIR_FROM_BIN : ROMTIDE_DATA_DIR_FROM_BIN;
    return base + installed + "/" + relative;
}

std::string programFile(const std::string& relative, ProgramFileKind kind) {
    return programFileFrom(executableFolder(), relative, kind);
}

}  // namespace romtide
