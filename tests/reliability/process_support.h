// The bus server and the bootloader program as processes of their own, for the tests
// that kill them or load them.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace romtide::test {

inline std::string bin(const std::string& program) {
    return std::string(ROMTIDE_BIN_DIR) + "/" + program;
}

// The bus server on a free port, serving once this returns (port 0 when it did not).
inline std::unique_ptr<ChildProcess> startBusServer(std::vector<std::string> args, uint16_t* port) {
    args.insert(args.begin(), {bin("romtide-canbus"), "--port", "0"});
    auto server = std::make_unique<ChildProcess>(args);
    *port = 0;
    if (server->waitForLine("ready")) {
        auto at = server->output.find("127.0.0.1:");
        if (at != std::string::npos) {
            *port = static_cast<uint16_t>(std::atoi(server->output.c_str() + at + 10));
        }
    }
    return server;
}

// `bootloader can ARGS...` with its output joined.
inline std::unique_ptr<ChildProcess> startBootloader(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("bootloader"), "can"});
    return std::make_unique<ChildProcess>(args, ChildProcess::Output::Joined);
}

inline std::string makeImage(const TempDir& dir, const std::string& name, const char* range) {
    return srecCat(std::string("-generate ") + range + " -repeat-string Romtide -address-length=3",
                   dir.file(name));
}

inline bool sameImage(const std::string& a, const std::string& b) {
    return std::system(
               (std::string(ROMTIDE_SREC_CMP) + " " + a + " " + b + " >/dev/null 2>&1").c_str()) ==
           0;
}

}  // namespace romtide::test
