// What a machine's buses hold and what an update of the machine would do to each
// device: the searches' findings in a form both buses share, the rules applied to them
// (update, current, missing, unmatched), and an estimate of each bus's time. The plan
// command prints it; the apply workers take their devices from the same function, so
// the plan says exactly what apply does.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine_file.h"

namespace romtide::machine {

// A device a bus search found.
struct FoundUnit {
    int address = 0;
    // It runs its bootloader: no application, and on CAN no device type.
    bool bootloaderMode = false;
    std::optional<std::string> version;  // the application's version (raw bytes)
    std::optional<uint32_t> deviceType;  // CAN, object 0x1000
    std::optional<uint16_t> ident;       // Profibus
};

struct BusSearch {
    bool searched = false;
    std::string message;      // why not, when not searched
    std::optional<int> kbit;  // CAN: the rate the devices answered at
    std::vector<FoundUnit> devices;
};

enum class Action { Update, Current, Missing, Unmatched };
const char* actionWord(Action action);

struct PlannedDevice {
    int address = 0;
    Action action = Action::Unmatched;
    std::optional<std::string> versionNow;
    std::optional<std::string> versionWanted;
    int rule = -1;  // index into Machine::rules, -1 when unmatched
};

struct BusPlan {
    std::vector<PlannedDevice> devices;  // in address order
    std::optional<double> estimateSeconds;
};

// The rule that claims `device` on `bus`: one that names its address before one that
// names its type. -1 when none does.
int claimingRule(const Machine& machine, const Bus& bus, const FoundUnit& device);

// The plan of one bus from its search (nothing to plan when it was not searched).
BusPlan planBus(const Machine& machine, const Bus& bus, const BusSearch& search);

// How long one device's update takes on `bus`: its text units at the bus's rate plus
// what connecting, erasing and the identification after it cost.
double deviceSeconds(const Bus& bus, int64_t textUnits);
// The bus's whole time: its search and its updates, `parallel` of them at once.
double busSeconds(const Machine& machine, const Bus& bus, const BusPlan& plan);

// The plan document (`machine plan --json`, see the README).
struct PlanOfBus {
    const Bus* bus;
    BusSearch search;
    BusPlan plan;
};
nlohmann::ordered_json planDocument(const Machine& machine, const std::vector<PlanOfBus>& buses,
                                    const std::string& time);
// The same as a table, one row per device, and a line per bus that was not searched.
std::vector<std::vector<std::string>> planTable(const Machine& machine,
                                                const std::vector<PlanOfBus>& buses);

}  // namespace romtide::machine
