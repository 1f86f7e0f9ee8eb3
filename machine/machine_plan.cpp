#include "machine/machine_plan.h"

#include <algorithm>
#include <cmath>

#include "base/device_text.h"
#include "cli/command_line.h"

namespace romtide::machine {

namespace {

using Json = nlohmann::ordered_json;

// A CAN unit is a request and its acknowledgement, stop and wait: about 240 bit times on
// the wire, the device's answer time and the host's turn-around.
constexpr double kCanBitsPerUnit = 240;
constexpr double kCanDeviceAnswerS = 150e-6;
constexpr double kCanHostS = 40e-6;
// Connect (reset, identification), erase and the identification after the download.
constexpr double kCanDeviceOverheadS = 2.0;
constexpr double kCanSearchS = 4.0;
// A Profibus unit takes about six DP cycles (its telegram and answer take three; the
// simulated encoder at 1.5 Mbit/s measured 3 ms per unit); a cycle is a fixed part and one
// that shrinks with the rate (about 380 µs at 1.5 Mbit/s, 60 µs at 12 Mbit/s).
constexpr double kDpCyclesPerUnit = 6;
constexpr double kDpCycleFixedS = 20e-6;
constexpr double kDpCycleBitsS = 545e-6;  // at 1 Mbit/s
constexpr double kDpDeviceOverheadS = 2.5;
constexpr double kDpSearchS = 5.0;

double dpMbit(int32_t baudCode) {
    static constexpr double kRates[] = {0.0096, 0.0192, 0.09375, 0.1875, 0.5,
                                        0.75,   1.5,    3.0,     6.0,    12.0};
    return baudCode >= 0 && baudCode < 10 ? kRates[baudCode] : 1.5;
}

bool matches(const Rule& rule, const FoundUnit& device) {
    if (!rule.addresses.empty() && std::find(rule.addresses.begin(), rule.addresses.end(),
                                             device.address) == rule.addresses.end()) {
        return false;
    }
    if (rule.deviceType && device.deviceType != rule.deviceType) {
        return false;
    }
    return !rule.ident || device.ident == rule.ident;
}

Json nullable(const std::optional<std::string>& text) {
    return text ? Json(printableText(*text)) : Json(nullptr);
}

}  // namespace

const char* actionWord(Action action) {
    switch (action) {
        case Action::Update:
            return "update";
        case Action::Current:
            return "current";
        case Action::Missing:
            return "missing";
        case Action::Unmatched:
            break;
    }
    return "unmatched";
}

int claimingRule(const Machine& machine, const Bus& bus, const FoundUnit& device) {
    int byType = -1;
    for (size_t i = 0; i < machine.rules.size(); ++i) {
        const Rule& rule = machine.rules[i];
        if (!Machine::ruleCovers(rule, bus) || !matches(rule, device)) {
            continue;
        }
        if (!rule.addresses.empty()) {
            return static_cast<int>(i);
        }
        if (byType < 0) {
            byType = static_cast<int>(i);
        }
    }
    return byType;
}

BusPlan planBus(const Machine& machine, const Bus& bus, const BusSearch& search) {
    BusPlan plan;
    if (!search.searched) {
        return plan;
    }
    for (const FoundUnit& d : search.devices) {
        PlannedDevice p;
        p.address = d.address;
        p.versionNow = d.bootloaderMode ? std::nullopt : d.version;
        p.rule = claimingRule(machine, bus, d);
        if (p.rule < 0) {
            p.action = Action::Unmatched;
        } else {
            p.versionWanted = machine.rules[static_cast<size_t>(p.rule)].version;
            p.action = p.versionNow == p.versionWanted ? Action::Current : Action::Update;
        }
        plan.devices.push_back(p);
    }
    // What a rule names by bus and address and the search did not find.
    for (size_t i = 0; i < machine.rules.size(); ++i) {
        const Rule& rule = machine.rules[i];
        if (!rule.bus || *rule.bus != bus.name) {
            continue;
        }
        for (int address : rule.addresses) {
            bool found = std::any_of(plan.devices.begin(), plan.devices.end(),
                                     [&](const PlannedDevice& p) { return p.address == address; });
            if (!found) {
                PlannedDevice p;
                p.address = address;
                p.action = Action::Missing;
                p.versionWanted = rule.version;
                p.rule = static_cast<int>(i);
                plan.devices.push_back(p);
            }
        }
    }
    std::stable_sort(
        plan.devices.begin(), plan.devices.end(),
        [](const PlannedDevice& a, const PlannedDevice& b) { return a.address < b.address; });
    plan.estimateSeconds = busSeconds(machine, bus, plan);
    return plan;
}

double deviceSeconds(const Bus& bus, int64_t textUnits) {
    const auto units = static_cast<double>(textUnits);
    if (bus.kind == BusKind::Can) {
        const double unitS = kCanBitsPerUnit / (bus.kbit * 1000.0) + kCanDeviceAnswerS + kCanHostS;
        return units * unitS + kCanDeviceOverheadS;
    }
    const double cycleS = kDpCycleFixedS + kDpCycleBitsS / dpMbit(bus.baudCode);
    return units * kDpCyclesPerUnit * cycleS + kDpDeviceOverheadS;
}

double busSeconds(const Machine& machine, const Bus& bus, const BusPlan& plan) {
    double total = 0;
    double longest = 0;
    for (const PlannedDevice& p : plan.devices) {
        if (p.action != Action::Update) {
            continue;
        }
        const double s = deviceSeconds(bus, machine.rules[static_cast<size_t>(p.rule)].textUnits);
        total += s;
        longest = std::max(longest, s);
    }
    const double updates = bus.parallel > 1 ? std::max(longest, total / bus.parallel) : total;
    const double seconds = (bus.kind == BusKind::Can ? kCanSearchS : kDpSearchS) + updates;
    return std::round(seconds * 10) / 10;
}

Json planDocument(const Machine& machine, const std::vector<PlanOfBus>& buses,
                  const std::string& time) {
    Json d;
    d["plan"] = "romtide-machine-plan";
    d["plan_version"] = 1;
    d["tool"] = {{"name", "bootloader"}, {"version", cli::version()}};
    d["command"] = "machine plan";
    d["machine"] = machine.name;
    d["file"] = machine.file;
    d["time"] = time;
    d["buses"] = Json::array();
    d["devices"] = Json::array();
    int counts[4] = {};
    for (const PlanOfBus& b : buses) {
        Json bus;
        bus["name"] = b.bus->name;
        bus["bus"] = busKindWord(b.bus->kind);
        if (b.bus->kind == BusKind::Can) {
            bus["interface"] = b.bus->interface;
            bus["kbit"] = b.bus->kbit;
        } else {
            bus["board"] = "device " + std::to_string(b.bus->board);
            bus["baud"] = b.bus->baud;
        }
        bus["searched"] = b.search.searched;
        bus["message"] = b.search.message.empty() ? Json(nullptr) : Json(b.search.message);
        bus["estimate_seconds"] =
            b.plan.estimateSeconds ? Json(*b.plan.estimateSeconds) : Json(nullptr);
        if (b.bus->kind == BusKind::Can) {
            bus["parallel"] = b.bus->parallel;
        }
        bus["on_failure"] = onFailureWord(b.bus->onFailure);
        d["buses"].push_back(std::move(bus));
        for (const PlannedDevice& p : b.plan.devices) {
            Json device;
            device["bus"] = b.bus->name;
            device["address"] = p.address;
            device["action"] = actionWord(p.action);
            device["version_now"] = nullable(p.versionNow);
            device["version_wanted"] = nullable(p.versionWanted);
            device["image"] = p.rule >= 0 ? Json(machine.rules[static_cast<size_t>(p.rule)].image)
                                          : Json(nullptr);
            d["devices"].push_back(std::move(device));
            ++counts[static_cast<int>(p.action)];
        }
    }
    d["summary"] = {{"update", counts[0]},
                    {"current", counts[1]},
                    {"missing", counts[2]},
                    {"unmatched", counts[3]}};
    return d;
}

std::vector<std::vector<std::string>> planTable(const Machine& machine,
                                                const std::vector<PlanOfBus>& buses) {
    std::vector<std::vector<std::string>> rows{
        {"Bus", "Address", "Action", "Version now", "Wanted", "Image"}};
    for (const PlanOfBus& b : buses) {
        for (const PlannedDevice& p : b.plan.devices) {
            rows.push_back({b.bus->name, std::to_string(p.address), actionWord(p.action),
                            p.versionNow ? printableText(*p.versionNow) : "-",
                            p.versionWanted ? printableText(*p.versionWanted) : "-",
                            p.rule >= 0 ? machine.rules[static_cast<size_t>(p.rule)].image : "-"});
        }
    }
    return rows;
}

}  // namespace romtide::machine
