#include "sim/canbus/bus_bridge.h"

namespace romtide::sim {

BusBridge::BusBridge(SimBus& bus, uint32_t bitRate) : bus_(bus), bitRate_(bitRate) {
    node_ = bus_.attach(*this, bitRate_);
}

BusBridge::~BusBridge() {
    close();
    bus_.detach(node_);
}

bool BusBridge::open(const std::string& uri, std::string* error) {
    close();
    auto link = vci::createBackend(uri);
    if (!link) {
        *error = "not a CAN interface: " + uri;
        return false;
    }
    lastMessage_.clear();
    lost_ = false;
    // Opened before it is shared: the bus's thread sends only on a link that is up.
    if (!link->open(bitRate_, *this)) {
        *error = lastMessage_.empty() ? "cannot open " + uri : lastMessage_;
        return false;
    }
    {
        std::lock_guard lock(linkMutex_);
        link_ = std::move(link);
    }
    open_ = true;
    return true;
}

void BusBridge::close() {
    std::unique_ptr<vci::Backend> old;
    {
        std::lock_guard lock(linkMutex_);
        old = std::move(link_);
    }
    open_ = false;
    // Closed outside the lock: closing waits for the link's reader, which may be handing
    // a frame to the bus at that moment.
    if (old) {
        old->close();
    }
}

void BusBridge::onFrame(const vci::CanFrame& frame, int64_t) {
    // A simulated node sent: on to the interface.
    std::lock_guard lock(linkMutex_);
    if (link_) {
        link_->send(frame);
    }
}

void BusBridge::deliver(const vci::CanFrame* frames, size_t count, uint32_t) {
    for (size_t i = 0; i < count; ++i) {
        bus_.send(node_, frames[i]);
    }
}

void BusBridge::message(const std::string& text) {
    lastMessage_ = text;
    if (open_.exchange(false)) {
        lost_ = true;
        if (onLost_) {
            onLost_(text);
        }
    }
}

}  // namespace romtide::sim
