// romtide-canbus: the simulated bus server (socketcand protocol on loopback) with its
// hosted devices, or, with --connect, simulated devices as clients of such a server or
// as nodes on a CAN interface of the access library (socketcan:vcan0).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "sim/can/sim_device_option.h"
#include "sim/canbus/canbus_server.h"
#include "sim/canbus/device_client.h"
#include "vci/socketcand_protocol.h"

namespace {

using namespace romtide;

const char* const kFooter =
    "DEVICE: node=N[,kbit=K][,boot=V][,product=L][,name=TEXT][,version=TEXT]\n"
    "        [,mode=app|boot][,delay=US]\n"
    "        [,fail=noack@N|erase|erase-silent|gone@N|stale|silent-after][,iface=NAME]\n"
    "        (kbit defaults to the interface's rate, iface to the first interface)\n"
    "Prints 'ready' once it serves; SIGINT or SIGTERM writes DIR/node-N.srec for each\n"
    "device and ends it. With --connect HOST:PORT the devices end when the server goes,\n"
    "unless --reconnect keeps them, holding what they were programmed with, until it is\n"
    "back. With --connect URI (socketcan:IFNAME, socketcand:HOST:PORT/IFNAME) they are\n"
    "nodes on that interface, as devices on the bus behind a CAN adapter.";

// --connect takes a socketcand server's HOST:PORT, whose interface each device names, or
// the URI of one interface of the access library for all of them.
bool isInterfaceUri(const std::string& connect) {
    return connect.rfind("socketcan:", 0) == 0 || connect.rfind("socketcand:", 0) == 0;
}

int fail(const std::string& text) {
    std::fprintf(stderr, "romtide-canbus: %s\n", text.c_str());
    return 1;
}

// Waits for SIGINT or SIGTERM, which every thread has blocked.
void waitForStop(const sigset_t& stopSignals) {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
}

// A device client whose connection ended raises this (blocked in every thread, taken by
// main with the stop signals).
constexpr int kLostSignal = SIGUSR1;
// How often a device whose server went looks for it again.
constexpr long kReconnectPauseMs = 200;

// With --reconnect: waits for a stop signal, and connects every device whose server went
// again, as often as it takes. Returns when a stop signal came.
void serveUntilStopped(const sigset_t& stopSignals,
                       const std::vector<std::unique_ptr<sim::DeviceClient>>& clients) {
    sigset_t signals = stopSignals;
    sigaddset(&signals, kLostSignal);
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (signal != kLostSignal) {
            return;
        }
        for (const auto& c : clients) {
            if (!c->lost()) {
                continue;
            }
            for (bool said = false;;) {
                std::string error;
                if (c->reconnect(&error)) {
                    std::fprintf(stderr, "romtide-canbus: node %d connected again\n",
                                 c->device().config().node);
                    break;
                }
                if (!said) {
                    std::fprintf(stderr, "romtide-canbus: node %d waits for its server: %s\n",
                                 c->device().config().node, error.c_str());
                    said = true;
                }
                const timespec pause{0, kReconnectPauseMs * 1000000L};
                if (sigtimedwait(&stopSignals, nullptr, &pause) > 0) {
                    return;
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = vci::socketcand::kDefaultPort;
    std::vector<sim::BusInterface> interfaces;
    std::vector<sim::SimDeviceOption> devices;
    std::string dump;
    std::string connect;
    bool reconnect = false;

    CLI::App app;
    cli::prepare(app, "romtide-canbus",
                 "A socketcand server on 127.0.0.1 whose interfaces are simulated CAN buses "
                 "(default vcan0:125), hosting simulated devices. With --connect the devices run "
                 "in this process instead, as clients of such a server or as nodes on a "
                 "CAN interface.");
    app.footer(kFooter);
    app.add_option("--port", port, "The TCP port (default 29536; 0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->option_text("N");
    cli::addRepeatable(
        app, "--interface",
        [&](const std::string& v) {
            sim::BusInterface iface;
            if (!sim::parseBusInterface(v, &iface)) {
                cli::refuse(
                    "--interface NAME:KBIT, KBIT one of 10 20 50 100 125 250 500 800 "
                    "1000: " +
                    v);
            }
            interfaces.push_back(iface);
        },
        "A simulated bus (repeatable)")
        ->option_text("NAME:KBIT");
    cli::addRepeatable(
        app, "--sim-device",
        [&](const std::string& v) {
            std::string error;
            auto option = sim::parseSimDeviceOption(v, true, &error);
            if (!option) {
                cli::refuse(error);
            }
            devices.push_back(*option);
        },
        "A simulated device (repeatable)")
        ->option_text("DEVICE");
    app.add_option("--sim-dump", dump,
                   "At the end, DIR/node-N.srec with what each device programmed")
        ->option_text("DIR");
    app.add_option("--connect", connect,
                   "Run the devices as clients of the server at HOST:PORT, or as nodes on "
                   "the CAN interface URI")
        ->option_text("HOST:PORT|URI");
    app.add_flag("--reconnect", reconnect,
                 "With --connect: when the server goes, keep the devices and connect again "
                 "once it is back");
    app.callback([&] {
        if (!connect.empty() && (devices.empty() || !interfaces.empty())) {
            cli::refuse("--connect takes --sim-device, not --interface");
        }
        if (reconnect && connect.empty()) {
            cli::refuse("--reconnect goes with --connect");
        }
        if (isInterfaceUri(connect)) {
            for (const auto& d : devices) {
                if (!d.iface.empty()) {
                    cli::refuse("--connect " + connect +
                                " names the interface; iface= goes with --connect HOST:PORT");
                }
            }
        }
    });
    if (auto status = cli::parse(app, argc, argv)) {
        return *status;
    }

    // The simulation's threads must not take the stop signals: main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t blocked = stopSignals;
    sigaddset(&blocked, kLostSignal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    // The devices answer within microseconds of virtual time; keep the kernel from
    // stretching their short waits.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    if (!connect.empty()) {
        std::vector<std::unique_ptr<sim::DeviceClient>> clients;
        for (auto& option : devices) {
            std::string uri = connect;
            if (!isInterfaceUri(connect)) {
                uri =
                    "socketcand:" + connect + "/" + (option.iface.empty() ? "vcan0" : option.iface);
            }
            clients.push_back(std::make_unique<sim::DeviceClient>(option.config, uri));
            clients.back()->onLost([reconnect](const std::string& why) {
                std::fprintf(stderr, "romtide-canbus: %s\n", why.c_str());
                // A device without its bus ends with it, unless it is to wait for the bus.
                ::kill(::getpid(), reconnect ? kLostSignal : SIGTERM);
            });
            std::string error;
            if (!clients.back()->start(&error)) {
                return fail(error);
            }
            std::fprintf(stderr, "romtide-canbus: node %d on %s\n", option.config.node,
                         uri.c_str());
        }
        std::printf("ready\n");
        std::fflush(stdout);
        if (reconnect) {
            serveUntilStopped(stopSignals, clients);
        } else {
            waitForStop(stopSignals);
        }
        int status = 0;
        if (!dump.empty()) {
            ::mkdir(dump.c_str(), 0755);
            for (const auto& c : clients) {
                std::string path =
                    dump + "/node-" + std::to_string(c->device().config().node) + ".srec";
                if (!c->device().writeApplicationSrec(path)) {
                    status = fail("cannot write " + path);
                }
            }
        }
        return status;
    }

    sim::CanBusServer server(interfaces);
    for (auto& option : devices) {
        sim::SimBus* bus = server.bus(option.iface);
        if (bus == nullptr) {
            return fail("--sim-device: no interface " + option.iface);
        }
        if (!option.kbitGiven) {
            for (const auto& i : server.interfaces()) {
                if (i.name == bus->name()) {
                    option.config.kbit = i.kbit;
                }
            }
        }
        server.addDevice(option.config, option.iface);
    }
    std::string error;
    if (!server.start(static_cast<uint16_t>(port), &error)) {
        return fail(error);
    }
    std::string list;
    for (const auto& i : server.interfaces()) {
        list += " " + i.name + " (" + std::to_string(i.kbit) + " kbit/s)";
    }
    std::printf("romtide-canbus: socketcand on 127.0.0.1:%u, interfaces%s, %zu device(s)\n",
                static_cast<unsigned>(server.port()), list.c_str(), server.devices().size());
    std::printf("ready\n");
    std::fflush(stdout);
    waitForStop(stopSignals);
    server.stop();
    if (uint64_t dropped = server.droppedFrames(); dropped > 0) {
        std::fprintf(stderr,
                     "romtide-canbus: %llu frame(s) dropped: a client sent faster than its "
                     "bus carries\n",
                     static_cast<unsigned long long>(dropped));
    }
    if (!dump.empty() && !server.writeDumps(dump, &error)) {
        return fail(error);
    }
    return 0;
}
