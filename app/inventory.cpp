#include "app/inventory.h"

#include "base/device_text.h"
#include "cli/command_line.h"
#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_texts.h"

namespace romtide::headless {

namespace {

using Json = nlohmann::ordered_json;

// The grid's texts carry the blanks that align them in their cells.
std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

Json document(const InventoryHeader& header) {
    Json d;
    d["inventory"] = "romtide-search";
    d["inventory_version"] = 1;
    d["tool"] = {{"name", "bootloader"}, {"version", cli::version()}};
    d["command"] = header.command;
    d["bus"] = header.bus;
    d[header.bus == "can" ? "interface" : "board"] = header.interface;
    d["time"] = header.time;
    return d;
}

}  // namespace

Json canDeviceJson(const canui::FoundDevice& d) {
    Json j;
    j["address"] = d.node;
    j["kbit"] = d.kbit;
    j["bootloader_mode"] = d.bootloaderMode;
    j["device_type"] = {{"code", d.deviceTypeCode ? Json(*d.deviceTypeCode) : Json(nullptr)},
                        {"text", trimmed(d.deviceType)}};
    j["product"] = trimmed(d.additionalInfo);
    j["name"] = printableText(d.name);
    j["revision"] = d.revision;
    j["hardware_version"] = printableText(d.hardwareVersion);
    j["software_version"] = printableText(d.softwareVersion);
    j["bootloader_version"] = d.bootloaderVersion ? Json(*d.bootloaderVersion) : Json(nullptr);
    j["bootloader_product"] = d.bootloaderProduct != 0
                                  ? Json(printableText(std::string(1, d.bootloaderProduct)))
                                  : Json(nullptr);
    j["updater"] = d.updater;
    return j;
}

Json profibusStationJson(const pbui::SearchStation& s) {
    const bool slave = s.type == dpm::kPassiveStation;
    const pbui::StationIdentity& id = s.identity;
    const bool answered = slave && id.ready && id.versionAnswered;
    Json j;
    j["address"] = s.address;
    j["kind"] = slave ? "slave" : s.type == dpm::kActiveStation ? "master" : "unknown";
    j["ident"] = slave ? Json(s.ident) : Json(nullptr);
    j["ready"] = slave ? Json(id.ready) : Json(nullptr);
    j["ppo"] = slave && id.ready ? Json(id.ppo2 ? 2 : 1) : Json(nullptr);
    j["version"] =
        answered && !id.bootloader ? Json(pbui::versionNumberText(id.versionWord)) : Json(nullptr);
    j["bootloader_version"] =
        answered && id.bootloader ? Json(pbui::versionNumberText(id.versionWord)) : Json(nullptr);
    return j;
}

Json canInventory(const InventoryHeader& header, std::optional<int> kbit,
                  const std::vector<canui::FoundDevice>& devices) {
    Json d = document(header);
    d["kbit"] = kbit ? Json(*kbit) : Json(nullptr);
    d["devices"] = Json::array();
    for (const auto& device : devices) {
        d["devices"].push_back(canDeviceJson(device));
    }
    return d;
}

Json profibusInventory(const InventoryHeader& header, const std::string& baud,
                       const std::vector<pbui::SearchStation>& stations) {
    Json d = document(header);
    d["baud"] = baud;
    d["devices"] = Json::array();
    for (const auto& station : stations) {
        d["devices"].push_back(profibusStationJson(station));
    }
    return d;
}

}  // namespace romtide::headless
