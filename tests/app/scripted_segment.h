// A scripted board with a few DP stations behind it, on the virtual clock, for the
// Profibus window's own tests: the board confirms every command, lists its stations,
// answers the diagnosis with their ident numbers; a slave exchanges data once it is
// parameterised for its PPO type, answers parameters 922 (PPO type) and 964 (version)
// and, after the PKW write that restarts it, speaks the bootloader's telegrams. Whole
// updates of real devices are tested against the simulated segment; this double lets a
// test choose what each station does.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/profibus/fake_dp_master.h"

namespace romtide::test {

struct ScriptedStation {
    uint8_t address = 0;
    uint8_t type = dpm::kPassiveStation;
    uint16_t ident = 0x0793;
    bool ppo2 = false;          // the application's PPO type; the bootloader speaks PPO1
    bool ready = true;          // false: never enters data exchange
    uint16_t version = 0x2105;  // answer word 3 of parameter 964
    bool inBootloader = false;
    int64_t eraseUs = 300000;
    int64_t ackUs = 2000;    // a data telegram's acknowledge comes this much later
    int failAtTelegram = 0;  // answer this data telegram (1 = first) with an error
    bool eraseNever = false;
    // What the bootloader received.
    std::string text;
    int erases = 0;
    int finishes = 0;
    int telegrams = 0;
};

// The confirmation of a command as the board passed it on (the live-list request is
// one byte long).
inline Report confirmation(const std::vector<uint8_t>& block) {
    Report r{};
    r[0] = static_cast<uint8_t>(block[0] + dpm::kConfirmationOffset);
    if (block.size() > 3) {
        r[3] = block[3];
    }
    return r;
}

class ScriptedSegment : public FakeDpMaster {
  public:
    explicit ScriptedSegment(VirtualClock& clock) : FakeDpMaster(clock), clock_(clock) {
        open = false;
        confirm = [this](const std::vector<uint8_t>& block) { return answer(block); };
        onOutput = [this](uint8_t station, const ParameterWords& out) { take(station, out); };
    }

    ScriptedStation& add(ScriptedStation s) {
        order_.push_back(s.address);
        return stations_[s.address] = std::move(s);
    }
    ScriptedStation& station(uint8_t address) { return stations_.at(address); }

    // The board's present byte; the busy byte follows whether this process has it open.
    uint8_t present = 1;
    uint8_t kind = NUBOX_KIND_PCI;

    uint8_t GetDeviceInfo(uint8_t, DeviceInfo* info) override {
        info->kind = kind;
        info->boardId = 0x42;
        info->present = present;
        info->busy = open && present ? 1 : 0;
        return 0;
    }

  private:
    std::optional<Report> answer(const std::vector<uint8_t>& block) {
        Report r = confirmation(block);
        switch (block[0]) {
            case dpm::kGetLiveList: {
                size_t i = 0;
                for (uint8_t a : order_) {
                    r[2 + 2 * i] = a;
                    r[3 + 2 * i] = stations_[a].type;
                    ++i;
                }
                r[1] = static_cast<uint8_t>(1 + 2 * i);
                break;
            }
            case dpm::kSlaveDiagnosis: {
                auto it = stations_.find(block[3]);
                if (it != stations_.end()) {
                    r[12] = static_cast<uint8_t>(it->second.ident >> 8);
                    r[13] = static_cast<uint8_t>(it->second.ident);
                }
                break;
            }
            case dpm::kSlaveParameterSet: {
                auto it = stations_.find(block[3]);
                if (it == stations_.end()) {
                    break;
                }
                ScriptedStation& s = it->second;
                const bool empty = block[7] == 2;
                const bool ppo2 = block[36] == 0xF5;
                // A station takes the configuration of its own PPO type only.
                const bool speaksPpo2 = s.ppo2 && !s.inBootloader;
                setInExchange(s.address, !empty && s.ready && ppo2 == speaksPpo2);
                break;
            }
            default:
                break;
        }
        return r;
    }

    void take(uint8_t address, const ParameterWords& out) {
        auto it = stations_.find(address);
        if (it == stations_.end()) {
            return;
        }
        ScriptedStation& s = it->second;
        const uint16_t id = out[0] >> 12;
        const uint16_t pnu = out[0] & 0x07FF;
        if (out[0] == 0x3398) {  // change parameter 920: restart into the bootloader
            s.inBootloader = true;
            erasing_[address] = false;
            lastSequence_[address] = 0;
            setInExchange(address, false);
            return;
        }
        if (id == 1 && pnu == 922) {
            setInput(address, {static_cast<uint16_t>(0x1000 | 922), 0, 0,
                               static_cast<uint16_t>(s.ppo2 && !s.inBootloader ? 2 : 1)});
            return;
        }
        if (id == 6 && pnu == 964) {
            setInput(address, {static_cast<uint16_t>(0x4000 | 964), out[1],
                               static_cast<uint16_t>(s.inBootloader ? 0x0400 : 0), s.version});
            return;
        }
        if (out[0] != 0x87D0 || !s.inBootloader) {
            return;
        }
        if (out[1] == 3 && out[2] == 0xAA55) {
            ++s.erases;
            if (!erasing_[address] && !s.eraseNever) {
                erasing_[address] = true;
                clock_.scheduleAfterUs(s.eraseUs, [this, address] {
                    setInput(address, {0x67D0, 3});
                });
            }
            return;
        }
        if (out[1] == 1 && out[2] == 0xAA55) {
            ++s.finishes;
            s.inBootloader = false;
            return;
        }
        if (out[1] < 10 || out[1] == lastSequence_[address]) {
            return;
        }
        lastSequence_[address] = out[1];
        ++s.telegrams;
        for (uint16_t w : {out[2], out[3]}) {
            for (char c : {static_cast<char>(w >> 8), static_cast<char>(w & 0xFF)}) {
                if (c != 0) {
                    s.text += c;
                }
            }
        }
        const uint16_t sequence = out[1];
        const bool fail = s.failAtTelegram == s.telegrams;
        clock_.scheduleAfterUs(s.ackUs, [this, address, sequence, fail] {
            setInput(address, fail ? ParameterWords{0x77D0, sequence, 0, 0x0005}
                                   : ParameterWords{0x67D0, sequence});
        });
    }

    VirtualClock& clock_;
    std::vector<uint8_t> order_;
    std::map<uint8_t, ScriptedStation> stations_;
    std::map<uint8_t, uint16_t> lastSequence_;
    std::map<uint8_t, bool> erasing_;
};

}  // namespace romtide::test
