// Helpers of the bus server tests: a frame recorder for backends, a raw loopback TCP
// client that writes exactly the bytes it is given, and a child process (the server or a
// device process) that is always stopped when the test ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/raw_client.h"
#include "vci/backend.h"

namespace romtide::test {

using namespace std::chrono_literals;

struct FrameRecorder : vci::FrameSink {
    void deliver(const vci::CanFrame* frames, size_t count, uint32_t) override {
        std::lock_guard lock(mutex);
        received.insert(received.end(), frames, frames + count);
        changed.notify_all();
    }
    void message(const std::string& text) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
        changed.notify_all();
    }
    void echo(const vci::CanFrame& frame) override {
        std::lock_guard lock(mutex);
        echoed.push_back(frame);
        changed.notify_all();
    }
    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }
    std::vector<vci::CanFrame> frames() {
        std::lock_guard lock(mutex);
        return received;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<vci::CanFrame> received;
    std::vector<std::string> messages;
    std::vector<vci::CanFrame> echoed;
};

inline vci::CanFrame frameOf(uint32_t id, std::vector<uint8_t> bytes) {
    vci::CanFrame f;
    f.id = id;
    f.length = static_cast<uint8_t>(bytes.size());
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
        f.data[i] = bytes[i];
    }
    return f;
}

}  // namespace romtide::test
