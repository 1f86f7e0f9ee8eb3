#include "base/text_parse.h"

#include <cerrno>
#include <cstdlib>

namespace romtide {

bool parseInt(const std::string& text, long low, long high, int* out) {
    if (text.empty()) {
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
