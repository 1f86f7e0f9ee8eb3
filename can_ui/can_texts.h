// The texts of the CAN download front end that both the desktop window and the
// headless command show: baud-rate names, device-type and bootloader-version texts of
// the device grid, and the results memo's suffixes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace romtide::canui {

// The drop-down lists' items and the settings display's texts, by baud index 0..8.
const std::array<std::string, 9>& baudListItems();
const std::array<std::string, 9>& baudDisplayTexts();

// Columns 1 and 2 of a device-type response (d4..d7 of the frame).
std::pair<std::string, std::string> deviceTypeTexts(uint8_t d4, uint8_t d5, uint8_t d6, uint8_t d7);
// Column 1 of a bootloader identification (version d5, product d6, updater's product d7);
// nothing when the product is not known, so the cell keeps "Bootloader V.1".
std::optional<std::string> bootloaderVersionText(uint8_t d5, uint8_t d6, uint8_t d7);
// decimal(d7) decimal(d6) "." decimal(d5) decimal(d4)
std::string revisionText(uint8_t d4, uint8_t d5, uint8_t d6, uint8_t d7);

// What a download run does after a connect result.
enum class ConnectNext { Download, ConnectAgain, Skip };
struct ConnectOutcome {
    const char* suffix;  // null: no memo line
    ConnectNext next;
    bool askProduct;  // show the product selection before connecting again
};
ConnectOutcome connectOutcome(int32_t result);

struct DownloadOutcome {
    const char* suffix;  // null: no memo line
    bool stopRun;
    bool done;
};
DownloadOutcome downloadOutcome(int32_t result);

// The local date and time in the system's short date and long time format, for the
// line that begins a download run.
std::string localDateTimeText();

// "Slave 5" + suffix.
std::string memoLine(int node, const char* suffix);

}  // namespace romtide::canui
