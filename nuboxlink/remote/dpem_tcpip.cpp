#include "nuboxlink/remote/dpem_tcpip.h"

#include <algorithm>
#include <cstring>

namespace nuboxlink {

namespace {

constexpr uint8_t kTransferFailed = 5;
constexpr uint8_t kExchangeAnswer = 5;

}  // namespace

uint8_t CDpemTcpip::simple(uint8_t code, uint8_t* out) {
    const uint8_t bytes[2] = {code, index_};
    return tcpip_.request(bytes, sizeof bytes, out);
}

uint8_t CDpemTcpip::WriteCommand(const uint8_t* block, uint16_t length) {
    std::array<uint8_t, remote::kCommandHeaderSize + remote::kReportSize> bytes{};
    length = std::min<uint16_t>(length, remote::kReportSize);
    bytes[0] = remote::kWriteCommand;
    bytes[1] = index_;
    std::memcpy(bytes.data() + remote::kCommandHeaderSize, block, length);
    return tcpip_.request(bytes.data(), remote::kCommandHeaderSize + length, nullptr);
}

uint8_t CDpemTcpip::GetReport(uint8_t* report) {
    std::lock_guard lock(lock_);
    if (buffered_) {
        std::memcpy(report, report_.data(), report_.size());
        buffered_ = false;
        return 0;
    }
    return simple(remote::kGetReport, report);
}

bool CDpemTcpip::Poll() {
    std::lock_guard lock(lock_);
    if (!buffered_ && simple(remote::kGetReport, report_.data()) == remote::kReplyOk) {
        buffered_ = true;
    }
    return buffered_;
}

uint8_t CDpemTcpip::WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                                    uint8_t station) {
    if (length > 0 && !source) {
        return kTransferFailed;
    }
    std::array<uint8_t, remote::kMaxRequestSize> bytes{};
    bytes[0] = remote::kWriteOutput;
    bytes[1] = index_;
    bytes[2] = static_cast<uint8_t>(offset >> 8);
    bytes[3] = static_cast<uint8_t>(offset);
    bytes[4] = length;
    bytes[5] = station;
    if (length > 0) {
        std::memcpy(bytes.data() + remote::kDataHeaderSize, source, length);
    }
    return tcpip_.request(bytes.data(), remote::kDataHeaderSize + length, nullptr);
}

uint8_t CDpemTcpip::ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                                  uint8_t station) {
    if (length > 0 && !destination) {
        return kTransferFailed;
    }
    const uint8_t bytes[remote::kDataHeaderSize] = {
        remote::kReadInput,           index_, static_cast<uint8_t>(offset >> 8),
        static_cast<uint8_t>(offset), length, station};
    return tcpip_.request(bytes, sizeof bytes, destination);
}

uint8_t CDpemTcpip::DataExchange(DataTransferRecord* const* records) {
    for (DataTransferRecord* const* p = records; p && *p; ++p) {
        const DataTransferRecord& r = **p;
        WriteOutputData(r.output, r.outputOffset, r.outputLength, r.station);
        ReadInputData(r.input, r.inputOffset, r.inputLength, r.station);
    }
    // The exchange is not available as one operation on a remote board: the parts were
    // moved one by one, and the caller is told so whatever their results.
    return kExchangeAnswer;
}

uint8_t CDpemTcpip::WriteRemoteAccessFlag(uint8_t flag) {
    const uint8_t bytes[3] = {remote::kRemoteAccessFlag, index_, flag};
    return tcpip_.request(bytes, sizeof bytes, nullptr);
}

uint8_t CDpemTcpip::ReadDataTransferList(uint8_t* list) {
    return simple(remote::kTransferList, list);
}

uint8_t CDpemTcpip::ReadSystemDiagnostic(uint8_t* diag) {
    return simple(remote::kSystemDiagnostic, diag);
}

uint8_t CDpemTcpip::ReadDiagState(uint8_t* out) {
    return simple(remote::kDiagState, out);
}

uint8_t CDpemTcpip::StationOnline(uint8_t* out) {
    return simple(remote::kStationOnline, out);
}

}  // namespace nuboxlink
