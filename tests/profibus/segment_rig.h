// The tool's DP master on the simulated segment, in this process and on the virtual
// clock: the real nuboxlink library code on a simulated PCI board (device 0) with a DP
// segment behind it, bound to the wrapper as libnuboxlink.so would be. Waits of the
// wrapper, the board's firmware and the DP cycles all run on one virtual clock, so a
// whole update costs milliseconds and always ends the same.
#pragma once

#include <memory>

#include "nuboxlink/interface/library.h"
#include "profibus/dp_master_library.h"
#include "sim/nubox/in_process_platform.h"
#include "sim/nubox/profibus_segment.h"
#include "sim/profibus/station_option.h"
#include "support/fakes.h"

namespace romtide::test {

// The wrapper's calls on a library object instead of the shared library's exports.
class LibraryBinding final : public DpMasterLibrary {
  public:
    explicit LibraryBinding(nuboxlink::Library& lib) : lib_(lib) {}
    uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                    uint8_t* channelStatus) override {
        return lib_.initDll(configs, mask, status, channelStatus);
    }
    uint8_t ResetDevice(uint8_t device, uint32_t port) override {
        return lib_.resetDevice(device, port);
    }
    uint8_t GetDeviceInfo(uint8_t device, DeviceInfo* info) override {
        return lib_.getDeviceInfo(device, info);
    }
    uint8_t WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) override {
        return lib_.dpemWriteCommand(device, channel, block);
    }
    uint8_t GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) override {
        return lib_.dpemGetReport(device, channel, report);
    }
    uint8_t WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source, uint16_t offset,
                            uint8_t length, uint8_t station) override {
        return lib_.dpemWriteOutputData(device, channel, source, offset, length, station);
    }
    uint8_t ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                          uint8_t length, uint8_t station) override {
        return lib_.dpemReadInputData(device, channel, destination, offset, length, station);
    }
    uint8_t ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) override {
        return lib_.dpemReadDataTransferList(device, channel, list);
    }
    uint8_t StationOnline(uint8_t device, uint8_t channel, uint8_t* out) override {
        return lib_.dpemStationOnline(device, channel, out);
    }

  private:
    nuboxlink::Library& lib_;
};

struct SegmentRig {
    static constexpr uint16_t kBoardId = 0x42;

    explicit SegmentRig(const sim::DpSegmentConfig& config = sim::defaultDpSegment())
        : platform(true),
          board(platform.addBoard(nubox_sim::BoardSetup{nubox_sim::BoardKind::Pci, 0, kBoardId})),
          segment(
              std::make_unique<nubox_sim::ProfibusSegment>(board, platform.virtualClock(), config)),
          lib(std::make_unique<nuboxlink::Library>(platform)),
          binding(*lib) {
        platform.setDevice(
            0, nuboxlink::RegValues{{"PCI-Board", nuboxlink::RegValue::ofDword(kBoardId)}});
    }
    ~SegmentRig() {
        // The library closes its boards before the segment and the board go.
        lib.reset();
        segment.reset();
    }
    VirtualClock& clock() { return platform.virtualClock(); }
    sim::SimEncoder& encoder(int address) { return *segment->encoder(address); }

    nubox_sim::InProcessPlatform platform;
    nubox_sim::SimBoard& board;
    std::unique_ptr<nubox_sim::ProfibusSegment> segment;
    std::unique_ptr<nuboxlink::Library> lib;
    LibraryBinding binding;
    ScriptedPump pump{platform.virtualClock()};
    RecordingMessageBoxes messages;
    Services services{platform.virtualClock(), pump, messages};
};

}  // namespace romtide::test
