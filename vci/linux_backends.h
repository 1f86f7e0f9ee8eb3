// The backends that reach real CAN interfaces: the kernel's SocketCAN ("socketcan:IFNAME")
// and a socketcand server over TCP ("socketcand:HOST:PORT/IFNAME"). Both are built into
// the access library and registered with the virtual one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vci/backend.h"

namespace romtide::vci {

// `rest` is the URI after the scheme; null when it cannot name an interface.
std::unique_ptr<Backend> makeSocketCanBackend(const std::string& rest);
std::unique_ptr<Backend> makeSocketcandBackend(const std::string& rest);

// Names of the SocketCAN interfaces that are up now (empty without kernel CAN support).
std::vector<std::string> socketCanInterfacesUp();
// The socketcand endpoints the user configured in ROMTIDE_SOCKETCAND (URIs or
// HOST:PORT/IFNAME, separated by spaces, commas or semicolons), as full URIs.
std::vector<std::string> configuredSocketcandUris();

// Why this machine cannot open SocketCAN interfaces at all (no AF_CAN in the kernel), or
// nothing when it can.
std::optional<std::string> socketCanUnavailableReason();

// The bit rate of a CAN interface from an RTM_NEWLINK answer of the kernel: 0 when the
// answer carries no bit timing (a virtual CAN interface has none), -1 when the answer
// cannot be read. Kept apart from the socket so it can be checked on any machine.
int64_t bitRateFromLinkMessage(const uint8_t* message, size_t length);

// What the user has to run when the interface is not up at the rate the program needs.
std::string bitRateAdvice(const std::string& ifname, uint32_t bitRate, int64_t current);

}  // namespace romtide::vci
