// nuboxlink speed figures on simulated boards: per-call cost of the process-data calls
// through the channel-call gate, report latency from the firmware to the watch
// callback, and the CPU that one idle watched channel costs.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "nuboxlink/interface/library.h"
#include "sim/nubox/in_process_platform.h"

namespace {

using namespace std::chrono;

struct Bench {
    explicit Bench(bool virtualTime) : platform(virtualTime), lib(platform) {
        nubox_sim::BoardSetup setup;
        setup.kind = nubox_sim::BoardKind::Pci;
        setup.id = 0x42;
        board = &platform.addBoard(setup);
        platform.setDevice(0,
                           nuboxlink::RegValues{{"PCI-Board", nuboxlink::RegValue::ofDword(0x42)}});
        configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
        configs[0].channels[0].parameter = 6000;
        if (!virtualTime) {
            platform.startFirmwareThread();
        }
        ok = lib.initDll(configs, 1, nullptr, nullptr) == 0;
        if (!virtualTime) {
            platform.stopFirmwareThread();
        }
    }
    nubox_sim::InProcessPlatform platform;
    nuboxlink::Library lib;
    nubox_sim::SimBoard* board = nullptr;
    DeviceConfig configs[16] = {};
    bool ok = false;
};

void BM_ReadInputData20(benchmark::State& state) {
    Bench b(true);
    uint8_t in[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.lib.dpemReadInputData(0, 0, in, 100, 20, 3));
    }
    if (!b.ok) {
        state.SkipWithError("board not configured");
    }
}
BENCHMARK(BM_ReadInputData20);

void BM_WriteOutputData20(benchmark::State& state) {
    Bench b(true);
    uint8_t out[20] = {};
    for (auto _ : state) {
        out[0]++;
        benchmark::DoNotOptimize(b.lib.dpemWriteOutputData(0, 0, out, 100, 20, 3));
    }
    if (!b.ok) {
        state.SkipWithError("board not configured");
    }
}
BENCHMARK(BM_WriteOutputData20);

std::atomic<int64_t> g_calledNs{0};

int64_t nowNs() {
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void markCall(uint8_t, uint8_t, uint32_t) {
    int64_t expected = 0;
    g_calledNs.compare_exchange_strong(expected, nowNs());
}

// From the firmware putting a report into the DPR to the application's callback, with
// the 1 ms channel timer and a 1 ms callback period.
void BM_ReportLatency(benchmark::State& state) {
    Bench b(false);
    if (!b.ok || b.lib.watchMailbox(0, 0, markCall, 0, 1) != 0) {
        state.SkipWithError("watch could not start");
        return;
    }
    std::vector<double> us;
    for (auto _ : state) {
        for (int i = 0; i < 300; ++i) {
            g_calledNs = 0;
            b.board->postReport(0, {0x99});
            const int64_t placed = nowNs();
            b.board->step();  // the firmware's pass that puts the report
            while (g_calledNs.load() == 0) {
                std::this_thread::yield();
            }
            us.push_back((g_calledNs.load() - placed) / 1000.0);
            uint8_t report[256];
            while (b.lib.dpemGetReport(0, 0, report) == 0) {
            }
            std::this_thread::sleep_for(microseconds(300));
        }
    }
    b.lib.stopWatchThread(0, 0);
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
}
BENCHMARK(BM_ReportLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

double processCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// One watched channel with nothing to report: the 1 ms poll and the notifier.
void BM_IdleWatchCpu(benchmark::State& state) {
    Bench b(false);
    if (!b.ok || b.lib.watchMailbox(0, 0, markCall, 0, 10) != 0) {
        state.SkipWithError("watch could not start");
        return;
    }
    double share = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        const auto wall0 = steady_clock::now();
        std::this_thread::sleep_for(seconds(2));
        const double wall = duration<double>(steady_clock::now() - wall0).count();
        share = (processCpuSeconds() - cpu0) / wall;
    }
    b.lib.stopWatchThread(0, 0);
    state.counters["cpu_percent"] = share * 100.0;
}
BENCHMARK(BM_IdleWatchCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// InitDll's registry reading for a large file: one parse of 40 000 keys.
void BM_RegistryParse40000Keys(benchmark::State& state) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; i < 40000; ++i) {
        text += "[" + std::string(nuboxlink::kDevicesKey) + "\\" + std::to_string(i) +
                "]\n\"PCI-Board\"=dword:00000042\n";
    }
    for (auto _ : state) {
        auto file = nuboxlink::parseRegFile(text);
        benchmark::DoNotOptimize(file);
        auto devices = file ? nuboxlink::devicesOf(*file) : std::nullopt;
        if (!devices || !(*devices)[15]) {
            state.SkipWithError("the file did not parse");
        }
    }
}
BENCHMARK(BM_RegistryParse40000Keys)->Unit(benchmark::kMillisecond);

// 4000 keys and then a [-KEY] line for each (as tools that export deletions write
// them): linear in the file, where each removal once scanned and re-indexed every key.
void BM_RegistryParse4000Removals(benchmark::State& state) {
    std::string text = "REGEDIT4\n[" + nuboxlink::deviceKeyName(0) + "]\n\"PCI-Board\"=dword:1\n";
    auto key = [](int i) {
        return std::string(nuboxlink::kDevicesKey) + "\\Other\\" + std::to_string(i);
    };
    for (int i = 0; i < 4000; ++i) {
        text += "[" + key(i) + "]\n\"x\"=dword:1\n";
    }
    for (int i = 0; i < 4000; ++i) {
        text += "[-" + key(i) + "]\n";
    }
    for (auto _ : state) {
        auto file = nuboxlink::parseRegFile(text);
        benchmark::DoNotOptimize(file);
        if (!file || file->keys.size() != 1) {
            state.SkipWithError("the file did not parse");
        }
    }
}
BENCHMARK(BM_RegistryParse4000Removals)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
