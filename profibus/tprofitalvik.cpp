#include "profibus/tprofitalvik.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace romtide {

namespace dpm {

namespace {

constexpr uint8_t kChannel = 0;

// Bus parameter set: every length field counts itself; the master is station 1.
constexpr uint16_t kBusParameterLength = 66;
constexpr uint8_t kMasterAddress = 1;
constexpr uint16_t kMasterUserDataLength = 34;
constexpr char kMasterName[] = "talvik system demo master";
constexpr int32_t kFastestBaud = 9;  // 12 Mbit/s has timing values of its own

// Slave parameter set: no user parameter bytes, the PPO's configuration identifiers and
// the slot offsets in the address table.
constexpr uint16_t kSlaveParameterLength = 37;
constexpr uint8_t kActiveSlave = 0x80;
constexpr uint8_t kParameterData[7] = {0x00, 0x00, 0x00, 0x0B, 0x07, 0x93, 0x00};
constexpr uint8_t kPkwConfiguration = 0xF3;   // 4 words in and out, consistent
constexpr uint8_t kPpo1Configuration = 0xF1;  // 2 words in and out, consistent
constexpr uint8_t kPpo2Configuration = 0xF5;  // 6 words in and out, consistent

void putU16(CommandBlock& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void putU32(CommandBlock& b, size_t at, uint32_t v) {
    putU16(b, at, static_cast<uint16_t>(v >> 16));
    putU16(b, at + 2, static_cast<uint16_t>(v));
}

}  // namespace

CommandBlock shortBlock(uint8_t code, uint8_t station) {
    CommandBlock b{};
    b[0] = code;
    b[3] = station;
    return b;
}

CommandBlock busParameterBlock(int32_t baudIndex) {
    const bool fastest = baudIndex == kFastestBaud;
    CommandBlock b = shortBlock(kBusParameterSet);
    putU16(b, 6, kBusParameterLength);
    putU16(b, 8, kBusParameterLength);
    b[10] = kMasterAddress;
    b[11] = static_cast<uint8_t>(baudIndex);
    putU16(b, 12, fastest ? 1000 : 4095);  // slot time
    putU16(b, 14, fastest ? 11 : 22);      // min station delay
    putU16(b, 16, fastest ? 800 : 60);     // max station delay
    b[18] = fastest ? 9 : 0;               // quiet time
    b[19] = fastest ? 16 : 55;             // setup time
    putU32(b, 20, 1000);                   // target rotation time
    b[24] = 5;                             // gap update factor
    b[25] = kHighestStation;
    b[26] = 1;  // retry limit
    b[27] = 0;
    putU16(b, 28, 1);      // min slave interval
    putU16(b, 30, 65535);  // poll timeout
    putU16(b, 32, 300);    // data control time
    putU16(b, 40, kMasterUserDataLength);
    std::memcpy(&b[42], kMasterName, sizeof kMasterName - 1);
    return b;
}

CommandBlock slaveParameterBlock(uint8_t station, bool ppo2) {
    CommandBlock b = shortBlock(kSlaveParameterSet, station);
    putU16(b, 6, kSlaveParameterLength);
    putU16(b, 8, kSlaveParameterLength);
    b[10] = kActiveSlave;
    b[11] = 0;  // DP slave
    putU16(b, 24, 2 + sizeof kParameterData);
    std::memcpy(&b[26], kParameterData, sizeof kParameterData);
    putU16(b, 33, 4);
    b[35] = kPkwConfiguration;
    b[36] = ppo2 ? kPpo2Configuration : kPpo1Configuration;
    putU16(b, 37, 6);
    putU16(b, 39, inputOffset(station));
    putU16(b, 41, outputOffset(station));
    putU16(b, 43, 2);  // no user data
    return b;
}

CommandBlock emptySlaveParameterBlock(uint8_t station) {
    CommandBlock b = shortBlock(kSlaveParameterSet, station);
    putU16(b, 6, 2);
    return b;
}

int64_t bitsPerSecond(int32_t baudIndex) {
    static constexpr int64_t kRates[10] = {9600, 19200,   93750,   187500,  500000,
                                           0,    1500000, 3000000, 6000000, 12000000};
    return baudIndex >= 0 && baudIndex <= 9 ? kRates[baudIndex] : 0;
}

}  // namespace dpm

using namespace dpm;

namespace {

constexpr int kConfirmationPolls = 150;  // a confirmation counts only before poll 150
constexpr int kConfirmationPollMs = 2;
constexpr int kOnlinePasses = 11;
constexpr int kOnlineInTime = 9;
constexpr int kIdentAttempts = 101;
constexpr int kIdentPollMs = 10;
// A diagnosis report that has not come after this many polls (1 s) will not come: the
// board has stopped answering, and asking again would only wait as long again.
constexpr int kIdentReportPolls = 100;
constexpr int kPpoAttempts = 3;
constexpr uint16_t kPpoParameter = 922;
constexpr uint16_t kPpoAnswer = 0x1000 | kPpoParameter;

// PKW identifiers (bits 12-15 of word 0).
constexpr uint16_t kRequestValue = 0x1000;
constexpr uint16_t kRequestArrayElement = 0x6000;
constexpr uint16_t kCannotExecute = 7;

bool isArrayParameter(uint16_t pnu) {
    static constexpr uint16_t kArrays[] = {17, 18, 20, 31, 32, 33, 47, 60, 947, 964};
    return std::find(std::begin(kArrays), std::end(kArrays), pnu) != std::end(kArrays);
}

}  // namespace

TProfitalvik::TProfitalvik(const Services& services, DpMasterLibrary& library)
    : services_(services), library_(library) {}

void TProfitalvik::resetSharedState() {
    stationAddress = 3;
    baudIndex = 7;
    ppo2 = false;
    pkwPollLimit = 100;
    pkwPollDelay = 2;
    reportBuffer.fill(0);
}

void TProfitalvik::setBusy(bool busy) {
    if (busyCursor_ != nullptr) {
        busyCursor_->setBusy(busy);
    }
}

void TProfitalvik::WaitMs(int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        ui::pumpFor(services_.pump, services_.clock, 1000);
    }
}

