// Numbers typed on command lines and in device descriptions.
#pragma once

#include <string>

namespace romtide {

// The value of a hexadecimal digit (either case), or -1 for any other character.
int hexDigitValue(char c);

// The whole of `text` as a decimal number within [low, high]: digits, with a minus sign
// before them at most; false otherwise (blanks and a plus sign included).
bool parseInt(const std::string& text, long low, long high, int* out);

}  // namespace romtide
