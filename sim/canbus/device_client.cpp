#include "sim/canbus/device_client.h"

#include "vci/linux_backends.h"

namespace romtide::sim {

namespace {

std::string busName(const SimDeviceConfig& config) {
    // Private to this object: the name only has to differ from other buses of the process.
    static std::atomic<int> serial{0};
    return "device-" + std::to_string(config.node) + "-" + std::to_string(++serial);
}

}  // namespace

DeviceClient::DeviceClient(SimDeviceConfig config, std::string endpoint)
    : endpoint_(std::move(endpoint)), scheduler_(), bus_(scheduler_, busName(config)) {
    // The wire time is the server's to count; this bus only joins device and bridge.
    bus_.setWireTime(false);
    uint32_t rate = static_cast<uint32_t>(config.kbit) * 1000u;
    device_ = std::make_unique<SimCanDevice>(bus_, std::move(config));
    node_ = bus_.attach(*this, rate);
}

DeviceClient::~DeviceClient() {
    // The simulation first: nothing sends on the link once it closes.
    scheduler_.stop();
    started_ = false;
    if (link_) {
        link_->close();
    }
    bus_.detach(node_);
    device_.reset();
}

bool DeviceClient::start(std::string* error) {
    auto link = vci::makeSocketcandBackend(endpoint_);
    if (!link) {
        *error = "not a socketcand endpoint (HOST:PORT/IFNAME): " + endpoint_;
        return false;
    }
    lastMessage_.clear();
    lost_ = false;
    // Opened before it is shared: the simulation's thread sends only on a link that is up.
    if (!link->open(static_cast<uint32_t>(device_->config().kbit) * 1000u, *this)) {
        *error = lastMessage_.empty() ? "cannot connect to " + endpoint_ : lastMessage_;
        return false;
    }
    {
        std::lock_guard lock(linkMutex_);
        link_ = std::move(link);
    }
    started_ = true;
    return true;
}

bool DeviceClient::reconnect(std::string* error) {
    std::unique_ptr<vci::Backend> old;
    {
        std::lock_guard lock(linkMutex_);
        old = std::move(link_);
    }
    started_ = false;
    // Closed outside the lock: closing waits for the link's reader, which may be handing
    // a frame to the device's bus at that moment.
    if (old) {
        old->close();
    }
    return start(error);
}

void DeviceClient::onFrame(const vci::CanFrame& frame, int64_t) {
    // The device answered: on to the server's bus.
    std::lock_guard lock(linkMutex_);
    if (link_) {
        link_->send(frame);
    }
}

void DeviceClient::deliver(const vci::CanFrame* frames, size_t count, uint32_t) {
    for (size_t i = 0; i < count; ++i) {
        bus_.send(node_, frames[i]);
    }
}

void DeviceClient::message(const std::string& text) {
    lastMessage_ = text;
    if (started_.exchange(false)) {
        lost_ = true;
        if (onLost_) {
            onLost_(text);
        }
    }
}

}  // namespace romtide::sim
