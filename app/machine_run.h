// `bootloader machine plan` and `bootloader machine apply`: the parent of a machine's
// workers. It starts one worker per bus (with `parallel = N`, one search worker and then
// a worker per device), reads what they report with poll(), and writes the machine's
// report as the outcomes arrive. A worker that dies, breaks the protocol or outlives its
// bus's time limit fails its bus; the other buses go on.
#pragma once

#include <optional>
#include <string>

#include "app/headless.h"
#include "ui/terminal.h"

namespace romtide::machinecli {

struct MachineOptions {
    std::string file;
    bool simulate = false;
    bool json = false;
    std::optional<int> maxFailures;
    std::string report;
    headless::ReportFormat reportFormat = headless::ReportFormat::Text;
    ui::ProgressStyle progress = ui::ProgressStyle::Bar;
    std::string simDump;   // with --simulate: DIR/BUS/node-N.srec, DIR/BUS/station-N.srec
    std::string simTrace;  // with --simulate: DIR/BUS.log for every CAN bus
};

int runPlan(const MachineOptions& options);
int runApply(const MachineOptions& options);

}  // namespace romtide::machinecli
