// For the tests that run inside the CAN kernel (scripts/can-kernel, as root, on fresh
// vcan0 and vcan1): why a machine cannot run them, shell commands on the interfaces,
// simulated devices on a kernel interface, and candump as an independent recorder.
#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "vci/linux_backends.h"

namespace romtide::test {

// Why this machine cannot run a kernel test; nothing inside the CAN kernel.
inline std::optional<std::string> canKernelMissing() {
    if (auto reason = vci::socketCanUnavailableReason()) {
        return "needs the CAN kernel (scripts/can-kernel): " + *reason;
    }
    auto up = vci::socketCanInterfacesUp();
    for (const char* name : {"vcan0", "vcan1"}) {
        if (std::find(up.begin(), up.end(), name) == up.end()) {
            return std::string(name) + " is not up (scripts/can-kernel makes vcan0 and vcan1)";
        }
    }
    return std::nullopt;
}

// A shell command (ip, tc, cansend) that must succeed; its output otherwise.
inline std::optional<std::string> shellFailure(const std::string& command) {
    auto r = runProgram(command);
    if (r.status == 0) {
        return std::nullopt;
    }
    return command + ": " + r.out;
}

// `romtide-canbus --connect socketcan:IFNAME` with the devices, serving once it returns.
inline std::unique_ptr<ChildProcess> startDevicesOn(const std::string& ifname,
                                                    const std::vector<std::string>& devices,
                                                    const std::string& dump) {
    std::vector<std::string> args{std::string(ROMTIDE_BIN_DIR) + "/romtide-canbus", "--connect",
                                  "socketcan:" + ifname, "--sim-dump", dump};
    for (const auto& d : devices) {
        args.push_back("--sim-device");
        args.push_back(d);
    }
    auto process = std::make_unique<ChildProcess>(args);
    process->waitForLine("ready");
    return process;
}

// "IFACE ID#DATA" of each line of a candump log ("(SECONDS) IFACE ID#DATA"): what two
// recorders of one interface can agree on, their clocks aside.
inline std::vector<std::string> candumpFrames(const std::string& path) {
    std::vector<std::string> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto space = line.find(") ");
        if (!line.empty() && line[0] == '(' && space != std::string::npos) {
            frames.push_back(line.substr(space + 2));
        }
    }
    return frames;
}

// candump -L of one interface into a file, from a marker frame it has seen (so nothing
// sent afterwards is missed) to another one (so everything sent before is in the file).
class CandumpRecorder {
  public:
    CandumpRecorder(const std::string& ifname, const std::string& path)
        : ifname_(ifname),
          path_(path),
          // Line by line: the markers are looked for in the file while it records. Its
          // socket holds 1 MiB, so a recorder that falls behind for a moment loses nothing.
          process_({"/bin/sh", "-c",
                    "exec stdbuf -oL /usr/bin/candump -L -d -r 1048576 " + ifname + " >" + path}) {}
    ~CandumpRecorder() { process_.stop(SIGINT); }

    // Sends marker frames until candump has written one; false when it never does.
    bool mark() {
        for (int i = 0; i < 100; ++i) {
            std::ostringstream marker;
            marker << "7FF#" << std::hex << std::uppercase << (0x10 + markers_++);
            if (shellFailure("/usr/bin/cansend " + ifname_ + " " + marker.str())) {
                return false;
            }
            const std::string seen = ifname_ + " " + marker.str();
            for (int look = 0; look < 10; ++look) {
                auto frames = candumpFrames(path_);
                if (std::find(frames.begin(), frames.end(), seen) != frames.end()) {
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return false;
    }
    // What candump saw between the last marker of the first mark() and the first of
    // the second one.
    std::vector<std::string> framesBetweenMarks() const {
        std::vector<std::string> between;
        bool inside = false;
        for (const auto& f : candumpFrames(path_)) {
            if (f.rfind(ifname_ + " 7FF#", 0) == 0) {
                if (inside && !between.empty()) {
                    break;
                }
                inside = true;
                between.clear();
                continue;
            }
            if (inside) {
                between.push_back(f);
            }
        }
        return between;
    }

    // What candump says it lost (-d), empty when it lost nothing.
    std::string drops() const {
        std::ifstream in(path_);
        std::string said;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("DROPCOUNT", 0) == 0) {
                said += line + "\n";
            }
        }
        return said;
    }

  private:
    std::string ifname_;
    std::string path_;
    ChildProcess process_;
    int markers_ = 0;
};

}  // namespace romtide::test
