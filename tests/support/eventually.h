// Waiting in real time for something another thread or process brings about: true as
// soon as `pred` holds, false when it still does not after `limit`. For threaded tests
// only; everything that can run on virtual time does.
#pragma once

#include <chrono>
#include <thread>

namespace romtide::test {

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

}  // namespace romtide::test
