#include <algorithm>
#include <map>
#include <mutex>

#include "vci/backend.h"
#include "vci/linux_backends.h"
#include "vci/vci.h"
#include "vci/virtual_bus.h"

namespace romtide::vci {

namespace {

struct VirtualBuses {
    std::mutex mutex;
    std::map<std::string, VirtualBus*> buses;
};

VirtualBuses& virtualBuses() {
    static VirtualBuses registry;
    return registry;
}

VirtualBus* findVirtualBus(const std::string& name) {
    auto& r = virtualBuses();
    std::lock_guard lock(r.mutex);
    auto it = r.buses.find(name);
    return it == r.buses.end() ? nullptr : it->second;
}

// "virtual:NAME": a node on an in-process simulated bus.
class VirtualBackend final : public Backend, private VirtualBusNode {
  public:
    explicit VirtualBackend(std::string name) : name_(std::move(name)) {}
    ~VirtualBackend() override { close(); }

    bool open(uint32_t bitRate, FrameSink& sink) override {
        close();
        VirtualBus* bus = findVirtualBus(name_);
        if (bus == nullptr) {
            return false;
        }
        sink_ = &sink;
        node_ = bus->attach(*this, bitRate);
        if (node_ < 0) {
            sink_ = nullptr;
            return false;
        }
        bus_ = bus;
        return true;
    }

    void close() override {
        if (bus_ != nullptr) {
            bus_->detach(node_);
            bus_ = nullptr;
            node_ = -1;
            sink_ = nullptr;
        }
    }

    bool send(const CanFrame& frame) override {
        return bus_ != nullptr && bus_->send(node_, frame);
    }

  private:
    void onFrame(const CanFrame& frame, int64_t timeUs) override {
        sink_->deliver(&frame, 1, static_cast<uint32_t>(timeUs / 100));
    }

    std::string name_;
    VirtualBus* bus_ = nullptr;
    int node_ = -1;
    FrameSink* sink_ = nullptr;
};

struct Factory {
    uint32_t boardType;
    BackendFactory make;
};

struct Backends {
    std::mutex mutex;
    std::map<std::string, Factory> factories;
    Backends() {
        factories["virtual"] = {kBoardTypeVirtual, [](const std::string& rest) {
                                    // Only a bus that exists now can be prepared.
                                    return findVirtualBus(rest) == nullptr
                                               ? nullptr
                                               : std::make_unique<VirtualBackend>(rest);
                                }};
        factories["socketcan"] = {kBoardTypeSocketCan, makeSocketCanBackend};
        factories["socketcand"] = {kBoardTypeSocketCand, makeSocketcandBackend};
    }
};

Backends& backends() {
    static Backends b;
    return b;
}

std::string schemeOf(const std::string& uri, std::string* rest) {
    auto colon = uri.find(':');
    if (colon == std::string::npos) {
        return {};
    }
    if (rest != nullptr) {
        *rest = uri.substr(colon + 1);
    }
    return uri.substr(0, colon);
}

}  // namespace

void registerVirtualBus(const std::string& name, VirtualBus* bus) {
    auto& r = virtualBuses();
    std::lock_guard lock(r.mutex);
    r.buses[name] = bus;
}

void unregisterVirtualBus(const std::string& name) {
    auto& r = virtualBuses();
    std::lock_guard lock(r.mutex);
    r.buses.erase(name);
}

std::vector<std::string> virtualBusNames() {
    auto& r = virtualBuses();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> names;
    for (const auto& [name, bus] : r.buses) {
        names.push_back(name);
    }
    return names;
}

void registerBackend(const std::string& scheme, uint32_t boardType, BackendFactory factory) {
    auto& b = backends();
    std::lock_guard lock(b.mutex);
    b.factories[scheme] = {boardType, std::move(factory)};
}

std::unique_ptr<Backend> createBackend(const std::string& uri) {
    std::string rest;
    std::string scheme = schemeOf(uri, &rest);
    BackendFactory make;
    {
        auto& b = backends();
        std::lock_guard lock(b.mutex);
        auto it = b.factories.find(scheme);
        if (it == b.factories.end()) {
            return nullptr;
        }
        make = it->second.make;
    }
    return make(rest);
}

uint32_t boardTypeOf(const std::string& uri) {
    std::string scheme = schemeOf(uri, nullptr);
    auto& b = backends();
    std::lock_guard lock(b.mutex);
    auto it = b.factories.find(scheme);
    return it == b.factories.end() ? 0 : it->second.boardType;
}

}  // namespace romtide::vci
