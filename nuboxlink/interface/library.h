// The per-process state behind the exported functions: the device table of 16 boards,
// the global lock for board management, one lock per device number for channel calls,
// the per-process board tables and the attached-devices enumeration.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "nuboxlink/board/device.h"
#include "nuboxlink/channel/dpem_channel.h"
#include "nuboxlink/nubox_types.h"
#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

class Library {
  public:
    explicit Library(Platform& platform);
    // Closes what is still open, so a test's library leaves no thread behind. (The shared
    // library's instance lives until the process ends, as boards are never closed at
    // unload.)
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    Platform& platform() { return platform_; }

    uint8_t initDll(DeviceConfig* configs, uint16_t mask, uint8_t* status, uint8_t* channelStatus);
    uint8_t initDevice(uint8_t device, const uint8_t types[4], const uint16_t params[4]);
    uint8_t resetDevice(uint8_t device, uint32_t port);
    uint8_t getDeviceInfo(uint8_t device, DeviceInfo* info);
    uint8_t assignDevice(uint8_t device, uint8_t kind, uint32_t boardId);
    uint8_t attachedDevices(uint8_t flags, uint8_t out[5]);
    uint8_t watchMailbox(uint8_t device, uint8_t channel, NuboxReportCallback callback,
                         uint32_t userValue, uint16_t periodMs);
    uint8_t stopWatchThread(uint8_t device, uint8_t channel);

    // The channel-call gate: every channel export passes here with its family.
    template <class Op>
    uint8_t channelCall(uint8_t device, uint8_t channel, uint8_t family, Op&& op);

    uint8_t dpemWriteCommand(uint8_t device, uint8_t channel, const uint8_t* block);
    uint8_t dpemGetReport(uint8_t device, uint8_t channel, uint8_t* report);
    uint8_t dpemWriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                uint16_t offset, uint8_t length, uint8_t station);
    uint8_t dpemReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                              uint16_t offset, uint8_t length, uint8_t station);
    uint8_t dpemDataExchange(uint8_t device, uint8_t channel, DataTransferRecord* const* records);
    uint8_t dpemWriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag);
    uint8_t dpemReadDataTransferList(uint8_t device, uint8_t channel, uint8_t* list);
    uint8_t dpemReadSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t* diag);
    uint8_t dpemReadDiagState(uint8_t device, uint8_t channel, uint8_t* out);
    uint8_t dpemStationOnline(uint8_t device, uint8_t channel, uint8_t* out);

    using SlotTable = nuboxlink::SlotTable;
    SlotTable& pciSlots() { return pciSlots_; }
    SlotTable& usbSlots() { return usbSlots_; }
    // Plug-and-play cards: the id is the socket.
    SlotTable& cardSlots() { return cardSlots_; }
    // True when another board object of this process holds that kind of board id.
    bool idInUse(const SlotTable& table, uint16_t id) const;

    // For tests: the board in the device table (no lock; do not race with resets).
    CDevice* board(uint8_t device) const { return device < 16 ? table_[device].load() : nullptr; }

  private:
    // Which kind of board a device number's registry values make, in the order of
    // precedence of the values.
    enum class BoardChoice { None, Isa, Usb, Card, Pci, Remote };
    static BoardChoice chooseBoard(const RegValues& values);
    // What an examination of a board not in the table found.
    struct Examined {
        DeviceInfo info{};
        uint8_t result = 0;
    };
    CChannel* watchedChannel(uint8_t device, uint8_t channel, uint8_t* code);
    // Makes the board object for a device number from the registry (or none).
    std::unique_ptr<CDevice> makeBoard(uint8_t device, DeviceConfig& config);
    // The same from the device number's values as read from the registry.
    std::unique_ptr<CDevice> boardFromValues(uint8_t device, DeviceConfig& config,
                                             const RegValues& values);
    // Takes the board out of the table under its device lock. `endCalls`: a channel call
    // in progress on another thread is ended first (Interrupt) rather than waited for.
    std::unique_ptr<CDevice> takeBoard(uint8_t device, bool endCalls = false);
    void destroyBoard(std::unique_ptr<CDevice> board);
    // The board InitDll opens and configures for `device` now (null: none).
    void setOpening(uint8_t device, CDevice* board);
    // Opens and closes a board made for the examination: its device information and 0,
    // or 2 when it could not be examined.
    static uint8_t examine(CDevice& board, DeviceInfo* info);
    // The device information of a device number. Called with `global` held, and returns
    // with it held; a remote board is examined with it let go. `devices`: the registry as
    // this call read it, or null to read it here.
    uint8_t deviceInfo(uint8_t device, DeviceInfo* info, std::unique_lock<std::mutex>& global,
                       const DeviceValues* devices = nullptr);
    // Examines, all at once and with `global` let go, the remote boards of the device
    // numbers from `from` on that are not in the table.
    std::array<std::optional<Examined>, 16> examineRemoteBoards(
        uint8_t from, const DeviceValues& devices, std::unique_lock<std::mutex>& global);

    Platform& platform_;
    // Lock order: enumMutex_, global_, probeLocks_[n], deviceLocks_[n].
    std::mutex enumMutex_;  // the attached-devices enumeration below
    std::mutex global_;
    // Held while a board of that device number that is not in the table is examined or
    // reset outside the global lock; InitDll and ResetDevice take it under the global
    // lock, so they wait for such an examination, and none starts while they run.
    std::array<std::mutex, 16> probeLocks_;
    std::array<std::mutex, 16> deviceLocks_;
    // The boards InitDll is opening, so that a reset from another thread can end a wait
    // for a server that does not answer; a board is taken out before it is destroyed.
    std::mutex openingMutex_;
    std::array<CDevice*, 16> opening_{};
    std::array<std::atomic<CDevice*>, 16> table_{};
    SlotTable pciSlots_, usbSlots_, cardSlots_;

    std::array<DeviceInfo, 16> attached_{};
    uint8_t enumFilter_ = 0;
    uint8_t enumCursor_ = 0;
    bool enumStarted_ = false;
};

template <class Op>
uint8_t Library::channelCall(uint8_t device, uint8_t channel, uint8_t family, Op&& op) {
    if (device > 15) {
        return 1;
    }
    if (channel > 3) {
        return 2;
    }
    std::lock_guard lock(deviceLocks_[device]);
    CDevice* board = table_[device].load();
    if (!board) {
        return 3;
    }
    CChannel* c = board->channel(channel);
    if (!c) {
        return 3;
    }
    if (c->type() != family) {
        return 4;
    }
    if (!board->IsOpen()) {
        return 3;
    }
    uint8_t result = op(*c);
    return board->IsOpen() ? result : 3;
}

}  // namespace nuboxlink
