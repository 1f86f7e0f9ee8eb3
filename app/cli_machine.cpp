#include "app/cli_machine.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "app/machine_run.h"
#include "app/machine_worker.h"
#include "base/text_parse.h"
#include "cli/command_line.h"

namespace romtide {

namespace {

const char* const kFooter =
    "FILE: the machine file (TOML): its name, its buses ([[bus]]: type can with interface\n"
    "and kbit, or type profibus with board and baud) and its rules ([[rule]]: image and\n"
    "version for the devices named by bus and address, device-type or ident); every key\n"
    "is in the README (\"Whole machines\").\n"
    "Exit status: 0 every device okay or current (plan: every bus searched), 1 a device\n"
    "failed, 2 usage or machine-file error, 3 image missing or unreadable, 4 image\n"
    "refused, 7 the report could not be written, 8 a bus failed as a whole (its worker\n"
    "died or hung, or its interface or board is unusable), 130 interrupted.";

void addCommon(CLI::App& command, machinecli::MachineOptions& o) {
    command.add_option("FILE", o.file, "The machine file")->required();
    command.add_flag("--simulate", o.simulate,
                     "Every bus of the file becomes a simulated bus or board, its devices "
                     "from the file's [simulate] table or made from the rules");
    command.add_flag("--json", o.json,
                     "Print one JSON document on stdout and nothing else (see the README)");
}

}  // namespace

void addMachineCommands(CLI::App& app, std::function<int()>& run) {
    CLI::App* machine =
        app.add_subcommand("machine", "Plan and update every bus of a machine, the buses at once");
    machine->require_subcommand(1);
    machine->footer(kFooter);

    auto plan = std::make_shared<machinecli::MachineOptions>();
    CLI::App* planCommand = machine->add_subcommand(
        "plan",
        "Search every bus and list what apply would do to each device; sends nothing "
        "but the searches");
    planCommand->footer(kFooter);
    addCommon(*planCommand, *plan);
    planCommand->callback([plan, &run] {
        plan->progress = ui::ProgressStyle::None;
        run = [plan] { return machinecli::runPlan(*plan); };
    });

    auto apply = std::make_shared<machinecli::MachineOptions>();
    CLI::App* applyCommand = machine->add_subcommand(
        "apply",
        "Update the machine as its plan says, the buses in parallel, each device "
        "verified afterwards");
    applyCommand->footer(kFooter);
    addCommon(*applyCommand, *apply);
    applyCommand
        ->add_option_function<std::string>(
            "--max-failures",
            [apply](const std::string& v) {
                int n = 0;
                if (!parseInt(v, 1, 100000, &n)) {
                    cli::refuse("--max-failures: a number of devices, 1 or more: " + v);
                }
                apply->maxFailures = n;
            },
            "Start no further device on any bus once N devices have failed")
        ->option_text("N");
    applyCommand
        ->add_option("--report", apply->report,
                     "Write the machine's report to FILE as the outcomes arrive")
        ->option_text("FILE");
    applyCommand
        ->add_option_function<std::string>(
            "--report-format",
            [apply](const std::string& v) {
                if (v != "text" && v != "json") {
                    cli::refuse("--report-format: one of text, json: " + v);
                }
                apply->reportFormat =
                    v == "json" ? headless::ReportFormat::Json : headless::ReportFormat::Text;
            },
            "text: a line per device and per bus (default); json: one document")
        ->option_text("text|json");
    applyCommand
        ->add_option_function<std::string>(
            "--progress",
            [apply](const std::string& v) {
                if (v == "bar") {
                    apply->progress = ui::ProgressStyle::Bar;
                } else if (v == "plain") {
                    apply->progress = ui::ProgressStyle::Plain;
                } else if (v == "none") {
                    apply->progress = ui::ProgressStyle::None;
                } else {
                    cli::refuse("--progress: one of bar, plain, none: " + v);
                }
            },
            "bar: a bar per bus on stderr when it is a terminal (default); plain: lines "
            "with the bus's name in front, for logs; none")
        ->option_text("bar|plain|none");
    applyCommand
        ->add_option("--sim-dump", apply->simDump,
                     "With --simulate: write each simulated device's flash to "
                     "DIR/BUS/node-N.srec or DIR/BUS/station-N.srec")
        ->option_text("DIR");
    applyCommand
        ->add_option("--sim-trace", apply->simTrace,
                     "With --simulate: write every frame of each CAN bus to DIR/BUS.log")
        ->option_text("DIR");
    applyCommand->callback([apply, &run] {
        if (!apply->simulate && (!apply->simDump.empty() || !apply->simTrace.empty())) {
            cli::refuse("--sim-dump and --sim-trace need --simulate");
        }
        run = [apply] { return machinecli::runApply(*apply); };
    });

    // The worker a machine command starts for each bus: not for people.
    auto worker = std::make_shared<machinecli::WorkerOptions>();
    CLI::App* workerCommand = app.add_subcommand("machine-worker", "");
    workerCommand->group("");
    workerCommand->add_option("FILE", worker->file)->required();
    workerCommand->add_option("--bus", worker->bus)->required();
    workerCommand
        ->add_option_function<std::string>("--mode",
                                           [worker](const std::string& v) {
                                               using M = machinecli::WorkerMode;
                                               if (v == "search") {
                                                   worker->mode = M::Search;
                                               } else if (v == "apply") {
                                                   worker->mode = M::Apply;
                                               } else if (v == "device") {
                                                   worker->mode = M::Device;
                                               } else if (v == "simulation") {
                                                   worker->mode = M::Simulation;
                                               } else {
                                                   cli::refuse("--mode: " + v);
                                               }
                                           })
        ->required();
    workerCommand->add_option("--address", worker->address);
    workerCommand->add_option("--rule", worker->rule);
    workerCommand->add_option("--kbit", worker->kbit);
    workerCommand->add_option("--interface", worker->interface);
    workerCommand->add_option("--sim-trace", worker->simTrace);
    workerCommand->callback(
        [worker, &run] { run = [worker] { return machinecli::runWorker(*worker); }; });
}

}  // namespace romtide