int32_t TProfitalvik::InitAdapter() {
    DeviceConfig configs[16] = {};
    configs[device_].channels[0].type = NUBOX_CHANNEL_DPEM;
    configs[device_].channels[0].parameter = kDataAreaSize;
    uint8_t status[16] = {};
    uint8_t result =
        library_.InitDll(configs, static_cast<uint16_t>(1u << device_), status, nullptr);
    if (result == kLibraryOk) {
        return kOk;
    }
    // A library that failed before it judged the device leaves its status at 0, which
    // would read as success: its own result says what went wrong then.
    return status[device_] != 0 ? status[device_] : result;
}

int32_t TProfitalvik::ResetAdapter() {
    return library_.ResetDevice(device_, 0);
}

int32_t TProfitalvik::GetAdapterInfo(DeviceInfo& info) {
    return library_.GetDeviceInfo(device_, &info);
}

uint8_t TProfitalvik::writeCommand(const CommandBlock& block) {
    pendingCode_ = block[0];
    return library_.WriteCommand(device_, kChannel, block.data());
}

int32_t TProfitalvik::Wait4Con() {
    const uint8_t awaited = pendingCode_;
    reportBuffer.fill(0);
    bool found = false;
    int polls = 0;
    while (polls <= kConfirmationPolls) {
        ++polls;
        // Only a report the library really copied is looked at; anything else in the
        // buffer is an unrelated report fetched before and discarded.
        if (library_.GetReport(device_, kChannel, reportBuffer.data()) == kLibraryOk &&
            static_cast<int>(reportBuffer[0]) - static_cast<int>(awaited) == kConfirmationOffset) {
            found = true;
            break;
        }
        if (polls <= kConfirmationPolls) {
            WaitMs(kConfirmationPollMs);
        }
    }
    if (found && polls < kConfirmationPolls) {
        return kOk;
    }
    services_.messages.show(
        {"Error in Wait4Con()", "Bootloader", ui::MessageIcon::Error, ui::MessageButtons::Ok});
    setBusy(true);
    ResetAdapter();
    setBusy(false);
    return kNoConfirmation;
}

