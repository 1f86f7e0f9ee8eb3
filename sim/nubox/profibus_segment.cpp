#include "sim/nubox/profibus_segment.h"

#include <filesystem>
#include <stdexcept>

namespace nubox_sim {

namespace {

const romtide::sim::DpSegmentConfig& checked(const romtide::sim::DpSegmentConfig& config) {
    if (std::string why = romtide::sim::checkDpSegment(config); !why.empty()) {
        throw std::invalid_argument(why);
    }
    return config;
}

}  // namespace

ProfibusSegment::ProfibusSegment(SimBoard& board, romtide::sim::SimScheduler& scheduler,
                                 const romtide::sim::DpSegmentConfig& config)
    : ProfibusSegment(board, nullptr, &scheduler, config) {}

ProfibusSegment::ProfibusSegment(SimBoard& board, romtide::VirtualClock& clock,
                                 const romtide::sim::DpSegmentConfig& config)
    : ProfibusSegment(board, std::make_unique<romtide::sim::VirtualScheduler>(clock), nullptr,
                      config) {}

ProfibusSegment::ProfibusSegment(SimBoard& board, std::unique_ptr<romtide::sim::SimScheduler> own,
                                 romtide::sim::SimScheduler* external,
                                 const romtide::sim::DpSegmentConfig& config)
    : ownScheduler_(std::move(own)),
      segment_(external ? *external : *ownScheduler_),
      firmware_(board, segment_) {
    for (const auto& encoder : checked(config).encoders) {
        segment_.addEncoder(encoder);
    }
    for (int master : config.masters) {
        segment_.addMaster(master);
    }
}

ProfibusSegment::~ProfibusSegment() = default;

std::string ProfibusSegment::dumpStations(const std::string& dir) const {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (romtide::sim::SimEncoder* e : segment_.encoders()) {
        const std::string path =
            (std::filesystem::path(dir) / ("station-" + std::to_string(e->address()) + ".srec"))
                .string();
        if (!e->writeFlashSrec(path)) {
            return "cannot write " + path;
        }
    }
    return {};
}

}  // namespace nubox_sim
