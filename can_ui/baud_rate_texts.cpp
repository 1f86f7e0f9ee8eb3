#include "can_ui/baud_rate_texts.h"

#include <array>

namespace romtide {

namespace {
constexpr std::array<const char*, 9> kDisplay{"10 kBit/s",  "20 kBit/s",  "50 kBit/s",
                                              "100 kBit/s", "125 kBit/s", "250 kBit/s",
                                              "500 kBit/s", "800 kBit/s", "1000 kBit/s"};
}  // namespace

const std::vector<std::string>& baudRateListItems() {
    static const std::vector<std::string> items{"    10 kBit/s", "    20 kBit/s", "    50 kBit/s",
                                                "  100 kBit/s",  "  125 kBit/s",  "  250 kBit/s",
                                                "  500 kBit/s",  "  800 kBit/s",  "1000 kBit/s"};
    return items;
}

std::string baudRateDisplayText(int index) {
    if (index < 0 || index >= static_cast<int>(kDisplay.size())) {
        return {};
    }
    return kDisplay[static_cast<size_t>(index)];
}

}  // namespace romtide
