// A scripted board library for the DP master wrapper's own tests: it records every
// command block and output write, answers reports and input data from a script, and
// lives on the virtual clock. What a real board and its slaves do is tested against the
// simulated segment instead; this double pins down the bytes and the budgets.
#pragma once

#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "profibus/dp_master_library.h"
#include "profibus/tprofitalvik.h"

namespace romtide::test {

using Report = std::array<uint8_t, 256>;

inline Report confirmationOf(const uint8_t* block) {
    Report r{};
    r[0] = static_cast<uint8_t>(block[0] + 0xC0);
    r[3] = block[3];
    return r;
}

class FakeDpMaster : public DpMasterLibrary {
  public:
    explicit FakeDpMaster(Clock& clock) : clock_(clock) {}

    // The bytes the library passes for a command code (the codes the wrapper uses).
    static size_t commandLength(uint8_t code) {
        switch (code) {
            case 0x21:
            case 0x27:
                return 4;
            case 0x24:
                return 256;
            case 0x25:
                return 254;
            case 0x35:
                return 1;
            default:
                return 0;
        }
    }

    uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status, uint8_t*) override {
        ++inits;
        std::memcpy(&lastConfig, &configs[0], sizeof lastConfig);
        lastMask = mask;
        if (initStatus != 0) {
            status[0] = initStatus;
        }
        open = initResult == 0;
        return initResult;
    }
    uint8_t ResetDevice(uint8_t, uint32_t) override {
        ++resets;
        open = false;
        return 0;
    }
    uint8_t GetDeviceInfo(uint8_t, DeviceInfo* info) override {
        *info = deviceInfo;
        return 0;
    }
    uint8_t WriteCommand(uint8_t, uint8_t, const uint8_t* block) override {
        if (!open) {
            return 3;
        }
        size_t n = commandLength(block[0]);
        if (n == 0) {
            return 8;
        }
        commands.emplace_back(block, block + n);
        pollsSinceCommand = 0;
        if (confirm) {
            if (auto report = confirm(commands.back())) {
                pending.push_back(*report);
            }
        } else {
            pending.push_back(confirmationOf(block));
        }
        return 0;
    }
    uint8_t GetReport(uint8_t, uint8_t, uint8_t report[256]) override {
        if (!open) {
            return 3;
        }
        ++pollsSinceCommand;
        ++reportPolls;
        if (!unrelated.empty()) {
            std::memcpy(report, unrelated.front().data(), 256);
            unrelated.pop_front();
            return 0;
        }
        // A confirmation is held back until the given poll after its command.
        if (pending.empty() || pollsSinceCommand < confirmOnPoll) {
            return 7;
        }
        std::memcpy(report, pending.front().data(), 256);
        pending.pop_front();
        return 0;
    }
    uint8_t WriteOutputData(uint8_t, uint8_t, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override {
        if (!open) {
            return 3;
        }
        if (writeFailure != 0) {
            return writeFailure;
        }
        std::vector<uint8_t> bytes(source, source + length);
        writes.push_back({station, offset, bytes, clock_.nowUs()});
        if (onOutput) {
            onOutput(station, words(bytes));
        }
        return 0;
    }
    uint8_t ReadInputData(uint8_t, uint8_t, uint8_t* destination, uint16_t offset, uint8_t length,
                          uint8_t station) override {
        if (!open) {
            return 3;
        }
        ++inputReads;
        if (readFailure != 0) {
            return readFailure;
        }
        reads.push_back({station, offset, {}, clock_.nowUs()});
        if (onRead) {
            onRead(station);
        }
        const std::vector<uint8_t>& in = inputs[station];
        for (uint8_t i = 0; i < length; ++i) {
            destination[i] = i < in.size() ? in[i] : 0;
        }
        return 0;
    }
    uint8_t ReadDataTransferList(uint8_t, uint8_t, uint8_t list[16]) override {
        if (!open) {
            return 3;
        }
        std::memcpy(list, transferList.data(), 16);
        return 0;
    }
    uint8_t StationOnline(uint8_t, uint8_t, uint8_t* out) override {
        if (!open) {
            return 3;
        }
        ++onlinePolls;
        *out = onlineFromPoll > 0 && onlinePolls >= onlineFromPoll ? 1 : 0;
        return 0;
    }

    // Input words of a station, as the board would place them (high byte first).
    void setInput(uint8_t station, const ParameterWords& w) {
        std::vector<uint8_t> bytes(20);
        for (size_t i = 0; i < 10; ++i) {
            bytes[2 * i] = static_cast<uint8_t>(w[i] >> 8);
            bytes[2 * i + 1] = static_cast<uint8_t>(w[i]);
        }
        inputs[station] = bytes;
    }
    void setInExchange(uint8_t station, bool on = true) {
        auto& byte = transferList[station / 8];
        byte =
            static_cast<uint8_t>(on ? byte | (1 << (station % 8)) : byte & ~(1 << (station % 8)));
    }
    static ParameterWords words(const std::vector<uint8_t>& bytes) {
        ParameterWords w{};
        for (size_t i = 0; 2 * i + 1 < bytes.size() && i < 10; ++i) {
            w[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        }
        return w;
    }
    std::vector<std::vector<uint8_t>> commandsWithCode(uint8_t code) const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& c : commands) {
            if (c[0] == code) {
                out.push_back(c);
            }
        }
        return out;
    }

    struct DataAccess {
        uint8_t station;
        uint16_t offset;
        std::vector<uint8_t> bytes;
        int64_t atUs;
    };

    // Script.
    uint8_t initResult = 0;
    uint8_t initStatus = 0;
    DeviceInfo deviceInfo{NUBOX_KIND_PCI, 0x42, 1, 1};
    bool open = true;
    // Answers a command with a report (nothing: no confirmation); null: confirm all.
    std::function<std::optional<Report>(const std::vector<uint8_t>&)> confirm;
    int confirmOnPoll = 1;
    std::deque<Report> unrelated;  // handed out before any confirmation
    int onlineFromPoll = 1;
    uint8_t writeFailure = 0;
    uint8_t readFailure = 0;
    std::function<void(uint8_t station, const ParameterWords& out)> onOutput;
    std::function<void(uint8_t station)> onRead;
    std::map<uint8_t, std::vector<uint8_t>> inputs;
    std::array<uint8_t, 16> transferList{};

    // Record.
    int inits = 0;
    int resets = 0;
    DeviceConfig lastConfig{};
    uint16_t lastMask = 0;
    std::vector<std::vector<uint8_t>> commands;
    std::deque<Report> pending;
    int pollsSinceCommand = 0;
    int reportPolls = 0;
    int onlinePolls = 0;
    int inputReads = 0;
    std::vector<DataAccess> writes;
    std::vector<DataAccess> reads;

  private:
    Clock& clock_;
};

}  // namespace romtide::test
