// A simulated PCI board with a DP segment behind it, served as a driver endpoint from a
// thread of this process, so that the program reaches it through libnuboxlink exactly
// as it reaches a real board: a private folder (under $TMPDIR or /tmp) holds the driver
// endpoint and a registry file that configures one device number (0 unless told
// otherwise) as this board. Set
// NUBOXLINK_DRIVER_DIR and NUBOXLINK_REGISTRY to driverDir() and registryPath() before
// the library's first call. Nothing outside the folder is touched; it goes with the
// object.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "base/clock.h"
#include "sim/core/scheduler.h"
#include "sim/nubox/endpoint_server.h"
#include "sim/nubox/profibus_segment.h"
#include "sim/nubox/sim_board.h"

namespace nubox_sim {

class HostedProfibusBoard {
  public:
    // The board's PCI id, as the registry names it.
    static constexpr uint16_t kBoardId = 0x42;

    // Nullptr with `error` when the segment is refused or the folder, the registry file
    // or the endpoint cannot be made.
    static std::unique_ptr<HostedProfibusBoard> start(const romtide::sim::DpSegmentConfig& segment,
                                                      std::string* error, int device = 0);
    ~HostedProfibusBoard();
    HostedProfibusBoard(const HostedProfibusBoard&) = delete;
    HostedProfibusBoard& operator=(const HostedProfibusBoard&) = delete;

    const std::string& driverDir() const { return driverDir_; }
    const std::string& registryPath() const { return registry_; }

    // DIR/station-N.srec for every station: empty, or what could not be written.
    std::string dumpStations(const std::string& dir) const;
    romtide::sim::SimEncoder* encoder(int address) const;
    romtide::sim::DpMaster& master();

  private:
    HostedProfibusBoard() = default;

    std::string folder_;
    std::string driverDir_;
    std::string registry_;
    romtide::SteadyClock clock_;
    romtide::sim::RealTimeScheduler scheduler_;
    std::unique_ptr<SimBoard> board_;
    std::unique_ptr<ProfibusSegment> segment_;
    std::unique_ptr<EndpointServer> server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace nubox_sim
