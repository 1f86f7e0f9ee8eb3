#include "app/profibus_simulation.h"

#include <stdlib.h>

#include <optional>

#include "sim/nubox/hosted_board.h"
#include "sim/profibus/station_option.h"

namespace romtide {

namespace {

class HostedSimulation final : public ProfibusSimulation {
  public:
    HostedSimulation(std::unique_ptr<nubox_sim::HostedProfibusBoard> board,
                     const sim::DpSegmentConfig& segment)
        : board_(std::move(board)),
          stations_(segment.encoders.size()),
          masters_(segment.masters.size()) {}

    void selectAsBoard() override {
        ::setenv("NUBOXLINK_DRIVER_DIR", board_->driverDir().c_str(), 1);
        ::setenv("NUBOXLINK_REGISTRY", board_->registryPath().c_str(), 1);
    }
    std::string driverDir() const override { return board_->driverDir(); }
    std::string registryPath() const override { return board_->registryPath(); }
    std::string description() const override {
        std::string text =
            "Simulated Profibus board with " + std::to_string(stations_) + " station(s)";
        if (masters_ > 0) {
            text += " and " + std::to_string(masters_) + " other master(s)";
        }
        return text;
    }
    bool dump(const std::string& dir, std::string* error) override {
        *error = board_->dumpStations(dir);
        return error->empty();
    }

  private:
    std::unique_ptr<nubox_sim::HostedProfibusBoard> board_;
    size_t stations_;
    size_t masters_;
};

std::optional<sim::DpSegmentConfig> segmentOf(const std::vector<std::string>& stations,
                                              std::string* error) {
    sim::DpSegmentConfig segment;
    if (stations.empty()) {
        segment = sim::defaultDpSegment();
    }
    for (const std::string& text : stations) {
        auto config = sim::parseDpStationOption(text, error);
        if (!config) {
            *error = "--sim-station " + text + ": " + *error;
            return std::nullopt;
        }
        segment.encoders.push_back(*config);
    }
    if (std::string why = sim::checkDpSegment(segment); !why.empty()) {
        *error = "--sim-station: " + why;
        return std::nullopt;
    }
    return segment;
}

}  // namespace

std::string ProfibusSimulation::checkStations(const std::vector<std::string>& stations) {
    std::string error;
    return segmentOf(stations, &error) ? std::string() : error;
}

std::unique_ptr<ProfibusSimulation> ProfibusSimulation::start(
    const std::vector<std::string>& stations, std::string* error, int device) {
    const auto config = segmentOf(stations, error);
    if (!config) {
        return nullptr;
    }
    const sim::DpSegmentConfig& segment = *config;
    auto board = nubox_sim::HostedProfibusBoard::start(segment, error, device);
    if (!board) {
        return nullptr;
    }
    return std::make_unique<HostedSimulation>(std::move(board), segment);
}

}  // namespace romtide