int32_t TProfitalvik::SetMode(uint8_t mode) {
    if (mode != kModeStop && mode != kModeClear && mode != kModeOperate) {
        return kBadMode;
    }
    // A refused write shows as the missing confirmation.
    writeCommand(shortBlock(kSetMode, mode));
    return Wait4Con();
}

int32_t TProfitalvik::LoadBusParameter() {
    uint8_t written = writeCommand(busParameterBlock(baudIndex));
    if (written != kLibraryOk) {
        lastResult_ = written;
        return lastResult_;
    }
    lastResult_ = Wait4Con();
    if (bitsPerSecond(baudIndex) == 0) {
        return kUnsupportedBaud;
    }
    // The slowest rate needs longer pauses (and twice the rounds) for a PKW answer; the
    // fastest two need none.
    if (baudIndex == 0) {
        pkwPollLimit = 200;
        pkwPollDelay = 50;
    } else {
        pkwPollLimit = 100;
        pkwPollDelay = baudIndex >= 8 ? 0 : 2;
    }
    return lastResult_;
}

int32_t TProfitalvik::LoadSlaveParameter() {
    const int32_t n = stationAddress;
    if (!hasSlot(n)) {
        // The address table would point outside the process image.
        lastResult_ = kOutsideDataArea;
        return lastResult_;
    }
    const auto station = static_cast<uint8_t>(n);
    lastResult_ = writeCommand(emptySlaveParameterBlock(station));
    if (Wait4Con() != kOk) {
        return kNoConfirmation;
    }
    uint8_t written = writeCommand(slaveParameterBlock(station, ppo2));
    if (written != kLibraryOk) {
        lastResult_ = written;
        return lastResult_;
    }
    lastResult_ = Wait4Con();
    return lastResult_;
}

template <class... Steps>
int32_t TProfitalvik::chain(Steps&&... steps) {
    lastResult_ = kOk;
    // Each step runs only while every step before it returned 0.
    ((lastResult_ == kOk ? (void)(lastResult_ = steps()) : (void)0), ...);
    return lastResult_;
}

void TProfitalvik::ScanLiveList(StationGrid& grid) {
    scanTable_.fill({});
    live_.clear();
    int32_t r = chain([&] { return SetMode(kModeClear); }, [&] { return SetMode(kModeStop); },
                      [&] { return LoadBusParameter(); }, [&] { return SetMode(kModeStop); },
                      [&] { return SetMode(kModeClear); });
    if (r != kOk) {
        return;
    }

    int pass = 0;
    for (; pass < kOnlinePasses; ++pass) {
        WaitMs(50);
        services_.pump.processPending();
        uint8_t online = 0;
        library_.StationOnline(device_, kChannel, &online);
        if (online != 0) {
            break;
        }
    }
    if (pass >= kOnlineInTime) {
        services_.messages.show({"Talvik Adapter is not online!", "Bootloader",
                                 ui::MessageIcon::None, ui::MessageButtons::Ok});
        return;
    }

    writeCommand(shortBlock(kGetLiveList));
    if (Wait4Con() != kOk) {
        return;
    }
    if (reportBuffer[0] != kGetLiveList + kConfirmationOffset) {
        return;
    }
    const int length = reportBuffer[1];
    if (length < 3) {
        services_.messages.show({length == 1 ? "ProfiBus error: Master is not in token ring"
                                             : "ProfiBus error: GetLiveList.req failed",
                                 "Bootloader", ui::MessageIcon::Information,
                                 ui::MessageButtons::Ok});
        return;
    }
    // The length byte can claim at most 127 entries, and those end with the report.
    const int entries = std::min<int>((length - 1) / 2, (kReportSize - 2) / 2);
    // The diagnoses below use a buffer of their own: the list stays as read.
    const std::array<uint8_t, kReportSize>& list = reportBuffer;
    grid.setRowCount(entries + 1);
    size_t slaves = 0;
    for (int i = entries - 1; i >= 0; --i) {
        const int row = i + 1;
        const uint8_t address = list[2 + 2 * static_cast<size_t>(i)];
        const uint8_t type = list[3 + 2 * static_cast<size_t>(i)];
        LiveStation station{row, address, type, 0};
        if (type == kPassiveStation) {
            grid.setCell(0, row, "Slave");
            grid.setCell(1, row, std::to_string(address));
            station.ident = ReadIdentNumber(address);
            char ident[8];
            std::snprintf(ident, sizeof ident, "0x%04X", station.ident);
            grid.setCell(2, row, ident);
            if (slaves < kScanTableSize) {
                scanTable_[slaves++] = {static_cast<uint8_t>(row), address};
            }
        } else {
            grid.setCell(0, row, type == kActiveStation ? "Master" : "Unknown station");
            grid.setCell(1, row, std::to_string(address));
        }
        live_.push_back(station);
        const int rows = entries + 1;
        if (rows >= grid.visibleRowCount()) {
            grid.setTopRow(rows - grid.visibleRowCount());
        }
    }
}

