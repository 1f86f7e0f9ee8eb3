#include "app/cli_can.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_check.h"
#include "app/device_outcome.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/inventory.h"
#include "app/sim_scenario.h"
#include "base/device_text.h"
#include "base/text_parse.h"
#include "can/can_trace.h"
#include "can_ui/can_download_run.h"
#include "can_ui/can_search.h"
#include "can_ui/can_texts.h"
#include "cli/command_line.h"
#include "session/image_acceptance.h"
#include "session/tbootloader.h"
#include "sim/can/sim_device_option.h"
#include "ui/terminal.h"
#include "vci/vci.h"

namespace romtide {

namespace {

const char* const kFooter =
    "DEVICE: node=N,kbit=K,boot=V,product=L[,name=TEXT][,version=TEXT][,mode=app|boot]\n"
    "        [,delay=US]\n"
    "        [,fail=noack@N|erase|erase-silent|gone@N|stale|silent-after]\n"
    "        (boot=1.0 for a first-generation bootloader; an image whose S0 header holds\n"
    "        VERSION=TEXT makes TEXT the software version of a simulated device)\n"
    "Without --interface the interface comes from ROMTIDE_CAN_INTERFACE or the first one\n"
    "found. URI: socketcan:IFNAME | socketcand:HOST:PORT/IFNAME | virtual:NAME";

// The longest software version a device reports: object 0x100A in one expedited answer.
constexpr size_t kLongestVersion = 4;
constexpr int kLongestWaitS = 600;

struct CanOptions {
    bool update = false;
    std::string interface;
    int baudIndex = TCANComm::kDefaultBaudIndex;
    std::vector<int> nodes;
    bool all = false;
    int product = 0;
    bool yes = false;
    bool no = false;
    std::string trace;
    headless::RunOptions run;
    bool json = false;
    std::optional<std::string> expectVersion;
    bool force = false;
    int verifyWaitS = static_cast<int>(canui::kComeBackMs / 1000);
    bool simulate = false;
    std::vector<sim::SimDeviceConfig> simDevices;
    std::string simDump;
};

int baudIndexOfKbit(int kbit) {
    for (size_t i = 0; i < TCANComm::kBitRates.size(); ++i) {
        if (TCANComm::kBitRates[i].kbit == kbit) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The checks across options, once they are all read.
void checkOptions(CanOptions& o) {
    if (o.update && o.run.image.empty()) {
        cli::refuse("no image file given");
    }
    if (o.update && o.all == !o.nodes.empty()) {
        cli::refuse("give either --node N[,N...] or --all");
    }
    if (o.yes && o.no) {
        cli::refuse("--yes and --no exclude each other");
    }
    if (o.force && !o.expectVersion) {
        cli::refuse("--force needs --expect-version");
    }
    if (!o.simulate && (!o.simDevices.empty() || !o.simDump.empty())) {
        cli::refuse("--sim-device and --sim-dump need --simulate");
    }
    if (o.simulate && !o.interface.empty()) {
        cli::refuse("--simulate and --interface exclude each other");
    }
    if (o.simulate && o.simDevices.empty()) {
        o.simDevices = defaultScenario();
    }
}

// The options of both sub-commands; `update` adds those of the run.
void addOptions(CLI::App& command, CanOptions& o, bool update) {
    command.add_option("--interface", o.interface, "The CAN interface")->option_text("URI");
    command
        .add_option_function<std::string>(
            "--bitrate",
            [&o](const std::string& v) {
                int kbit = 0;
                if (!parseInt(v, 1, 1000, &kbit) || baudIndexOfKbit(kbit) < 0) {
                    cli::refuse("--bitrate: not one of 10 20 50 100 125 250 500 800 1000: " + v);
                }
                o.baudIndex = baudIndexOfKbit(kbit);
            },
            "Where the search starts, in kbit/s (default 50); it tries all nine rates")
        ->option_text("KBIT");
    if (update) {
        cli::addNumberList(command, "--node", 1, 127, "node ids", o.nodes, "The devices to update");
        command.add_flag("--all", o.all, "Update every device the search finds");
        command
            .add_option_function<std::string>(
                "--product",
                [&o](const std::string& v) {
                    int n = 0;
                    if (!parseInt(v, 0, 1000, &n) || (n != 387 && n != 497 && n != 498)) {
                        cli::refuse("--product: one of 387, 497, 498: " + v);
                    }
                    o.product = n;
                },
                "The product of a V1.0 bootloader, for its renewal")
            ->option_text("387|497|498");
        auto* yes =
            command.add_flag("--yes", o.yes, "Answer Yes to the bootloader renewal question");
        auto* no =
            command.add_flag("--no", o.no, "Answer No (the default when stdin is not a terminal)");
        yes->excludes(no);
        command
            .add_option_function<std::string>(
                "--expect-version",
                [&o](const std::string& v) {
                    if (v.empty() || v.size() > kLongestVersion) {
                        cli::refuse("--expect-version: a device reports 1 to 4 characters: '" +
                                    printableText(v) + "'");
                    }
                    o.expectVersion = v;
                },
                "The software version (object 0x100A) the image brings: a device that "
                "reports it already is left alone (\"current\"); after its download a device "
                "is okay only when it reports it, otherwise \"unverified\"")
            ->option_text("TEXT");
        command.add_flag("--force", o.force,
                         "Update devices that report the --expect-version already too");
        command
            .add_option_function<std::string>(
                "--verify-wait",
                [&o](const std::string& v) {
                    if (!parseInt(v, 1, kLongestWaitS, &o.verifyWaitS)) {
                        cli::refuse("--verify-wait: seconds are 1..600: " + v);
                    }
                },
                "After its download each device is identified again: how long it is waited "
                "for to answer as its application (default 30); one that still answers as "
                "its bootloader then is \"not-committed\", one that answers nothing "
                "\"not-back\"")
            ->option_text("SECONDS");
    } else {
        command.add_flag("--json", o.json,
                         "Print the devices found as one JSON document on stdout instead of "
                         "the table (see the README)");
    }
    command
        .add_option("--trace", o.trace,
                    "Record what was sent and received, in candump log format (with "
                    "--simulate: the whole simulated bus)")
        ->option_text("FILE");
    if (update) {
        headless::addRunOptions(command, o.run);
    } else {
        headless::addProgressOption(command, o.run.progress);
    }
    command.add_flag("--simulate", o.simulate,
                     "Run on the built-in simulated bus (three devices at 125 kbit/s unless "
                     "--sim-device names others)");
    cli::addRepeatable(
        command, "--sim-device",
        [&o](const std::string& v) {
            std::string error;
            auto d = sim::parseSimDeviceOption(v, false, &error);
            if (!d) {
                cli::refuse(error);
            }
            o.simDevices.push_back(d->config);
        },
        "A simulated device (repeatable)")
        ->option_text("DEVICE");
    if (update) {
        command
            .add_option("--sim-dump", o.simDump,
                        "Write each simulated device's programmed flash to DIR/node-N.srec")
            ->option_text("DIR");
    }
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

// The devices as the window's grid shows them, in columns.
void printDevices(const std::vector<canui::FoundDevice>& devices) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    for (size_t c = 0; c < 7; ++c) {
        header.push_back(canui::gridCaptions()[c]);
    }
    rows.push_back(header);
    for (const auto& d : devices) {
        rows.push_back({std::to_string(d.node), d.deviceType, d.additionalInfo,
                        printableText(d.name), d.revision, printableText(d.hardwareVersion),
                        printableText(d.softwareVersion)});
    }
    // The grid's texts are right-aligned with blanks; the table aligns them itself.
    for (auto& row : rows) {
        for (auto& cell : row) {
            cell.erase(0, std::min(cell.find_first_not_of(' '), cell.size()));
        }
    }
    headless::printTable(rows, "no device answered");
}

// Ends a command that Ctrl-C stopped before any device was touched.
int interruptedBeforeRun(const char* during) {
    std::fprintf(stderr, "bootloader can: interrupted during %s; no device was touched\n", during);
    return exitcode::kInterrupted;
}

// --trace on a real interface (or a virtual one of another program's making): every
// frame the boards of this process send and receive.
class InterfaceTrace {
  public:
    ~InterfaceTrace() {
        if (trace_) {
            vci::setFrameTrace(nullptr);
        }
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    bool open(const std::string& path, const Clock& clock) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            return false;
        }
        // The wall clock's time at the clock's zero: the lines carry wall-clock time,
        // as a candump of the same bus does.
        const int64_t wallUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
        trace_ = std::make_unique<CandumpFileTrace>(file_, clock, wallUs - clock.nowUs());
        vci::setFrameTrace(trace_.get());
        return true;
    }
    bool failed() const { return trace_ && trace_->failed(); }

  private:
    std::FILE* file_ = nullptr;
    std::unique_ptr<CandumpFileTrace> trace_;
};

int runCan(const CanOptions& o) {
    // A stop-and-wait transfer is made of waits of a few microseconds: keep the kernel
    // from stretching them by its default timer slack (threads started below inherit it).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    headless::installInterruptHandler();
    SteadyClock clock;
    std::unique_ptr<Simulation> simulation;
    InterfaceTrace interfaceTrace;
    if (o.simulate) {
        simulation = std::make_unique<Simulation>(o.simDevices);
        if (!o.trace.empty()) {
            // The simulated bus keeps its own trace: every frame on the wire, the
            // devices' among them.
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
    } else {
        if (!o.interface.empty()) {
            ::setenv("ROMTIDE_CAN_INTERFACE", o.interface.c_str(), 1);
        }
        if (!o.trace.empty() && !interfaceTrace.open(o.trace, clock)) {
            std::fprintf(stderr, "bootloader can: cannot write the trace %s\n", o.trace.c_str());
            return exitcode::kUsage;
        }
    }

    // At the end: whether the trace lost lines (said on stderr). The simulated bus's trace
    // ends there, so nothing is written while it is looked at.
    auto traceLost = [&] {
        bool lost = interfaceTrace.failed();
        if (simulation && simulation->trace != nullptr) {
            simulation->bus.setTrace(nullptr);
            lost = !headless::traceWritten(simulation->trace) || lost;
        }
        if (lost) {
            std::fprintf(stderr, "bootloader can: the trace %s could not be written\n",
                         o.trace.c_str());
        }
        return lost;
    };

    CliPump pump;
    std::optional<ui::MessageAnswer> yesNo;
    if (o.yes || o.no) {
        yesNo = o.yes ? ui::MessageAnswer::Yes : ui::MessageAnswer::No;
    }
    ui::TerminalMessageBoxes messages(stderr, yesNo);
    Services services{clock, pump, messages};
    Tbootloader::resetSharedState();
    canui::CanNodeSearch::resetState();
    Tbootloader session(services);
    pump.session = &session;

    if (o.update) {
        int status = headless::openImageForRun(session, messages, o.run.image, o.run.allowEmpty);
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
    ui::TerminalProgressBar gauge("Searching", stderr, o.run.progress);
    gauge.setRange(0, 127);
    ui::PlainComboBox baudList;
    const auto& items = canui::baudListItems();
    baudList.setItems({items.begin(), items.end()});
    baudList.setItemIndex(o.baudIndex);
    canui::CanNodeSearch search(session, {gauge, baudList, {}, nullptr});
    TCANComm::SetReceiveHandler(search.receiveHandler());
    std::fprintf(stderr, "Searching from %s ...\n", canui::baudDisplayTexts()[o.baudIndex].c_str());
    search.button_can_searchClick();
    gauge.finish();
    // Ctrl-C ends the search like the window's Quit; what it found so far is no list to
    // erase devices from.
    if (headless::interrupted()) {
        return interruptedBeforeRun("the search");
    }
    const std::vector<canui::FoundDevice> found = search.devices();
    if (o.json) {
        headless::InventoryHeader header{"can search", "can", TCANComm::boardInterface,
                                         headless::utcNow()};
        std::optional<int> kbit;
        if (!found.empty()) {
            kbit = found.front().kbit;
        }
        std::printf("%s\n",
                    headless::jsonText(headless::canInventory(header, kbit, found)).c_str());
        std::fflush(stdout);
    } else {
        if (!found.empty()) {
            std::printf(
                "Devices at %s:\n",
                canui::baudDisplayTexts()[static_cast<size_t>(TCANComm::GetBaudIndex())].c_str());
        }
        printDevices(found);
    }
    if (!o.update) {
        return traceLost()     ? exitcode::kOutputFailed
               : found.empty() ? exitcode::kNothingFound
                               : exitcode::kOk;
    }

    // Mark the devices; one that reports the expected version already is left alone.
    auto foundDevice = [&found](int node) -> const canui::FoundDevice* {
        for (const auto& d : found) {
            if (d.node == node) {
                return &d;
            }
        }
        return nullptr;
    };
    std::vector<headless::DeviceEntry> current;
    std::vector<int> named = o.nodes;
    if (o.all) {
        named.clear();
        for (const auto& d : found) {
            named.push_back(d.node);
        }
    }
    for (int n : named) {
        const canui::FoundDevice* d = foundDevice(n);
        if (o.expectVersion && !o.force && d != nullptr &&
            headless::reportsVersion(*d, *o.expectVersion)) {
            current.push_back(headless::currentEntry(n, *o.expectVersion));
            continue;
        }
        session.AddNode(static_cast<uint8_t>(n));
    }
    if (session.GetNode(0) == 0 && current.empty()) {
        messages.show({"No slave to update.", "Romtide", ui::MessageIcon::Information,
                       ui::MessageButtons::Ok});
        return traceLost() ? exitcode::kOutputFailed : exitcode::kNothingFound;
    }

    headless::RunReport report("node");
    headless::ReportHeader header{"can update", "can", TCANComm::boardInterface, o.run.image, 0, 0};
    header.imageBytes = static_cast<int64_t>(session.imageFile->bytes().size());
    header.imageTextUnits = countTextUnits(*session.imageFile);
    const bool recording = headless::recordInHistory(report, "can", o.run.noHistory);
    if (!report.open(o.run.report, o.run.reportFormat, header)) {
        std::fprintf(stderr, "bootloader can: cannot write the report %s\n", o.run.report.c_str());
        return exitcode::kUsage;
    }

    // The download run.
    ui::TerminalProgressBar progress("", stderr, o.run.progress);
    PrintingMemo memo(&progress);
    memo.addLine("Romtide, start firmware update, " + canui::localDateTimeText());
    for (const auto& e : current) {
        memo.addLine(canui::memoLine(e.address, " - current, not updated"));
        report.device(e);
    }
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
        session.ResetImageUnitsSent();
    };
    hooks.nodeFinished = [&](const canui::NodeResult& r) {
        progress.finish();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::optional<std::string> before;
        if (const canui::FoundDevice* d = foundDevice(r.node)) {
            before = headless::applicationVersion(*d);
        }
        headless::DeviceEntry entry =
            headless::canEntry(r, before, seconds, session.ImageUnitsSent());
        if (headless::interrupted() && !r.done) {
            // A renewal that Ctrl-C stopped ends the connect as "no answer"; it was the
            // user's cancel, and the device is left in its bootloader.
            entry.outcome = "cancelled";
            if (r.skipped) {
                memo.addLine(canui::memoLine(r.node, " - User has cancelled"));
            }
        }
        // An unverified device's line names the version it reports already.
        if (entry.versionAfter && r.download != result::kUnverified) {
            memo.addLine(canui::memoLine(r.node, " - software version ") +
                         (before ? printableText(*before) : std::string("(none)")) + " before, " +
                         printableText(*entry.versionAfter) + " now");
        }
        report.device(entry);
    };
    hooks.stopRequested = [] { return headless::interrupted(); };
    canui::Verification verification;
    verification.comeBackMs = int64_t{o.verifyWaitS} * 1000;
    verification.expected = o.expectVersion;
    canui::RunSummary summary = canui::runDownloadNodes(session, hooks, verification);
    const int currentCount = static_cast<int>(current.size());
    int devices = summary.processed + currentCount;
    int okay = summary.done;
    // Nodes a stopped run never reached.
    int notRun = 0;
    for (int n = session.GetNode(0); n != 0; n = session.GetNode(0)) {
        ++devices;
        ++notRun;
        headless::DeviceEntry entry;
        entry.address = n;
        entry.outcome = "not-run";
        entry.connect = 0;
        entry.textUnitsSent = 0;
        if (const canui::FoundDevice* d = foundDevice(n)) {
            entry.versionBefore = headless::applicationVersion(*d);
        }
        report.device(entry);
        session.RemoveNode(static_cast<uint8_t>(n));
    }
    const bool interrupted = headless::interrupted();
    const std::string currentText =
        currentCount > 0 ? ", " + std::to_string(currentCount) + " current" : std::string();
    std::printf("%d of %d device(s) updated%s%s\n", okay, devices, currentText.c_str(),
                interrupted ? " (interrupted)" : "");
    bool outputsWritten = report.finish({{"devices", devices},
                                         {"okay", okay},
                                         {"current", currentCount},
                                         {"failed", devices - okay - currentCount - notRun},
                                         {"not-run", notRun}},
                                        interrupted);
    headless::checkHistoryRecord(report, recording);
    if (!outputsWritten) {
        std::fprintf(stderr, "bootloader can: the report %s could not be written\n",
                     o.run.report.c_str());
    }
    if (traceLost()) {
        outputsWritten = false;
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
    return okay + currentCount == devices ? exitcode::kOk : exitcode::kDeviceFailed;
}

}  // namespace

void addCanCommands(CLI::App& app, std::function<int()>& run) {
    CLI::App* can = app.add_subcommand("can", "Search and update devices on a CAN bus");
    can->require_subcommand(1);
    can->footer(kFooter);
    for (bool update : {false, true}) {
        auto options = std::make_shared<CanOptions>();
        options->update = update;
        CLI::App* command =
            update ? can->add_subcommand("update",
                                         "Update devices on a CAN bus: search, then connect, "
                                         "renew the bootloader where needed, and download")
                   : can->add_subcommand("search",
                                         "Search a CAN bus from a bit rate on and list its "
                                         "devices");
        command->footer(kFooter);
        addOptions(*command, *options, update);
        command->callback([options, &run] {
            checkOptions(*options);
            run = [options] { return runCan(*options); };
        });
    }
}

}  // namespace romtide
