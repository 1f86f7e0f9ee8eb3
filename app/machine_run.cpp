#include "app/machine_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "app/exit_codes.h"
#include "app/machine_worker.h"
#include "base/device_text.h"
#include "cli/command_line.h"
#include "machine/machine_plan.h"
#include "machine/worker_protocol.h"

namespace romtide::machinecli {

namespace {

using machine::Action;
using machine::Bus;
using machine::BusKind;
using machine::Machine;
using machine::OnFailure;
using Json = nlohmann::ordered_json;
namespace protocol = machine::protocol;

constexpr int64_t kSearchLimitMs = 180 * 1000;   // a search, when the bus names no limit
constexpr double kLimitPerEstimate = 3;          // a run may take three times its estimate
constexpr int64_t kLimitSlackMs = 60 * 1000;     // and a minute
constexpr int64_t kKillAfterInterruptMs = 5000;  // a worker's time to end after SIGINT
constexpr int kPollMs = 250;
constexpr int64_t kBarRedrawMs = 200;
constexpr int64_t kSimulationReadyMs = 20000;
constexpr int kPlainStepPercent = 10;
constexpr size_t kLongestErrLine = 1024;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string selfExecutable() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("bootloader");
}

void onTerminate(int) {
    headless::raiseInterrupt();
}

enum class Role { Search, Apply, Device, Simulation };

struct Worker {
    Role role = Role::Search;
    size_t bus = 0;
    int address = 0;  // Device: the device; otherwise the device in hand
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
    protocol::LineSplitter outLines;
    std::string errPartial;  // standard error: text, cut into lines of at most a bound
    bool exited = false;
    int waitStatus = 0;
    std::optional<protocol::Message> end;
    bool searched = false;
    std::string broken;  // what broke the protocol
    int64_t deadlineMs = 0;
    int limitS = 0;
    bool overTime = false;
    int64_t killAtMs = -1;
    bool interruptSent = false;
    bool reaped() const { return exited && out < 0 && err < 0; }
};

// Starts the hidden worker with `args`; env adds "NAME=value" entries.
std::unique_ptr<Worker> spawn(const std::vector<std::string>& args,
                              const std::vector<std::string>& env) {
    int in[2];
    int out[2];
    int err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return nullptr;
    }
    static const std::string self = selfExecutable();
    std::vector<std::string> argvText{self, "machine-worker"};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envText(env);
    std::vector<char*> envp;
    for (auto& e : envText) {
        envp.push_back(e.data());
    }
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A process group of its own: Ctrl-C reaches the parent only, which passes one
        // interrupt on to each worker. A parent that dies interrupts its workers.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGINT);
        if (::getppid() != parent) {
            ::_exit(exitcode::kInterrupted);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return nullptr;
    }
    auto w = std::make_unique<Worker>();
    w->pid = pid;
    w->in = in[1];
    w->out = out[0];
    w->err = err[0];
    ::fcntl(w->in, F_SETFL, O_NONBLOCK);
    return w;
}

void sendLine(Worker& w, const std::string& line) {
    if (w.in >= 0) {
        // A worker that does not read its input is past caring about it.
        [[maybe_unused]] ssize_t n = ::write(w.in, line.data(), line.size());
    }
}

std::string deathReason(const Worker& w) {
    if (w.overTime) {
        return "worker exceeded the bus's time limit of " + std::to_string(w.limitS) + " s";
    }
    if (!w.broken.empty()) {
        return "worker broke the protocol: " + w.broken;
    }
    if (WIFSIGNALED(w.waitStatus)) {
        return "worker ended by signal " + std::to_string(WTERMSIG(w.waitStatus));
    }
    return "worker ended with status " + std::to_string(WEXITSTATUS(w.waitStatus)) +
           " before it said so";
}

// --- The machine's report ---------------------------------------------------------------

struct DeviceRecord {
    std::string bus;
    protocol::DeviceOutcome outcome;
    std::string image;
};

