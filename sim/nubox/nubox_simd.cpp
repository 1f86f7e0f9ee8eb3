// nubox-simd: serves simulated nuBOX boards as driver endpoints, so that programs using
// libnuboxlink reach them exactly as they would reach boards behind a real driver.
//
//   nubox-simd --driver-dir DIR --board BOARD [--station DEVICE ...] [--board ...]
//              [--sim-dump DIR]
//
// A board with stations runs a DP master on its first DP master channel, with a
// simulated DP segment of those stations in real time. Prints "ready" once every
// endpoint listens; on SIGTERM or SIGINT writes the stations' flash (--sim-dump) and
// removes the endpoints.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "sim/nubox/endpoint_server.h"
#include "sim/nubox/profibus_segment.h"
#include "sim/nubox/sim_board.h"
#include "sim/nubox/sim_usb.h"
#include "sim/profibus/station_option.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = romtide::cli::kBadArguments;

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int) {
    g_stop = true;
}

const char* const kFooter =
    "BOARD: isa:N[:dpr=16384|32768|65536] | pci:SLOT:ID | usb:SLOT:ID | card:SLOT:SOCKET,\n"
    "       each optionally followed by ,hang\n"
    "DEVICE: a simulated DP station on the segment of the board before it:\n"
    "       addr=N[,ppo=1|2][,ident=0xHHHH][,version=A.B.C][,boot=A.B.C]\n"
    "       [,mode=app|boot][,delay=US]\n"
    "       [,fail=noack@N|error@N:CODE|erase|gone@N|finish:CODE|stale|silent-after]\n"
    "Prints 'ready' once every endpoint listens; SIGTERM or SIGINT writes the stations'\n"
    "flash (--sim-dump) and removes the endpoints.";

struct BoardArg {
    nubox_sim::BoardSetup setup;
    romtide::sim::DpSegmentConfig segment;
};

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    std::string dumpDir;
    std::vector<BoardArg> args;

    CLI::App app;
    romtide::cli::prepare(app, "nubox-simd",
                          "Serves simulated nuBOX boards as driver endpoints, so that programs "
                          "using libnuboxlink reach them as they would reach boards behind a "
                          "real driver.");
    app.footer(kFooter);
    app.add_option("--driver-dir", dir, "Where the driver endpoints are made")
        ->option_text("DIR")
        ->required();
    // A station belongs to the board before it: both are taken in command-line order.
    app.add_option_function<std::string>(
           "--board",
           [&](const std::string& v) {
               auto setup = nubox_sim::parseBoardSetup(v);
               if (!setup) {
                   romtide::cli::refuse("bad board '" + v + "'");
               }
               args.push_back({*setup, {}});
           },
           "A simulated board (repeatable)")
        ->option_text("BOARD")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->required();
    app.add_option_function<std::string>(
           "--station",
           [&](const std::string& v) {
               std::string error;
               auto station = romtide::sim::parseDpStationOption(v, &error);
               if (!station) {
                   romtide::cli::refuse(error);
               }
               if (args.empty() || args.back().setup.kind == nubox_sim::BoardKind::Usb) {
                   romtide::cli::refuse("--station '" + v +
                                        "' needs a --board (not a USB box) before it");
               }
               args.back().segment.encoders.push_back(*station);
           },
           "A simulated DP station behind the board before it (repeatable)")
        ->option_text("DEVICE")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--sim-dump", dumpDir,
                   "At the end, DIR/station-N.srec with each station's flash "
                   "(DIR/DEVICE-NAME/station-N.srec when several boards have stations)")
        ->option_text("DIR");
    if (auto status = romtide::cli::parse(app, argc, argv)) {
        return *status;
    }
    struct stat folder {};
    if (stat(dir.c_str(), &folder) == 0 && !S_ISDIR(folder.st_mode)) {
        std::fprintf(stderr, "nubox-simd: %s\n",
                     nubox_sim::driverFolderProblem(dir, ENOTDIR).c_str());
        return kExitFailed;
    }
    // A folder made here and never served from goes again.
    const bool madeFolder = mkdir(dir.c_str(), 0755) == 0;
    if (!madeFolder && errno != EEXIST) {
        const int error = errno;
        std::string problem = nubox_sim::driverFolderProblem(dir, error);
        if (problem.empty()) {
            problem = "cannot create the driver folder " + dir + ": " + std::strerror(error);
        }
        std::fprintf(stderr, "nubox-simd: %s\n", problem.c_str());
        return kExitFailed;
    }
    size_t withStations = 0;
    for (const BoardArg& a : args) {
        if (a.segment.encoders.empty()) {
            continue;
        }
        ++withStations;
        if (std::string why = romtide::sim::checkDpSegment(a.segment); !why.empty()) {
            std::fprintf(stderr, "nubox-simd: %s on board %s\n", why.c_str(),
                         nubox_sim::deviceName(a.setup).c_str());
            if (madeFolder) {
                rmdir(dir.c_str());
            }
            return kExitUsage;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    romtide::SteadyClock clock;
    std::unique_ptr<romtide::sim::RealTimeScheduler> scheduler;
    if (withStations > 0) {
        scheduler = std::make_unique<romtide::sim::RealTimeScheduler>();
    }
    std::vector<std::unique_ptr<nubox_sim::SimDevice>> boards;
    std::vector<std::pair<std::string, std::unique_ptr<nubox_sim::ProfibusSegment>>> segments;
    nubox_sim::EndpointServer server(dir);
    int status = 0;
    for (const BoardArg& a : args) {
        const std::string name = nubox_sim::deviceName(a.setup);
        if (a.setup.kind == nubox_sim::BoardKind::Usb) {
            boards.push_back(std::make_unique<nubox_sim::SimUsbBox>(a.setup));
        } else {
            auto board = std::make_unique<nubox_sim::SimBoard>(a.setup, clock);
            if (!a.segment.encoders.empty()) {
                segments.emplace_back(name, std::make_unique<nubox_sim::ProfibusSegment>(
                                                *board, *scheduler, a.segment));
            }
            boards.push_back(std::move(board));
        }
        std::string error;
        if (!server.add(*boards.back(), name, &error)) {
            std::fprintf(stderr, "nubox-simd: %s\n", error.c_str());
            status = kExitFailed;
            break;
        }
    }
    if (status == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
        server.run(g_stop);
    }

    if (scheduler) {
        scheduler->stop();
    }
    if (status == 0 && !dumpDir.empty()) {
        for (const auto& [name, segment] : segments) {
            const std::string to = withStations > 1 ? dumpDir + "/" + name : dumpDir;
            if (std::string why = segment->dumpStations(to); !why.empty()) {
                std::fprintf(stderr, "nubox-simd: %s\n", why.c_str());
                status = kExitFailed;
            }
        }
    }
    segments.clear();
    if (status != 0 && madeFolder) {
        rmdir(dir.c_str());
    }
    return status;
}
