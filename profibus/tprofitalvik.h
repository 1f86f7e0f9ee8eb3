// TProfitalvik: the class-1 DP master of a download session. It drives channel 0 of a
// board (device 0 of the board library unless told otherwise) through the library: brings the board
// up, loads the bus parameter set, reads the live list and the slaves' ident numbers, parameterises
// one slave at a time (the current station) for PPO1 or PPO2, exchanges the PPO words with it and
// runs PKW parameter requests over them.
//
// Everything runs on the user-interface thread and blocks it; every wait lets pending
// user-interface events run, so Cancel and the windows' timers keep working. The values
// that a dialog sets and a window uses (station, baud rate, PPO type, PKW poll settings,
// the confirmation buffer) are class-wide.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "profibus/dp_master_library.h"
#include "ui/services.h"
#include "ui/widgets.h"

namespace romtide {

// Ten PPO words in host order; on the bus each travels high byte first. PPO1 uses words
// 0-5, PPO2 words 0-9. For a PKW request or answer: word 0 PKE (identifier in bits 12-15,
// parameter number in bits 0-10), word 1 IND, words 2-3 the value, the rest process data.
using ParameterWords = std::array<uint16_t, 10>;

// What the live-list scan needs of a table: any grid with these four operations will do.
class StationGrid {
  public:
    virtual ~StationGrid() = default;
    virtual void setRowCount(int rows) = 0;
    virtual void setCell(int column, int row, const std::string& text) = 0;
    virtual int visibleRowCount() const = 0;
    virtual void setTopRow(int row) = 0;
};

// A string grid of the user interface as the scan's table.
class StringGridStations final : public StationGrid {
  public:
    explicit StringGridStations(ui::StringGrid& grid) : grid_(grid) {}
    void setRowCount(int rows) override { grid_.setRowCount(rows); }
    void setCell(int column, int row, const std::string& text) override {
        grid_.setCell(column, row, text);
    }
    int visibleRowCount() const override { return grid_.visibleRowCount(); }
    void setTopRow(int row) override { grid_.setTopRow(row); }

  private:
    ui::StringGrid& grid_;
};

namespace dpm {
// Results of the wrapper's operations (besides the library's own 1-10, passed through).
constexpr int32_t kOk = 0;
constexpr int32_t kNoConfirmation = -1;  // also: a PKW request the station refused
constexpr int32_t kBadMode = -2;
constexpr int32_t kUnsupportedBaud = 99;

// Library results the wrapper tells apart.
constexpr uint8_t kLibraryOk = 0;
constexpr uint8_t kNoReportYet = 7;
// A range outside the channel's data area; also what the wrapper answers itself for a
// station address that has no slot in the process image.
constexpr uint8_t kOutsideDataArea = 5;

// Set-mode values.
constexpr uint8_t kModeStop = 0x40;
constexpr uint8_t kModeClear = 0x80;
constexpr uint8_t kModeOperate = 0xC0;

// Command codes; a confirmation carries the code + 0xC0.
constexpr uint8_t kSlaveDiagnosis = 0x21;
constexpr uint8_t kBusParameterSet = 0x24;
constexpr uint8_t kSlaveParameterSet = 0x25;
constexpr uint8_t kSetMode = 0x27;
constexpr uint8_t kGetLiveList = 0x35;
constexpr uint8_t kConfirmationOffset = 0xC0;

// Station types of the live list.
constexpr uint8_t kPassiveStation = 0x00;
constexpr uint8_t kActiveStation = 0x30;

constexpr uint16_t kDataAreaSize = 6000;
constexpr int kSlotBytes = 40;    // each station's output then input data
constexpr int kInputOffset = 20;  // input data within the slot
constexpr int kHighestStation = 126;

// The command blocks the wrapper writes, 256 bytes each (the library passes as many as
// the code implies).
using CommandBlock = std::array<uint8_t, 256>;
CommandBlock busParameterBlock(int32_t baudIndex);
CommandBlock slaveParameterBlock(uint8_t station, bool ppo2);
CommandBlock emptySlaveParameterBlock(uint8_t station);
CommandBlock shortBlock(uint8_t code, uint8_t station = 0);

// Stations 1-126 have a slot in the process image, and only they can be updated. 0 is a
// station address all the same (the live list shows a slave there, and the options
// dialog takes it), but it ends the target list and the scan table and has no slot.
constexpr int kLowestSlotStation = 1;
inline bool hasSlot(int station) {
    return station >= kLowestSlotStation && station <= kHighestStation;
}

// Output and input offsets of a station's slot (stations 1-126).
inline uint16_t outputOffset(int station) {
    return static_cast<uint16_t>((station - 1) * kSlotBytes);
}
inline uint16_t inputOffset(int station) {
    return static_cast<uint16_t>((station - 1) * kSlotBytes + kInputOffset);
}
// PPO data length in bytes.
inline uint8_t ppoBytes(bool ppo2) {
    return ppo2 ? 20 : 12;
}

// The bit rate of a baud-rate code, 0 when the code is not supported.
int64_t bitsPerSecond(int32_t baudIndex);
}  // namespace dpm

// One station of the last live-list scan, as values (the grid shows them as text).
struct LiveStation {
    int row = 0;
    uint8_t address = 0;
    uint8_t type = 0;    // dpm::kPassiveStation, dpm::kActiveStation or unknown
    uint16_t ident = 0;  // slaves only; 0 when the diagnosis never came
};

class TProfitalvik {
  public:
    struct ScanEntry {
        uint8_t row = 0;
        uint8_t address = 0;
    };
    static constexpr size_t kScanTableSize = 128;
    static constexpr size_t kReportSize = 256;

