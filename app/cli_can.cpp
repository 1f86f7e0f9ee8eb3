#include "app/cli_can.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli_check.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/sim_scenario.h"
#include "base/text_parse.h"
#include "can_ui/can_download_run.h"
#include "can_ui/can_search.h"
#include "can_ui/can_texts.h"
#include "session/tbootloader.h"
#include "sim/can/sim_device_option.h"
#include "ui/terminal.h"

namespace romtide {

namespace {

const char* const kUsage =
    "Usage: bootloader can search [--interface URI] [--bitrate KBIT] [SIMULATION]\n"
    "       bootloader can update [--interface URI] [--bitrate KBIT] (--node N[,N...] | --all)\n"
    "                             [--product 387|497|498] [--yes|--no] [--trace FILE]\n"
    "                             [--report FILE] [--allow-empty] [SIMULATION] IMAGE.mhx\n"
    "SIMULATION: --simulate [--sim-device DEVICE]... [--sim-dump DIR]\n"
    "  DEVICE: node=N,kbit=K,boot=V,product=L[,name=TEXT][,delay=US]\n"
    "          [,fail=noack@N|erase|erase-silent|gone@N]   (boot=1.0 for a first-generation "
    "bootloader)\n"
    "Without --interface the interface comes from ROMTIDE_CAN_INTERFACE or the first one "
    "found.\n"
    "URI: socketcan:IFNAME | socketcand:HOST:PORT/IFNAME | virtual:NAME\n";

struct CanOptions {
    bool update = false;
    std::string interface;
    int baudIndex = TCANComm::kDefaultBaudIndex;
    std::vector<int> nodes;
    bool all = false;
    int product = 0;
    std::optional<ui::MessageAnswer> yesNo;
    std::string trace;
    std::string report;
    bool allowEmpty = false;
    bool simulate = false;
    std::vector<sim::SimDeviceConfig> simDevices;
    std::string simDump;
    std::string image;
};

int baudIndexOfKbit(int kbit) {
    for (size_t i = 0; i < TCANComm::kBitRates.size(); ++i) {
        if (TCANComm::kBitRates[i].kbit == kbit) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, sep);) {
        parts.push_back(part);
    }
    return parts;
}

std::optional<CanOptions> parseOptions(int argc, char** argv, bool update, std::string* error) {
    CanOptions o;
    o.update = update;
    auto need = [&](int& i) -> const char* {
        if (i + 1 >= argc) {
            *error = std::string(argv[i]) + " needs a value";
            return nullptr;
        }
        return argv[++i];
    };
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = nullptr;
        int n = 0;
        if (a == "--interface") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            o.interface = v;
        } else if (a == "--bitrate") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            if (!parseInt(v, 1, 1000, &n) || baudIndexOfKbit(n) < 0) {
                *error =
                    std::string("--bitrate: not one of 10 20 50 100 125 250 500 800 1000: ") + v;
                return std::nullopt;
            }
            o.baudIndex = baudIndexOfKbit(n);
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--sim-device") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            auto d = sim::parseSimDeviceOption(v, false, error);
            if (!d)
                return std::nullopt;
            o.simDevices.push_back(d->config);
        } else if (update && a == "--sim-dump") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            o.simDump = v;
        } else if (update && a == "--node") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            for (const auto& part : split(v, ',')) {
                if (!parseInt(part, 1, 127, &n)) {
                    *error = std::string("--node: node ids are 1..127: ") + v;
                    return std::nullopt;
                }
                o.nodes.push_back(n);
            }
        } else if (update && a == "--all") {
            o.all = true;
        } else if (update && a == "--allow-empty") {
            o.allowEmpty = true;
        } else if (update && a == "--product") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            if (!parseInt(v, 0, 1000, &n) || (n != 387 && n != 497 && n != 498)) {
                *error = std::string("--product: one of 387, 497, 498: ") + v;
                return std::nullopt;
            }
            o.product = n;
        } else if (update && (a == "--yes" || a == "--no")) {
            o.yesNo = a == "--yes" ? ui::MessageAnswer::Yes : ui::MessageAnswer::No;
        } else if (a == "--trace") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
            o.trace = v;
        } else if (update && a == "--report") {
            if ((v = need(i)) == nullptr)
                return std::nullopt;
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
    if (update && o.all == !o.nodes.empty()) {
        *error = "give either --node N[,N...] or --all";
        return std::nullopt;
    }
    if (!o.simulate && (!o.simDevices.empty() || !o.simDump.empty())) {
        *error = "--sim-device and --sim-dump need --simulate";
        return std::nullopt;
    }
    if (!o.simulate && !o.trace.empty()) {
        *error = "--trace records the simulated bus only (--simulate)";
        return std::nullopt;
    }
    if (o.simulate && !o.interface.empty()) {
        *error = "--simulate and --interface exclude each other";
        return std::nullopt;
    }
    if (o.simulate && o.simDevices.empty()) {
        o.simDevices = defaultScenario();
    }
    return o;
}

