#include "machine/machine_file.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>

#include "profibus_ui/profibus_texts.h"

namespace romtide::machine {

namespace {

constexpr int kKbitRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
struct BaudRate {
    const char* text;
    int32_t code;
};
constexpr BaudRate kBaudRates[] = {{"9.6k", 0},   {"19.2k", 1}, {"93.75k", 2},
                                   {"187.5k", 3}, {"500k", 4},  {"1.5M", 6},
                                   {"3M", 7},     {"6M", 8},    {"12M", 9}};
constexpr int kHighestBoard = 15;
constexpr int kMostParallel = 8;
constexpr int kLongestTimeLimitS = 24 * 3600;
constexpr int kHighestCanNode = 127;
constexpr int kHighestStation = 126;
constexpr size_t kLongestCanVersion = 4;
constexpr size_t kLongestBusName = 32;

// A fault at a place of the file; thrown inside the reader, caught once.
struct FileFault {
    int status;
    int line;
    std::string key;
    std::string reason;
};

int lineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

[[noreturn]] void refuse(const toml::node& at, const std::string& key, const std::string& reason,
                         int status = 2) {
    throw FileFault{status, lineOf(at), key, reason};
}

// The keys a table may hold: anything else is refused with its own line.
void onlyKeys(const toml::table& table, const std::string& prefix,
              std::initializer_list<const char*> allowed) {
    for (auto&& [key, value] : table) {
        const std::string k(key.str());
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; })) {
            throw FileFault{2, static_cast<int>(key.source().begin.line), prefix + k,
                            "unknown key"};
        }
    }
}

const char* typeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number with a fraction";
        case toml::node_type::boolean:
            return "true or false";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::table:
            return "a table";
        default:
            return "a date or time";
    }
}

std::string text(const toml::table& t, const char* key, const std::string& prefix) {
    const toml::node* n = t.get(key);
    if (!n->is_string()) {
        refuse(*n, prefix + key, std::string("must be a string, not ") + typeName(*n));
    }
    return *n->value<std::string>();
}

int64_t integer(const toml::node& n, const std::string& key, int64_t low, int64_t high) {
    if (!n.is_integer()) {
        refuse(n, key, std::string("must be an integer, not ") + typeName(n));
    }
    const int64_t v = *n.value<int64_t>();
    if (v < low || v > high) {
        refuse(n, key,
               "must be " + std::to_string(low) + ".." + std::to_string(high) + ", not " +
                   std::to_string(v));
    }
    return v;
}

std::optional<int64_t> optionalInteger(const toml::table& t, const char* key,
                                       const std::string& prefix, int64_t low, int64_t high) {
    const toml::node* n = t.get(key);
    if (n == nullptr) {
        return std::nullopt;
    }
    return integer(*n, prefix + key, low, high);
}

const toml::node& required(const toml::table& t, const char* key, const std::string& prefix) {
    const toml::node* n = t.get(key);
    if (n == nullptr) {
        throw FileFault{2, lineOf(t), prefix + key, "missing"};
    }
    return *n;
}

