// Numbers typed on command lines and in device descriptions.
#pragma once

#include <string>

namespace romtide {

// The whole of `text` as a decimal number within [low, high]; false otherwise.
bool parseInt(const std::string& text, long low, long high, int* out);

}  // namespace romtide
