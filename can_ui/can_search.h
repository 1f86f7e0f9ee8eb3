// The node search of the CAN download window and its frame decoder: SDO requests for
// the device type and the bootloader identification to nodes 1..127, baud rate after
// baud rate until someone answers, then the details of every device found. Written
// against the user-interface services, so the desktop window and the headless command
// run the same code.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "can/tcancomm.h"
#include "session/tbootloader.h"
#include "ui/widgets.h"

namespace romtide::canui {

// The window's elements the search works on.
struct CanSearchControls {
    ui::StringGrid& grid;              // StringGrid1: 8 columns, header row 0
    ui::ProgressBar& gauge;            // prog_bar_can_search, range 0..127
    ui::ComboBox& baudList;            // combobox_baudrate with baudListItems()
    std::vector<ui::Button*> buttons;  // Open, Init, Detect, Search, Select slave, Download
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

    Tbootloader& session_;
    CanSearchControls controls_;
};

// The grid's header captions, columns 0..7.
const std::array<std::string, 8>& gridCaptions();

}  // namespace romtide::canui