    TProfitalvik(const Services& services, DpMasterLibrary& library);
    TProfitalvik(const TProfitalvik&) = delete;
    TProfitalvik& operator=(const TProfitalvik&) = delete;

    // Class-wide values; a set stores the value and does nothing else.
    static int32_t GetStationAddress() { return stationAddress; }
    static void SetStationAddress(int32_t address) { stationAddress = address; }
    static int32_t GetBaudIndex() { return baudIndex; }
    static void SetBaudIndex(int32_t index) { baudIndex = index; }
    static bool GetPpo2() { return ppo2; }
    static void SetPpo2(bool value) { ppo2 = value; }
    static int32_t GetPkwPollLimit() { return pkwPollLimit; }
    static int32_t GetPkwPollDelay() { return pkwPollDelay; }
    static const std::array<uint8_t, kReportSize>& ReportBuffer() { return reportBuffer; }
    // Back to the values of a fresh program start.
    static void resetSharedState();

    // The library's device number of the board, 0-15 (0 unless set); before InitAdapter.
    void SetDevice(uint8_t device) { device_ = device < 16 ? device : 0; }
    uint8_t GetDevice() const { return device_; }

    int32_t InitAdapter();
    int32_t ResetAdapter();
    int32_t GetAdapterInfo(DeviceInfo& info);
    int32_t Wait4Con();
    int32_t SetMode(uint8_t mode);
    int32_t LoadBusParameter();
    int32_t LoadSlaveParameter();
    void ScanLiveList(StationGrid& grid);
    uint16_t ReadIdentNumber(uint8_t address);
    int32_t InitForDownload();
    int32_t DetectPpo();
    int32_t RequestParameter(const ParameterWords& request, ParameterWords& response, uint16_t pnu);
    int32_t ReadPkwResponse(ParameterWords& words);
    int32_t WriteOutputWords(const ParameterWords& words);
    int32_t ReadInputWords(ParameterWords& words);
    // Whether the current station is in data exchange (its bit in the board's data
    // transfer list); false also when the list cannot be read.
    bool StationInDataExchange();
    void WaitMs(int32_t count);

    const std::array<ScanEntry, kScanTableSize>& scanTable() const { return scanTable_; }
    int32_t lastResult() const { return lastResult_; }
    // The stations of the last scan that reached the grid, in grid-row order.
    std::vector<LiveStation> liveStations() const;

    // Shown around the board reset after a missing confirmation; may stay null.
    void setBusyCursor(ui::BusyCursor* cursor) { busyCursor_ = cursor; }
    const Services& services() const { return services_; }
    DpMasterLibrary& library() { return library_; }

    // About one DP cycle for one PPO1 slave at the current baud rate (550 bit times);
    // 1 ms for a code without a rate.
    static int64_t dpCycleUs();
    // When the data phase first looks for a telegram's answer: two DP cycles after
    // writing it, as the exchange that takes the telegram starts no earlier than the
    // write and the answer comes back with the exchange after it.
    static int64_t acknowledgeFirstLookUs();
    // How long the data phase pauses between two later looks: a quarter of a DP cycle.
    // The next telegram keeps pace as long as it is written within one cycle of the
    // answer's arrival (the exchange then running has taken the outputs already, the one
    // after it takes the new telegram), so a quarter cycle loses nothing of the bus's
    // pace and wakes the program a few times per telegram instead of spinning.
    static int64_t inputPollPauseUs();

  private:
    // Writes a command block and remembers its code for Wait4Con.
    uint8_t writeCommand(const dpm::CommandBlock& block);
    // Runs steps while each returns 0, keeping each result in lastResult.
    template <class... Steps>
    int32_t chain(Steps&&... steps);
    int32_t parameteriseChain();
    void setBusy(bool busy);

    static inline int32_t stationAddress = 3;
    static inline int32_t baudIndex = 7;
    static inline bool ppo2 = false;
    static inline int32_t pkwPollLimit = 100;
    static inline int32_t pkwPollDelay = 2;
    static inline std::array<uint8_t, kReportSize> reportBuffer{};

    Services services_;
    DpMasterLibrary& library_;
    uint8_t device_ = 0;
    ui::BusyCursor* busyCursor_ = nullptr;
    std::array<ScanEntry, kScanTableSize> scanTable_{};
    std::vector<LiveStation> live_;
    int32_t lastResult_ = 0;
    uint8_t pendingCode_ = 0;
};

}  // namespace romtide