Bus readBus(const toml::table& t) {
    const std::string p = "bus.";
    onlyKeys(t, p,
             {"name", "type", "interface", "kbit", "board", "baud", "parallel", "on-failure",
              "time-limit", "renew-bootloader"});
    Bus bus;
    bus.line = lineOf(t);
    required(t, "name", p);
    bus.name = text(t, "name", p);
    // The name is a folder of --sim-dump and an interface of the simulated bus server.
    const bool plainName = !bus.name.empty() && bus.name.size() <= kLongestBusName &&
                           std::all_of(bus.name.begin(), bus.name.end(),
                                       [](char c) {
                                           return std::isalnum(static_cast<unsigned char>(c)) ||
                                                  c == '-' || c == '_' || c == '.';
                                       }) &&
                           bus.name[0] != '.';
    if (!plainName) {
        refuse(*t.get("name"), p + "name",
               "1 to 32 letters, digits, '-', '_' and '.' (not first), not '" + bus.name + "'");
    }
    required(t, "type", p);
    const std::string type = text(t, "type", p);
    if (type == "can") {
        bus.kind = BusKind::Can;
    } else if (type == "profibus") {
        bus.kind = BusKind::Profibus;
    } else {
        refuse(*t.get("type"), p + "type", "one of can, profibus, not '" + type + "'");
    }
    auto onlyFor = [&](const char* key, BusKind kind) {
        if (const toml::node* n = t.get(key); n != nullptr && bus.kind != kind) {
            refuse(*n, p + key, std::string("only for a bus of type ") + busKindWord(kind));
        }
    };
    onlyFor("interface", BusKind::Can);
    onlyFor("kbit", BusKind::Can);
    onlyFor("parallel", BusKind::Can);
    onlyFor("renew-bootloader", BusKind::Can);
    onlyFor("board", BusKind::Profibus);
    onlyFor("baud", BusKind::Profibus);
    if (bus.kind == BusKind::Can) {
        required(t, "interface", p);
        bus.interface = text(t, "interface", p);
        if (bus.interface.empty()) {
            refuse(*t.get("interface"), p + "interface", "empty");
        }
        const toml::node& kbit = required(t, "kbit", p);
        bus.kbit = static_cast<int>(integer(kbit, p + "kbit", 1, 1000));
        if (std::find(std::begin(kKbitRates), std::end(kKbitRates), bus.kbit) ==
            std::end(kKbitRates)) {
            refuse(kbit, p + "kbit", "not one of 10 20 50 100 125 250 500 800 1000");
        }
        bus.parallel =
            static_cast<int>(optionalInteger(t, "parallel", p, 1, kMostParallel).value_or(1));
        if (const toml::node* n = t.get("renew-bootloader")) {
            if (!n->is_boolean()) {
                refuse(*n, p + "renew-bootloader",
                       std::string("must be true or false, not ") + typeName(*n));
            }
            bus.renewBootloader = *n->value<bool>();
        }
    } else {
        bus.board =
            static_cast<int>(integer(required(t, "board", p), p + "board", 0, kHighestBoard));
        if (t.get("baud") != nullptr) {
            bus.baud = text(t, "baud", p);
            auto it = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                   [&](const BaudRate& b) { return bus.baud == b.text; });
            if (it == std::end(kBaudRates)) {
                refuse(*t.get("baud"), p + "baud",
                       "not one of 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M 6M 12M");
            }
            bus.baudCode = it->code;
        }
    }
    if (t.get("on-failure") != nullptr) {
        const std::string policy = text(t, "on-failure", p);
        if (policy == "stop-bus") {
            bus.onFailure = OnFailure::StopBus;
        } else if (policy == "stop-machine") {
            bus.onFailure = OnFailure::StopMachine;
        } else if (policy == "continue") {
            bus.onFailure = OnFailure::Continue;
        } else {
            refuse(*t.get("on-failure"), p + "on-failure",
                   "one of stop-bus, stop-machine, continue, not '" + policy + "'");
        }
    }
    if (auto limit = optionalInteger(t, "time-limit", p, 1, kLongestTimeLimitS)) {
        bus.timeLimitS = static_cast<int>(*limit);
    }
    return bus;
}

