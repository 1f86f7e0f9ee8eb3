// nubox-board-server: serves this computer's nuBOX boards (real or simulated, as the
// registry configures them) to nuboxlink programs on other computers. It uses
// libnuboxlink.so like any program does, so a board works here exactly as it works
// locally.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/text_parse.h"
#include "board_server/board_server.h"
#include "board_server/library_board_access.h"
#include "cli/command_line.h"
#include "nuboxlink/remote/remote_protocol.h"

namespace {

constexpr int kFailStatus = 1;
constexpr long kMaxPort = 65535;
constexpr long kMaxDevice = 15;

const char* const kDescription =
    "Serves the local boards N (0-15, as configured in the nuboxlink registry) to nuboxlink "
    "programs on other computers, device N on TCP port base + N, one client per board at a "
    "time.";
const char* const kFooter =
    "Listens on the loopback address 127.0.0.1 unless --bind names another (a numeric IPv4\n"
    "or IPv6 address): across a network, reach it through an SSH tunnel, since the\n"
    "protocol's greeting only proves that a client speaks it.\n"
    "Prints 'ready' once it listens; SIGINT or SIGTERM ends it.";

std::mutex g_logMutex;

void logLine(const std::string& text) {
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "nubox-board-server: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    board_server::ServerOptions options;
    options.portBase = nuboxlink::remote::kPortBase;
    CLI::App app;
    romtide::cli::prepare(app, "nubox-board-server", kDescription);
    app.footer(kFooter);
    romtide::cli::addRepeatable(
        app, "--device",
        [&](const std::string& v) {
            int n = 0;
            if (!romtide::parseInt(v, 0, kMaxDevice, &n)) {
                romtide::cli::refuse("--device: a device number 0-15: " + v);
            }
            for (uint8_t d : options.devices) {
                if (d == n) {
                    romtide::cli::refuse("--device " + v + " given twice");
                }
            }
            options.devices.push_back(static_cast<uint8_t>(n));
        },
        "A local device to serve (repeatable)")
        ->option_text("N")
        ->required();
    app.add_option_function<std::string>(
           "--port-base",
           [&](const std::string& v) {
               int n = 0;
               if (!romtide::parseInt(v, 1, kMaxPort - kMaxDevice, &n)) {
                   romtide::cli::refuse("--port-base: 1-65520: " + v);
               }
               options.portBase = static_cast<unsigned>(n);
           },
           "Device N is served on port BASE + N (default 5000)")
        ->option_text("BASE");
    app.add_option("--bind", options.bind, "The address to listen on (default 127.0.0.1)")
        ->option_text("ADDR");
    if (auto status = romtide::cli::parse(app, argc, argv)) {
        return *status;
    }

    board_server::LibraryBoardAccess boards;
    for (uint8_t d : options.devices) {
        DeviceInfo info{};
        if (boards.getDeviceInfo(d, &info) == 0 && info.kind == 0) {
            logLine("device " + std::to_string(d) + " is not configured in the registry (" +
                    (std::getenv("NUBOXLINK_REGISTRY") ? std::getenv("NUBOXLINK_REGISTRY")
                                                       : "/etc/nuboxlink/registry.reg") +
                    ")");
            return kFailStatus;
        }
        if (info.kind != 0 && !info.present) {
            logLine("device " + std::to_string(d) +
                    ": its board is not there now; clients will be told when they configure it");
        }
    }

    // Only the main thread takes the stop signals; the serving threads inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    romtide::SteadyClock clock;
    board_server::BoardServer server(boards, clock, options, logLine);
    std::string error;
    if (!server.start(&error)) {
        logLine(error);
        return kFailStatus;
    }
    for (uint8_t d : options.devices) {
        logLine("device " + std::to_string(d) + " on " + server.where(d));
    }
    if (server.loopbackOnly()) {
        const std::string port = std::to_string(options.portBase + options.devices[0]);
        logLine(
            "listening on the loopback address: only programs on this computer can connect; "
            "from another computer use an SSH tunnel (ssh -N -L " +
            port + ":127.0.0.1:" + port + " this-computer)");
    } else {
        logLine(
            "listening beyond this computer: anyone who reaches these ports can drive the "
            "boards, the greeting is no protection; prefer the loopback address and an SSH "
            "tunnel");
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    logLine(std::string("ending on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    return 0;
}