std::string quoted(const std::optional<std::string>& text) {
    if (!text) {
        return "null";
    }
    std::string out = "\"";
    for (char c : printableText(*text)) {
        out += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

Json nullableText(const std::optional<std::string>& text) {
    return text ? Json(printableText(*text)) : Json(nullptr);
}

// --report: text lines flushed as they come, or the whole JSON document replaced after
// every outcome; the same document goes to stdout with --json at the end.
class MachineReport {
  public:
    MachineReport(const Machine& m, const MachineOptions& o) : machine_(m), options_(o) {
        doc_["report"] = "romtide-machine";
        doc_["report_version"] = 1;
        doc_["tool"] = {{"name", "bootloader"}, {"version", cli::version()}};
        doc_["command"] = "machine apply";
        doc_["machine"] = m.name;
        doc_["file"] = m.file;
        doc_["started"] = headless::utcNow();
        doc_["buses"] = Json::array();
        doc_["devices"] = Json::array();
        doc_["summary"] = nullptr;
        doc_["end"] = "running";
    }
    ~MachineReport() {
        for (std::FILE* f : {text_, endOnly_}) {
            if (f != nullptr) {
                std::fclose(f);
            }
        }
    }
    bool open() {
        if (options_.report.empty()) {
            return true;
        }
        if (options_.reportFormat == headless::ReportFormat::Text) {
            text_ = std::fopen(options_.report.c_str(), "w");
            return text_ != nullptr;
        }
        struct stat st {};
        const bool regular =
            ::stat(options_.report.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
        if (!regular) {
            // /dev/stdout, a FIFO: nothing to rename over; the document goes once, at the
            // end, and the path is opened now so that a bad one stops the run first.
            endOnly_ = std::fopen(options_.report.c_str(), "w");
            return endOnly_ != nullptr;
        }
        return writeJson();
    }
    void device(const DeviceRecord& r) {
        const protocol::DeviceOutcome& o = r.outcome;
        Json e;
        e["bus"] = r.bus;
        e["address"] = o.address;
        e["image"] = r.image.empty() ? Json(nullptr) : Json(r.image);
        e["outcome"] = o.outcome;
        e["result"] = o.result;
        e["seconds"] = std::round(o.seconds * 1000) / 1000;
        e["text_units_sent"] = o.textUnitsSent ? Json(*o.textUnitsSent) : Json(nullptr);
        e["version_before"] = nullableText(o.versionBefore);
        e["version_after"] = nullableText(o.versionAfter);
        e["verified"] = o.verified ? Json(*o.verified) : Json(nullptr);
        e["connect"] = o.connect ? Json(*o.connect) : Json(nullptr);
        doc_["devices"].push_back(e);
        ++counts_[o.outcome == "okay"      ? "okay"
                  : o.outcome == "current" ? "current"
                  : o.outcome == "not-run" ? "not_run"
                                           : "failed"];
        if (o.outcome == "not-found") {
            ++counts_["not_found"];
        }
        records_.push_back(r);
        char line[512];
        std::snprintf(line, sizeof line,
                      "device bus=%s address=%d image=%s outcome=%s result=%d seconds=%.3f "
                      "text_units_sent=%s",
                      r.bus.c_str(), o.address, r.image.empty() ? "null" : r.image.c_str(),
                      o.outcome.c_str(), o.result, o.seconds,
                      o.textUnitsSent ? std::to_string(*o.textUnitsSent).c_str() : "null");
        const std::string verdict = !o.verified ? "null" : *o.verified ? "true" : "false";
        textLine(std::string(line) + " version_before=" + quoted(o.versionBefore) +
                 " version_after=" + quoted(o.versionAfter) + " verified=" + verdict);
        jsonChanged();
    }
    void bus(const Bus& b, const std::string& outcome, const std::string& message, double seconds,
             std::optional<double> searchSeconds) {
        Json e;
        e["name"] = b.name;
        e["bus"] = busKindWord(b.kind);
        if (b.kind == BusKind::Can) {
            e["interface"] = b.interface;
        } else {
            e["board"] = "device " + std::to_string(b.board);
        }
        e["outcome"] = outcome;
        e["message"] = message.empty() ? Json(nullptr) : Json(message);
        e["seconds"] = std::round(seconds * 10) / 10;
        e["search_seconds"] =
            searchSeconds ? Json(std::round(*searchSeconds * 10) / 10) : Json(nullptr);
        doc_["buses"].push_back(e);
        textLine("bus name=" + b.name + " outcome=" + outcome + " message=" +
                 quoted(message.empty() ? std::nullopt : std::optional<std::string>(message)) +
                 " seconds=" + oneDecimal(seconds));
        jsonChanged();
    }
    // The summary and the end; false when any part of the report could not be written.
    bool finish(bool interrupted, double parentCpuSeconds) {
        const int devices = static_cast<int>(records_.size());
        doc_["summary"] = {{"devices", devices},
                           {"okay", counts_["okay"]},
                           {"current", counts_["current"]},
                           {"failed", counts_["failed"]},
                           {"not_run", counts_["not_run"]},
                           {"not_found", counts_["not_found"]}};
        doc_["end"] = interrupted ? "interrupted" : "complete";
        doc_["parent_cpu_seconds"] = std::round(parentCpuSeconds * 1000) / 1000;
        textLine("summary devices=" + std::to_string(devices) +
                 " okay=" + std::to_string(counts_["okay"]) +
                 " current=" + std::to_string(counts_["current"]) +
                 " failed=" + std::to_string(counts_["failed"]) +
                 " not_run=" + std::to_string(counts_["not_run"]) +
                 " end=" + (interrupted ? "interrupted" : "complete"));
        jsonChanged(true);
        if (text_ != nullptr && std::fclose(text_) != 0) {
            failed_ = true;
        }
        text_ = nullptr;
        return !failed_;
    }
    const Json& document() const { return doc_; }
    const std::vector<DeviceRecord>& records() const { return records_; }
    int count(const std::string& what) { return counts_[what]; }

  private:
    void textLine(const std::string& line) {
        if (text_ != nullptr &&
            (std::fprintf(text_, "%s\n", line.c_str()) < 0 || std::fflush(text_) != 0)) {
            failed_ = true;
        }
    }
    void jsonChanged(bool last = false) {
        if (options_.report.empty() || options_.reportFormat != headless::ReportFormat::Json) {
            return;
        }
        if (endOnly_ != nullptr) {
            if (last) {
                const std::string body = headless::jsonText(doc_) + "\n";
                failed_ = std::fputs(body.c_str(), endOnly_) < 0 || failed_;
                failed_ = std::fclose(endOnly_) != 0 || failed_;
                endOnly_ = nullptr;
            }
        } else if (!writeJson()) {
            failed_ = true;
        }
    }
    // Beside the report and renamed over it: the file always holds a whole document.
    bool writeJson() {
        const std::string body = headless::jsonText(doc_) + "\n";
        const std::string temporary = options_.report + ".part";
        std::FILE* f = std::fopen(temporary.c_str(), "w");
        if (f == nullptr) {
            return false;
        }
        bool ok = std::fputs(body.c_str(), f) >= 0;
        ok = std::fflush(f) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
        if (!ok || std::rename(temporary.c_str(), options_.report.c_str()) != 0) {
            std::remove(temporary.c_str());
            return false;
        }
        return true;
    }

    const Machine& machine_;
    const MachineOptions& options_;
    Json doc_;
    std::FILE* text_ = nullptr;
    std::FILE* endOnly_ = nullptr;  // JSON to a path that is no regular file
    std::map<std::string, int> counts_;
    std::vector<DeviceRecord> records_;
    bool failed_ = false;
};

// --- Progress on the terminal ----------------------------------------------------------

class MachineProgress {
  public:
    MachineProgress(const Machine& m, ui::ProgressStyle style)
        : machine_(m),
          style_(style),
          bars_(style == ui::ProgressStyle::Bar && ::isatty(STDERR_FILENO) == 1),
          state_(m.buses.size()) {}
    // A line a worker wrote on standard error, or one of the parent's about a bus.
    void line(size_t bus, const std::string& text) { line(machine_.buses[bus].name, text); }
    void line(const std::string& who, const std::string& text) {
        clearBars();
        std::fprintf(stderr, "%s: %s\n", who.c_str(), text.c_str());
        drawBars();
    }
    void progress(size_t bus, int address, int percent) {
        State& s = state_[bus];
        if (style_ == ui::ProgressStyle::Plain) {
            const int step = percent / kPlainStepPercent * kPlainStepPercent;
            // A bar that starts again for the same device (its identification) is no news.
            auto [it, fresh] = s.plainStep.emplace(address, step);
            if (fresh || step > it->second) {
                it->second = step;
                std::fprintf(stderr, "%s: device %d: %d %%\n", machine_.buses[bus].name.c_str(),
                             address, step);
            }
            return;
        }
        s.percent[address] = percent;
        if (bars_ && nowMs() - lastDraw_ >= kBarRedrawMs) {
            clearBars();
            drawBars();
        }
    }
    void busEnded(size_t bus, const std::string& outcome) {
        state_[bus].percent.clear();
        busText(bus, outcome);
    }
    // The device has its outcome: its bar is done.
    void deviceDone(size_t bus, int address) {
        state_[bus].percent.erase(address);
        state_[bus].plainStep.erase(address);
    }
    void busText(size_t bus, const std::string& text) {
        state_[bus].text = text;
        if (bars_) {
            clearBars();
            drawBars();
        }
    }
    void finish() { clearBars(); }

  private:
    struct State {
        std::map<int, int> percent;    // of the devices in hand (several with parallel)
        std::map<int, int> plainStep;  // the last tenth each device's line said
        std::string text = "waiting";
    };
    void clearBars() {
        if (bars_ && drawn_ > 0) {
            std::fprintf(stderr, "\x1b[%dA\x1b[J", drawn_);
            drawn_ = 0;
        }
    }
    void drawBars() {
        if (!bars_) {
            return;
        }
        constexpr int kWidth = 30;
        for (size_t i = 0; i < state_.size(); ++i) {
            const State& s = state_[i];
            // Devices in hand at once share the bar: their mean, and their addresses.
            int percent = 0;
            std::string text = s.text;
            if (!s.percent.empty()) {
                text = "device";
                for (const auto& [address, p] : s.percent) {
                    percent += p;
                    text += " " + std::to_string(address);
                }
                percent /= static_cast<int>(s.percent.size());
            }
            const int filled = percent * kWidth / 100;
            std::fprintf(stderr, "%-12s [%s%s] %3d %%  %s\n", machine_.buses[i].name.c_str(),
                         std::string(static_cast<size_t>(filled), '#').c_str(),
                         std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent,
                         text.c_str());
        }
        std::fflush(stderr);
        drawn_ = static_cast<int>(state_.size());
        lastDraw_ = nowMs();
    }

    const Machine& machine_;
    ui::ProgressStyle style_;
    bool bars_;
    std::vector<State> state_;
    int drawn_ = 0;
    int64_t lastDraw_ = 0;
};

// --- The coordinator --------------------------------------------------------------------

struct BusState {
    const Bus* bus = nullptr;
    machine::BusSearch search;
    std::optional<machine::BusPlan> plan;
    std::deque<size_t> queue;   // parallel: plan devices still to start
    std::set<int> reported;     // addresses with an outcome
    std::map<int, int> inHand;  // address → worker count (in hand)
    int failures = 0;
    bool localStop = false;  // its on-failure policy stopped it
    bool wholeFailed = false;
    std::string message;
    bool started = false;
    bool done = false;
    int64_t startedMs = 0;
    int64_t searchedMs = -1;
    double seconds = 0;
};

class Coordinator {
  public:
    Coordinator(const Machine& m, const MachineOptions& o, bool apply)
        : machine_(m), options_(o), apply_(apply), progress_(m, o.progress) {
        for (const Bus& b : m.buses) {
            BusState s;
            s.bus = &b;
            buses_.push_back(s);
        }
        if (apply_) {
            report_ = std::make_unique<MachineReport>(m, o);
        }
    }

    MachineReport* report() { return report_.get(); }
    const std::vector<BusState>& buses() const { return buses_; }
    bool interrupted() const { return interrupted_; }

    // Starts the simulation (with --simulate) and every bus; runs until all have ended.
    bool run() {
        if (options_.simulate && !startSimulation()) {
            return false;
        }
        watch();
        for (size_t i = 0; i < buses_.size(); ++i) {
            buses_[i].startedMs = nowMs();
            buses_[i].started = true;
            if (interrupted_) {
                continue;  // interrupted while the simulation started: nothing is touched
            }
            const Bus& b = *buses_[i].bus;
            const Role role = !apply_ || b.parallel > 1 ? Role::Search : Role::Apply;
            if (!start(role, i)) {
                failWhole(i, "the worker could not be started");
            }
        }
        loop([&] {
            return std::all_of(buses_.begin(), buses_.end(),
                               [](const BusState& b) { return b.done; });
        });
        progress_.finish();
        finishSimulation();
        return true;
    }

  private:
    std::vector<std::string> workerArgs(Role role, size_t bus, int address, int rule, int kbit) {
        const Bus& b = *buses_[bus].bus;
        std::vector<std::string> a{options_.file, "--bus", b.name, "--mode",
                                   role == Role::Search  ? "search"
                                   : role == Role::Apply ? "apply"
                                                         : "device"};
        if (role == Role::Device) {
            a.insert(a.end(), {"--address", std::to_string(address), "--rule", std::to_string(rule),
                               "--kbit", std::to_string(kbit)});
        }
        if (b.kind == BusKind::Can && simCanPort_ > 0) {
            a.insert(a.end(), {"--interface", "socketcand:127.0.0.1:" +
                                                  std::to_string(simCanPort_) + "/" + b.name});
        }
        return a;
    }

    bool start(Role role, size_t bus, int address = 0, int rule = -1, int kbit = 0) {
        std::vector<std::string> env;
        if (auto it = simBoards_.find(buses_[bus].bus->name); it != simBoards_.end()) {
            env = it->second;
        }
        auto w = spawn(workerArgs(role, bus, address, rule, kbit), env);
        if (!w) {
            return false;
        }
        w->role = role;
        w->bus = bus;
        w->address = role == Role::Device ? address : 0;
        const Bus& b = *buses_[bus].bus;
        int64_t limitMs = kSearchLimitMs;
        if (b.timeLimitS) {
            limitMs = int64_t{*b.timeLimitS} * 1000;
        } else if (role == Role::Device) {
            const double s =
                machine::deviceSeconds(b, machine_.rules[static_cast<size_t>(rule)].textUnits);
            limitMs = static_cast<int64_t>(s * kLimitPerEstimate * 1000) + kLimitSlackMs;
        }
        w->limitS = static_cast<int>(limitMs / 1000);
        // A limit the file gives is the whole bus's, its search and every device.
        w->deadlineMs = (b.timeLimitS ? buses_[bus].startedMs : nowMs()) + limitMs;
        if (role == Role::Device) {
            ++buses_[bus].inHand[address];
        }
        workers_.push_back(std::move(w));
        return true;
    }

    template <class Done>
    void loop(Done done) {
        while (!done()) {
            std::vector<pollfd> fds;
            std::vector<std::pair<Worker*, bool>> owners;  // worker, stdout?
            for (auto& w : workers_) {
                if (w->out >= 0) {
                    fds.push_back({w->out, POLLIN, 0});
                    owners.emplace_back(w.get(), true);
                }
                if (w->err >= 0) {
                    fds.push_back({w->err, POLLIN, 0});
                    owners.emplace_back(w.get(), false);
                }
            }
            const int ready = ::poll(fds.data(), fds.size(), kPollMs);
            if (ready > 0) {
                for (size_t i = 0; i < fds.size(); ++i) {
                    if (fds[i].revents != 0) {
                        read(*owners[i].first, owners[i].second);
                    }
                }
            }
            watch();
            reap();
        }
    }

    void read(Worker& w, bool isOut) {
        char buffer[8192];
        int& fd = isOut ? w.out : w.err;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        std::vector<std::string> lines;
        bool ok = n > 0;
        if (ok && isOut) {
            ok = w.outLines.feed(buffer, static_cast<size_t>(n), lines);
        } else if (ok) {
            // Messages for people: a long one is shown in pieces rather than lost.
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\n' || w.errPartial.size() >= kLongestErrLine) {
                    lines.push_back(std::move(w.errPartial));
                    w.errPartial.clear();
                }
                if (buffer[i] != '\n') {
                    w.errPartial += buffer[i];
                }
            }
        }
        if (n > 0 && !ok && isOut && w.broken.empty()) {
            w.broken = "a line longer than " + std::to_string(protocol::kMaxLine) + " bytes";
            kill(w, SIGKILL);
        }
        for (const std::string& line : lines) {
            if (isOut) {
                message(w, line);
            } else if (w.role == Role::Simulation) {
                progress_.line("simulation", line);
            } else {
                progress_.line(machine_.buses[w.bus].name,
                               w.role == Role::Device
                                   ? "device " + std::to_string(w.address) + ": " + line
                                   : line);
            }
        }
        if (n <= 0 || !ok) {
            ::close(fd);
            fd = -1;
        }
    }

    void kill(Worker& w, int signal) {
        if (w.pid > 0 && !w.exited) {
            ::kill(w.pid, signal);
        }
    }

    void message(Worker& w, const std::string& line) {
        std::string why;
        auto m = protocol::parse(line, &why);
        if (!m) {
            if (w.broken.empty()) {
                w.broken = why;
                kill(w, SIGKILL);
            }
            return;
        }
        if (w.role == Role::Simulation) {
            simulationMessage(*m);
            return;
        }
        BusState& b = buses_[w.bus];
        if (m->word == protocol::kFound) {
            if (auto d = protocol::foundOf(*m)) {
                b.search.devices.push_back(*d);
            }
        } else if (m->word == protocol::kSearched) {
            w.searched = true;
            b.search.searched = true;
            b.searchedMs = nowMs();
            if (auto kbit = m->getInt("kbit")) {
                b.search.kbit = static_cast<int>(*kbit);
            }
            b.plan = machine::planBus(machine_, *b.bus, b.search);
            progress_.busText(
                w.bus, "searched, " + std::to_string(b.search.devices.size()) + " device(s)");
            if (w.role == Role::Apply && !b.bus->timeLimitS && b.plan->estimateSeconds) {
                const auto ms =
                    static_cast<int64_t>(*b.plan->estimateSeconds * kLimitPerEstimate * 1000) +
                    kLimitSlackMs;
                w.limitS = static_cast<int>(ms / 1000);
                w.deadlineMs = nowMs() + ms;
            }
        } else if (m->word == protocol::kStart) {
            if (auto a = m->getInt("address")) {
                w.address = static_cast<int>(*a);
                progress_.busText(w.bus, "device " + std::to_string(w.address));
                if (options_.progress == ui::ProgressStyle::Plain) {
                    progress_.line(w.bus, "device " + std::to_string(w.address) + ": starting");
                }
            }
        } else if (m->word == protocol::kProgress) {
            auto a = m->getInt("address");
            auto p = m->getInt("percent");
            if (a && p) {
                progress_.progress(w.bus, static_cast<int>(*a),
                                   static_cast<int>(std::clamp<int64_t>(*p, 0, 100)));
            }
        } else if (m->word == protocol::kOutcome) {
            if (auto o = protocol::outcomeOf(*m)) {
                if (w.role == Role::Device && !o->versionBefore) {
                    o->versionBefore = versionFound(b, o->address);
                }
                deviceOutcome(w.bus, *o);
                if (w.role == Role::Apply && o->address == w.address) {
                    w.address = 0;
                }
            } else if (w.broken.empty()) {
                w.broken = "an outcome without its fields";
                kill(w, SIGKILL);
            }
        } else if (m->word == protocol::kEnd) {
            w.end = *m;
        }
    }

    static std::optional<std::string> versionFound(const BusState& b, int address) {
        for (const auto& d : b.search.devices) {
            if (d.address == address) {
                return d.bootloaderMode ? std::nullopt : d.version;
            }
        }
        return std::nullopt;
    }

    void deviceOutcome(size_t bus, const protocol::DeviceOutcome& o) {
        BusState& b = buses_[bus];
        if (!apply_ || !b.reported.insert(o.address).second) {
            return;
        }
        DeviceRecord r{b.bus->name, o, {}};
        if (o.rule >= 0 && static_cast<size_t>(o.rule) < machine_.rules.size()) {
            r.image = machine_.rules[static_cast<size_t>(o.rule)].image;
        }
        report_->device(r);
        progress_.deviceDone(bus, o.address);
        const bool failed = o.outcome != "okay" && o.outcome != "current" && o.outcome != "not-run";
        // Every outcome in the log; on the bars' terminal the ones that need a look.
        if (options_.progress == ui::ProgressStyle::Plain || failed) {
            progress_.line(bus, "device " + std::to_string(o.address) + ": " + o.outcome);
        }
        if (!failed) {
            return;
        }
        ++b.failures;
        if (o.outcome == "not-found") {
            return;  // nothing was tried: no failure for the policies to act on
        }
        ++machineFailures_;
        if (b.bus->onFailure != OnFailure::Continue) {
            b.localStop = true;
        }
        if (b.bus->onFailure == OnFailure::StopMachine ||
            (options_.maxFailures && machineFailures_ >= *options_.maxFailures)) {
            stopMachine();
        }
    }

    void stopMachine() {
        if (machineStopped_) {
            return;
        }
        machineStopped_ = true;
        for (auto& w : workers_) {
            if (!w->exited && w->role != Role::Simulation) {
                sendLine(*w, std::string(protocol::kStop) + "\n");
            }
        }
    }

    // Interrupts, time limits, forced ends.
    void watch() {
        const int64_t now = nowMs();
        if (headless::interrupted() && !interrupted_) {
            interrupted_ = true;
            for (auto& w : workers_) {
                if (w->role != Role::Simulation && !w->exited) {
                    kill(*w, SIGINT);
                    w->interruptSent = true;
                    w->killAtMs = now + kKillAfterInterruptMs;
                }
            }
        }
        for (auto& w : workers_) {
            if (w->exited || w->role == Role::Simulation) {
                continue;
            }
            if (!w->overTime && now > w->deadlineMs) {
                w->overTime = true;
                kill(*w, SIGINT);
                w->killAtMs = now + kKillAfterInterruptMs;
            }
            if (w->killAtMs >= 0 && now > w->killAtMs) {
                kill(*w, SIGKILL);
                w->killAtMs = -1;
            }
        }
    }

    void reap() {
        for (auto& w : workers_) {
            if (!w->exited && w->pid > 0) {
                int status = 0;
                if (::waitpid(w->pid, &status, WNOHANG) == w->pid) {
                    w->exited = true;
                    w->waitStatus = status;
                }
            }
        }
        for (size_t i = 0; i < workers_.size();) {
            Worker& w = *workers_[i];
            if (w.role != Role::Simulation && w.reaped()) {
                auto done = std::move(workers_[i]);
                workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
                if (done->in >= 0) {
                    ::close(done->in);
                }
                ended(*done);
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < buses_.size(); ++i) {
            advance(i);
        }
    }

    // A worker is gone: what it leaves its bus.
    void ended(Worker& w) {
        BusState& b = buses_[w.bus];
        const bool clean = w.end.has_value() && w.broken.empty() && !w.overTime;
        const std::string endMessage =
            w.end && w.end->get("message") ? *w.end->get("message") : std::string();
        const std::string endOutcome =
            w.end && w.end->get("outcome") ? *w.end->get("outcome") : std::string();
        if (w.role == Role::Device) {
            --b.inHand[w.address];
            if (!clean || !b.reported.count(w.address)) {
                protocol::DeviceOutcome o;
                o.address = w.address;
                o.outcome = endOutcome == "interrupted" ? "cancelled" : "failed";
                o.versionBefore = versionFound(b, w.address);
                o.rule = ruleOf(b, w.address);
                if (!clean || endOutcome != "interrupted") {
                    failWhole(w.bus, clean ? endMessage : deathReason(w));
                }
                deviceOutcome(w.bus, o);
            }
            return;
        }
        if (!clean || (!w.searched && endOutcome != "interrupted")) {
            // Died, hung, broke the protocol, or could not search: the bus as a whole.
            if (w.address > 0 && !b.reported.count(w.address)) {
                protocol::DeviceOutcome o;
                o.address = w.address;
                o.outcome = "failed";
                o.versionBefore = versionFound(b, w.address);
                o.rule = ruleOf(b, w.address);
                deviceOutcome(w.bus, o);
            }
            failWhole(w.bus, clean ? endMessage : deathReason(w));
            if (w.role == Role::Search) {
                b.search.searched = false;
                b.search.message = b.message;
            }
            return;
        }
        if (w.role == Role::Search && apply_) {
            // A bus updated `parallel` devices at a time: its plan from the parent's search.
            for (size_t i = 0; i < b.plan->devices.size(); ++i) {
                const auto& p = b.plan->devices[i];
                if (p.action == Action::Current) {
                    protocol::DeviceOutcome o;
                    o.address = p.address;
                    o.outcome = "current";
                    o.versionBefore = p.versionNow;
                    o.verified = true;
                    o.rule = p.rule;
                    deviceOutcome(w.bus, o);
                } else if (p.action == Action::Missing) {
                    protocol::DeviceOutcome o;
                    o.address = p.address;
                    o.outcome = "not-found";
                    o.rule = p.rule;
                    deviceOutcome(w.bus, o);
                } else if (p.action == Action::Update) {
                    b.queue.push_back(i);
                }
            }
        }
    }

    static int ruleOf(const BusState& b, int address) {
        if (b.plan) {
            for (const auto& p : b.plan->devices) {
                if (p.address == address) {
                    return p.rule;
                }
            }
        }
        return -1;
    }

    void failWhole(size_t bus, const std::string& message) {
        BusState& b = buses_[bus];
        if (!b.wholeFailed) {
            b.wholeFailed = true;
            b.message = message;
            progress_.line(bus, "failed: " + message);
        }
    }

    bool busRunning(size_t bus) const {
        return std::any_of(workers_.begin(), workers_.end(), [&](const auto& w) {
            return w->bus == bus && w->role != Role::Simulation;
        });
    }

    // Starts the next devices of a parallel bus; ends a bus whose workers are all gone.
    void advance(size_t i) {
        BusState& b = buses_[i];
        if (b.done || !b.started) {
            return;
        }
        const bool stopping = machineStopped_ || b.localStop || interrupted_ || b.wholeFailed;
        int running = 0;
        for (const auto& [address, count] : b.inHand) {
            running += count;
        }
        while (!stopping && !b.queue.empty() && running < b.bus->parallel) {
            const auto& p = b.plan->devices[b.queue.front()];
            b.queue.pop_front();
            if (!start(Role::Device, i, p.address, p.rule, b.search.kbit.value_or(b.bus->kbit))) {
                failWhole(i, "the worker of device " + std::to_string(p.address) +
                                 " could not be started");
                break;
            }
            ++running;
        }
        if (busRunning(i) || (!stopping && !b.queue.empty())) {
            return;
        }
        b.done = true;
        b.seconds = static_cast<double>(nowMs() - b.startedMs) / 1000;
        if (!apply_) {
            return;
        }
        // The devices the plan named that got no outcome: never started.
        if (b.plan) {
            for (const auto& p : b.plan->devices) {
                if (p.action != Action::Unmatched && !b.reported.count(p.address)) {
                    protocol::DeviceOutcome o;
                    o.address = p.address;
                    o.outcome = "not-run";
                    o.textUnitsSent = 0;
                    o.versionBefore = p.versionNow;
                    o.rule = p.rule;
                    deviceOutcome(i, o);
                }
            }
        }
        int notRun = 0;
        for (const auto& r : report_->records()) {
            notRun += r.bus == b.bus->name && r.outcome.outcome == "not-run";
        }
        const std::string outcome = interrupted_                      ? "interrupted"
                                    : b.wholeFailed || b.failures > 0 ? "failed"
                                    : notRun > 0                      ? "stopped"
                                                                      : "okay";
        std::optional<double> searchSeconds;
        if (b.searchedMs >= 0) {
            searchSeconds = static_cast<double>(b.searchedMs - b.startedMs) / 1000;
        }
        report_->bus(*b.bus, outcome, b.message, b.seconds, searchSeconds);
        progress_.busEnded(i, outcome);
    }

    // --- the simulated machine ---
    bool startSimulation() {
        std::vector<std::string> args{options_.file, "--bus", "-", "--mode", "simulation"};
        if (!options_.simTrace.empty()) {
            args.insert(args.end(), {"--sim-trace", options_.simTrace});
        }
        auto w = spawn(args, {});
        if (!w) {
            return false;
        }
        w->role = Role::Simulation;
        simulation_ = w.get();
        workers_.push_back(std::move(w));
        const int64_t until = nowMs() + kSimulationReadyMs;
        loop([&] { return simReady_ || simFailed_ || nowMs() > until || simulation_->out < 0; });
        if (!simReady_) {
            std::fprintf(stderr, "bootloader machine: the simulated machine could not start%s\n",
                         simError_.empty() ? "" : (": " + simError_).c_str());
        }
        return simReady_;
    }

    void simulationMessage(const protocol::Message& m) {
        if (m.word == "sim-can") {
            simCanPort_ = static_cast<int>(m.getInt("port").value_or(0));
        } else if (m.word == "sim-board" && m.get("bus") && m.get("driver-dir") &&
                   m.get("registry")) {
            simBoards_[*m.get("bus")] = {"NUBOXLINK_DRIVER_DIR=" + *m.get("driver-dir"),
                                         "NUBOXLINK_REGISTRY=" + *m.get("registry")};
        } else if (m.word == "ready") {
            simReady_ = true;
        } else if (m.word == "dumped") {
            simDumped_ = true;
            simDumpOk_ = m.get("ok") && *m.get("ok") == "1";
        } else if (m.word == protocol::kEnd) {
            simFailed_ = true;
            simError_ = m.get("message") ? *m.get("message") : "";
        }
    }

    void finishSimulation() {
        if (simulation_ == nullptr) {
            return;
        }
        if (!options_.simDump.empty() && simulation_->out >= 0) {
            sendLine(*simulation_, protocol::format({"dump", {{"dir", options_.simDump}}}));
            const int64_t until = nowMs() + kSimulationReadyMs;
            loop([&] { return simDumped_ || nowMs() > until || simulation_->out < 0; });
            if (!simDumpOk_) {
                std::fprintf(stderr,
                             "bootloader machine: the simulated devices could not be "
                             "written to %s\n",
                             options_.simDump.c_str());
            }
        }
        ::close(simulation_->in);
        simulation_->in = -1;
        const int64_t until = nowMs() + kSimulationReadyMs;
        loop([&] { return simulation_->reaped() || nowMs() > until; });
        if (!simulation_->reaped()) {
            kill(*simulation_, SIGKILL);
        }
    }

    const Machine& machine_;
    const MachineOptions& options_;
    bool apply_;
    MachineProgress progress_;
    std::unique_ptr<MachineReport> report_;
    std::vector<BusState> buses_;
    std::vector<std::unique_ptr<Worker>> workers_;
    int machineFailures_ = 0;
    bool machineStopped_ = false;
    bool interrupted_ = false;
    Worker* simulation_ = nullptr;
    int simCanPort_ = 0;
    std::map<std::string, std::vector<std::string>> simBoards_;
    bool simReady_ = false;
    bool simFailed_ = false;
    bool simDumped_ = false;
    bool simDumpOk_ = false;
    std::string simError_;
};

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::optional<Machine> load(const MachineOptions& o, int* status) {
    machine::Fault fault;
    auto m = loadCheckedMachine(o.file, &fault);
    if (!m) {
        std::fprintf(stderr, "%s\n", fault.message.c_str());
        *status = fault.status;
        return std::nullopt;
    }
    if (o.simulate) {
        if (std::string why = checkSimulation(*m); !why.empty()) {
            std::fprintf(stderr, "%s\n", why.c_str());
            *status = exitcode::kUsage;
            return std::nullopt;
        }
    }
    return m;
}

void installHandlers() {
    headless::installInterruptHandler();
    struct sigaction action {};
    action.sa_handler = onTerminate;
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int runPlan(const MachineOptions& o) {
    int status = exitcode::kOk;
    auto m = load(o, &status);
    if (!m) {
        return status;
    }
    installHandlers();
    Coordinator c(*m, o, false);
    if (!c.run()) {
        return headless::interrupted() ? exitcode::kInterrupted : exitcode::kBusFailed;
    }
    std::vector<machine::PlanOfBus> plans;
    bool allSearched = true;
    for (const BusState& b : c.buses()) {
        machine::PlanOfBus p{b.bus, b.search, b.plan.value_or(machine::BusPlan{})};
        if (!b.search.searched) {
            p.search.message = b.message;
            allSearched = false;
        }
        plans.push_back(p);
    }
    if (o.json) {
        std::printf(
            "%s\n",
            headless::jsonText(machine::planDocument(*m, plans, headless::utcNow())).c_str());
    } else {
        std::printf("Machine %s (%s)\n", m->name.c_str(), m->file.c_str());
        for (const auto& p : plans) {
            std::string what =
                p.bus->kind == BusKind::Can
                    ? p.bus->interface + ", " + std::to_string(p.bus->kbit) + " kbit/s"
                    : "board " + std::to_string(p.bus->board) + ", " + p.bus->baud;
            if (p.search.searched) {
                char estimate[32];
                std::snprintf(estimate, sizeof estimate, "%.1f",
                              p.plan.estimateSeconds.value_or(0));
                std::printf("Bus %s (%s): %zu device(s) found, about %s s\n", p.bus->name.c_str(),
                            what.c_str(), p.search.devices.size(), estimate);
            } else {
                std::printf("Bus %s (%s): not searched: %s\n", p.bus->name.c_str(), what.c_str(),
                            p.search.message.c_str());
            }
        }
        headless::printTable(machine::planTable(*m, plans), "no device found or named");
    }
    std::fflush(stdout);
    if (c.interrupted()) {
        return exitcode::kInterrupted;
    }
    return allSearched ? exitcode::kOk : exitcode::kBusFailed;
}

int runApply(const MachineOptions& o) {
    int status = exitcode::kOk;
    auto m = load(o, &status);
    if (!m) {
        return status;
    }
    installHandlers();
    Coordinator c(*m, o, true);
    if (!c.report()->open()) {
        std::fprintf(stderr, "bootloader machine: cannot write the report %s\n", o.report.c_str());
        return exitcode::kUsage;
    }
    const double cpuBefore = cpuSeconds();
    if (!c.run()) {
        return headless::interrupted() ? exitcode::kInterrupted : exitcode::kBusFailed;
    }
    MachineReport& report = *c.report();
    const bool written = report.finish(c.interrupted(), cpuSeconds() - cpuBefore);
    bool wholeFailed = false;
    for (const BusState& b : c.buses()) {
        wholeFailed = wholeFailed || b.wholeFailed;
    }
    if (o.json) {
        std::printf("%s\n", headless::jsonText(report.document()).c_str());
    } else {
        std::vector<std::vector<std::string>> rows{
            {"Bus", "Address", "Outcome", "Before", "After", "Image"}};
        for (const auto& r : report.records()) {
            rows.push_back({r.bus, std::to_string(r.outcome.address), r.outcome.outcome,
                            r.outcome.versionBefore ? printableText(*r.outcome.versionBefore) : "-",
                            r.outcome.versionAfter ? printableText(*r.outcome.versionAfter) : "-",
                            r.image.empty() ? "-" : r.image});
        }
        headless::printTable(rows, "no device named");
        std::printf("%d of %zu device(s) updated, %d current%s\n", report.count("okay"),
                    report.records().size(), report.count("current"),
                    c.interrupted() ? " (interrupted)" : "");
    }
    std::fflush(stdout);
    if (!written) {
        std::fprintf(stderr, "bootloader machine: the report %s could not be written\n",
                     o.report.c_str());
    }
    if (c.interrupted()) {
        return exitcode::kInterrupted;
    }
    if (wholeFailed) {
        return exitcode::kBusFailed;
    }
    const bool allDone =
        report.count("okay") + report.count("current") == static_cast<int>(report.records().size());
    if (!written) {
        return exitcode::kOutputFailed;
    }
    return allDone ? exitcode::kOk : exitcode::kDeviceFailed;
}

}  // namespace romtide::machinecli
