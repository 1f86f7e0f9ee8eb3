#include "app/cli.h"

#include <functional>

#include "app/cli_can.h"
#include "app/cli_check.h"
#include "app/cli_history.h"
#include "app/cli_machine.h"
#include "app/cli_profibus.h"
#include "app/exit_codes.h"
#include "cli/command_line.h"

namespace romtide {

namespace {

const char* const kFooter =
    "Without a command the program starts the desktop program; 'bootloader --simulate'\n"
    "starts it on the built-in simulated CAN bus and a simulated Profibus board.\n"
    "\n"
    "Exit status:\n"
    "  0    done as asked\n"
    "  1    at least one device did not end \" - okay\"\n"
    "  2    bad arguments\n"
    "  3    the image file could not be opened or read\n"
    "  4    the image file was refused (not an S-record text, a broken record,\n"
    "       bootloader area, reset address, or no data records without --allow-empty)\n"
    "  5    no CAN interface or board could be prepared, or the board was lost during\n"
    "       the search\n"
    "  6    nothing to update\n"
    "  7    a report, trace or --sim-dump file could not be written\n"
    "  8    machine: a bus failed as a whole (its worker died or hung, or its\n"
    "       interface or board is unusable)\n"
    "  130  interrupted by Ctrl-C";

}  // namespace

int runCommandLine(int argc, char** argv) {
    CLI::App app;
    cli::prepare(app, "bootloader",
                 "Replaces the application firmware of field devices through their "
                 "bootloader, over CAN and Profibus DP.");
    app.set_help_all_flag("--help-all", "Print the help of every command and exit");
    app.footer(kFooter);
    app.require_subcommand(1);
    std::function<int()> run;
    addCheckCommand(app, run);
    addCanCommands(app, run);
    addProfibusCommands(app, run);
    addMachineCommands(app, run);
    addHistoryCommand(app, run);
    if (auto status = cli::parse(app, argc, argv)) {
        return *status == cli::kBadArguments ? exitcode::kUsage : *status;
    }
    return run();
}

}  // namespace romtide
