#include "app/machine_worker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "app/cli_check.h"
#include "app/device_outcome.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/profibus_board_guard.h"
#include "app/profibus_simulation.h"
#include "base/device_text.h"
#include "can_ui/can_download_run.h"
#include "can_ui/can_search.h"
#include "can_ui/can_texts.h"
#include "machine/machine_plan.h"
#include "machine/worker_protocol.h"
#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_download_run.h"
#include "profibus_ui/profibus_search.h"
#include "profibus_ui/profibus_texts.h"
#include "session/image_acceptance.h"
#include "session/tbootloader.h"
#include "sim/can/sim_device_option.h"
#include "sim/canbus/canbus_server.h"
#include "ui/terminal.h"

namespace romtide::machinecli {

namespace {

using machine::Action;
using machine::Bus;
using machine::BusKind;
using machine::Machine;
using machine::OnFailure;
namespace protocol = machine::protocol;

// The protocol's end of the worker: its messages on the descriptor standard output had
// when the worker started, which nothing else writes to.
class Parent {
  public:
    Parent() {
        out_ = ::dup(STDOUT_FILENO);
        ::fcntl(out_, F_SETFD, FD_CLOEXEC);
        // Whatever the bus code prints goes to standard error, shown with the bus.
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::signal(SIGPIPE, SIG_IGN);
    }
    void send(const protocol::Message& message) {
        const std::string line = protocol::format(message);
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(out_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // the parent is gone; its death signal ends the run
            }
            done += static_cast<size_t>(n);
        }
    }
    void end(const std::string& outcome, const std::string& message = {}) {
        protocol::Message m{protocol::kEnd, {{"outcome", outcome}}};
        if (!message.empty()) {
            m.set("message", message);
        }
        send(m);
    }
    // True once the parent said "stop" (or went away): no further device is started.
    bool stopAsked() {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 0) > 0) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stop_ = true;
                break;
            }
            std::vector<std::string> lines;
            if (!input_.feed(buffer, static_cast<size_t>(n), lines)) {
                stop_ = true;
            }
            for (const std::string& line : lines) {
                stop_ = stop_ || line == protocol::kStop;
            }
        }
        return stop_;
    }

  private:
    int out_ = -1;
    protocol::LineSplitter input_;
    bool stop_ = false;
};

// The device in hand's progress as percent messages, one per change.
class ProgressToParent final : public ui::ProgressBar {
  public:
    explicit ProgressToParent(Parent& parent) : parent_(parent) {}
    void startDevice(int address) {
        address_ = address;
        last_ = -1;
    }
    void setPosition(int position) override {
        position_ = position;
        const int64_t span = std::max<int64_t>(1, int64_t{maximum_} - minimum_);
        const auto percent = static_cast<int>(
            std::clamp<int64_t>((int64_t{position} - minimum_) * 100 / span, 0, 100));
        if (percent != last_ && address_ > 0) {
            last_ = percent;
            protocol::Message m{protocol::kProgress, {}};
            m.setInt("address", address_);
            m.setInt("percent", percent);
            parent_.send(m);
        }
    }
    int position() const override { return position_; }
    void setRange(int minimum, int maximum) override {
        minimum_ = minimum;
        maximum_ = maximum;
    }

  private:
    Parent& parent_;
    int address_ = 0;
    int position_ = 0;
    int minimum_ = 0;
    int maximum_ = 100;
    int last_ = -1;
};

// Memo lines to standard error, which the parent shows with the bus's name.
class StderrMemo final : public ui::Memo {
  public:
    void addLine(const std::string& line) override {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
    void clear() override {}
    std::vector<std::string> lines() const override { return {}; }
};

// Ctrl-C (the parent's SIGINT) as the window's Cancel, inside the running waits, as the
// bus commands do it: on CAN once per interrupt; on Profibus for as long as it stands,
// since a download that starts sets the cancel request back.
class WorkerPump : public ui::QueuedEventPump {
  public:
    explicit WorkerPump(bool standing) : standing_(standing) {}
    void processPending() override {
        const bool cancel = standing_ ? headless::interrupted() : headless::takeInterrupt();
        if (cancel && session != nullptr) {
            session->Cancel();
            if (!standing_) {
                canui::CanNodeSearch::searchCancel = true;
            }
        }
        QueuedEventPump::processPending();
    }
    Tbootloader* session = nullptr;

