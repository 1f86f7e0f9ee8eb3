// The searches' results as data: one JSON document per search (`bootloader can search
// --json`, `bootloader profibus scan --json`), made from the values the searches hand
// over. The fields are documented in the README ("The JSON inventory"); scripts depend
// on them, so they only grow, and `inventory_version` grows when one changes meaning.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "can_ui/can_search.h"
#include "profibus_ui/profibus_search.h"

namespace romtide::headless {

// What an inventory says about the search before its devices.
struct InventoryHeader {
    std::string command;    // "can search", "profibus scan"
    std::string bus;        // "can", "profibus"
    std::string interface;  // the CAN interface's URI, or the Profibus board
    std::string time;       // when the search ran (utcNow)
};

// One device or station as the inventory lists it (texts from the device escaped).
nlohmann::ordered_json canDeviceJson(const canui::FoundDevice& device);
nlohmann::ordered_json profibusStationJson(const pbui::SearchStation& station);

// The whole document. `kbit`: the rate the search found its devices at (null when it
// found none); `baud`: the DP segment's rate ("3M").
nlohmann::ordered_json canInventory(const InventoryHeader& header, std::optional<int> kbit,
                                    const std::vector<canui::FoundDevice>& devices);
nlohmann::ordered_json profibusInventory(const InventoryHeader& header, const std::string& baud,
                                         const std::vector<pbui::SearchStation>& stations);

}  // namespace romtide::headless
