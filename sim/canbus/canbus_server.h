// The simulated bus server: socketcand's protocol (rawmode) on a loopback TCP port, over
// simulated buses. Every frame a client sends reaches every other client and every
// hosted device on the same interface, after the time it takes on the wire at the
// interface's bit rate. So the program, simulated devices in other processes and other
// tools (python-can) share one bus as they would share a real one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"

namespace romtide::sim {

struct BusInterface {
    std::string name;  // what clients open: "< open vcan0 >"
    int kbit = 125;
};

// "NAME:KBIT" as the command line gives it; kbit one of the CAN rates.
bool parseBusInterface(const std::string& text, BusInterface* out);

class CanBusServer {
  public:
    // A client's frames wait here while it does not read; beyond, its frames are dropped.
    static constexpr size_t kMaxClientBacklog = 256 * 1024;

    explicit CanBusServer(std::vector<BusInterface> interfaces);
    ~CanBusServer();
    CanBusServer(const CanBusServer&) = delete;
    CanBusServer& operator=(const CanBusServer&) = delete;

    // A device on interface `iface` (empty: the first); false for an unknown interface.
    bool addDevice(SimDeviceConfig config, const std::string& iface);
    // Listens on 127.0.0.1:port (0: a free port, see port()). False with `error` set.
    bool start(uint16_t port, std::string* error);
    uint16_t port() const { return port_; }
    // Ends every connection and the simulation; the devices stay readable.
    void stop();

    const std::vector<std::unique_ptr<SimCanDevice>>& devices() const { return devices_; }
    SimBus* bus(const std::string& iface);
    const std::vector<BusInterface>& interfaces() const { return interfaces_; }
    // Clients connected now (any state of the handshake).
    size_t clientCount() const;
    // Connections that could not be taken (out of file descriptors or memory); while
    // they fail the server stops listening for kAcceptBackoffMs and serves the clients
    // it has, instead of spinning on a listener that stays readable.
    uint64_t acceptFailures() const { return acceptFailures_; }
    static constexpr int kAcceptBackoffMs = 100;
    // Frames the buses refused from full transmit queues, over all interfaces.
    uint64_t droppedFrames() const;
    // Writes DIR/node-N.srec for every hosted device; false if one could not be written.
    bool writeDumps(const std::string& dir, std::string* error) const;

  private:
    struct Client;
    void run();
    void accept();
    bool serve(Client& client);  // false: the connection ends
    bool handle(Client& client, const std::string& message);
    void closeClient(Client& client);
    void wake();

    std::vector<BusInterface> interfaces_;
    RealTimeScheduler scheduler_;
    std::map<std::string, std::unique_ptr<SimBus>> buses_;
    std::vector<std::unique_ptr<SimCanDevice>> devices_;

    int listenFd_ = -1;
    int wakeFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> acceptFailures_{0};
    int64_t acceptPausedUntilUs_ = 0;  // poll thread only
    std::thread thread_;
    mutable std::mutex clientsMutex_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace romtide::sim
