#include "app/cli_profibus.h"

#include <sys/prctl.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_check.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/profibus_board_guard.h"
#include "app/profibus_simulation.h"
#include "base/text_parse.h"
#include "cli/command_line.h"
#include "profibus/dp_trace.h"
#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/tbootloader.h"
#include "ui/terminal.h"

namespace romtide {

namespace {

const char* const kFooter =
    "RATE: 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M 6M 12M (default 3M)\n"
    "STATION: addr=N[,ppo=1|2][,ident=0xHHHH][,version=A.B.C][,boot=A.B.C]\n"
    "         [,mode=app|boot][,delay=US][,fail=noack@N|error@N:CODE|erase|gone@N]\n"
    "Without --simulate the board is device 0 of the nuboxlink registry\n"
    "(NUBOXLINK_REGISTRY, default /etc/nuboxlink/registry.reg). A board in another\n"
    "computer whose server stops answering ends the command within 30 s; Ctrl-C ends it\n"
    "within a second or two, the board reset.";

struct BaudRate {
    const char* text;
    int32_t code;
};
constexpr BaudRate kBaudRates[] = {{"9.6k", 0},   {"19.2k", 1}, {"93.75k", 2},
                                   {"187.5k", 3}, {"500k", 4},  {"1.5M", 6},
                                   {"3M", 7},     {"6M", 8},    {"12M", 9}};

struct ProfibusOptions {
    bool update = false;
    int32_t baudIndex = 7;
    std::vector<int> stations;
    bool all = false;
    std::string trace;
    headless::RunOptions run;
    bool simulate = false;
    std::vector<std::string> simStations;
    std::string simDump;
};

void checkOptions(const ProfibusOptions& o) {
    if (o.update && o.run.image.empty()) {
        cli::refuse("no image file given");
    }
    if (o.update && o.all == !o.stations.empty()) {
        cli::refuse("give either --station N[,N...] or --all");
    }
    if (!o.simulate && (!o.simStations.empty() || !o.simDump.empty())) {
        cli::refuse("--sim-station and --sim-dump need --simulate");
    }
}

void addOptions(CLI::App& command, ProfibusOptions& o, bool update) {
    command
        .add_option_function<std::string>(
            "--baud",
            [&o](const std::string& v) {
                auto it = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                       [&](const BaudRate& b) { return v == b.text; });
                if (it == std::end(kBaudRates)) {
                    cli::refuse(
                        "--baud: not one of 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M 6M "
                        "12M: " +
                        v);
                }
                o.baudIndex = it->code;
            },
            "The DP segment's baud rate (default 3M)")
        ->option_text("RATE");
    if (update) {
        cli::addNumberList(command, "--station", 1, 126, "station addresses", o.stations,
                           "The stations to update");
        command.add_flag("--all", o.all, "Update every slave the search finds");
    }
    command.add_option("--trace", o.trace, "Record what was exchanged with the board")
        ->option_text("FILE");
    if (update) {
        headless::addRunOptions(command, o.run);
    } else {
        headless::addProgressOption(command, o.run.progress);
    }
    command.add_flag("--simulate", o.simulate,
                     "Run on the built-in simulated board and DP segment");
    cli::addRepeatable(
        command, "--sim-station", [&o](const std::string& v) { o.simStations.push_back(v); },
        "A simulated station (repeatable)")
        ->option_text("STATION");
    if (update) {
        command
            .add_option("--sim-dump", o.simDump,
                        "Write each simulated station's flash to DIR/station-N.srec")
            ->option_text("DIR");
    }
}

// Turns an interrupt (Ctrl-C) into the window's Cancel, inside the running waits. It
// stays requested: the download sets the cancel request back to 0 when it starts.
class CliPump : public ui::QueuedEventPump {
  public:
    void processPending() override {
        if (headless::interrupted() && session != nullptr) {
            session->Cancel();
        }
        QueuedEventPump::processPending();
    }
    Tbootloader* session = nullptr;
};

void printStations(const std::vector<pbui::SearchStation>& stations) {
    std::vector<std::vector<std::string>> rows{{"Device", "Address", "Ident", "Software version"}};
    for (const auto& s : stations) {
        char ident[8] = "";
        if (s.type == dpm::kPassiveStation) {
            std::snprintf(ident, sizeof ident, "0x%04X", s.ident);
        }
        rows.push_back(
            {pbui::stationKindText(s.type), std::to_string(s.address), ident, s.version});
    }
    headless::printTable(rows, "no station answered");
}

const char* outcomeWord(const pbui::StationResult& r) {
    switch (r.result) {
        case result::kOk:
            return "okay";
        case result::kNoFile:
            return "bad-file";
        case result::kBusError:
            return "bus-error";
        case result::kTransferError:
            return r.errorCode >= 0 ? "device-error" : "not-acknowledged";
        case result::kCancelled:
            return "cancelled";
        case result::kEraseFailed:
            return "erase-failed";
        default:
            return "failed";
    }
}

int runProfibus(const ProfibusOptions& o) {
    // The data phase is made of short waits: keep the kernel from stretching them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    headless::installInterruptHandler();
    std::unique_ptr<ProfibusSimulation> simulation;
    if (o.simulate) {
        std::string error;
        simulation = ProfibusSimulation::start(o.simStations, &error);
        if (!simulation) {
            std::fprintf(stderr, "bootloader profibus: %s\n", error.c_str());
            return exitcode::kUsage;
        }
        simulation->selectAsBoard();
        std::fprintf(stderr, "%s\n", simulation->description().c_str());
    }

    SteadyClock clock;
    CliPump pump;
    ui::TerminalMessageBoxes messages(stderr);
    Services services{clock, pump, messages};

    ProfibusBoardGuard board(nuboxlinkLibrary(), clock);
    board.watchInterrupt([] { return headless::interrupted(); },
                         [] {
                             std::fprintf(stderr,
                                          "bootloader profibus: interrupted while the board does "
                                          "not answer; it is reset\n");
                         });
    std::FILE* traceFile = nullptr;
    std::unique_ptr<TracingDpMasterLibrary> tracing;
    if (!o.trace.empty()) {
        traceFile = std::fopen(o.trace.c_str(), "w");
        if (traceFile == nullptr) {
            std::fprintf(stderr, "bootloader profibus: cannot write the trace %s\n",
                         o.trace.c_str());
            return exitcode::kUsage;
        }
        tracing = std::make_unique<TracingDpMasterLibrary>(board, clock, traceFile);
    }
    struct TraceCloser {
        std::FILE* f;
        ~TraceCloser() {
            if (f != nullptr) {
                std::fclose(f);
            }
        }
    } traceCloser{traceFile};

    Tbootloader::resetSharedState();
    TProfitalvik::resetSharedState();
    Tbootloader session(services, tracing ? static_cast<DpMasterLibrary&>(*tracing) : board);
    pump.session = &session;

    if (o.update) {
        int status = headless::openImageForRun(session, messages, o.run.image, o.run.allowEmpty);
        if (status != exitcode::kOk) {
            return status;
        }
    }

    // What the window does when it is shown: the board with one DP master channel.
    TProfitalvik::SetBaudIndex(o.baudIndex);
    TProfitalvik& dp = *session.profibus;
    if (dp.InitAdapter() != dpm::kOk) {
        if (headless::interrupted()) {
            std::fprintf(stderr,
                         "bootloader profibus: interrupted while the board was prepared; no "
                         "station was touched\n");
            return exitcode::kInterrupted;
        }
        messages.show({"The adapter couldn't inizialized successfully", "Bootloader",
                       ui::MessageIcon::Error, ui::MessageButtons::Ok});
        return exitcode::kNoBoard;
    }

    ui::PlainStringGrid grid(5, 2, 1000);
    ui::PlainProgressBar imageBar;
    ui::TerminalProgressBar stationBar("Searching", stderr, o.run.progress);
    pbui::SearchControls controls{grid, imageBar, stationBar, nullptr,
                                  [] { return headless::interrupted(); }};
    std::fprintf(stderr, "Searching at %s ...\n",
                 pbui::baudShortText(TProfitalvik::GetBaudIndex()).c_str());
    std::vector<pbui::SearchStation> found = pbui::runProfibusSearch(session, controls);
    stationBar.finish();
    if (headless::interrupted()) {
        std::fprintf(stderr,
                     "bootloader profibus: interrupted during the search; no station was "
                     "touched\n");
        dp.ResetAdapter();
        return exitcode::kInterrupted;
    }
    printStations(found);
    std::vector<int> slaves;
    for (const auto& s : found) {
        if (s.type == dpm::kPassiveStation && s.address != 0) {
            slaves.push_back(s.address);
        }
    }
    if (!o.update) {
        dp.ResetAdapter();
        return slaves.empty() ? exitcode::kNothingFound : exitcode::kOk;
    }

    headless::RunReport report("station");
    headless::ReportHeader header{
        "profibus update", "profibus", simulation ? "simulated board, device 0" : "device 0",
        o.run.image,       0,          0};
    header.imageBytes = static_cast<int64_t>(session.imageFile->bytes().size());
    header.imageTextUnits = headless::countTextUnits(*session.imageFile);
    if (!report.open(o.run.report, o.run.reportFormat, header)) {
        std::fprintf(stderr, "bootloader profibus: cannot write the report %s\n",
                     o.run.report.c_str());
        dp.ResetAdapter();
        return exitcode::kUsage;
    }
    auto reportLine = [&](int station, const char* outcome, int32_t r, double seconds,
                          std::optional<int64_t> units) {
        report.device({station, outcome, r, std::nullopt, seconds, units});
    };

    // Mark the stations, as clicks on their rows would. A named station that the search
    // did not find as a slave is not tried: the window offers no row to click.
    int stationsNamed = 0;
    int notFound = 0;
    for (int n : o.all ? slaves : o.stations) {
        ++stationsNamed;
        if (std::find(slaves.begin(), slaves.end(), n) == slaves.end()) {
            std::printf("Station %d: not found on the bus\n", n);
            reportLine(n, "not-found", 0, 0, 0);
            ++notFound;
            continue;
        }
        session.AddNode(static_cast<uint8_t>(n));
    }

    ui::TerminalProgressBar progress("", stderr, o.run.progress);
    ui::PlainTextLabel label;
    ui::PlainProgressBar stationProgress;
    int okay = 0;
    int failed = 0;
    pbui::ProfibusRunHooks hooks{progress, label, stationProgress, {}, {}, {}, {}};
    hooks.stationStarting = [&](int station) {
        progress.setCaption("Station " + std::to_string(station));
        session.ResetImageUnitsSent();
    };
    hooks.showResult = [&](const pbui::StationResult& r, const pbui::DownloadMessage& m) {
        progress.finish();
        std::string line =
            "Station " + std::to_string(r.station) + ": " + pbui::oneLine(m.message.text);
        if (r.errorCode >= 0) {
            line += " Errorcode: " + std::to_string(r.errorCode);
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        // An outcome nobody foresaw stops an unattended run.
        return m.cancelStops ? ui::MessageAnswer::Cancel : ui::MessageAnswer::Ok;
    };
    hooks.stationFinished = [&](const pbui::StationResult& r) {
        r.done ? ++okay : ++failed;
        reportLine(r.station, outcomeWord(r), r.result, r.seconds, session.ImageUnitsSent());
    };
    // Ctrl-C between two stations ends the run there: the next one is not touched.
    hooks.stopRequested = [] { return headless::interrupted(); };
    if (session.GetNode(0) == 0 && stationsNamed == 0) {
        messages.show({"No slave to updatelist added!", "Bootloader", ui::MessageIcon::Information,
                       ui::MessageButtons::Ok});
    }
    pbui::ProfibusRunSummary summary = pbui::runProfibusStations(session, hooks);
    progress.finish();
    // Stations a stopped run never tried; a failed one that was moved to the end has its
    // line already.
    int notRun = 0;
    for (int n = session.GetNode(0); n != 0; n = session.GetNode(0)) {
        bool tried = std::any_of(summary.results.begin(), summary.results.end(),
                                 [&](const pbui::StationResult& r) { return r.station == n; });
        if (!tried) {
            std::printf("Station %d: not tried\n", n);
            reportLine(n, "not-run", 0, 0, 0);
            ++notRun;
        }
        session.RemoveNode(static_cast<uint8_t>(n));
    }
    const bool interrupted = headless::interrupted();
    const int stations = okay + failed + notRun + notFound;
    std::printf("%d of %d station(s) updated%s\n", okay, stations,
                interrupted ? " (interrupted)" : "");
    bool outputsWritten = report.finish({{"stations", stations},
                                         {"okay", okay},
                                         {"failed", failed},
                                         {"not-found", notFound},
                                         {"not-run", notRun}},
                                        interrupted);
    if (!outputsWritten) {
        std::fprintf(stderr, "bootloader profibus: the report %s could not be written\n",
                     o.run.report.c_str());
    }
    dp.ResetAdapter();

    if (simulation && !o.simDump.empty()) {
        std::string error;
        if (!simulation->dump(o.simDump, &error)) {
            std::fprintf(stderr, "bootloader profibus: %s\n", error.c_str());
            outputsWritten = false;
        }
    }
    if (interrupted) {
        return exitcode::kInterrupted;
    }
    if (!outputsWritten) {
        return exitcode::kOutputFailed;
    }
    if (stationsNamed == 0) {
        return exitcode::kNothingFound;
    }
    return okay == stations ? exitcode::kOk : exitcode::kDeviceFailed;
}

}  // namespace

void addProfibusCommands(CLI::App& app, std::function<int()>& run) {
    CLI::App* profibus =
        app.add_subcommand("profibus", "Search and update stations on Profibus DP");
    profibus->require_subcommand(1);
    profibus->footer(kFooter);
    for (bool update : {false, true}) {
        auto options = std::make_shared<ProfibusOptions>();
        options->update = update;
        CLI::App* command =
            update ? profibus->add_subcommand(
                         "update",
                         "Update stations on Profibus DP: search, then erase and download "
                         "each station named")
                   : profibus->add_subcommand("scan",
                                              "Search a Profibus DP segment and list its "
                                              "stations");
        command->footer(kFooter);
        addOptions(*command, *options, update);
        command->callback([options, &run] {
            checkOptions(*options);
            run = [options] { return runProfibus(*options); };
        });
    }
}

}  // namespace romtide
