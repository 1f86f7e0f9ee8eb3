// The image text as the tool sends it to a DP bootloader: line by line, four characters
// per data telegram in words 2 and 3 (the first of each pair in the high byte), zero
// bytes after a line's end.
#pragma once

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace romtide::sim::test {

inline std::vector<std::array<uint16_t, 2>> dataTelegramWords(const std::string& text) {
    std::vector<std::array<uint16_t, 2>> words;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line += '\n';
        line.resize((line.size() + 3) / 4 * 4, '\0');
        auto pair = [&](size_t k) {
            return static_cast<uint16_t>(static_cast<uint8_t>(line[k]) << 8 |
                                         static_cast<uint8_t>(line[k + 1]));
        };
        for (size_t i = 0; i < line.size(); i += 4) {
            words.push_back({pair(i), pair(i + 2)});
        }
    }
    return words;
}

}  // namespace romtide::sim::test
