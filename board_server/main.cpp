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
#include "nuboxlink/remote/remote_protocol.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailStatus = 1;
constexpr long kMaxPort = 65535;
constexpr long kMaxDevice = 15;

const char* const kUsage =
    "Usage: nubox-board-server --device N [--device N]... [--port-base 5000] [--bind ADDR]\n"
    "Serves the local boards N (0-15, as configured in the nuboxlink registry) to\n"
    "nuboxlink programs on other computers, device N on TCP port base + N, one client\n"
    "per board at a time. Listens on the loopback address 127.0.0.1 unless --bind names\n"
    "another (a numeric IPv4 or IPv6 address): across a network, reach it through an\n"
    "SSH tunnel, since the protocol's greeting only proves that a client speaks it.\n"
    "Prints 'ready' once it listens; SIGINT or SIGTERM ends it.\n";

std::mutex g_logMutex;

void log(const std::string& text) {
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "nubox-board-server: %s\n", text.c_str());
}

int usageError(const std::string& text) {
    log(text);
    std::fprintf(stderr, "%s", kUsage);
    return kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
    board_server::ServerOptions options;
    options.portBase = nuboxlink::remote::kPortBase;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        }
        if (i + 1 >= argc) {
            return usageError(a + " needs a value");
        }
        const char* v = argv[++i];
        if (a == "--device") {
            int n = 0;
            if (!romtide::parseInt(v, 0, kMaxDevice, &n)) {
                return usageError(std::string("--device: a device number 0-15: ") + v);
            }
            for (uint8_t d : options.devices) {
                if (d == n) {
                    return usageError(std::string("--device ") + v + " given twice");
                }
            }
            options.devices.push_back(static_cast<uint8_t>(n));
        } else if (a == "--port-base") {
            int n = 0;
            if (!romtide::parseInt(v, 1, kMaxPort - kMaxDevice, &n)) {
                return usageError(std::string("--port-base: 1-65520: ") + v);
            }
            options.portBase = static_cast<unsigned>(n);
        } else if (a == "--bind") {
            options.bind = v;
        } else {
            return usageError("unknown option " + a);
        }
    }
    if (options.devices.empty()) {
        return usageError("no --device given");
    }

    board_server::LibraryBoardAccess boards;
    for (uint8_t d : options.devices) {
        DeviceInfo info{};
        if (boards.getDeviceInfo(d, &info) == 0 && info.kind == 0) {
            log("device " + std::to_string(d) + " is not configured in the registry (" +
                (std::getenv("NUBOXLINK_REGISTRY") ? std::getenv("NUBOXLINK_REGISTRY")
                                                   : "/etc/nuboxlink/registry.reg") +
                ")");
            return kFailStatus;
        }
        if (info.kind != 0 && !info.present) {
            log("device " + std::to_string(d) +
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
    board_server::BoardServer server(boards, clock, options, log);
    std::string error;
    if (!server.start(&error)) {
        log(error);
        return kFailStatus;
    }
    for (uint8_t d : options.devices) {
        log("device " + std::to_string(d) + " on " + server.where(d));
    }
    if (server.loopbackOnly()) {
        const std::string port = std::to_string(options.portBase + options.devices[0]);
        log("listening on the loopback address: only programs on this computer can connect; "
            "from another computer use an SSH tunnel (ssh -N -L " +
            port + ":127.0.0.1:" + port + " this-computer)");
    } else {
        log("listening beyond this computer: anyone who reaches these ports can drive the "
            "boards, the greeting is no protection; prefer the loopback address and an SSH "
            "tunnel");
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    log(std::string("ending on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    return 0;
}
