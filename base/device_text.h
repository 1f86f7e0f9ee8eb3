// Texts that devices report (names, versions) as the program shows and records them.
// A device may answer any bytes: control characters, quotes, bytes that are no UTF-8.
// Written raw they would garble a terminal or break a report, so they are shown with
// every byte outside printable ASCII, and the backslash, escaped.
#pragma once

#include <string>

namespace romtide {

// `bytes` with each byte below 0x20 or above 0x7E as \xHH (upper-case hex) and the
// backslash as \\; every other byte as it is. The result is printable ASCII and says
// exactly which bytes came.
std::string printableText(const std::string& bytes);

}  // namespace romtide
