#include "base/device_text.h"

namespace romtide {

std::string printableText(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            text += "\\\\";
        } else if (b < 0x20 || b > 0x7E) {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 0x0F];
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace romtide
