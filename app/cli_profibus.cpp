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
#include "app/device_outcome.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/inventory.h"
#include "app/profibus_board_guard.h"
#include "app/profibus_simulation.h"
#include "base/device_text.h"
#include "base/text_parse.h"
#include "cli/command_line.h"
#include "profibus/dp_trace.h"
#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/image_acceptance.h"
#include "session/tbootloader.h"
#include "ui/terminal.h"

namespace romtide {

namespace {

const char* const kFooter =
    "RATE: 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M 6M 12M (default 3M)\n"
    "STATION: addr=N[,ppo=1|2][,ident=0xHHHH][,version=A.B.C][,boot=A.B.C]\n"
    "         [,mode=app|boot][,delay=US]\n"
    "         [,fail=noack@N|error@N:CODE|erase|gone@N|finish:CODE|stale|silent-after]\n"
    "         (an image whose S0 header holds VERSION=A.B.C makes A.B.C the version of a\n"
    "         simulated station)\n"
    "Stations 1-126 can be updated. A slave at address 0 is listed, but it has no place\n"
    "in the board's process image: give it another address to update it.\n"
    "Without --simulate the board is device N (--device, default 0) of the nuboxlink\n"
    "registry (NUBOXLINK_REGISTRY, default /etc/nuboxlink/registry.reg), local or remote.\n"
    "A board in another computer whose server stops answering ends the command within\n"
    "30 s; Ctrl-C ends it within a second or two, the board reset.";

constexpr int kHighestDevice = 15;
constexpr int kLongestWaitS = 600;

struct BaudRate {
    const char* text;
    int32_t code;
};
constexpr BaudRate kBaudRates[] = {{"9.6k", 0},   {"19.2k", 1}, {"93.75k", 2},
                                   {"187.5k", 3}, {"500k", 4},  {"1.5M", 6},
                                   {"3M", 7},     {"6M", 8},    {"12M", 9}};

const char* baudText(int32_t code) {
    for (const BaudRate& b : kBaudRates) {
        if (b.code == code) {
            return b.text;
        }
    }
    return "";
}

struct ProfibusOptions {
    bool update = false;
    int32_t baudIndex = 7;
    std::vector<int> stations;
    bool all = false;
    std::string trace;
    headless::RunOptions run;
    int device = 0;
    bool json = false;
    std::optional<uint16_t> expectVersion;
    bool force = false;
    int verifyWaitS = static_cast<int>(pbui::kComeBackMs / 1000);
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
    if (o.force && !o.expectVersion) {
        cli::refuse("--force needs --expect-version");
    }
    if (o.simulate) {
        if (std::string why = ProfibusSimulation::checkStations(o.simStations); !why.empty()) {
            cli::refuse(why);
        }
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
    command
        .add_option_function<std::string>(
            "--device",
            [&o](const std::string& v) {
                if (!parseInt(v, 0, kHighestDevice, &o.device)) {
                    cli::refuse("--device: board numbers are 0..15: " + v);
                }
            },
            "The board: its device number in the nuboxlink registry (default 0); with "
            "--simulate the simulated board is served as that number")
        ->option_text("N");
    if (update) {
        cli::addNumberList(command, "--station", dpm::kLowestSlotStation, dpm::kHighestStation,
                           "station addresses", o.stations, "The stations to update (1-126)");
        command.add_flag("--all", o.all,
                         "Update every slave the search finds (one at address 0 is reported "
                         "as skipped)");
        command
            .add_option_function<std::string>(
                "--expect-version",
                [&o](const std::string& v) {
                    o.expectVersion = pbui::versionWordOf(v);
                    if (!o.expectVersion) {
                        cli::refuse(
                            "--expect-version: a station reports A.B.C, A and B 0..15, C "
                            "0..255: '" +
                            printableText(v) + "'");
                    }
                },
                "The version the image brings: a station that reports it already is left "
                "alone (\"current\"); after its download a station is okay only when it "
                "reports it, otherwise \"unverified\"")
            ->option_text("A.B.C");
        command.add_flag("--force", o.force,
                         "Update stations that report the --expect-version already too");
        command
            .add_option_function<std::string>(
                "--verify-wait",
                [&o](const std::string& v) {
                    if (!parseInt(v, 1, kLongestWaitS, &o.verifyWaitS)) {
                        cli::refuse("--verify-wait: seconds are 1..600: " + v);
                    }
                },
                "After its download each station is identified again: how long it is "
                "waited for to answer as its application (default 30); one that still "
                "answers as its bootloader then is \"not-committed\", one that answers "
                "nothing \"not-back\"")
            ->option_text("SECONDS");
    } else {
        command.add_flag("--json", o.json,
                         "Print the stations found as one JSON document on stdout instead of "
                         "the table (see the README)");
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

int runProfibus(const ProfibusOptions& o) {
    // The data phase is made of short waits: keep the kernel from stretching them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    headless::installInterruptHandler();
    std::unique_ptr<ProfibusSimulation> simulation;
    if (o.simulate) {
        std::string error;
        simulation = ProfibusSimulation::start(o.simStations, &error, o.device);
        if (!simulation) {
            // The stations were checked with the arguments: the board could not be served.
            std::fprintf(stderr, "bootloader profibus: %s\n", error.c_str());
            return exitcode::kNoBoard;
        }
        simulation->selectAsBoard();
        std::fprintf(stderr, "%s\n", simulation->description().c_str());
    }

    SteadyClock clock;
    CliPump pump;
    ui::TerminalMessageBoxes messages(stderr);
    Services services{clock, pump, messages};

    ProfibusBoardGuard boardLibrary(nuboxlinkLibrary(), clock);
    boardLibrary.watchInterrupt([] { return headless::interrupted(); },
                                [] {
                                    std::fprintf(
                                        stderr,
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
        tracing = std::make_unique<TracingDpMasterLibrary>(boardLibrary, clock, traceFile);
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
    Tbootloader session(services, tracing ? static_cast<DpMasterLibrary&>(*tracing) : boardLibrary);
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
    dp.SetDevice(static_cast<uint8_t>(o.device));
    const std::string board =
        (simulation ? "simulated board, device " : "device ") + std::to_string(o.device);
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
    // However the command ends from here on, the board is left reset, as the window's
    // closing leaves it.
    struct BoardReset {
        TProfitalvik& dp;
        bool done = false;
        void now() {
            if (!done) {
                done = true;
                dp.ResetAdapter();
            }
        }
        ~BoardReset() { now(); }
    } boardReset{dp};
    auto traceLost = [&] {
        if (traceFile == nullptr || headless::traceWritten(traceFile)) {
            return false;
        }
        std::fprintf(stderr, "bootloader profibus: the trace %s could not be written\n",
                     o.trace.c_str());
        return true;
    };

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
        return exitcode::kInterrupted;
    }
    // A board that stopped answering during the search (a missing confirmation resets
    // it) has found nothing: that is no empty segment.
    DeviceInfo info{};
    if (dp.GetAdapterInfo(info) != dpm::kOk || info.present != 1 || info.busy != 1) {
        std::fprintf(stderr,
                     "bootloader profibus: the board was lost during the search; no station "
                     "was touched\n");
        return exitcode::kNoBoard;
    }
    if (o.json) {
        headless::InventoryHeader header{"profibus scan", "profibus", board, headless::utcNow()};
        std::printf("%s\n", headless::jsonText(
                                headless::profibusInventory(header, baudText(o.baudIndex), found))
                                .c_str());
        std::fflush(stdout);
    } else {
        printStations(found);
    }
    std::vector<int> slaves;
    bool slaveAtZero = false;
    for (const auto& s : found) {
        if (s.type != dpm::kPassiveStation) {
            continue;
        }
        if (dpm::hasSlot(s.address)) {
            slaves.push_back(s.address);
        } else {
            slaveAtZero = true;
        }
    }
    if (!o.update) {
        if (traceLost()) {
            return exitcode::kOutputFailed;
        }
        return slaves.empty() && !slaveAtZero ? exitcode::kNothingFound : exitcode::kOk;
    }

    headless::RunReport report("station");
    headless::ReportHeader header{"profibus update", "profibus", board, o.run.image, 0, 0};
    header.imageBytes = static_cast<int64_t>(session.imageFile->bytes().size());
    header.imageTextUnits = countTextUnits(*session.imageFile);
    const bool recording = headless::recordInHistory(report, "profibus", o.run.noHistory);
    if (!report.open(o.run.report, o.run.reportFormat, header)) {
        std::fprintf(stderr, "bootloader profibus: cannot write the report %s\n",
                     o.run.report.c_str());
        return exitcode::kUsage;
    }
    auto foundStation = [&found](int address) -> const pbui::SearchStation* {
        for (const auto& s : found) {
            if (s.address == address && s.type == dpm::kPassiveStation) {
                return &s;
            }
        }
        return nullptr;
    };
    auto versionBefore = [&](int address) -> std::optional<std::string> {
        const pbui::SearchStation* s = foundStation(address);
        return s != nullptr ? headless::applicationVersion(*s) : std::nullopt;
    };
    auto reportLine = [&](int station, const char* outcome) {
        headless::DeviceEntry entry;
        entry.address = station;
        entry.outcome = outcome;
        entry.textUnitsSent = 0;
        entry.versionBefore = versionBefore(station);
        report.device(entry);
    };

    // Mark the stations, as clicks on their rows would. A named station that the search
    // did not find as a slave is not tried: the window offers no row to click. One that
    // reports the expected version already is left alone.
    int stationsNamed = 0;
    int notFound = 0;
    int current = 0;
    int skipped = 0;
    if (o.all && slaveAtZero) {
        ++stationsNamed;
        ++skipped;
        std::printf(
            "Station 0: skipped, a slave at address 0 cannot be updated (give it an address "
            "from 1 to 126)\n");
        reportLine(0, "skipped");
    }
    for (int n : o.all ? slaves : o.stations) {
        ++stationsNamed;
        if (std::find(slaves.begin(), slaves.end(), n) == slaves.end()) {
            std::printf("Station %d: not found on the bus\n", n);
            reportLine(n, "not-found");
            ++notFound;
            continue;
        }
        if (o.expectVersion && !o.force &&
            headless::reportsVersion(*foundStation(n), *o.expectVersion)) {
            std::printf("Station %d: current, not updated\n", n);
            report.device(headless::currentEntry(n, pbui::versionNumberText(*o.expectVersion)));
            ++current;
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
        if (r.after && r.after->answered == pbui::CameBack::Application) {
            const std::optional<std::string> before = versionBefore(r.station);
            line += " Version: " + (before ? *before : std::string("(none)")) + " before, " +
                    pbui::versionNumberText(r.after->identity.versionWord) + " now";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        // An outcome nobody foresaw stops an unattended run.
        return m.cancelStops ? ui::MessageAnswer::Cancel : ui::MessageAnswer::Ok;
    };
    hooks.stationFinished = [&](const pbui::StationResult& r) {
        r.done ? ++okay : ++failed;
        report.device(
            headless::profibusEntry(r, versionBefore(r.station), session.ImageUnitsSent()));
    };
    // Ctrl-C between two stations ends the run there: the next one is not touched.
    hooks.stopRequested = [] { return headless::interrupted(); };
    if (session.GetNode(0) == 0 && stationsNamed == 0) {
        messages.show({"No slave to updatelist added!", "Bootloader", ui::MessageIcon::Information,
                       ui::MessageButtons::Ok});
    }
    pbui::Verification verification;
    verification.comeBackMs = int64_t{o.verifyWaitS} * 1000;
    verification.expected = o.expectVersion;
    pbui::ProfibusRunSummary summary = pbui::runProfibusStations(session, hooks, verification);
    progress.finish();
    // Stations a stopped run never tried; a failed one that was moved to the end has its
    // line already.
    int notRun = 0;
    for (int n = session.GetNode(0); n != 0; n = session.GetNode(0)) {
        bool tried = std::any_of(summary.results.begin(), summary.results.end(),
                                 [&](const pbui::StationResult& r) { return r.station == n; });
        if (!tried) {
            std::printf("Station %d: not tried\n", n);
            reportLine(n, "not-run");
            ++notRun;
        }
        session.RemoveNode(static_cast<uint8_t>(n));
    }
    const bool interrupted = headless::interrupted();
    failed += skipped;
    const int stations = okay + current + failed + notRun + notFound;
    const std::string currentText =
        current > 0 ? ", " + std::to_string(current) + " current" : std::string();
    std::printf("%d of %d station(s) updated%s%s\n", okay, stations, currentText.c_str(),
                interrupted ? " (interrupted)" : "");
    bool outputsWritten = report.finish({{"stations", stations},
                                         {"okay", okay},
                                         {"current", current},
                                         {"failed", failed},
                                         {"not-found", notFound},
                                         {"not-run", notRun}},
                                        interrupted);
    headless::checkHistoryRecord(report, recording);
    if (!outputsWritten) {
        std::fprintf(stderr, "bootloader profibus: the report %s could not be written\n",
                     o.run.report.c_str());
    }
    boardReset.now();
    if (traceLost()) {
        outputsWritten = false;
    }

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
    return okay + current == stations ? exitcode::kOk : exitcode::kDeviceFailed;
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