// The results memo: every line goes to standard output as it is added.
class PrintingMemo : public ui::Memo {
  public:
    // The progress bar shares the terminal: its line is ended before a memo line.
    explicit PrintingMemo(ui::TerminalProgressBar* progress) : progress_(progress) {}
    void addLine(const std::string& line) override {
        if (progress_ != nullptr) {
            progress_->finish();
        }
        lines_.push_back(line);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    void clear() override { lines_.clear(); }
    std::vector<std::string> lines() const override { return lines_; }

  private:
    ui::TerminalProgressBar* progress_;
    std::vector<std::string> lines_;
};

// Turns an interrupt (Ctrl-C) into the window's Cancel, inside the running waits.
class CliPump : public ui::QueuedEventPump {
  public:
    void processPending() override {
        if (headless::takeInterrupt() && session != nullptr) {
            session->Cancel();
            canui::CanNodeSearch::searchCancel = true;
        }
        QueuedEventPump::processPending();
    }
    Tbootloader* session = nullptr;
};

void printGrid(const ui::StringGrid& grid) {
    std::vector<size_t> width(8, 0);
    auto text = [&](int c, int r) {
        std::string t = r == 0 ? canui::gridCaptions()[static_cast<size_t>(c)] : grid.cell(c, r);
        while (!t.empty() && t.front() == ' ') {
            t.erase(t.begin());
        }
        return t;
    };
    int rows = 0;
    for (int r = 1; r < grid.rowCount() && !grid.cell(0, r).empty(); ++r) {
        rows = r;
    }
    for (int r = 0; r <= rows; ++r) {
        for (int c = 0; c < 7; ++c) {
            width[static_cast<size_t>(c)] =
                std::max(width[static_cast<size_t>(c)], text(c, r).size());
        }
    }
    for (int r = 0; r <= rows; ++r) {
        std::string line;
        for (int c = 0; c < 7; ++c) {
            std::string t = text(c, r);
            t.resize(width[static_cast<size_t>(c)], ' ');
            line += (c == 0 ? "" : "  ") + t;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        std::printf("%s\n", line.c_str());
    }
    if (rows == 0) {
        std::printf("(no device answered)\n");
    }
    std::fflush(stdout);
}

const char* outcomeWord(int32_t d, bool skipped) {
    if (skipped) {
        return "skipped";
    }
    switch (d) {
        case 0:
            return "okay";
        case -1:
            return "bad-file";
        case -5:
            return "bus-error";
        case -8:
            return "cancelled";
        case -7:
            return "not-acknowledged";
        case -9:
            return "bootloader-lost";
        default:
            return "failed";
    }
}

// Ends a command that Ctrl-C stopped before any device was touched.
int interruptedBeforeRun(const char* during) {
    std::fprintf(stderr, "bootloader can: interrupted during %s; no device was touched\n", during);
    return exitcode::kInterrupted;
}

int runCan(const CanOptions& o) {
    // A stop-and-wait transfer is made of waits of a few microseconds: keep the kernel
    // from stretching them by its default timer slack (threads started below inherit it).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    headless::installInterruptHandler();
    std::unique_ptr<Simulation> simulation;
    if (o.simulate) {
        simulation = std::make_unique<Simulation>(o.simDevices);
        if (!o.trace.empty()) {
            simulation->trace = std::fopen(o.trace.c_str(), "w");
            if (simulation->trace == nullptr) {
                std::fprintf(stderr, "bootloader can: cannot write the trace %s\n",
                             o.trace.c_str());
                return exitcode::kUsage;
            }
            simulation->bus.setTrace(simulation->trace);
        }
        simulation->selectAsInterface();
        std::fprintf(stderr, "Simulated CAN bus %s with %zu device(s)\n",
                     simulation->bus.uri().c_str(), o.simDevices.size());
    } else if (!o.interface.empty()) {
        ::setenv("ROMTIDE_CAN_INTERFACE", o.interface.c_str(), 1);
    }

    SteadyClock clock;
    CliPump pump;
    ui::TerminalMessageBoxes messages(stderr, o.yesNo);
    Services services{clock, pump, messages};
    Tbootloader::resetSharedState();
    canui::CanNodeSearch::resetState();
    Tbootloader session(services);
    pump.session = &session;

    if (o.update) {
        int status = headless::openImageForRun(session, messages, o.image, o.allowEmpty);
        if (status != exitcode::kOk) {
            return status;
        }
    }

    // Init CAN adapter: from the chosen rate and node 1.
    TCANComm::SetBaudIndex(o.baudIndex);
    session.SetNodeId(1);
    int32_t selected = session.canComm->SelectBoard();
    if (selected != 1) {
        if (selected != -1 && selected != 0 && selected != 2 && selected != 3) {
            messages.show({"The Board couldn't initialized successfully!", "Romtide",
                           ui::MessageIcon::Error, ui::MessageButtons::Ok});
        } else if (selected == 0 || selected == 2) {
            std::fprintf(stderr, "bootloader can: no CAN interface selected\n");
        }
        return exitcode::kNoBoard;
    }

    // A real interface can be selected and still not open (server not there, interface
    // down or at another bit rate): that is no interface, not an empty bus. The library
    // has said why; show it.
    if (session.canComm->InitCan(0, static_cast<uint32_t>(session.GetSdoId() - 0x80)) <= 0) {
        pump.processPending();
        std::fprintf(stderr, "bootloader can: the CAN interface cannot be opened\n");
        return exitcode::kNoBoard;
    }

    // Search.
    ui::PlainStringGrid grid(8, 2, 1000);
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baudList;
    const auto& items = canui::baudListItems();
    baudList.setItems({items.begin(), items.end()});
    baudList.setItemIndex(o.baudIndex);
    canui::CanNodeSearch search(session, {grid, gauge, baudList, {}});
    TCANComm::SetReceiveHandler(search.receiveHandler());
    std::fprintf(stderr, "Searching from %s ...\n", canui::baudDisplayTexts()[o.baudIndex].c_str());
    search.button_can_searchClick();
    // Ctrl-C ends the search like the window's Quit; what it found so far is no list to
    // erase devices from.
    if (headless::interrupted()) {
        return interruptedBeforeRun("the search");
    }
    int found = 0;
    for (int r = 1; r < grid.rowCount() && !grid.cell(0, r).empty(); ++r) {
        ++found;
    }
    if (found > 0) {
        std::printf(
            "Devices at %s:\n",
            canui::baudDisplayTexts()[static_cast<size_t>(TCANComm::GetBaudIndex())].c_str());
    }
    printGrid(grid);
    if (!o.update) {
        return found > 0 ? exitcode::kOk : exitcode::kNothingFound;
    }

    // Mark the devices.
    if (o.all) {
        for (int r = 1; r <= found; ++r) {
            session.AddNode(static_cast<uint8_t>(std::atoi(grid.cell(0, r).c_str())));
        }
    } else {
        for (int n : o.nodes) {
            session.AddNode(static_cast<uint8_t>(n));
        }
    }
    if (session.GetNode(0) == 0) {
        messages.show({"No slave to update.", "Romtide", ui::MessageIcon::Information,
                       ui::MessageButtons::Ok});
        return exitcode::kNothingFound;
    }

    headless::RunReport report;
    if (!report.open(o.report)) {
        std::fprintf(stderr, "bootloader can: cannot write the report %s\n", o.report.c_str());
        return exitcode::kUsage;
    }

    // The download run.
    ui::TerminalProgressBar progress("");
    PrintingMemo memo(&progress);
    memo.addLine("Romtide, start firmware update, " + canui::localDateTimeText());
    auto started = std::chrono::steady_clock::now();
    canui::DownloadRunHooks hooks{memo, progress, {}, {}, {}, {}, {}};
    hooks.chooseProduct = [&] {
        // The product selection: from --product, otherwise cancelled.
        if (o.product != 0) {
            Tbootloader::selectedProduct = o.product;
        } else {
            std::fprintf(stderr,
                         "the product of a V1.0 bootloader is not given (--product); "
                         "it is not renewed\n");
            Tbootloader::selectedProduct = 2;
        }
    };
    hooks.nodeStarting = [&](int node) {
        progress.setCaption("Slave " + std::to_string(node));
        started = std::chrono::steady_clock::now();
    };
    hooks.nodeFinished = [&](const canui::NodeResult& r) {
        progress.finish();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const char* outcome = outcomeWord(r.download, r.skipped);
        if (headless::interrupted() && !r.done) {
            // A renewal that Ctrl-C stopped ends the connect as "no answer"; it was the
            // user's cancel, and the device is left in its bootloader.
            outcome = "cancelled";
            if (r.skipped) {
                memo.addLine(canui::memoLine(r.node, " - User has cancelled"));
            }
        }
        char line[160];
        std::snprintf(line, sizeof line, "node=%d outcome=%s result=%d connect=%d seconds=%.3f",
                      r.node, outcome, r.download, r.connect, seconds);
        report.line(line);
    };
    hooks.stopRequested = [] { return headless::interrupted(); };
    canui::RunSummary summary = canui::runDownloadNodes(session, hooks);
    int devices = summary.processed;
    int okay = summary.done;
    // Nodes a stopped run never reached.
    int notRun = 0;
    for (int n = session.GetNode(0); n != 0; n = session.GetNode(0)) {
        ++devices;
        ++notRun;
        report.line("node=" + std::to_string(n) +
                    " outcome=not-run result=0 connect=0 seconds=0.000");
        session.RemoveNode(static_cast<uint8_t>(n));
    }
    const bool interrupted = headless::interrupted();
    std::printf("%d of %d device(s) updated%s\n", okay, devices,
                interrupted ? " (interrupted)" : "");
    bool outputsWritten = report.finish("summary devices=" + std::to_string(devices) +
                                        " okay=" + std::to_string(okay) +
                                        " failed=" + std::to_string(devices - okay - notRun) +
                                        " not-run=" + std::to_string(notRun) +
                                        " end=" + (interrupted ? "interrupted" : "complete"));
    if (!outputsWritten) {
        std::fprintf(stderr, "bootloader can: the report %s could not be written\n",
                     o.report.c_str());
    }

    if (simulation && !o.simDump.empty()) {
        if (::mkdir(o.simDump.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "bootloader can: cannot create %s: %s\n", o.simDump.c_str(),
                         std::strerror(errno));
            outputsWritten = false;
        }
        for (const auto& dev : simulation->devices) {
            std::string path = o.simDump + "/node-" + std::to_string(dev->config().node) + ".srec";
            if (!dev->writeApplicationSrec(path)) {
                std::fprintf(stderr, "bootloader can: cannot write %s\n", path.c_str());
                outputsWritten = false;
            }
        }
    }
    if (interrupted) {
        return exitcode::kInterrupted;
    }
    if (!outputsWritten) {
        return exitcode::kOutputFailed;
    }
    return okay == devices ? exitcode::kOk : exitcode::kDeviceFailed;
}

}  // namespace

int runCanCommand(int argc, char** argv) {
    if (argc < 1 || (std::strcmp(argv[0], "search") != 0 && std::strcmp(argv[0], "update") != 0)) {
        std::fprintf(stderr, "bootloader can: expects 'search' or 'update'\n%s", kUsage);
        return exitcode::kUsage;
    }
    bool update = std::strcmp(argv[0], "update") == 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s", kUsage);
            return exitcode::kOk;
        }
    }
    std::string error;
    auto options = parseOptions(argc - 1, argv + 1, update, &error);
    if (!options) {
        std::fprintf(stderr, "bootloader can %s: %s\nTry 'bootloader can %s --help'.\n", argv[0],
                     error.c_str(), argv[0]);
        return exitcode::kUsage;
    }
    return runCan(*options);
}

}  // namespace romtide
