// Serves simulated boards as driver endpoints: one Unix-domain socket per board in a
// driver folder, named after the board's device name, speaking the endpoint protocol
// that libnuboxlink's Linux platform uses. The board firmware runs between requests,
// about every millisecond, as the board's own main loop would. Used by nubox-simd and
// by the programs that host a simulated board of their own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "sim/nubox/sim_board.h"

namespace nubox_sim {

// What stands in the way of creating endpoints in the driver folder `dir`, said as such
// (read-only, not a folder); empty for any other error. A stale endpoint that cannot be
// removed would otherwise show as "Address already in use", which reads like another
// driver serving the board.
std::string driverFolderProblem(const std::string& dir, int error);

class EndpointServer {
  public:
    // The endpoints go into `dir`, which is created when missing.
    explicit EndpointServer(std::string dir);
    // Closes every connection and removes the endpoints that are still its own.
    ~EndpointServer();
    EndpointServer(const EndpointServer&) = delete;
    EndpointServer& operator=(const EndpointServer&) = delete;

    // Serves `device` (which outlives the server) at DIR/NAME; false with `error` when
    // the endpoint cannot listen or another driver serves that name now. An endpoint
    // nobody serves (left by a driver that ended) is replaced.
    bool add(SimDevice& device, const std::string& name, std::string* error);
    // Serves requests and runs the firmware until `stop` is set (checked every
    // millisecond; a signal that interrupts the wait is seen at once).
    void run(const std::atomic<bool>& stop);

  private:
    struct Endpoint {
        SimDevice* board = nullptr;
        std::string path;
        int listener = -1;
        int owner = -1;  // the client that has the board open
        // The socket file we made, so that only it is removed at the end.
        dev_t device = 0;
        ino_t inode = 0;
    };
    struct Client {
        int fd;
        size_t endpoint;
    };
    bool serve(Client& client, Endpoint& ep);

    std::string dir_;
    std::vector<Endpoint> endpoints_;
    std::vector<Client> clients_;
};

}  // namespace nubox_sim
