// The in-process simulated buses that the "virtual:NAME" interfaces reach. The simulator
// implements VirtualBus and registers it by name; the library only attaches to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vci/backend.h"

namespace romtide::vci {

class VirtualBusNode {
  public:
    virtual ~VirtualBusNode() = default;
    // A frame sent at the node's bit rate has ended on the bus at `timeUs`.
    virtual void onFrame(const CanFrame& frame, int64_t timeUs) = 0;
};

class VirtualBus {
  public:
    virtual ~VirtualBus() = default;
    // Returns a node handle (>= 0) or -1.
    virtual int attach(VirtualBusNode& node, uint32_t bitRate) = 0;
    // After detach returns, the node is never called again.
    virtual void detach(int node) = 0;
    virtual bool send(int node, const CanFrame& frame) = 0;
};

void registerVirtualBus(const std::string& name, VirtualBus* bus);
void unregisterVirtualBus(const std::string& name);
std::vector<std::string> virtualBusNames();

}  // namespace romtide::vci
