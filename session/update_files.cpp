#include "session/update_files.h"

#include <unistd.h>

#include <array>
#include <climits>

namespace romtide {

namespace {

constexpr std::array<UpdateProduct, 4> kProducts{{
    {'D', 497, "Update/Update/Update497.mhx", "Update/Bootloader/497.mhx"},
    {'E', 498, "Update/Update/Update498.mhx", "Update/Bootloader/498.mhx"},
    {'F', 387, "Update/Update/Update387.mhx", "Update/Bootloader/387.mhx"},
    {'G', 0, "Update/Update/Update387s.mhx", "Update/Bootloader/387s.mhx"},
}};

}  // namespace

std::optional<UpdateProduct> updateProductByLetter(char letter) {
    for (const auto& p : kProducts) {
        if (p.letter == letter) {
            return p;
        }
    }
    return std::nullopt;
}

std::optional<UpdateProduct> updateProductByCode(int code) {
    for (const auto& p : kProducts) {
        if (p.code != 0 && p.code == code) {
            return p;
        }
    }
    return std::nullopt;
}

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

std::string besideProgram(const std::string& relative) {
    std::string folder = executableFolder();
    if (!folder.empty() && folder.back() == '/') {
        return folder + relative;
    }
    return folder + "/" + relative;
}

}  // namespace romtide
