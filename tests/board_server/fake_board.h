// A board behind the server's BoardAccess that records every call and moves exactly the
// bytes the library would: command blocks by their command's length, process data by
// the length asked for, 256-byte reports, 16-byte status areas. Thread-safe, as the
// server calls it from one thread per served device.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "board_server/board_access.h"
#include "nuboxlink/channel/dpem_commands.h"

namespace board_server_test {

class FakeBoard final : public board_server::BoardAccess {
  public:
    uint8_t initDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override {
        std::lock_guard lock(mutex_);
        if (unsupported) {
            return 1;
        }
        for (unsigned n = 0; n < 16; ++n) {
            if (mask >> n & 1) {
                calls.push_back("init " + std::to_string(n));
                config = configs[n];
                status[n] = initStatus;
                channelStatus[n] = initChannelStatus;
            }
        }
        return initStatus == 0 ? 0 : 2;
    }
    uint8_t resetDevice(uint8_t device, uint32_t) override {
        std::lock_guard lock(mutex_);
        calls.push_back("reset " + std::to_string(device));
        ++resets;
        return 0;
    }
    uint8_t getDeviceInfo(uint8_t, DeviceInfo* info) override {
        *info = DeviceInfo{NUBOX_KIND_PCI, 0x42, 1, 0};
        return 0;
    }
    uint8_t writeCommand(uint8_t device, uint8_t channel, const uint8_t* block) override {
        const uint16_t n = nuboxlink::dpemCommandLength(block);
        std::lock_guard lock(mutex_);
        record("command", device, channel);
        commands.emplace_back(block, block + n);
        if (n > 0) {
            reports.push_back(std::vector<uint8_t>(256, static_cast<uint8_t>(block[0] + 0xC0)));
        }
        return n > 0 ? result : 8;
    }
    uint8_t getReport(uint8_t device, uint8_t channel, uint8_t report[256]) override {
        std::lock_guard lock(mutex_);
        record("report", device, channel);
        if (reports.empty()) {
            return 7;
        }
        std::memcpy(report, reports.front().data(), 256);
        reports.pop_front();
        return result;
    }
    uint8_t writeOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override {
        std::lock_guard lock(mutex_);
        record("output", device, channel, offset, length, station);
        output.assign(source, source + length);
        return result;
    }
    uint8_t readInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override {
        std::lock_guard lock(mutex_);
        record("input", device, channel, offset, length, station);
        for (unsigned i = 0; i < length; ++i) {
            destination[i] = static_cast<uint8_t>(offset + i);
        }
        return result;
    }
    uint8_t writeRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) override {
        std::lock_guard lock(mutex_);
        record("flag", device, channel, flag);
        return result;
    }
    uint8_t readDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override {
        return area("transfer list", device, channel, list, 0x10);
    }
    uint8_t readSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]) override {
        return area("diagnostic", device, channel, diag, 0x20);
    }
    uint8_t readDiagState(uint8_t device, uint8_t channel, uint8_t* out) override {
        return area("diag state", device, channel, out, 1, 1);
    }
    uint8_t stationOnline(uint8_t device, uint8_t channel, uint8_t* out) override {
        if (onStationOnline) {
            onStationOnline();
        }
        return area("online", device, channel, out, 0x7F, 1);
    }

    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> taken;
        taken.swap(calls);
        return taken;
    }
    int resetCount() {
        std::lock_guard lock(mutex_);
        return resets;
    }
    void addReport(uint8_t first) {
        std::lock_guard lock(mutex_);
        reports.push_back(std::vector<uint8_t>(256, first));
    }

    // Set before use.
    uint8_t result = 0;
    uint8_t initStatus = 0;
    uint8_t initChannelStatus = 0;
    bool unsupported = false;  // InitDll answers 1 and writes no status
    bool recording = true;     // false: calls are not kept (benchmarks)
    // Runs on the server's thread at each station-online request, before it is answered
    // (a test holds the server there).
    std::function<void()> onStationOnline;

    // What happened (read under takeCalls() or after the server stopped).
    std::vector<std::string> calls;
    DeviceConfig config{};
    std::vector<std::vector<uint8_t>> commands;
    std::vector<uint8_t> output;
    int resets = 0;

  private:
    void record(const char* what, uint8_t device, uint8_t channel, unsigned a = 0, unsigned b = 0,
                unsigned c = 0) {
        if (!recording) {
            return;
        }
        calls.push_back(std::string(what) + " " + std::to_string(device) + "/" +
                        std::to_string(channel) + " " + std::to_string(a) + " " +
                        std::to_string(b) + " " + std::to_string(c));
    }
    uint8_t area(const char* what, uint8_t device, uint8_t channel, uint8_t* out, uint8_t first,
                 unsigned n = 16) {
        std::lock_guard lock(mutex_);
        record(what, device, channel);
        for (unsigned i = 0; i < n; ++i) {
            out[i] = static_cast<uint8_t>(first + i);
        }
        return result;
    }

    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> reports;
};

}  // namespace board_server_test