Rule readRule(const toml::table& t, const Machine& machine, const std::string& folder) {
    const std::string p = "rule.";
    onlyKeys(t, p, {"bus", "address", "device-type", "ident", "image", "version"});
    Rule rule;
    rule.line = lineOf(t);
    const Bus* bus = nullptr;
    if (t.get("bus") != nullptr) {
        rule.bus = text(t, "bus", p);
        bus = machine.findBus(*rule.bus);
        if (bus == nullptr) {
            refuse(*t.get("bus"), p + "bus", "no bus is named '" + *rule.bus + "'");
        }
        rule.kind = bus->kind;
    }
    if (const toml::node* n = t.get("device-type")) {
        rule.deviceType = static_cast<uint32_t>(integer(*n, p + "device-type", 0, 0xFFFFFFFF));
        if (rule.kind == BusKind::Profibus) {
            refuse(*n, p + "device-type", "a CAN device's type; bus " + *rule.bus + " is Profibus");
        }
        rule.kind = BusKind::Can;
    }
    if (const toml::node* n = t.get("ident")) {
        rule.ident = static_cast<uint16_t>(integer(*n, p + "ident", 0, 0xFFFF));
        if (rule.kind == BusKind::Can) {
            refuse(*n, p + "ident",
                   rule.deviceType ? "a Profibus ident; the rule has a CAN device-type"
                                   : "a Profibus slave's ident; bus " + *rule.bus + " is CAN");
        }
        rule.kind = BusKind::Profibus;
    }
    if (const toml::node* n = t.get("address")) {
        const int64_t highest = rule.kind == BusKind::Can ? kHighestCanNode : kHighestStation;
        auto add = [&](const toml::node& a) {
            const int v = static_cast<int>(integer(a, p + "address", 1, highest));
            if (std::find(rule.addresses.begin(), rule.addresses.end(), v) !=
                rule.addresses.end()) {
                refuse(a, p + "address", std::to_string(v) + " given twice");
            }
            rule.addresses.push_back(v);
        };
        if (const toml::array* list = n->as_array()) {
            if (list->empty()) {
                refuse(*n, p + "address", "an empty list names no device");
            }
            for (const toml::node& a : *list) {
                add(a);
            }
        } else {
            add(*n);
        }
        if (!rule.kind) {
            refuse(*n, p + "address", "an address needs bus, device-type or ident beside it");
        }
    }
    if (rule.addresses.empty() && !rule.deviceType && !rule.ident) {
        throw FileFault{2, rule.line, p + "address",
                        "a rule names its devices by address, device-type or ident"};
    }
    const toml::node& version = required(t, "version", p);
    rule.version = text(t, "version", p);
    if (*rule.kind == BusKind::Can) {
        if (rule.version.empty() || rule.version.size() > kLongestCanVersion) {
            refuse(version, p + "version", "a CAN device reports 1 to 4 characters");
        }
    } else {
        auto word = pbui::versionWordOf(rule.version);
        if (!word) {
            refuse(version, p + "version", "a station reports A.B.C, A and B 0..15, C 0..255");
        }
        rule.version = pbui::versionNumberText(*word);
    }
    required(t, "image", p);
    rule.image = text(t, "image", p);
    if (rule.image.empty()) {
        refuse(*t.get("image"), p + "image", "empty");
    }
    const std::filesystem::path image(rule.image);
    rule.imagePath =
        image.is_absolute() || folder.empty() ? rule.image : (folder + "/" + rule.image);
    return rule;
}

// Whether one device could be claimed by both rules. Rules with addresses overlap when
// their addresses do; rules without when they name the same type. A rule with
// addresses and one without may both match a device: the one with addresses claims it.
bool overlap(const Rule& a, const Rule& b, const Machine& machine) {
    if (a.kind != b.kind) {
        return false;
    }
    if (a.bus && b.bus && *a.bus != *b.bus) {
        return false;
    }
    if (a.addresses.empty() != b.addresses.empty()) {
        return false;
    }
    if ((a.deviceType && b.deviceType && *a.deviceType != *b.deviceType) ||
        (a.ident && b.ident && *a.ident != *b.ident)) {
        return false;
    }
    if (a.addresses.empty()) {
        return a.deviceType == b.deviceType && a.ident == b.ident;
    }
    (void)machine;
    return std::any_of(a.addresses.begin(), a.addresses.end(), [&](int n) {
        return std::find(b.addresses.begin(), b.addresses.end(), n) != b.addresses.end();
    });
}

