#include "app/cli_profibus.h"

#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli_check.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/profibus_simulation.h"
#include "base/text_parse.h"
#include "profibus/dp_trace.h"
#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/tbootloader.h"
#include "ui/terminal.h"

namespace romtide {

namespace {

const char* const kUsage =
    "Usage: bootloader profibus scan [--baud RATE] [--trace FILE] [SIMULATION]\n"
    "       bootloader profibus update (--station N[,N...] | --all) [--baud RATE]\n"
    "                                  [--trace FILE] [--report FILE] [--allow-empty]\n"
    "                                  [SIMULATION] IMAGE.mhx\n"
    "RATE: 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M 6M 12M (default 3M)\n"
    "SIMULATION: --simulate [--sim-station STATION]... [--sim-dump DIR]\n"
    "  STATION: addr=N[,ppo=1|2][,ident=0xHHHH][,version=A.B.C][,boot=A.B.C]\n"
    "           [,mode=app|boot][,delay=US][,fail=noack@N|error@N:CODE|erase|gone@N]\n"
    "Without --simulate the board is device 0 of the nuboxlink registry\n"
    "(NUBOXLINK_REGISTRY, default /etc/nuboxlink/registry.reg).\n";

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
    std::string report;
    bool allowEmpty = false;
    bool simulate = false;
    std::vector<std::string> simStations;
    std::string simDump;
    std::string image;
};

std::optional<ProfibusOptions> parseOptions(int argc, char** argv, bool update,
                                            std::string* error) {
    ProfibusOptions o;
    o.update = update;
    auto need = [&](int& i) -> const char* {
        if (i + 1 >= argc) {
            *error = std::string(argv[i]) + " needs a value";
            return nullptr;
        }
        return argv[++i];
    };
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = nullptr;
        if (a == "--baud") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            auto it = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                   [&](const BaudRate& b) { return std::strcmp(b.text, v) == 0; });
            if (it == std::end(kBaudRates)) {
                *error = std::string(
                             "--baud: not one of 9.6k 19.2k 93.75k 187.5k 500k 1.5M 3M "
                             "6M 12M: ") +
                         v;
                return std::nullopt;
            }
            o.baudIndex = it->code;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--sim-station") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            o.simStations.push_back(v);
        } else if (update && a == "--sim-dump") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            o.simDump = v;
        } else if (update && a == "--station") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            std::stringstream list(v);
            for (std::string part; std::getline(list, part, ',');) {
                int n = 0;
                if (!parseInt(part, 1, 126, &n)) {
                    *error = std::string("--station: station addresses are 1..126: ") + v;
                    return std::nullopt;
                }
                o.stations.push_back(n);
            }
        } else if (update && a == "--allow-empty") {
            o.allowEmpty = true;
        } else if (update && a == "--all") {
            o.all = true;
        } else if (a == "--trace") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            o.trace = v;
        } else if (update && a == "--report") {
            if ((v = need(i)) == nullptr) {
                return std::nullopt;
            }
            o.report = v;
        } else if (!a.empty() && a[0] == '-') {
            *error = "unknown option " + a;
            return std::nullopt;
        } else if (update && o.image.empty()) {
            o.image = a;
        } else {
            *error = "unexpected argument " + a;
            return std::nullopt;
        }
    }
    if (update && o.image.empty()) {
        *error = "no image file given";
        return std::nullopt;
    }
    if (update && o.all == !o.stations.empty()) {
        *error = "give either --station N[,N...] or --all";
        return std::nullopt;
    }
    if (!o.simulate && (!o.simStations.empty() || !o.simDump.empty())) {
        *error = "--sim-station and --sim-dump need --simulate";
        return std::nullopt;
    }
    return o;
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
    std::vector<size_t> width(4, 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            std::string t = row[c];
            t.resize(width[c], ' ');
            line += (c == 0 ? "" : "  ") + t;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        std::printf("%s\n", line.c_str());
    }
    if (stations.empty()) {
        std::printf("(no station answered)\n");
    }
    std::fflush(stdout);
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

    std::FILE* traceFile = nullptr;
    std::unique_ptr<TracingDpMasterLibrary> tracing;
    if (!o.trace.empty()) {
        traceFile = std::fopen(o.trace.c_str(), "w");
        if (traceFile == nullptr) {
            std::fprintf(stderr, "bootloader profibus: cannot write the trace %s\n",
                         o.trace.c_str());
            return exitcode::kUsage;
        }
        tracing = std::make_unique<TracingDpMasterLibrary>(nuboxlinkLibrary(), clock, traceFile);
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
    Tbootloader session(services,
                        tracing ? static_cast<DpMasterLibrary&>(*tracing) : nuboxlinkLibrary());
    pump.session = &session;

    if (o.update) {
        int status = headless::openImageForRun(session, messages, o.image, o.allowEmpty);
        if (status != exitcode::kOk) {
            return status;
        }
    }

    // What the window does when it is shown: the board with one DP master channel.
    TProfitalvik::SetBaudIndex(o.baudIndex);
    TProfitalvik& dp = *session.profibus;
    if (dp.InitAdapter() != dpm::kOk) {
        messages.show({"The adapter couldn't inizialized successfully", "Bootloader",
                       ui::MessageIcon::Error, ui::MessageButtons::Ok});
        return exitcode::kNoBoard;
    }

    ui::PlainStringGrid grid(5, 2, 1000);
    ui::PlainProgressBar imageBar;
    ui::PlainProgressBar stationBar;
    pbui::SearchControls controls{grid, imageBar, stationBar, nullptr,
                                  [] { return headless::interrupted(); }};
    std::fprintf(stderr, "Searching at %s ...\n",
                 pbui::baudShortText(TProfitalvik::GetBaudIndex()).c_str());
    std::vector<pbui::SearchStation> found = pbui::runProfibusSearch(session, controls);
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

    headless::RunReport report;
    if (!report.open(o.report)) {
        std::fprintf(stderr, "bootloader profibus: cannot write the report %s\n", o.report.c_str());
        dp.ResetAdapter();
        return exitcode::kUsage;
    }
    auto reportLine = [&](int station, const char* outcome, int32_t r, double seconds) {
        char line[160];
        std::snprintf(line, sizeof line, "station=%d outcome=%s result=%d seconds=%.3f", station,
                      outcome, r, seconds);
        report.line(line);
    };

    // Mark the stations, as clicks on their rows would. A named station that the search
    // did not find as a slave is not tried: the window offers no row to click.
    int stationsNamed = 0;
    int notFound = 0;
    for (int n : o.all ? slaves : o.stations) {
        ++stationsNamed;
        if (std::find(slaves.begin(), slaves.end(), n) == slaves.end()) {
            std::printf("Station %d: not found on the bus\n", n);
            reportLine(n, "not-found", 0, 0);
            ++notFound;
            continue;
        }
        session.AddNode(static_cast<uint8_t>(n));
    }

    ui::TerminalProgressBar progress("");
    ui::PlainTextLabel label;
    ui::PlainProgressBar stationProgress;
    int okay = 0;
    int failed = 0;
    pbui::ProfibusRunHooks hooks{progress, label, stationProgress, {}, {}, {}, {}};
    hooks.stationStarting = [&](int station) {
        progress.setCaption("Station " + std::to_string(station));
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
        reportLine(r.station, outcomeWord(r), r.result, r.seconds);
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
            reportLine(n, "not-run", 0, 0);
            ++notRun;
        }
        session.RemoveNode(static_cast<uint8_t>(n));
    }
    const bool interrupted = headless::interrupted();
    const int stations = okay + failed + notRun + notFound;
    std::printf("%d of %d station(s) updated%s\n", okay, stations,
                interrupted ? " (interrupted)" : "");
    bool outputsWritten = report.finish(
        "summary stations=" + std::to_string(stations) + " okay=" + std::to_string(okay) +
        " failed=" + std::to_string(failed) + " not-found=" + std::to_string(notFound) +
        " not-run=" + std::to_string(notRun) +
        " end=" + (interrupted ? "interrupted" : "complete"));
    if (!outputsWritten) {
        std::fprintf(stderr, "bootloader profibus: the report %s could not be written\n",
                     o.report.c_str());
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

int runProfibusCommand(int argc, char** argv) {
    if (argc < 1 || (std::strcmp(argv[0], "scan") != 0 && std::strcmp(argv[0], "update") != 0)) {
        std::fprintf(stderr, "bootloader profibus: expects 'scan' or 'update'\n%s", kUsage);
        return exitcode::kUsage;
    }
    const bool update = std::strcmp(argv[0], "update") == 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return exitcode::kOk;
        }
    }
    std::string error;
    auto options = parseOptions(argc - 1, argv + 1, update, &error);
    if (!options) {
        std::fprintf(stderr, "bootloader profibus %s: %s\nTry 'bootloader profibus %s --help'.\n",
                     argv[0], error.c_str(), argv[0]);
        return exitcode::kUsage;
    }
    return runProfibus(*options);
}

}  // namespace romtide