  private:
    bool standing_;
};

int kbitIndex(int kbit) {
    for (size_t i = 0; i < TCANComm::kBitRates.size(); ++i) {
        if (TCANComm::kBitRates[i].kbit == kbit) {
            return static_cast<int>(i);
        }
    }
    return TCANComm::kDefaultBaudIndex;
}

// What a bus run does device after device, whichever the bus: the outcomes of the
// devices left alone, then the updates in address order, with the bus's on-failure
// policy and the parent's stop.
struct DeviceTurn {
    const machine::PlannedDevice* planned;
    std::optional<std::string> before;
};

class BusRun {
  public:
    BusRun(const Machine& machine, const Bus& bus, Parent& parent)
        : machine_(machine), bus_(bus), parent_(parent) {}

    // `update` runs one device and returns its outcome (with the image open already).
    int run(const machine::BusPlan& plan,
            const std::function<bool(const std::string& imagePath)>& openImage,
            const std::function<protocol::DeviceOutcome(const DeviceTurn&)>& update,
            const std::function<std::optional<std::string>(int)>& versionBefore) {
        for (const auto& p : plan.devices) {
            if (p.action == Action::Current) {
                protocol::DeviceOutcome o;
                o.address = p.address;
                o.outcome = "current";
                o.versionBefore = p.versionNow;
                o.verified = true;
                o.rule = p.rule;
                parent_.send(protocol::outcomeMessage(o));
            } else if (p.action == Action::Missing) {
                protocol::DeviceOutcome o;
                o.address = p.address;
                o.outcome = "not-found";
                o.rule = p.rule;
                ++failures_;
                parent_.send(protocol::outcomeMessage(o));
            }
        }
        std::string openPath;
        for (const auto& p : plan.devices) {
            if (p.action != Action::Update) {
                continue;
            }
            const machine::Rule& rule = machine_.rules[static_cast<size_t>(p.rule)];
            const bool parentStop = parent_.stopAsked();
            if (parentStop || localStop_ || headless::interrupted()) {
                stopped_ = stopped_ || parentStop;
                protocol::DeviceOutcome o;
                o.address = p.address;
                o.outcome = "not-run";
                o.textUnitsSent = 0;
                o.versionBefore = versionBefore(p.address);
                o.rule = p.rule;
                parent_.send(protocol::outcomeMessage(o));
                continue;
            }
            protocol::Message start{protocol::kStart, {}};
            start.setInt("address", p.address);
            parent_.send(start);
            protocol::DeviceOutcome o;
            if (openPath != rule.imagePath && !openImage(rule.imagePath)) {
                o.address = p.address;
                o.outcome = "bad-file";
                o.result = result::kNoFile;
            } else {
                openPath = rule.imagePath;
                o = update({&p, versionBefore(p.address)});
            }
            o.rule = p.rule;
            parent_.send(protocol::outcomeMessage(o));
            if (o.outcome != "okay") {
                ++failures_;
                localStop_ = localStop_ || bus_.onFailure != OnFailure::Continue;
            }
        }
        if (headless::interrupted()) {
            parent_.end("interrupted");
            return exitcode::kInterrupted;
        }
        if (failures_ > 0) {
            parent_.end("failed");
            return exitcode::kDeviceFailed;
        }
        parent_.end(stopped_ ? "stopped" : "okay");
        return exitcode::kOk;
    }

