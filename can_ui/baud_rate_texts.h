// The two text sets that name the nine CAN bit-rate indexes: padded for drop-down
// lists, plain for the settings display.
#pragma once

#include <string>
#include <vector>

namespace romtide {

// "    10 kBit/s" … "1000 kBit/s", in index order 0..8.
const std::vector<std::string>& baudRateListItems();
// "10 kBit/s" … "1000 kBit/s"; an empty text for an index outside 0..8.
std::string baudRateDisplayText(int index);

}  // namespace romtide
