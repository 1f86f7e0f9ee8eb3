// Reports and input data come from the board: any bytes as the live list's confirmation,
// the slaves' diagnoses and a station's PKW answer, read by the DP master wrapper. The
// scan may fill at most 127 entries and 128 grid rows, whatever the length byte says,
// and nothing is read outside a report.
#include <cstdint>
#include <cstring>
#include <vector>

#include "profibus/tprofitalvik.h"
#include "tests/profibus/fake_dp_master.h"
#include "ui/event_pump.h"

namespace {

class NoMessages : public romtide::ui::MessageBoxes {
  public:
    romtide::ui::MessageAnswer show(const romtide::ui::Message&) override {
        return romtide::ui::MessageAnswer::Ok;
    }
};

struct CountingGrid : romtide::StationGrid {
    void setRowCount(int rows) override {
        if (rows < 1 || rows > 128) {
            __builtin_trap();
        }
        rowCount = rows;
    }
    void setCell(int column, int row, const std::string&) override {
        if (column < 0 || column > 2 || row < 1 || row >= rowCount) {
            __builtin_trap();
        }
    }
    int visibleRowCount() const override { return 10; }
    void setTopRow(int) override {}
    int rowCount = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romtide;
    if (size < 2) {
        return 0;
    }
    VirtualClock clock;
    ui::QueuedEventPump pump;
    NoMessages messages;
    Services services{clock, pump, messages};
    test::FakeDpMaster lib(clock);
    TProfitalvik::resetSharedState();
    TProfitalvik dp(services, lib);

    test::Report live{};
    std::memcpy(live.data(), data, std::min<size_t>(size, live.size()));
    live[0] = 0xF5;
    const std::vector<uint8_t> rest(data + std::min<size_t>(size, 256), data + size);
    size_t next = 0;
    lib.confirm = [&](const std::vector<uint8_t>& block) -> std::optional<test::Report> {
        if (block[0] == 0x35) {
            return live;
        }
        test::Report r = test::confirmationOf(block.data());
        if (block[0] == 0x21) {
            // Any bytes as the diagnosis, but never an ident of 0 forever.
            for (size_t i = 1; i < r.size() && !rest.empty(); ++i) {
                r[i] = rest[(next + i) % rest.size()];
            }
            ++next;
            if (r[12] == 0 && r[13] == 0) {
                r[13] = 1;
            }
        }
        return r;
    };
    CountingGrid grid;
    dp.ScanLiveList(grid);
    if (dp.liveStations().size() > 127) {
        __builtin_trap();
    }
    for (const auto& entry : dp.scanTable()) {
        if (entry.address == 0) {
            break;
        }
        if (entry.row < 1 || entry.row >= grid.rowCount) {
            __builtin_trap();
        }
    }

    // A station's input words as the PKW answer.
    TProfitalvik::SetStationAddress(data[0] % 130);
    TProfitalvik::SetPpo2(data[1] & 1);
    lib.inputs[static_cast<uint8_t>(data[0] % 130)] = rest;
    lib.transferList.fill(0xFF);
    ParameterWords request{};
    request[1] = data[1];
    ParameterWords response{};
    dp.RequestParameter(request, response, data[1] & 2 ? 964 : 922);
    return 0;
}