std::vector<LiveStation> TProfitalvik::liveStations() const {
    std::vector<LiveStation> stations = live_;
    std::sort(stations.begin(), stations.end(),
              [](const LiveStation& a, const LiveStation& b) { return a.row < b.row; });
    return stations;
}

uint16_t TProfitalvik::ReadIdentNumber(uint8_t address) {
    uint16_t ident = 0;
    std::array<uint8_t, kReportSize> report{};
    for (int attempt = 0; attempt < kIdentAttempts && ident == 0; ++attempt) {
        library_.WriteCommand(device_, kChannel, shortBlock(kSlaveDiagnosis, address).data());
        report.fill(0);
        uint8_t got = kNoReportYet;
        int polls = 0;
        while ((got = library_.GetReport(device_, kChannel, report.data())) == kNoReportYet &&
               ++polls < kIdentReportPolls) {
            ui::pumpFor(services_.pump, services_.clock, kIdentPollMs * 1000);
        }
        if (got == kNoReportYet) {
            break;
        }
        ui::pumpFor(services_.pump, services_.clock, kIdentPollMs * 1000);
        // A report the library did not copy is no diagnosis.
        if (got == kLibraryOk && report[0] == kSlaveDiagnosis + kConfirmationOffset) {
            ident = static_cast<uint16_t>(report[12] << 8 | report[13]);
        }
    }
    return ident;
}

int32_t TProfitalvik::parameteriseChain() {
    return chain([&] { return SetMode(kModeClear); }, [&] { return SetMode(kModeStop); },
                 [&] { return LoadSlaveParameter(); }, [&] { return SetMode(kModeClear); },
                 [&] { return SetMode(kModeOperate); });
}

int32_t TProfitalvik::InitForDownload() {
    WaitMs(500);
    return chain([&] { return SetMode(kModeClear); }, [&] { return SetMode(kModeStop); },
                 [&] { return LoadBusParameter(); }, [&] { return LoadSlaveParameter(); },
                 [&] { return SetMode(kModeClear); }, [&] { return SetMode(kModeOperate); });
}

int32_t TProfitalvik::DetectPpo() {
    ppo2 = false;
    if (int32_t r = parameteriseChain(); r != kOk) {
        return r;
    }
    ParameterWords response{};
    auto ask = [&] {
        for (int attempt = 0; attempt < kPpoAttempts; ++attempt) {
            RequestParameter(ParameterWords{}, response, kPpoParameter);
            if (response[0] == kPpoAnswer) {
                return true;
            }
        }
        return false;
    };
    if (!ask()) {
        ppo2 = true;
        parameteriseChain();
        if (!ask()) {
            return kNoConfirmation;
        }
    }
    switch (response[3]) {
        case 1:
            return 0;
        case 2:
            return 1;
        default:
            return kNoConfirmation;
    }
}

