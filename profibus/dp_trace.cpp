#include "profibus/dp_trace.h"

namespace romtide {

namespace {

// How many leading bytes of a command block or report a line shows: enough for the
// header and the data the tool reads (live list entries, diagnosis ident).
constexpr int kShownBytes = 16;

// The bytes a block of the wrapper's commands holds; unknown codes show their code only,
// as nothing says how long their block is.
int blockBytes(uint8_t code) {
    switch (code) {
        case 0x21:
        case 0x27:
            return 4;
        case 0x24:
        case 0x25:
            return kShownBytes;
        default:
            return 1;
    }
}

}  // namespace

TracingDpMasterLibrary::TracingDpMasterLibrary(DpMasterLibrary& inner, const Clock& clock,
                                               std::FILE* out)
    : inner_(inner), clock_(clock), out_(out) {}

void TracingDpMasterLibrary::stamp() {
    const int64_t now = clock_.nowUs();
    if (startUs_ < 0) {
        startUs_ = now;
    }
    const int64_t t = now - startUs_;
    std::fprintf(out_, "(%lld.%06lld) ", static_cast<long long>(t / 1000000),
                 static_cast<long long>(t % 1000000));
}

void TracingDpMasterLibrary::words(uint8_t station, const char* kind, const uint8_t* bytes,
                                   uint8_t length) {
    stamp();
    std::fprintf(out_, "%u %s", station, kind);
    for (uint8_t i = 0; i + 1 < length; i += 2) {
        std::fprintf(out_, " %02X%02X", bytes[i], bytes[i + 1]);
    }
    std::fputc('\n', out_);
    std::fflush(out_);
}

uint8_t TracingDpMasterLibrary::InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                                        uint8_t* channelStatus) {
    uint8_t r = inner_.InitDll(configs, mask, status, channelStatus);
    stamp();
    std::fprintf(out_, "init result=%u status=%u\n", r, status != nullptr ? status[0] : 0);
    std::fflush(out_);
    return r;
}

uint8_t TracingDpMasterLibrary::ResetDevice(uint8_t device, uint32_t port) {
    uint8_t r = inner_.ResetDevice(device, port);
    stamp();
    std::fprintf(out_, "reset result=%u\n", r);
    std::fflush(out_);
    return r;
}

uint8_t TracingDpMasterLibrary::GetDeviceInfo(uint8_t device, DeviceInfo* info) {
    return inner_.GetDeviceInfo(device, info);
}

uint8_t TracingDpMasterLibrary::WriteCommand(uint8_t device, uint8_t channel,
                                             const uint8_t* block) {
    uint8_t r = inner_.WriteCommand(device, channel, block);
    stamp();
    std::fprintf(out_, "cmd result=%u", r);
    for (int i = 0; i < blockBytes(block[0]); ++i) {
        std::fprintf(out_, " %02X", block[i]);
    }
    std::fputc('\n', out_);
    std::fflush(out_);
    return r;
}

uint8_t TracingDpMasterLibrary::GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    uint8_t r = inner_.GetReport(device, channel, report);
    if (r == 0) {
        stamp();
        std::fprintf(out_, "report");
        for (int i = 0; i < kShownBytes; ++i) {
            std::fprintf(out_, " %02X", report[i]);
        }
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    return r;
}

uint8_t TracingDpMasterLibrary::WriteOutputData(uint8_t device, uint8_t channel,
                                                const uint8_t* source, uint16_t offset,
                                                uint8_t length, uint8_t station) {
    uint8_t r = inner_.WriteOutputData(device, channel, source, offset, length, station);
    words(station, "out", source, length);
    return r;
}

uint8_t TracingDpMasterLibrary::ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                              uint16_t offset, uint8_t length, uint8_t station) {
    uint8_t r = inner_.ReadInputData(device, channel, destination, offset, length, station);
    if (r == 0) {
        std::vector<uint8_t> now(destination, destination + length);
        auto& last = lastInput_[station];
        if (now != last) {
            last = now;
            words(station, "in", destination, length);
        }
    }
    return r;
}

uint8_t TracingDpMasterLibrary::ReadDataTransferList(uint8_t device, uint8_t channel,
                                                     uint8_t list[16]) {
    return inner_.ReadDataTransferList(device, channel, list);
}

uint8_t TracingDpMasterLibrary::StationOnline(uint8_t device, uint8_t channel, uint8_t* out) {
    return inner_.StationOnline(device, channel, out);
}

}  // namespace romtide
