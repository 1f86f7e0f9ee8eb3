// The hidden `bootloader machine-worker`: one process for one bus of a machine, started
// by `bootloader machine` itself. The session values are class-wide, so each bus gets a
// process of its own; the worker runs the bus's search and updates with the code of the
// headless bus commands and tells its parent what happens in the line protocol of
// machine/worker_protocol.h on its standard output (anything else it would print goes to
// standard error, which the parent shows with the bus's name). Standard input carries the
// parent's "stop"; SIGINT is the device in hand's Cancel.
#pragma once

#include <optional>
#include <string>

#include "machine/machine_file.h"

namespace romtide::machinecli {

enum class WorkerMode {
    Search,      // search the bus, report what is found
    Apply,       // search, then update the bus's devices one after another
    Device,      // update one device of a bus searched by the parent, no search
    Simulation,  // serve every bus of the machine as a simulated bus or board
};

struct WorkerOptions {
    std::string file;
    std::string bus;
    WorkerMode mode = WorkerMode::Search;
    int address = 0;        // Device
    int rule = -1;          // Device: the rule that claims it
    int kbit = 0;           // Device: the rate the parent's search found it at
    std::string interface;  // CAN: instead of the bus's (a simulated bus)
    std::string simTrace;   // Simulation: DIR/BUS.log, every frame of each CAN bus
};

int runWorker(const WorkerOptions& options);

// The image checks of an update run (missing or unreadable 3, refused 4), for the
// machine file's checker.
machine::ImageCheck checkImage(const std::string& path);
// Reads and checks the machine file with those image checks.
std::optional<machine::Machine> loadCheckedMachine(const std::string& file, machine::Fault* fault);

// The word a SimDeviceConfig or station text is checked with, for the simulated buses:
// empty when every [simulate] text of the machine is right, otherwise the message.
std::string checkSimulation(const machine::Machine& machine);

}  // namespace romtide::machinecli
