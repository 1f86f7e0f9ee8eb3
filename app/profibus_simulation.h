// The built-in simulated Profibus board with its DP segment, for `--simulate`: a board
// behind a driver endpoint in a private folder with its own registry file, reached
// through libnuboxlink.so exactly as a real board is. Nothing outside that folder is
// touched, and the folder goes with the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace romtide {

class ProfibusSimulation {
  public:
    virtual ~ProfibusSimulation() = default;
    // Empty when the --sim-station texts describe a segment; otherwise what is wrong.
    static std::string checkStations(const std::vector<std::string>& stations);
    // Starts serving the board as device `device` of its registry with the stations
    // described (--sim-station texts; none: the default segment). Nothing and `error` set
    // when a description is bad (see checkStations) or the board cannot be served.
    static std::unique_ptr<ProfibusSimulation> start(const std::vector<std::string>& stations,
                                                     std::string* error, int device = 0);
    // Points the board library at the private folder; before its first call.
    virtual void selectAsBoard() = 0;
    // What selectAsBoard sets, for a program that reaches the board from another process.
    virtual std::string driverDir() const = 0;
    virtual std::string registryPath() const = 0;
    // One line for the terminal: what is simulated.
    virtual std::string description() const = 0;
    // DIR/station-N.srec with what each station's flash holds; false and `error` set when
    // a file cannot be written.
    virtual bool dump(const std::string& dir, std::string* error) = 0;
};

}  // namespace romtide
