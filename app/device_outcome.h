// What became of each device of an update run, as values: the report's outcome words for
// the result codes, whether a device already runs the version asked for, and the report
// entries of the devices left alone and of those the run took, with their versions
// before and after and the verdict. The headless commands report these; a caller that
// runs updates of its own (a whole machine) builds its outcomes from the same functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/run_report.h"
#include "can_ui/can_download_run.h"
#include "can_ui/can_search.h"
#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"

namespace romtide::headless {

// The outcome word of a CAN node's result (its download, then its identification).
std::string canOutcomeWord(int32_t result, bool skipped);
// The same for a Profibus station; its error answer (`errorCode` >= 0) tells a refused
// telegram from one that was never acknowledged.
std::string profibusOutcomeWord(int32_t result, int32_t errorCode);

// The version the application of a device the search found reports; nothing when it
// runs its bootloader or, on Profibus, did not answer.
std::optional<std::string> applicationVersion(const canui::FoundDevice& device);
std::optional<std::string> applicationVersion(const pbui::SearchStation& station);

// Whether a device the search found runs its application in the `expected` version.
bool reportsVersion(const canui::FoundDevice& device, const std::string& expected);
bool reportsVersion(const pbui::SearchStation& station, uint16_t expected);

// What a report says a device was left as: "bootloader", "updater", or nothing.
std::optional<std::string> leftWord(DeviceLeft left);

// A device left alone because it reports the expected version already.
DeviceEntry currentEntry(int address, const std::string& version);

// A node or station the run took, with the version the search found (`before`).
DeviceEntry canEntry(const canui::NodeResult& result, std::optional<std::string> before,
                     double seconds, int64_t textUnitsSent);
DeviceEntry profibusEntry(const pbui::StationResult& result, std::optional<std::string> before,
                          int64_t textUnitsSent);

}  // namespace romtide::headless
