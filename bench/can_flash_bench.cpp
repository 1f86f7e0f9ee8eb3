// Flashes a 64 KiB image of S2 records into one simulated device, in real time at
// 1000 and 125 kbit/s, and reports wall time, text units per second, the ratio to what
// the bus itself needs (request and acknowledgement frames, as the simulated bus
// accounts them) and to the ideal (both frames and the device's answer time), where a
// unit's time goes, and CPU time per second of transfer. Then the host's own time per
// unit with a device that answers in no time on a bus that takes no time.
//
//   can_flash_bench [--default-slack] [--interface URI] [KBIT]
//
// KBIT alone runs that rate; 0 runs only the virtual-time part (for callgrind, which
// counts the host's instructions per unit whatever the machine's load). With
// --interface (socketcan:vcan0, in scripts/can-kernel) the program reaches the device
// through that interface instead of the in-process bus: the device's bus, with the same
// wire time, is joined to the interface by a bridge, so the lines show beside the
// in-process bus's what the kernel's path adds to a unit.
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "session/tbootloader.h"
#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/canbus/bus_bridge.h"
#include "sim/core/scheduler.h"
#include "sim/core/srec.h"
#include "ui/event_pump.h"
#include "ui/widgets.h"
#include "vci/virtual_bus.h"

namespace {

using namespace romtide;

struct SilentMessages : ui::MessageBoxes {
    ui::MessageAnswer show(const ui::Message&) override { return ui::MessageAnswer::No; }
};

double seconds(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double processCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// CPU seconds of the thread that runs the simulated bus and device, read on that thread.
// The simulation runs in this process only because the benchmark needs a bus; the
// program's own CPU is what the process used minus this.
double simulationCpu(sim::SimScheduler& scheduler) {
    std::promise<double> cpu;
    auto done = cpu.get_future();
    scheduler.at(scheduler.nowUs(), [&cpu] { cpu.set_value(seconds(CLOCK_THREAD_CPUTIME_ID)); });
    return done.get();
}

std::string makeImage() {
    sim::FlashImage image;
    for (uint32_t i = 0; i < 64 * 1024; ++i) {
        image[0x010000 + i] = static_cast<uint8_t>(i * 31 + 7);
    }
    std::string path = "/tmp/romtide-bench-" + std::to_string(::getpid()) + ".mhx";
    std::ofstream(path, std::ios::binary) << sim::writeSrec(image, "BENCH", 0x010000);
    return path;
}

int baudIndexOf(int kbit) {
    for (size_t i = 0; i < TCANComm::kBitRates.size(); ++i) {
        if (TCANComm::kBitRates[i].kbit == kbit) {
            return static_cast<int>(i);
        }
    }
    return 2;
}

// Where a unit's time goes, from a node that listens on the bus (it hears every frame
// when the bus hands it over, with the time the frame ended on the wire) and from the
// pump (when the receive path posted the acknowledgement and when the protocol ran it).
// Averages over the transfer's units, in microseconds:
//   wire        request and acknowledgement on the wire
//   device      the request's end to the acknowledgement's start: the device's answer
//               time, plus what the simulation adds to it
//   delivery    the acknowledgement's end on the wire to the library's receive callback
//               having posted it (the simulation's scheduler, the library)
//   wake        posted to run on the user-interface thread (the pump's sleep ending)
//   protocol    run there to the next request starting on the wire (reading the buffer,
//               the next unit, the send)
// Through an interface, delivery and protocol each hold one way of the kernel's path.
class Breakdown final : public vci::VirtualBusNode {
  public:
    Breakdown(sim::SimBus& bus, uint32_t bitRate) : bus_(bus) {
        handle_ = bus_.attach(*this, bitRate);
    }
    ~Breakdown() override { bus_.detach(handle_); }

    // On the simulation's thread, after the device and before the program's node (which
    // InitCan attaches later) have the frame.
    void onFrame(const vci::CanFrame& frame, int64_t endUs) override {
        // Taken from the bus's stats: what the wire time of this frame came to.
        const int64_t busy = bus_.stats().busyUs;
        std::lock_guard lock(mutex_);
        const int64_t duration = busy - lastBusy_;
        lastBusy_ = busy;
        if (frame.id == 0x605 && frame.data[0] == 0x23) {
            requestStart_ = endUs - duration;
            if (ackEnd_ >= 0 && ranUs_ >= 0) {
                protocol_.push_back(requestStart_ - ranUs_);
            }
            wire_.push_back(duration);
            requestEnd_ = endUs;
            ackEnd_ = -1;
        } else if (frame.id == 0x585 && frame.data[0] == 0x60 && requestEnd_ >= 0) {
            wire_.back() += duration;
            device_.push_back(endUs - duration - requestEnd_);
            ackEnd_ = endUs;
            postedUs_ = -1;
            ranUs_ = -1;
        }
    }
    // The receive callback posted the acknowledgement: the first post after it ended.
    void posted(int64_t now) {
        std::lock_guard lock(mutex_);
        if (postedUs_ < 0 && ackEnd_ >= 0) {
            postedUs_ = now;
        }
    }
    void ran(int64_t now) {
        std::lock_guard lock(mutex_);
        if (postedUs_ >= 0 && ranUs_ < 0) {
            ranUs_ = now;
            delivery_.push_back(postedUs_ - ackEnd_);
            wake_.push_back(ranUs_ - postedUs_);
        }
    }
    // Median and mean of each part: a busy machine delays a few units by milliseconds,
    // which moves the mean but not the median.
    void print(int kbit) const {
        std::lock_guard lock(mutex_);
        std::printf("%-10d", kbit);
        for (const auto* part : {&wire_, &device_, &delivery_, &wake_, &protocol_}) {
            std::vector<int64_t> v = *part;
            if (v.empty()) {
                std::printf(" %15s", "-");
                continue;
            }
            std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
            double sum = 0;
            for (int64_t x : v) {
                sum += static_cast<double>(x);
            }
            std::printf(" %6lld / %6.1f", static_cast<long long>(v[v.size() / 2]),
                        sum / static_cast<double>(v.size()));
        }
        std::printf("\n");
    }

  private:
    sim::SimBus& bus_;
    int handle_ = -1;
    mutable std::mutex mutex_;
    int64_t requestStart_ = -1, requestEnd_ = -1, ackEnd_ = -1;
    int64_t lastBusy_ = 0;
    int64_t postedUs_ = -1, ranUs_ = -1;
    std::vector<int64_t> wire_, device_, delivery_, wake_, protocol_;
};

// The headless pump, telling the breakdown when work is posted and when it runs.
class TimedPump final : public ui::QueuedEventPump {
  public:
    TimedPump(const Clock& clock, Breakdown* breakdown) : clock_(clock), breakdown_(breakdown) {}
    void post(std::function<void()> fn) override {
        if (breakdown_ == nullptr) {
            QueuedEventPump::post(std::move(fn));
            return;
        }
        breakdown_->posted(clock_.nowUs());
        QueuedEventPump::post([this, fn = std::move(fn)] {
            breakdown_->ran(clock_.nowUs());
            fn();
        });
    }

  private:
    const Clock& clock_;
    Breakdown* breakdown_;
};

struct Result {
    bool ok = false;
    double wall = 0;
    double transfer = 0;
    uint64_t units = 0;
    double busSeconds = 0;
    double idealSeconds = 0;
    double processCpu = 0;
    double simulationCpu = 0;  // of processCpu, the simulated bus and device (real time only)
    double uiThreadCpu = 0;
};

// The protocol's own pauses in DownloadFile with an erase that is done at the second
// look: one erase poll of 200 ms, then 50 + 100 ms around the end of download.
constexpr double kProtocolPauses = 0.350;

// `realTime` is stopped before the bus and the device go, so none of its events runs
// on them afterwards. With `interface` empty the program is a node of the device's bus.
Result flash(Clock& clock, sim::SimScheduler& scheduler, int kbit, int64_t answerDelayUs,
             const std::string& image, sim::RealTimeScheduler* realTime,
             const std::string& interface = {}, bool breakdown = false) {
    Result r;
    sim::SimBus bus(scheduler, "bench");
    sim::SimDeviceConfig c;
    c.node = 5;
    c.kbit = kbit;
    c.answerDelayUs = answerDelayUs;
    c.eraseUs = 1000;
    c.startsInBootloader = true;
    sim::SimCanDevice device(bus, c);
    std::unique_ptr<Breakdown> listener;
    if (breakdown) {
        listener = std::make_unique<Breakdown>(bus, static_cast<uint32_t>(kbit) * 1000);
    }
    struct StopFirst {
        sim::RealTimeScheduler* scheduler;
        ~StopFirst() {
            if (scheduler != nullptr) {
                scheduler->stop();
            }
        }
    } stopFirst{realTime};
    // Closed before the simulation stops: its last answers find the link gone.
    std::unique_ptr<sim::BusBridge> bridge;
    if (!interface.empty()) {
        bridge = std::make_unique<sim::BusBridge>(bus, static_cast<uint32_t>(kbit) * 1000);
        std::string error;
        if (!bridge->open(interface, &error)) {
            std::fprintf(stderr, "can_flash_bench: %s\n", error.c_str());
            return r;
        }
    }
    ::setenv("ROMTIDE_CAN_INTERFACE", interface.empty() ? bus.uri().c_str() : interface.c_str(), 1);

    TimedPump pump(clock, listener.get());
    SilentMessages messages;
    Services services{clock, pump, messages};
    Tbootloader::resetSharedState();
    {
        Tbootloader session(services);
        ui::PlainProgressBar bar;
        struct FixedDialog : ui::OpenFileDialog {
            std::string path;
            std::optional<std::string> choose(const ui::OpenFileOptions&) override { return path; }
        } dialog;
        dialog.path = image;
        if (session.canComm->SelectBoard() != 1 || session.OpenFile(dialog) != 0 ||
            session.CheckFile() != 0) {
            return r;
        }
        TCANComm::SetBaudIndex(baudIndexOf(kbit));
        session.SetNodeId(5);
        session.canComm->InitCan(0, 0x585);

        auto bus0 = bus.stats().busyUs;
        auto wall0 = std::chrono::steady_clock::now();
        double cpu0 = processCpu();
        double ui0 = seconds(CLOCK_THREAD_CPUTIME_ID);
        double sim0 = realTime != nullptr ? simulationCpu(scheduler) : 0.0;
        int32_t result = session.DownloadFile(bar);
        r.uiThreadCpu = seconds(CLOCK_THREAD_CPUTIME_ID) - ui0;
        r.simulationCpu = realTime != nullptr ? simulationCpu(scheduler) - sim0 : 0.0;
        r.processCpu = processCpu() - cpu0;
        r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        r.busSeconds = static_cast<double>(bus.stats().busyUs - bus0) * 1e-6;
        r.units = device.unitsReceived();
        r.transfer = realTime != nullptr ? r.wall - kProtocolPauses : r.wall;
        // What the wire and the device need: both frames of every unit as the bus counts
        // them (the few frames around the transfer are in it too) and the device's
        // answer time.
        r.idealSeconds = r.busSeconds + static_cast<double>(r.units * answerDelayUs) * 1e-6;
        r.ok = result == 0;
    }
    if (listener) {
        listener->print(kbit);
    }

    TCANComm::resetSharedState();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // Waits of a few microseconds are what a stop-and-wait transfer is made of: ask the
    // kernel not to stretch them by its default 50 us of timer slack.
    bool slack = false;
    std::string interface;
    std::vector<int> rates{1000, 125};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--default-slack") {
            slack = true;
        } else if (arg == "--interface" && i + 1 < argc) {
            interface = argv[++i];
        } else if (arg[0] != '-') {
            rates = {std::atoi(arg.c_str())};
            if (rates[0] == 0) {
                rates.clear();
            }
        } else {
            std::fprintf(stderr,
                         "usage: can_flash_bench [--default-slack] [--interface URI] [KBIT]\n");
            return 2;
        }
    }
    if (!slack) {
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    std::string image = makeImage();
    std::printf("64 KiB image of S2 records, one simulated device answering after 150 us%s%s\n\n",
                interface.empty() ? "" : ", reached through ", interface.c_str());
    std::vector<Result> results;
    std::printf(
        "where a unit's time goes, us per unit (median / mean)\n%-10s %15s %15s %15s "
        "%15s %15s\n",
        "kbit/s", "wire", "device", "delivery", "wake", "protocol");
    for (int kbit : rates) {
        SteadyClock clock;
        sim::RealTimeScheduler scheduler;
        results.push_back(flash(clock, scheduler, kbit, 150, image, &scheduler, interface, true));
    }
    std::printf("\n%-10s %9s %11s %9s %11s %12s %8s %14s %15s %17s\n", "kbit/s", "wall s",
                "transfer s", "units", "units/s", "bus-ideal", "ideal", "process CPU/s",
                "UI-thread CPU/s", "simulation CPU/s");
    for (size_t i = 0; i < rates.size(); ++i) {
        const Result& r = results[i];
        if (!r.ok) {
            std::printf("%-10d download failed\n", rates[i]);
            continue;
        }
        std::printf("%-10d %9.2f %11.2f %9llu %11.0f %11.1f%% %7.3fx %14.3f %15.3f %17.3f\n",
                    rates[i], r.wall, r.transfer, static_cast<unsigned long long>(r.units),
                    static_cast<double>(r.units) / r.transfer, 100.0 * r.busSeconds / r.transfer,
                    r.transfer / r.idealSeconds, r.processCpu / r.transfer,
                    r.uiThreadCpu / r.transfer, r.simulationCpu / r.transfer);
    }
    // Virtual time: the device answers at once and frames take no real time, so the wall
    // time per unit is what the host spends (protocol loop, library thread hand-off,
    // pump, and the simulation itself).
    // (Only on the in-process bus: an interface outside the process runs on real time.)
    VirtualClock virtualClock;
    sim::VirtualScheduler virtualScheduler(virtualClock);
    Result v;
    if (interface.empty()) {
        v = flash(virtualClock, virtualScheduler, 1000, 0, image, nullptr);
    }
    if (v.ok) {
        std::printf(
            "\nzero-latency device on virtual time: %llu units in %.2f s wall, %.1f us of "
            "host time per unit (%.1f us on the user-interface thread)\n",
            static_cast<unsigned long long>(v.units), v.wall,
            1e6 * v.wall / static_cast<double>(v.units),
            1e6 * v.uiThreadCpu / static_cast<double>(v.units));
    }
    // For scripts: one line per rate. `seconds` is the transfer, `ideal` what the wire and
    // the device need for it, `cpu` the program's CPU seconds during it: the process's,
    // less the thread that plays the bus and the device, which a real bus does not cost.
    for (size_t i = 0; i < rates.size(); ++i) {
        const Result& r = results[i];
        if (r.ok) {
            std::printf("rate=%d units=%llu seconds=%.3f ideal=%.3f cpu=%.3f\n", rates[i],
                        static_cast<unsigned long long>(r.units), r.transfer, r.idealSeconds,
                        r.processCpu - r.simulationCpu);
        }
    }
    ::unlink(image.c_str());
    return 0;
}
