#include "session/update_files.h"

#include <array>

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

std::string besideProgram(const std::string& relative) {
    return programFile(relative, ProgramFileKind::Data);
}

}  // namespace romtide
