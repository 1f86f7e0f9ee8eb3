// Bootloader update files: device firmware delivered beside the program, in the folder
// "Update" below the folder of the running executable, chosen by the product letter
// the device reports or the product code the user selects.
#pragma once

#include <optional>
#include <string>

#include "base/program_files.h"

namespace romtide {

struct UpdateProduct {
    char letter;                 // as the device's bootloader reports it
    int code;                    // as the product selection stores it; 0 = not selectable
    const char* updaterFile;     // first stage, relative to the program's folder
    const char* bootloaderFile;  // second stage
};

// The table of products whose bootloader can be renewed; nothing for another letter.
std::optional<UpdateProduct> updateProductByLetter(char letter);
// The selectable product codes (387, 497, 498); nothing for any other code.
std::optional<UpdateProduct> updateProductByCode(int code);

// `relative` (an update file) beside the program, or where an installation keeps it
// (base/program_files.h).
std::string besideProgram(const std::string& relative);

}  // namespace romtide
