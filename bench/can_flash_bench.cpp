// Flashes a 64 KiB image of S2 records into one simulated device, in real time at
// 1000 and 125 kbit/s, and reports wall time, text units per second, the ratio to what
// the bus itself needs (request and acknowledgement frames, as the simulated bus
// accounts them), and CPU time per second of transfer. Then the host's own time per
// unit with a device that answers in no time on a bus that takes no time.
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "session/tbootloader.h"
#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"
#include "sim/core/srec.h"
#include "ui/event_pump.h"
#include "ui/widgets.h"

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

struct Result {
    bool ok = false;
    double wall = 0;
    double transfer = 0;
    uint64_t units = 0;
    double busSeconds = 0;
    double processCpu = 0;
    double uiThreadCpu = 0;
};

// The protocol's own pauses in DownloadFile with an erase that is done at the second
// look: one erase poll of 200 ms, then 50 + 100 ms around the end of download.
constexpr double kProtocolPauses = 0.350;

// `realTime` is stopped before the bus and the device go, so none of its events runs
// on them afterwards.
Result flash(Clock& clock, sim::SimScheduler& scheduler, int kbit, int64_t answerDelayUs,
             const std::string& image, sim::RealTimeScheduler* realTime) {
    Result r;
    sim::SimBus bus(scheduler, "bench");
    sim::SimDeviceConfig c;
    c.node = 5;
    c.kbit = kbit;
    c.answerDelayUs = answerDelayUs;
    c.eraseUs = 1000;
    c.startsInBootloader = true;
    sim::SimCanDevice device(bus, c);
    struct StopFirst {
        sim::RealTimeScheduler* scheduler;
        ~StopFirst() {
            if (scheduler != nullptr) {
                scheduler->stop();
            }
        }
    } stopFirst{realTime};
    ::setenv("ROMTIDE_CAN_INTERFACE", bus.uri().c_str(), 1);

    ui::QueuedEventPump pump;
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
        int32_t result = session.DownloadFile(bar);
        r.uiThreadCpu = seconds(CLOCK_THREAD_CPUTIME_ID) - ui0;
        r.processCpu = processCpu() - cpu0;
        r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        r.busSeconds = static_cast<double>(bus.stats().busyUs - bus0) * 1e-6;
        r.units = device.unitsReceived();
        r.transfer = realTime != nullptr ? r.wall - kProtocolPauses : r.wall;
        r.ok = result == 0;
    }

    TCANComm::resetSharedState();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // Waits of a few microseconds are what a stop-and-wait transfer is made of: ask the
    // kernel not to stretch them by its default 50 us of timer slack.
    bool slack = argc > 1 && std::string(argv[1]) == "--default-slack";
    if (!slack) {
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    std::string image = makeImage();
    std::printf("64 KiB image of S2 records, one simulated device answering after 150 us\n\n");
    std::printf("%-10s %9s %11s %9s %11s %12s %14s %15s\n", "kbit/s", "wall s", "transfer s",
                "units", "units/s", "bus-ideal", "process CPU/s", "UI-thread CPU/s");
    std::vector<int> rates{1000, 125};
    if (argc > 1 + (slack ? 1 : 0)) {
        rates = {std::atoi(argv[argc - 1])};
    }
    for (int kbit : rates) {
        SteadyClock clock;
        sim::RealTimeScheduler scheduler;
        Result r = flash(clock, scheduler, kbit, 150, image, &scheduler);
        if (!r.ok) {
            std::printf("%-10d download failed\n", kbit);
            continue;
        }
        std::printf("%-10d %9.2f %11.2f %9llu %11.0f %11.1f%% %14.2f %15.2f\n", kbit, r.wall,
                    r.transfer, static_cast<unsigned long long>(r.units),
                    static_cast<double>(r.units) / r.transfer, 100.0 * r.busSeconds / r.transfer,
                    r.processCpu / r.transfer, r.uiThreadCpu / r.transfer);
    }
    // Virtual time: the device answers at once and frames take no real time, so the wall
    // time per unit is what the host spends (protocol loop, library thread hand-off,
    // pump, and the simulation itself).
    VirtualClock virtualClock;
    sim::VirtualScheduler virtualScheduler(virtualClock);
    Result v = flash(virtualClock, virtualScheduler, 1000, 0, image, nullptr);
    if (v.ok) {
        std::printf(
            "\nzero-latency device on virtual time: %llu units in %.2f s wall, %.1f us of "
            "host time per unit (%.1f us on the user-interface thread)\n",
            static_cast<unsigned long long>(v.units), v.wall,
            1e6 * v.wall / static_cast<double>(v.units),
            1e6 * v.uiThreadCpu / static_cast<double>(v.units));
    }
    ::unlink(image.c_str());
    return 0;
}
