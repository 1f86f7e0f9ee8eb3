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
    if (link_) {
        link_->close();
    }
    bus_.detach(node_);
    device_.reset();
}

bool DeviceClient::start(std::string* error) {
    link_ = vci::makeSocketcandBackend(endpoint_);
    if (!link_) {
        *error = "not a socketcand endpoint (HOST:PORT/IFNAME): " + endpoint_;
        return false;
    }
    if (!link_->open(static_cast<uint32_t>(device_->config().kbit) * 1000u, *this)) {
        *error = lastMessage_.empty() ? "cannot connect to " + endpoint_ : lastMessage_;
        link_.reset();
        return false;
    }
    started_ = true;
    return true;
}

void DeviceClient::onFrame(const vci::CanFrame& frame, int64_t) {
    // The device answered: on to the server's bus.
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
    if (started_ && onLost_) {
        onLost_(text);
    }
}

}  // namespace romtide::sim
