// The machine file: one TOML document that names a machine's buses (CAN interfaces with
// their bit rates, Profibus boards with their baud rates) and the rules that say which
// image goes to which devices and which version they must run afterwards. It is read
// and checked whole before any bus is touched; every fault is one message
// "FILE:LINE: key K: reason" and the exit status of the fault (2, or 3 and 4 for an
// image that cannot be read or is refused).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace romtide::machine {

enum class BusKind { Can, Profibus };
// What a failed device does to the devices after it.
enum class OnFailure { StopBus, StopMachine, Continue };

const char* busKindWord(BusKind kind);        // "can", "profibus"
const char* onFailureWord(OnFailure policy);  // "stop-bus", ...

struct Bus {
    std::string name;
    BusKind kind = BusKind::Can;
    int line = 0;
    // CAN: the interface's URI and the rate its devices run at.
    std::string interface;
    int kbit = 0;
    // Profibus: the board's device number in the board registry and the segment's rate.
    int board = 0;
    std::string baud = "3M";
    int32_t baudCode = 7;
    // CAN: how many devices of the bus are updated at once.
    int parallel = 1;
    OnFailure onFailure = OnFailure::StopBus;
    // How long the bus's worker may run before it counts as hung; none: from the estimate.
    std::optional<int> timeLimitS;
    // CAN: the answer to the question whether an old bootloader is renewed first.
    bool renewBootloader = false;
    // With --simulate: the devices of the simulated bus (--sim-device / --sim-station
    // texts); empty: made from the rules.
    std::vector<std::string> simulate;
    int simulateLine = 0;
};

struct Rule {
    int line = 0;
    std::optional<std::string> bus;      // none: every bus of its kind
    std::vector<int> addresses;          // none: any address
    std::optional<uint32_t> deviceType;  // CAN: object 0x1000 of the application
    std::optional<uint16_t> ident;       // Profibus: the slave's ident number
    std::optional<BusKind> kind;         // what the rule's keys tie it to
    std::string image;                   // as written in the file
    std::string imagePath;               // relative to the machine file's folder
    std::string version;                 // as the devices report it ("S2", "1.2.3")
    // Filled in by the image check.
    int64_t imageBytes = 0;
    int64_t textUnits = 0;
};

struct Machine {
    std::string file;  // as given
    std::string name;
    std::vector<Bus> buses;
    std::vector<Rule> rules;

    const Bus* findBus(const std::string& name) const;
    // Whether `rule` may claim devices of `bus` (its bus, or its kind when it names none).
    static bool ruleCovers(const Rule& rule, const Bus& bus);
};

struct Fault {
    int status = 0;  // the exit status (2, 3, 4)
    std::string message;
};

// What the image check says of one image: 0 with its size and text units, or the exit
// status with the reason (the check may have printed the window's message already).
struct ImageCheck {
    int status = 0;
    std::string reason;
    int64_t bytes = 0;
    int64_t textUnits = 0;
};
using ImageChecker = std::function<ImageCheck(const std::string& path)>;

// Reads and checks `path`; `checkImage` runs for every image named (once per path).
// Nothing and `fault` set on the first fault.
std::optional<Machine> loadMachine(const std::string& path, const ImageChecker& checkImage,
                                   Fault* fault);

}  // namespace romtide::machine