int32_t TProfitalvik::RequestParameter(const ParameterWords& request, ParameterWords& response,
                                       uint16_t pnu) {
    ParameterWords words = request;
    if (isArrayParameter(pnu)) {
        words[0] = static_cast<uint16_t>(kRequestArrayElement | pnu);
        words[1] = static_cast<uint16_t>(words[1] << 8);  // the subindex travels high
    } else if (pnu == 300) {
        words[0] = static_cast<uint16_t>(kRequestValue | pnu);
        words[1] = static_cast<uint16_t>(words[1] << 4);
    } else {
        words[0] = static_cast<uint16_t>(kRequestValue | pnu);
        words[1] = 0;
    }
    if (int32_t written = WriteOutputWords(words); written != kLibraryOk) {
        lastResult_ = written;
        return written;
    }
    const uint16_t p = words[0] & 0x0FFF;
    const uint16_t index = words[1];
    auto matches = [&](const ParameterWords& w) {
        // Answer identifiers 0, 1, 2, 4 and 5 for this parameter (and this index).
        for (uint16_t id : {0x0000, 0x1000, 0x2000, 0x4000, 0x5000}) {
            if (w[0] == static_cast<uint16_t>(p + id)) {
                return index == 0 || w[1] == index;
            }
        }
        return false;
    };
    ParameterWords working{};
    working[0] = 0xFFFF;
    lastResult_ = kOk;
    for (int32_t round = 0; round <= pkwPollLimit; ++round) {
        if (matches(working)) {
            break;
        }
        lastResult_ = ReadPkwResponse(working);
        // A refusal counts only when it names this parameter: the input may still hold
        // the refusal of the station's previous request until it has taken this one.
        if ((working[0] >> 12) == kCannotExecute && (working[0] & 0x07FF) == (p & 0x07FF)) {
            lastResult_ = kNoConfirmation;
            break;
        }
        // At 6 and 12 Mbit/s the pause is 0 ms, and the rounds would last only as long
        // as the computer takes for them, less than the few DP cycles an answer needs:
        // each round waits at least a quarter of a cycle.
        ui::pumpFor(services_.pump, services_.clock,
                    std::max<int64_t>(int64_t{pkwPollDelay} * 1000, dpCycleUs() / 4));
    }
    response = working;
    return lastResult_;
}

int32_t TProfitalvik::WriteOutputWords(const ParameterWords& words) {
    const int32_t n = stationAddress;
    if (!hasSlot(n)) {
        lastResult_ = kOutsideDataArea;
        return lastResult_;
    }
    uint8_t bytes[20];
    for (size_t i = 0; i < words.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i]);
    }
    lastResult_ = library_.WriteOutputData(device_, kChannel, bytes, outputOffset(n),
                                           ppoBytes(ppo2), static_cast<uint8_t>(n));
    return lastResult_;
}

int32_t TProfitalvik::ReadInputWords(ParameterWords& words) {
    const int32_t n = stationAddress;
    uint8_t bytes[20] = {};
    if (hasSlot(n)) {
        lastResult_ = library_.ReadInputData(device_, kChannel, bytes, inputOffset(n),
                                             ppoBytes(ppo2), static_cast<uint8_t>(n));
    } else {
        lastResult_ = kOutsideDataArea;
    }
    services_.pump.processPending();
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    return lastResult_;
}

int32_t TProfitalvik::ReadPkwResponse(ParameterWords& words) {
    ParameterWords read{};
    int32_t result = ReadInputWords(read);
    // Only a station in data exchange has answered anything.
    if (StationInDataExchange()) {
        words = read;
    }
    return result;
}

bool TProfitalvik::StationInDataExchange() {
    uint8_t list[16] = {};
    if (library_.ReadDataTransferList(device_, kChannel, list) != kLibraryOk) {
        return false;
    }
    const int32_t n = stationAddress;
    return hasSlot(n) && ((list[n / 8] >> (n % 8)) & 1) != 0;
}

int64_t TProfitalvik::dpCycleUs() {
    constexpr int64_t kCycleBits = 550;
    const int64_t bps = bitsPerSecond(baudIndex);
    return bps == 0 ? 1000 : kCycleBits * 1000000 / bps;
}

int64_t TProfitalvik::acknowledgeFirstLookUs() {
    return 2 * dpCycleUs();
}

int64_t TProfitalvik::inputPollPauseUs() {
    return std::max<int64_t>(1, dpCycleUs() / 4);
}

}  // namespace romtide
