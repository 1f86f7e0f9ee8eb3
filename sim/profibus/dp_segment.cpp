#include "sim/profibus/dp_segment.h"

#include <algorithm>

#include "sim/profibus/sim_encoder.h"

namespace romtide::sim {

SimEncoder& DpSegment::addEncoder(const SimEncoderConfig& config) {
    auto encoder = std::make_unique<SimEncoder>(*this, config);
    SimEncoder& ref = *encoder;
    stations_.push_back(std::move(encoder));
    encoders_.push_back(&ref);
    return ref;
}

void DpSegment::addMaster(int address) {
    stations_.push_back(std::make_unique<DpOtherMaster>(address));
}

DpStation* DpSegment::station(int address) const {
    for (const auto& s : stations_) {
        if (s->address() == address) {
            return s.get();
        }
    }
    return nullptr;
}

SimEncoder* DpSegment::encoder(int address) const {
    for (SimEncoder* e : encoders_) {
        if (e->address() == address) {
            return e;
        }
    }
    return nullptr;
}

std::vector<DpStation*> DpSegment::stations() const {
    std::vector<DpStation*> all;
    for (const auto& s : stations_) {
        all.push_back(s.get());
    }
    std::stable_sort(all.begin(), all.end(),
                     [](DpStation* a, DpStation* b) { return a->address() < b->address(); });
    return all;
}

std::vector<SimEncoder*> DpSegment::encoders() const {
    std::vector<SimEncoder*> all = encoders_;
    std::stable_sort(all.begin(), all.end(),
                     [](SimEncoder* a, SimEncoder* b) { return a->address() < b->address(); });
    return all;
}

void DpSegment::stationArrived(int address) {
    std::function<void(int)> listener;
    {
        std::lock_guard lock(listenerMutex_);
        listener = listener_;
    }
    if (listener) {
        listener(address);
    }
}

void DpSegment::setArrivalListener(std::function<void(int)> listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

}  // namespace romtide::sim
