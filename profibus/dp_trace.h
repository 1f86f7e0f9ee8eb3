// A record of what the tool exchanged with the board, whatever board it is: wraps the
// wrapper's library calls and writes one line per output write and per input reading
// that differs from the one before it (per station):
//
//   (SECONDS.MICROS) STATION out|in W0 W1 ...
//
// every word as four upper-case hex digits, 6 words for PPO1 and 10 for PPO2. Commands,
// reports and board management get lines of their own, each starting with its time
// stamp and a kind word (cmd, report, init, reset). Time counts from the first line.
#pragma once

#include <cstdio>
#include <map>
#include <vector>

#include "base/clock.h"
#include "profibus/dp_master_library.h"

namespace romtide {

class TracingDpMasterLibrary final : public DpMasterLibrary {
  public:
    // `out` stays the caller's; every line is flushed, so a killed run leaves its trace.
    TracingDpMasterLibrary(DpMasterLibrary& inner, const Clock& clock, std::FILE* out);

    uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override;
    uint8_t ResetDevice(uint8_t device, uint32_t port) override;
    uint8_t GetDeviceInfo(uint8_t device, DeviceInfo* info) override;
    uint8_t WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) override;
    uint8_t GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) override;
    uint8_t WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override;
    uint8_t ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override;
    uint8_t ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override;
    uint8_t StationOnline(uint8_t device, uint8_t channel, uint8_t* out) override;

  private:
    void stamp();
    void words(uint8_t station, const char* kind, const uint8_t* bytes, uint8_t length);

    DpMasterLibrary& inner_;
    const Clock& clock_;
    std::FILE* out_;
    int64_t startUs_ = -1;
    std::map<uint8_t, std::vector<uint8_t>> lastInput_;
};

}  // namespace romtide
