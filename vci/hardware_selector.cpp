#include "vci/hardware_selector.h"

#include <mutex>

namespace romtide::vci {

namespace {

std::mutex mutex;
HardwareSelector selector;

}  // namespace

void setHardwareSelector(HardwareSelector s) {
    std::lock_guard<std::mutex> lock(mutex);
    selector = std::move(s);
}

std::optional<HardwareChoice> askHardwareSelector(const std::vector<std::string>& interfaces) {
    HardwareSelector s;
    {
        std::lock_guard<std::mutex> lock(mutex);
        s = selector;
    }
    // Called without the lock: the dialog runs an event loop.
    return s ? s(interfaces) : std::nullopt;
}

}  // namespace romtide::vci
