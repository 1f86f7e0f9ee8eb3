// The texts of the Profibus download front end that both the desktop window and the
// headless commands show: baud-rate and board-kind names, the station kinds and
// version cell of the station grid, and the message a download run shows for each
// station's result.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "profibus/tprofitalvik.h"
#include "ui/dialogs.h"

namespace romtide::pbui {

// The status label's and the options dialog's short texts, by baud index 0..10.
const std::array<std::string, 11>& baudShortTexts();
// The short text of a baud index; "Error" outside the table.
std::string baudShortText(int32_t baudIndex);
// The board kind byte of the device information.
std::string boardKindText(uint8_t kind);
// Column 0 of a station: "Slave", "Master" or "Unknown station".
std::string stationKindText(uint8_t type);
// The grid's column titles, with their leading blanks.
const std::array<std::string, 5>& gridCaptions();
// Column 3 from the answer to parameter 964, index 9: "a.b.c", prefixed "Bootloader "
// when word 2 says the bootloader answered.
std::string versionText(const ParameterWords& answer);
constexpr const char* kNotReady = "Not ready";
// "a.b.c" of a version word a << 12 | b << 8 | c, and back: the whole text as three
// decimal numbers (a, b 0-15, c 0-255) with a dot between them, nothing otherwise.
std::string versionNumberText(uint16_t word);
std::optional<uint16_t> versionWordOf(const std::string& text);

// What the download run does with a station's result.
struct DownloadMessage {
    ui::Message message;  // caption "Bootloader", as the Profibus window's boxes have
    bool stopRun = false;
    bool done = false;         // the station is updated
    bool moveToEnd = false;    // -7 and -9: the station is tried again last
    bool cancelStops = false;  // Cancel in the message box stops the run
};
DownloadMessage downloadMessage(int32_t result);

// A message as one line: line feeds dropped, blanks at the end trimmed.
std::string oneLine(const std::string& text);

}  // namespace romtide::pbui
