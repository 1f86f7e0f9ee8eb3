// Received CAN data is outside data: any bytes as frame records for the search's frame
// decoder (first byte 0), or as the text stream a simulated bootloader parses (first
// byte 1). Neither may write outside the grid or its buffers, and the grid never grows
// past its 128 device rows.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "can_ui/can_search.h"
#include "sim/core/srec.h"
#include "ui/event_pump.h"

namespace {

class NoMessages : public romtide::ui::MessageBoxes {
  public:
    romtide::ui::MessageAnswer show(const romtide::ui::Message&) override {
        return romtide::ui::MessageAnswer::Ok;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romtide;
    if (size < 1) {
        return 0;
    }
    if (data[0] == 1) {
        sim::SrecStreamParser parser;
        for (size_t i = 1; i < size; ++i) {
            parser.feed(static_cast<char>(data[i]));
        }
        parser.finish();
        if (parser.broken() && parser.feed('S')) {
            __builtin_trap();  // a broken stream must stay broken
        }
        return 0;
    }
    VirtualClock clock;
    ui::QueuedEventPump pump;
    NoMessages messages;
    Services services{clock, pump, messages};
    Tbootloader session(services);
    ui::PlainStringGrid grid(8, 2, 20);
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    canui::CanNodeSearch::resetState();
    canui::DeviceGrid view(grid);
    canui::CanNodeSearch search(session, {gauge, baud, {}, &view});
    for (size_t at = 1; at + sizeof(CanFrameRecord) <= size; at += sizeof(CanFrameRecord)) {
        CanFrameRecord record;
        std::memcpy(&record, data + at, sizeof record);
        search.IdentifyFrame(record);
    }
    if (grid.rowCount() > 129 || canui::CanNodeSearch::searchRow > 128 ||
        search.devices().size() > 128 ||
        static_cast<size_t>(grid.rowCount()) != std::max<size_t>(2, search.devices().size() + 1)) {
        __builtin_trap();
    }
    return 0;
}