  private:
    const Machine& machine_;
    const Bus& bus_;
    Parent& parent_;
    int failures_ = 0;
    bool localStop_ = false;
    bool stopped_ = false;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runCanBus(const WorkerOptions& w, const Machine& m, const Bus& bus, Parent& parent) {
    ::setenv("ROMTIDE_CAN_INTERFACE", (w.interface.empty() ? bus.interface : w.interface).c_str(),
             1);
    SteadyClock clock;
    WorkerPump pump(false);
    ui::TerminalMessageBoxes messages(
        stderr, bus.renewBootloader ? ui::MessageAnswer::Yes : ui::MessageAnswer::No);
    Services services{clock, pump, messages};
    Tbootloader::resetSharedState();
    canui::CanNodeSearch::resetState();
    Tbootloader session(services);
    pump.session = &session;

    TCANComm::SetBaudIndex(kbitIndex(w.mode == WorkerMode::Device ? w.kbit : bus.kbit));
    session.SetNodeId(1);
    if (session.canComm->SelectBoard() != 1) {
        parent.end("failed", "the CAN interface " + bus.interface + " cannot be selected");
        return exitcode::kNoBoard;
    }
    if (session.canComm->InitCan(0, static_cast<uint32_t>(session.GetSdoId() - 0x80)) <= 0) {
        pump.processPending();
        parent.end("failed", "the CAN interface " + bus.interface + " cannot be opened");
        return exitcode::kNoBoard;
    }

    std::vector<canui::FoundDevice> found;
    machine::BusPlan plan;
    if (w.mode == WorkerMode::Device) {
        machine::PlannedDevice p;
        p.address = w.address;
        p.action = Action::Update;
        p.rule = w.rule;
        plan.devices.push_back(p);
    } else {
        ui::PlainProgressBar gauge;
        gauge.setRange(0, 127);
        ui::PlainComboBox baudList;
        const auto& items = canui::baudListItems();
        baudList.setItems({items.begin(), items.end()});
        baudList.setItemIndex(TCANComm::GetBaudIndex());
        canui::CanNodeSearch search(session, {gauge, baudList, {}, nullptr});
        TCANComm::SetReceiveHandler(search.receiveHandler());
        search.button_can_searchClick();
        if (headless::interrupted()) {
            parent.end("interrupted", "interrupted during the search; no device was touched");
            return exitcode::kInterrupted;
        }
        found = search.devices();
        machine::BusSearch result;
        result.searched = true;
        for (const auto& d : found) {
            machine::FoundUnit u;
            u.address = d.node;
            u.bootloaderMode = d.bootloaderMode;
            u.version = headless::applicationVersion(d);
            u.deviceType = d.bootloaderMode ? std::nullopt : d.deviceTypeCode;
            result.devices.push_back(u);
            parent.send(protocol::foundMessage(u));
        }
        protocol::Message searched{protocol::kSearched, {}};
        if (!found.empty()) {
            result.kbit = found.front().kbit;
            searched.setInt("kbit", found.front().kbit);
        }
        parent.send(searched);
        if (w.mode == WorkerMode::Search) {
            parent.end("okay");
            return exitcode::kOk;
        }
        plan = machine::planBus(m, bus, result);
    }

    auto versionBefore = [&](int node) -> std::optional<std::string> {
        for (const auto& d : found) {
            if (d.node == node) {
                return headless::applicationVersion(d);
            }
        }
        return std::nullopt;
    };
    auto openImage = [&](const std::string& path) {
        return headless::openImageForRun(session, messages, path, false) == exitcode::kOk;
    };
    ProgressToParent progress(parent);
    StderrMemo memo;
    auto update = [&](const DeviceTurn& turn) {
        const int node = turn.planned->address;
        const machine::Rule& rule = m.rules[static_cast<size_t>(turn.planned->rule)];
        progress.startDevice(node);
        session.ResetImageUnitsSent();
        session.AddNode(static_cast<uint8_t>(node));
        protocol::DeviceOutcome o;
        o.address = node;
        o.outcome = "not-run";
        const auto started = std::chrono::steady_clock::now();
        bool finished = false;
        canui::DownloadRunHooks hooks{memo, progress, {}, {}, {}, {}, {}};
        hooks.chooseProduct = [] {
            std::fprintf(stderr,
                         "the product of a V1.0 bootloader is not known to a machine run; it "
                         "is not renewed\n");
            Tbootloader::selectedProduct = 2;
        };
        hooks.nodeFinished = [&](const canui::NodeResult& r) {
            finished = true;
            headless::DeviceEntry e =
                headless::canEntry(r, turn.before, secondsSince(started), session.ImageUnitsSent());
            if (headless::interrupted() && !r.done) {
                e.outcome = "cancelled";
            }
            o.outcome = e.outcome;
            o.result = e.result;
            o.connect = e.connect;
            o.seconds = e.seconds;
            o.textUnitsSent = e.textUnitsSent;
            o.versionBefore = e.versionBefore;
            o.versionAfter = e.versionAfter;
            o.verified = e.verified;
        };
        hooks.stopRequested = [&] { return finished || headless::interrupted(); };
        canui::Verification verification;
        verification.expected = rule.version;
        canui::runDownloadNodes(session, hooks, verification);
        while (session.GetNode(0) != 0) {
            session.RemoveNode(static_cast<uint8_t>(session.GetNode(0)));
        }
        if (!finished) {
            o.textUnitsSent = 0;
            o.versionBefore = turn.before;
        }
        return o;
    };
    BusRun run(m, bus, parent);
    return run.run(plan, openImage, update, versionBefore);
}

int runProfibusBus(const WorkerOptions& w, const Machine& m, const Bus& bus, Parent& parent) {
    SteadyClock clock;
    WorkerPump pump(true);
    ui::TerminalMessageBoxes messages(stderr);
    Services services{clock, pump, messages};
    ProfibusBoardGuard boardLibrary(nuboxlinkLibrary(), clock);
    boardLibrary.watchInterrupt([] { return headless::interrupted(); },
                                [] {
                                    std::fprintf(stderr,
                                                 "interrupted while the board does not answer; "
                                                 "it is reset\n");
                                });
    Tbootloader::resetSharedState();
    TProfitalvik::resetSharedState();
    Tbootloader session(services, boardLibrary);
    pump.session = &session;
    TProfitalvik::SetBaudIndex(bus.baudCode);
    TProfitalvik& dp = *session.profibus;
    dp.SetDevice(static_cast<uint8_t>(bus.board));
    if (dp.InitAdapter() != dpm::kOk) {
        if (headless::interrupted()) {
            parent.end("interrupted", "interrupted while the board was prepared");
            return exitcode::kInterrupted;
        }
        parent.end("failed", "The adapter couldn't inizialized successfully");
        return exitcode::kNoBoard;
    }
    struct BoardReset {
        TProfitalvik& dp;
        ~BoardReset() { dp.ResetAdapter(); }
    } boardReset{dp};

    ui::PlainStringGrid grid(5, 2, 1000);
    ui::PlainProgressBar imageBar;
    ui::PlainProgressBar stationBar;
    pbui::SearchControls controls{grid, imageBar, stationBar, nullptr,
                                  [] { return headless::interrupted(); }};
    const std::vector<pbui::SearchStation> found = pbui::runProfibusSearch(session, controls);
    if (headless::interrupted()) {
        parent.end("interrupted", "interrupted during the search; no station was touched");
        return exitcode::kInterrupted;
    }
    DeviceInfo info{};
    if (dp.GetAdapterInfo(info) != dpm::kOk || info.present != 1 || info.busy != 1) {
        parent.end("failed", "the board was lost during the search");
        return exitcode::kNoBoard;
    }
    machine::BusSearch result;
    result.searched = true;
    for (const auto& s : found) {
        if (s.type != dpm::kPassiveStation || !dpm::hasSlot(s.address)) {
            continue;  // masters, and a slave at 0 that has no place to be updated from
        }
        machine::FoundUnit u;
        u.address = s.address;
        u.version = headless::applicationVersion(s);
        u.bootloaderMode = s.identity.versionAnswered && s.identity.bootloader;
        u.ident = s.ident;
        result.devices.push_back(u);
        parent.send(protocol::foundMessage(u));
    }
    parent.send({protocol::kSearched, {}});
    if (w.mode == WorkerMode::Search) {
        parent.end("okay");
        return exitcode::kOk;
    }
    auto versionBefore = [&](int address) -> std::optional<std::string> {
        for (const auto& s : found) {
            if (s.address == address && s.type == dpm::kPassiveStation) {
                return headless::applicationVersion(s);
            }
        }
        return std::nullopt;
    };
    const machine::BusPlan plan = machine::planBus(m, bus, result);
    auto openImage = [&](const std::string& path) {
        return headless::openImageForRun(session, messages, path, false) == exitcode::kOk;
    };
    ProgressToParent progress(parent);
    ui::PlainTextLabel label;
    ui::PlainProgressBar stationProgress;
    auto update = [&](const DeviceTurn& turn) {
        const int station = turn.planned->address;
        const machine::Rule& rule = m.rules[static_cast<size_t>(turn.planned->rule)];
        progress.startDevice(station);
        session.ResetImageUnitsSent();
        session.AddNode(static_cast<uint8_t>(station));
        protocol::DeviceOutcome o;
        o.address = station;
        o.outcome = "not-run";
        o.textUnitsSent = 0;
        o.versionBefore = turn.before;
        bool finished = false;
        pbui::ProfibusRunHooks hooks{progress, label, stationProgress, {}, {}, {}, {}};
        hooks.showResult = [&](const pbui::StationResult& r, const pbui::DownloadMessage& msg) {
            std::string line =
                "Station " + std::to_string(r.station) + ": " + pbui::oneLine(msg.message.text);
            if (r.errorCode >= 0) {
                line += " Errorcode: " + std::to_string(r.errorCode);
            }
            std::fprintf(stderr, "%s\n", line.c_str());
            return msg.cancelStops ? ui::MessageAnswer::Cancel : ui::MessageAnswer::Ok;
        };
        hooks.stationFinished = [&](const pbui::StationResult& r) {
            finished = true;
            headless::DeviceEntry e =
                headless::profibusEntry(r, turn.before, session.ImageUnitsSent());
            if (headless::interrupted() && !r.done && e.outcome == "failed") {
                e.outcome = "cancelled";
            }
            o.outcome = e.outcome;
            o.result = e.result;
            o.seconds = e.seconds;
            o.textUnitsSent = e.textUnitsSent;
            o.versionAfter = e.versionAfter;
            o.verified = e.verified;
        };
        hooks.stopRequested = [&] { return finished || headless::interrupted(); };
        pbui::Verification verification;
        verification.expected = pbui::versionWordOf(rule.version);
        pbui::runProfibusStations(session, hooks, verification);
        while (session.GetNode(0) != 0) {
            session.RemoveNode(static_cast<uint8_t>(session.GetNode(0)));
        }
        return o;
    };
    BusRun run(m, bus, parent);
    return run.run(plan, openImage, update, versionBefore);
}

// --- The simulated machine -------------------------------------------------------------

std::string oldVersion(const Bus& bus, const std::string& wanted) {
    if (bus.kind == BusKind::Can) {
        return wanted == "0" ? "1" : "0";
    }
    return wanted == "0.0.1" ? "0.0.2" : "0.0.1";
}

// The devices of a simulated bus: its [simulate] texts, or one outdated device for every
// address a rule names and one for every type a rule names without addresses.
struct SimulatedBus {
    std::vector<sim::SimDeviceConfig> can;
    std::vector<std::string> stations;
};

std::optional<SimulatedBus> simulatedBus(const Machine& m, const Bus& bus, std::string* error) {
    SimulatedBus s;
    if (!bus.simulate.empty()) {
        for (const std::string& text : bus.simulate) {
            if (bus.kind == BusKind::Profibus) {
                s.stations.push_back(text);
                continue;
            }
            auto d = sim::parseSimDeviceOption(text, false, error);
            if (!d) {
                return std::nullopt;
            }
            if (!d->kbitGiven) {
                d->config.kbit = bus.kbit;
            }
            s.can.push_back(d->config);
        }
        if (bus.kind == BusKind::Profibus) {
            *error = ProfibusSimulation::checkStations(s.stations);
            if (!error->empty()) {
                return std::nullopt;
            }
        }
        return s;
    }
    std::vector<int> taken;
    int next = 10;
    auto freeAddress = [&] {
        while (std::find(taken.begin(), taken.end(), next) != taken.end()) {
            ++next;
        }
        return next;
    };
    auto add = [&](int address, const machine::Rule& rule) {
        if (std::find(taken.begin(), taken.end(), address) != taken.end()) {
            return;
        }
        taken.push_back(address);
        const std::string version = oldVersion(bus, rule.version);
        if (bus.kind == BusKind::Can) {
            sim::SimDeviceConfig c;
            c.node = address;
            c.kbit = bus.kbit;
            c.softwareVersion = version;
            if (rule.deviceType) {
                c.deviceType = *rule.deviceType;
            }
            s.can.push_back(c);
        } else {
            char ident[16] = "";
            if (rule.ident) {
                std::snprintf(ident, sizeof ident, ",ident=0x%04X", *rule.ident);
            }
            s.stations.push_back("addr=" + std::to_string(address) + ident + ",version=" + version);
        }
    };
    for (const machine::Rule& rule : m.rules) {
        if (!Machine::ruleCovers(rule, bus)) {
            continue;
        }
        for (int a : rule.addresses) {
            add(a, rule);
        }
        if (rule.addresses.empty()) {
            add(freeAddress(), rule);
        }
    }
    return s;
}

int runSimulation(const WorkerOptions& w, const Machine& m, Parent& parent) {
    std::vector<sim::BusInterface> interfaces;
    std::vector<SimulatedBus> buses;
    for (const Bus& bus : m.buses) {
        std::string error;
        auto s = simulatedBus(m, bus, &error);
        if (!s) {
            parent.end("failed", "simulated bus " + bus.name + ": " + error);
            return exitcode::kUsage;
        }
        buses.push_back(*s);
        if (bus.kind == BusKind::Can) {
            interfaces.push_back({bus.name, bus.kbit});
        }
    }
    std::unique_ptr<sim::CanBusServer> server;
    std::vector<std::pair<std::string, std::unique_ptr<ProfibusSimulation>>> boards;
    std::vector<std::string> canOwner;  // the bus of each hosted device
    std::vector<std::FILE*> traces;
    if (!interfaces.empty()) {
        server = std::make_unique<sim::CanBusServer>(interfaces);
        for (size_t i = 0; i < m.buses.size(); ++i) {
            for (const auto& c : buses[i].can) {
                server->addDevice(c, m.buses[i].name);
                canOwner.push_back(m.buses[i].name);
            }
            if (m.buses[i].kind == BusKind::Can && !w.simTrace.empty()) {
                ::mkdir(w.simTrace.c_str(), 0755);
                std::FILE* f =
                    std::fopen((w.simTrace + "/" + m.buses[i].name + ".log").c_str(), "w");
                if (f != nullptr) {
                    traces.push_back(f);
                    server->bus(m.buses[i].name)->setTrace(f);
                }
            }
        }
        std::string error;
        if (!server->start(0, &error)) {
            parent.end("failed", "the simulated CAN buses: " + error);
            return exitcode::kNoBoard;
        }
        protocol::Message can{"sim-can", {}};
        can.setInt("port", server->port());
        parent.send(can);
    }
    for (size_t i = 0; i < m.buses.size(); ++i) {
        const Bus& bus = m.buses[i];
        if (bus.kind != BusKind::Profibus) {
            continue;
        }
        std::string error;
        auto board = ProfibusSimulation::start(buses[i].stations, &error, bus.board);
        if (!board) {
            parent.end("failed", "the simulated board of " + bus.name + ": " + error);
            return exitcode::kNoBoard;
        }
        protocol::Message b{"sim-board", {}};
        b.set("bus", bus.name);
        b.set("driver-dir", board->driverDir());
        b.set("registry", board->registryPath());
        parent.send(b);
        boards.emplace_back(bus.name, std::move(board));
    }
    parent.send({"ready", {}});
    // Serves until the parent closes standard input; "dump DIR" writes what every
    // simulated device holds to DIR/BUS/node-N.srec and DIR/BUS/station-N.srec.
    protocol::LineSplitter input;
    for (;;) {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::vector<std::string> lines;
        if (!input.feed(buffer, static_cast<size_t>(n), lines)) {
            break;
        }
        for (const std::string& line : lines) {
            std::string why;
            auto message = protocol::parse(line, &why);
            if (!message || message->word != "dump" || message->get("dir") == nullptr) {
                continue;
            }
            const std::string dir = *message->get("dir");
            bool ok = ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
            if (server) {
                const auto& devices = server->devices();
                for (size_t d = 0; d < devices.size(); ++d) {
                    const std::string folder = dir + "/" + canOwner[d];
                    ::mkdir(folder.c_str(), 0755);
                    ok = devices[d]->writeApplicationSrec(
                             folder + "/node-" + std::to_string(devices[d]->config().node) +
                             ".srec") &&
                         ok;
                }
            }
            for (auto& [name, board] : boards) {
                const std::string folder = dir + "/" + name;
                ::mkdir(folder.c_str(), 0755);
                std::string error;
                ok = board->dump(folder, &error) && ok;
            }
            parent.send({"dumped", {{"ok", ok ? "1" : "0"}}});
        }
    }
    if (server) {
        server->stop();
    }
    for (std::FILE* f : traces) {
        std::fclose(f);
    }
    return exitcode::kOk;
}

}  // namespace

machine::ImageCheck checkImage(const std::string& path) {
    machine::ImageCheck c;
    SteadyClock clock;
    ui::QueuedEventPump pump;
    ui::TerminalMessageBoxes messages;
    Services services{clock, pump, messages};
    Tbootloader session(services);
    c.status = headless::openImageForRun(session, messages, path, false);
    if (c.status == exitcode::kFileUnreadable) {
        c.reason = "cannot be opened or read";
    } else if (c.status != exitcode::kOk) {
        c.reason = "refused by the image checks";
    } else {
        c.bytes = static_cast<int64_t>(session.imageFile->bytes().size());
        c.textUnits = countTextUnits(*session.imageFile);
    }
    return c;
}

std::optional<machine::Machine> loadCheckedMachine(const std::string& file, machine::Fault* fault) {
    return machine::loadMachine(file, checkImage, fault);
}

std::string checkSimulation(const Machine& m) {
    for (const Bus& bus : m.buses) {
        std::string error;
        if (!simulatedBus(m, bus, &error)) {
            return m.file + ":" + std::to_string(bus.simulateLine) + ": key simulate." + bus.name +
                   ": " + error;
        }
    }
    return {};
}

int runWorker(const WorkerOptions& w) {
    Parent parent;
    // The transfer is made of waits of a few microseconds: no timer slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    headless::installInterruptHandler();
    machine::Fault fault;
    auto m = machine::loadMachine(w.file, checkImage, &fault);
    if (!m) {
        parent.end("failed", fault.message);
        return fault.status;
    }
    if (w.mode == WorkerMode::Simulation) {
        return runSimulation(w, *m, parent);
    }
    const Bus* bus = m->findBus(w.bus);
    if (bus == nullptr) {
        parent.end("failed", "no bus " + w.bus);
        return exitcode::kUsage;
    }
    parent.send({protocol::kHello, {{"bus", bus->name}, {"pid", std::to_string(::getpid())}}});
    return bus->kind == BusKind::Can ? runCanBus(w, *m, *bus, parent)
                                     : runProfibusBus(w, *m, *bus, parent);
}

}  // namespace romtide::machinecli
