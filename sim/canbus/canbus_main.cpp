// romtide-canbus: the simulated bus server (socketcand protocol on loopback) with its
// hosted devices, or, with --connect, simulated devices as clients of such a server.
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

#include "sim/can/sim_device_option.h"
#include "sim/canbus/canbus_server.h"
#include "sim/canbus/device_client.h"
#include "vci/socketcand_protocol.h"

namespace {

using namespace romtide;

const char* const kUsage =
    "Usage: romtide-canbus [--port N] [--interface NAME:KBIT]... [--sim-device DEVICE]...\n"
    "                      [--sim-dump DIR]\n"
    "       romtide-canbus --connect HOST:PORT --sim-device DEVICE... [--sim-dump DIR]\n"
    "A socketcand server on 127.0.0.1 (default port 29536) whose interfaces are simulated\n"
    "CAN buses (default vcan0:125), hosting simulated devices. With --connect the devices\n"
    "run in this process as clients of such a server instead.\n"
    "  DEVICE: node=N[,kbit=K][,boot=V][,product=L][,name=TEXT][,delay=US]\n"
    "          [,fail=noack@N|erase|erase-silent|gone@N][,iface=NAME]\n"
    "          (kbit defaults to the interface's rate, iface to the first interface)\n"
    "Prints 'ready' once it serves; SIGINT or SIGTERM writes DIR/node-N.srec for each\n"
    "device and ends it.\n";

constexpr int kUsageStatus = 2;

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

}  // namespace

int main(int argc, char** argv) {
    long port = vci::socketcand::kDefaultPort;
    std::vector<sim::BusInterface> interfaces;
    std::vector<sim::SimDeviceOption> devices;
    std::string dump;
    std::string connect;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "romtide-canbus: %s needs a value\n", a.c_str());
                std::exit(kUsageStatus);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--port") {
            char* end = nullptr;
            const char* v = value();
            port = std::strtol(v, &end, 10);
            if (*v == '\0' || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "romtide-canbus: --port: 0..65535: %s\n", v);
                return kUsageStatus;
            }
        } else if (a == "--interface") {
            sim::BusInterface iface;
            const char* v = value();
            if (!sim::parseBusInterface(v, &iface)) {
                std::fprintf(stderr,
                             "romtide-canbus: --interface NAME:KBIT, KBIT one of 10 20 50 100 "
                             "125 250 500 800 1000: %s\n",
                             v);
                return kUsageStatus;
            }
            interfaces.push_back(iface);
        } else if (a == "--sim-device") {
            std::string error;
            auto option = sim::parseSimDeviceOption(value(), true, &error);
            if (!option) {
                std::fprintf(stderr, "romtide-canbus: %s\n", error.c_str());
                return kUsageStatus;
            }
            devices.push_back(*option);
        } else if (a == "--sim-dump") {
            dump = value();
        } else if (a == "--connect") {
            connect = value();
        } else {
            std::fprintf(stderr, "romtide-canbus: unknown argument %s\n%s", a.c_str(), kUsage);
            return kUsageStatus;
        }
    }
    if (!connect.empty() && (devices.empty() || !interfaces.empty())) {
        std::fprintf(stderr, "romtide-canbus: --connect takes --sim-device, not --interface\n");
        return kUsageStatus;
    }

    // The simulation's threads must not take the stop signals: main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // The devices answer within microseconds of virtual time; keep the kernel from
    // stretching their short waits.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    if (!connect.empty()) {
        std::vector<std::unique_ptr<sim::DeviceClient>> clients;
        for (auto& option : devices) {
            std::string iface = option.iface.empty() ? "vcan0" : option.iface;
            clients.push_back(
                std::make_unique<sim::DeviceClient>(option.config, connect + "/" + iface));
            clients.back()->onLost([](const std::string& why) {
                std::fprintf(stderr, "romtide-canbus: %s\n", why.c_str());
                ::kill(::getpid(), SIGTERM);  // a device without its bus ends with it
            });
            std::string error;
            if (!clients.back()->start(&error)) {
                return fail(error);
            }
            std::fprintf(stderr, "romtide-canbus: node %d on socketcand:%s/%s\n",
                         option.config.node, connect.c_str(), iface.c_str());
        }
        std::printf("ready\n");
        std::fflush(stdout);
        waitForStop(stopSignals);
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
