#include "sim/core/sim_flash.h"

namespace romtide::sim {

void SimFlash::erase() {
    application_.clear();
    start_.reset();
    parser_.reset();
    ++erases_;
}

bool SimFlash::feed(char c) {
    return parser_.feed(c);
}

bool SimFlash::finish() {
    return parser_.finish();
}

void SimFlash::commit() {
    for (const auto& [address, value] : parser_.data()) {
        application_[address] = value;
    }
    start_ = parser_.startAddress();
    parser_.reset();
}

void SimFlash::dropStream() {
    parser_.reset();
}

FlashImage SimFlash::image(bool inProgress) const {
    FlashImage image = application_;
    if (inProgress) {
        for (const auto& [address, value] : parser_.data()) {
            image[address] = value;
        }
    }
    return image;
}

bool SimFlash::writeSrecFile(const std::string& path, const std::string& header,
                             bool inProgress) const {
    return romtide::sim::writeSrecFile(path, image(inProgress), header, start_);
}

}  // namespace romtide::sim