Machine readMachine(const toml::table& root, const std::string& path,
                    const ImageChecker& checkImage) {
    onlyKeys(root, "", {"name", "bus", "rule", "simulate"});
    Machine m;
    m.file = path;
    required(root, "name", "");
    m.name = text(root, "name", "");
    const toml::node& buses = required(root, "bus", "");
    const toml::array* busList = buses.as_array();
    if (busList == nullptr || busList->empty() || !busList->is_array_of_tables()) {
        refuse(buses, "bus", "one [[bus]] table per bus, at least one");
    }
    std::map<std::string, int> names;
    std::map<std::string, int> interfaces;
    std::map<int, int> boards;
    for (const toml::node& b : *busList) {
        Bus bus = readBus(*b.as_table());
        const toml::table& t = *b.as_table();
        if (auto [it, fresh] = names.emplace(bus.name, bus.line); !fresh) {
            refuse(*t.get("name"), "bus.name",
                   "'" + bus.name + "' names the bus of line " + std::to_string(it->second) +
                       " already");
        }
        if (bus.kind == BusKind::Can) {
            if (auto [it, fresh] = interfaces.emplace(bus.interface, bus.line); !fresh) {
                refuse(*t.get("interface"), "bus.interface",
                       bus.interface + " is the bus of line " + std::to_string(it->second) +
                           " already");
            }
        } else if (auto [it, fresh] = boards.emplace(bus.board, bus.line); !fresh) {
            refuse(*t.get("board"), "bus.board",
                   "board " + std::to_string(bus.board) + " is the bus of line " +
                       std::to_string(it->second) + " already");
        }
        m.buses.push_back(std::move(bus));
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (const toml::node* rules = root.get("rule")) {
        const toml::array* list = rules->as_array();
        if (list == nullptr || !list->is_array_of_tables()) {
            refuse(*rules, "rule", "one [[rule]] table per rule");
        }
        for (const toml::node& r : *list) {
            Rule rule = readRule(*r.as_table(), m, folder);
            for (const Rule& before : m.rules) {
                if (overlap(before, rule, m)) {
                    refuse(r, "rule.address",
                           "claims a device that the rule of line " + std::to_string(before.line) +
                               " claims already");
                }
            }
            m.rules.push_back(std::move(rule));
        }
    }
    if (const toml::node* sim = root.get("simulate")) {
        const toml::table* table = sim->as_table();
        if (table == nullptr) {
            refuse(*sim, "simulate", "a table: bus name = [device texts]");
        }
        for (auto&& [key, value] : *table) {
            const std::string name(key.str());
            auto it = std::find_if(m.buses.begin(), m.buses.end(),
                                   [&](const Bus& b) { return b.name == name; });
            if (it == m.buses.end()) {
                throw FileFault{2, static_cast<int>(key.source().begin.line), "simulate." + name,
                                "no bus is named '" + name + "'"};
            }
            it->simulateLine = static_cast<int>(key.source().begin.line);
            const toml::array* texts = value.as_array();
            if (texts == nullptr) {
                refuse(value, "simulate." + name, "an array of device texts");
            }
            for (const toml::node& d : *texts) {
                if (!d.is_string()) {
                    refuse(d, "simulate." + name,
                           std::string("device texts are strings, not ") + typeName(d));
                }
                it->simulate.push_back(*d.value<std::string>());
            }
        }
    }
    // The images last, every one once: what they hold is only worth reading in a file
    // that is right otherwise.
    std::map<std::string, ImageCheck> checked;
    const toml::array* ruleList = root.get("rule") ? root.get("rule")->as_array() : nullptr;
    for (size_t i = 0; i < m.rules.size(); ++i) {
        Rule& rule = m.rules[i];
        auto it = checked.find(rule.imagePath);
        if (it == checked.end()) {
            it = checked.emplace(rule.imagePath, checkImage(rule.imagePath)).first;
        }
        const ImageCheck& c = it->second;
        if (c.status != 0) {
            const toml::node& at = *(*ruleList)[i].as_table()->get("image");
            refuse(at, "rule.image", rule.image + ": " + c.reason, c.status);
        }
        rule.imageBytes = c.bytes;
        rule.textUnits = c.textUnits;
    }
    return m;
}

}  // namespace

const char* busKindWord(BusKind kind) {
    return kind == BusKind::Can ? "can" : "profibus";
}

const char* onFailureWord(OnFailure policy) {
    switch (policy) {
        case OnFailure::StopBus:
            return "stop-bus";
        case OnFailure::StopMachine:
            return "stop-machine";
        case OnFailure::Continue:
            break;
    }
    return "continue";
}

const Bus* Machine::findBus(const std::string& name) const {
    for (const Bus& b : buses) {
        if (b.name == name) {
            return &b;
        }
    }
    return nullptr;
}

bool Machine::ruleCovers(const Rule& rule, const Bus& bus) {
    return rule.bus ? *rule.bus == bus.name : rule.kind == bus.kind;
}

std::optional<Machine> loadMachine(const std::string& path, const ImageChecker& checkImage,
                                   Fault* fault) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0) {
            fault->message = path + ": cannot be read: " + std::string(e.description());
        } else {
            fault->message = path + ":" + std::to_string(e.source().begin.line) + ": " +
                             std::string(e.description());
        }
        fault->status = 2;
        return std::nullopt;
    }
    try {
        return readMachine(root, path, checkImage);
    } catch (const FileFault& f) {
        fault->status = f.status;
        fault->message = path + ":" + std::to_string(f.line) + ": key " + f.key + ": " + f.reason;
        return std::nullopt;
    }
}

}  // namespace romtide::machine
