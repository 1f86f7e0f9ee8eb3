// Remote boards: what one request costs from the caller through the worker thread, the
// loopback connection and the board server to the board and back. Every DP master call
// on a remote board is such a round trip, so this bounds how fast a download through a
// board server can go.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "board_server/board_server.h"
#include "nuboxlink/interface/library.h"
#include "nuboxlink/remote/remote_protocol.h"
#include "sim/nubox/in_process_platform.h"
#include "tests/board_server/fake_board.h"

namespace {

struct RemoteBench {
    RemoteBench() {
        board.recording = false;
        for (unsigned k = static_cast<unsigned>(getpid()) % 200; k < 240 && !server; ++k) {
            board_server::ServerOptions options;
            options.devices = {0};
            options.portBase = nuboxlink::remote::kPortBase + k;
            auto s = std::make_unique<board_server::BoardServer>(board, clock, options,
                                                                 [](const std::string&) {});
            std::string error;
            if (s->start(&error)) {
                server = std::move(s);
                platform.setDevice(
                    0, nuboxlink::RegValues{
                           {"RemoteMachine", nuboxlink::RegValue::ofString("127.0.0.1")},
                           {"RemoteDevice", nuboxlink::RegValue::ofDword(k)}});
            }
        }
        configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
        configs[0].channels[0].parameter = 6000;
        ok = server && lib.initDll(configs, 1, nullptr, nullptr) == 0;
    }
    ~RemoteBench() { lib.resetDevice(0, 0); }

    board_server_test::FakeBoard board;
    romtide::SteadyClock clock;
    std::unique_ptr<board_server::BoardServer> server;
    nubox_sim::InProcessPlatform platform{/*virtualTime=*/false};
    nuboxlink::Library lib{platform};
    DeviceConfig configs[16] = {};
    bool ok = false;
};

void BM_RemoteReadInputData20(benchmark::State& state) {
    RemoteBench b;
    uint8_t in[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.lib.dpemReadInputData(0, 0, in, 100, 20, 3));
    }
    if (!b.ok) {
        state.SkipWithError("remote board not configured");
    }
}
BENCHMARK(BM_RemoteReadInputData20)->UseRealTime();

void BM_RemoteWriteOutputData20(benchmark::State& state) {
    RemoteBench b;
    uint8_t out[20] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.lib.dpemWriteOutputData(0, 0, out, 100, 20, 3));
    }
    if (!b.ok) {
        state.SkipWithError("remote board not configured");
    }
}
BENCHMARK(BM_RemoteWriteOutputData20)->UseRealTime();

void BM_RemoteGetReport(benchmark::State& state) {
    RemoteBench b;
    uint8_t report[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.lib.dpemGetReport(0, 0, report));
    }
    if (!b.ok) {
        state.SkipWithError("remote board not configured");
    }
}
BENCHMARK(BM_RemoteGetReport)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
