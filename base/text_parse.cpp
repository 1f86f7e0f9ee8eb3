#include "base/text_parse.h"

#include <cerrno>
#include <cstdlib>

namespace romtide {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool parseInt(const std::string& text, long low, long high, int* out) {
    // Digits, after a minus sign at most: no blanks, no plus sign, nothing after them.
    const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits ||
        text.find_first_not_of("0123456789", digits) != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

}  // namespace romtide
