// The node search of the CAN download window and its frame decoder: SDO requests for
// the device type and the bootloader identification to nodes 1..127, baud rate after
// baud rate until someone answers, then the details of every device found. Written
// against the user-interface services, so the desktop window and the headless command
// run the same code. What it finds it hands over as values: the window shows them in
// its grid (DeviceGrid), the headless command prints them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "can/tcancomm.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::canui {

// A device that answered the search, with the texts the grid shows for it.
struct FoundDevice {
    int node = 0;
    int baudIndex = 0;  // the rate it answered at (TCANComm::kBitRates)
    int kbit = 0;
    // It answered the bootloader identification first: it runs its bootloader, and
    // deviceType names the bootloader ("Bootloader V.2.387 Quadra").
    bool bootloaderMode = false;
    std::string deviceType;       // " Encoder [406]", or the bootloader's version
    std::string additionalInfo;   // "MultiTurn absolute rotary encoder [2]", or the maker
    std::string name;             // the device name (object 0x1008), at most 4 characters
    std::string revision;         // "01.02"
    std::string hardwareVersion;  // object 0x1009
    std::string softwareVersion;  // object 0x100A
    // The values behind the texts: the device type (object 0x1000) of an application,
    // and the bootloader identification's version (0: V1.0) and product letter (the
    // updater's product letter when the updater runs; 0 when none is named).
    std::optional<uint32_t> deviceTypeCode;
    std::optional<int> bootloaderVersion;
    char bootloaderProduct = 0;
    bool updater = false;
};

// Told of every change to the list of devices found, in the order the answers come.
class FoundDeviceListener {
  public:
    virtual ~FoundDeviceListener() = default;
    // The list was emptied (a new search starts).
    virtual void devicesCleared() = 0;
    // Device `index` (0 for the first found) answered; the list now ends with it. (A
    // device after it is gone: a row the search takes again is written anew.)
    virtual void deviceFound(size_t index, const FoundDevice& device) = 0;
    // One of the texts of device `index` changed.
    virtual void deviceChanged(size_t index, const FoundDevice& device) = 0;
};

// The window's elements the search works on.
struct CanSearchControls {
    ui::ProgressBar& gauge;            // prog_bar_can_search, range 0..127
    ui::ComboBox& baudList;            // combobox_baudrate with baudListItems()
    std::vector<ui::Button*> buttons;  // Open, Init, Detect, Search, Select slave, Download
    FoundDeviceListener* listener = nullptr;
};

// The window's device grid (StringGrid1: 8 columns, header row 0), filled from the
// values: device N in row N + 1, the newest row kept in view.
class DeviceGrid final : public FoundDeviceListener {
  public:
    explicit DeviceGrid(ui::StringGrid& grid) : grid_(grid) {}
    void devicesCleared() override;
    void deviceFound(size_t index, const FoundDevice& device) override;
    void deviceChanged(size_t index, const FoundDevice& device) override;

  private:
    ui::StringGrid& grid_;
};

class CanNodeSearch {
  public:
    CanNodeSearch(Tbootloader& session, CanSearchControls controls);

    // "&Search": runs the whole search before it returns.
    void button_can_searchClick();
    // The decoder, for every frame delivered while forwarding is on.
    void IdentifyFrame(uint32_t timeStamp, uint32_t identifier, uint8_t length,
                       const uint8_t* data);
    void IdentifyFrame(const CanFrameRecord& frame) {
        IdentifyFrame(frame.timeStamp, frame.id, frame.length, frame.data);
    }
    // A handler for TCANComm::SetReceiveHandler that feeds this decoder.
    TCANComm::ReceiveHandler receiveHandler() {
        return [this](CanFrameRecord r) { IdentifyFrame(r); };
    }
    // One 5 ms sleep per 50 units, pending events processed after each.
    void PumpWait(int32_t units);

    // What the last search found, in the order the devices answered (the grid's rows).
    const std::vector<FoundDevice>& devices() const { return devices_; }
    // Forgets them (the window's Quit empties its grid).
    void clearDevices();

    // The search state, process-wide like the window's.
    static inline int32_t searchRow = 0;
    static inline std::array<uint8_t, 129> rowNodes{};
    static inline uint32_t lastStamp = 0;
    static inline int32_t lastNode = 0;
    static inline bool searchCancel = false;
    static void resetState();

  private:
    bool startRow(int32_t node);
    void setButtons(bool enabled);
    int32_t rowOfNode(int32_t node) const;
    // The device of `row` was found, or changed: tell the listener.
    void found(int32_t row);
    void changed(int32_t row);

    Tbootloader& session_;
    CanSearchControls controls_;
    std::vector<FoundDevice> devices_;
};

// The grid's header captions, columns 0..7.
const std::array<std::string, 8>& gridCaptions();

// What answered when a device was identified again after its download.
enum class Answered {
    Application,  // its application: `device` holds what it told
    Bootloader,   // its bootloader still, when the wait ended
    Nothing,      // no answer at all
    Cancelled,    // the wait was cancelled (Cancel, Ctrl-C)
};
struct Reidentification {
    Answered answered = Answered::Nothing;
    FoundDevice device;  // the search's values, as far as the device answered
    int64_t ms = 0;      // how long it took
};
// How long a device is waited for after its download, unless told otherwise.
constexpr int64_t kComeBackMs = 30000;
// Identifies the device of session.GetNodeId() again as the search does, at the rate the
// controller runs at (InitCan done for the node): the device type and the bootloader
// identification in turn until its application answers or `waitMs` have passed, then
// its name, versions and revision. A device that answers only as its bootloader is
// asked again until the wait ends, since a bootloader may take its time to start the
// application it has just written.
Reidentification identifyAgain(Tbootloader& session, int64_t waitMs);

}  // namespace romtide::canui
