#include "nuboxlink/channel/dpem_usb.h"

#include <cstring>

namespace nuboxlink {

uint8_t CDpemUsb::Init(uint16_t parameter) {
    dataSize_ = parameter;
    return lastInitStatus_;
}

bool CDpemUsb::InitBox(const DeviceConfig& config) {
    if (lastInitStatus_ == 0) {
        return true;
    }
    const uint16_t p = config.channels[0].parameter;
    lastInitStatus_ = usb_.shortForm(0xB0, static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p));
    return lastInitStatus_ == 0;
}

uint8_t CDpemUsb::WriteCommand(const uint8_t* block, uint16_t length) {
    return usb_.blockForm(0xB1, block, length);
}

uint8_t CDpemUsb::GetReport(uint8_t* report) {
    return usb_.fetchForm(0xB2, report);
}

bool CDpemUsb::inDataArea(uint16_t offset, uint8_t length) const {
    return length == 0 || offset + length <= dataSize_;
}

uint8_t CDpemUsb::WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                                  uint8_t station) {
    DataTransferRecord r{station, offset, length, source, 0, 0, nullptr};
    DataTransferRecord* list[2] = {&r, nullptr};
    return DataExchange(list);
}

uint8_t CDpemUsb::ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                                uint8_t station) {
    DataTransferRecord r{station, 0, 0, nullptr, offset, length, destination};
    DataTransferRecord* list[2] = {&r, nullptr};
    return DataExchange(list);
}

uint8_t CDpemUsb::DataExchange(DataTransferRecord* const* records) {
    std::vector<uint8_t> writes, reads, outputs;
    size_t entries = 0, outBytes = 0, inBytes = 0;
    auto entry = [](std::vector<uint8_t>& to, uint16_t offset, uint8_t length, uint8_t station) {
        const uint16_t address = static_cast<uint16_t>(offset + 0x800E);
        to.insert(to.end(), {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                             length, station});
    };
    for (DataTransferRecord* const* p = records; p && *p; ++p) {
        const DataTransferRecord& r = **p;
        const uint8_t outLength = r.outputLength, inLength = r.inputLength;
        if ((outLength && (!r.output || !inDataArea(r.outputOffset, outLength))) ||
            (inLength && (!r.input || !inDataArea(r.inputOffset, inLength)))) {
            return 5;
        }
        if (outLength > 0) {
            if (5 + 4 * (entries + 1) + outBytes + outLength >= kUsbExchangeLimit) {
                return 9;
            }
            ++entries;
            entry(writes, r.outputOffset, outLength, r.station);
            outputs.insert(outputs.end(), r.output, r.output + outLength);
            outBytes += outLength;
        }
        if (inLength > 0) {
            if (5 + 4 * (entries + 1) + inBytes + inLength >= kUsbExchangeLimit) {
                return 9;
            }
            ++entries;
            entry(reads, r.inputOffset, inLength, r.station);
            inBytes += inLength;
        }
    }
    std::vector<uint8_t> message = {0xBC, 0, 0, static_cast<uint8_t>(writes.size() / 4),
                                    static_cast<uint8_t>(reads.size() / 4)};
    message.insert(message.end(), writes.begin(), writes.end());
    message.insert(message.end(), reads.begin(), reads.end());
    message.insert(message.end(), outputs.begin(), outputs.end());
    message[1] = static_cast<uint8_t>(message.size() >> 8);
    message[2] = static_cast<uint8_t>(message.size());
    std::vector<uint8_t> input(inBytes);
    if (!usb_.transfer(message, input.data(), input.size())) {
        return 5;
    }
    size_t at = 0;
    for (DataTransferRecord* const* p = records; p && *p; ++p) {
        const DataTransferRecord& r = **p;
        if (r.inputLength > 0) {
            std::memcpy(r.input, input.data() + at, r.inputLength);
            at += r.inputLength;
        }
    }
    return 0;
}

uint8_t CDpemUsb::WriteRemoteAccessFlag(uint8_t flag) {
    return usb_.transfer({0xB6, flag}, nullptr, 0) ? 0 : 5;
}

uint8_t CDpemUsb::readStatus(size_t offset, size_t n, uint8_t* out) {
    uint8_t status[33];
    if (!usb_.transfer({0xBB}, status, sizeof status)) {
        return 5;
    }
    std::memcpy(out, status + offset, n);
    return 0;
}

uint8_t CDpemUsb::ReadDataTransferList(uint8_t* list) {
    return readStatus(0, 16, list);
}

uint8_t CDpemUsb::ReadSystemDiagnostic(uint8_t* diag) {
    return readStatus(16, 16, diag);
}

uint8_t CDpemUsb::StationOnline(uint8_t* out) {
    return readStatus(32, 1, out);
}

uint8_t CDpemUsb::ReadDiagState(uint8_t* out) {
    uint8_t state = 0;
    if (!usb_.transfer({0xB9}, &state, 1)) {
        return 5;
    }
    *out = (state >> 2) & 1;
    return 0;
}

}  // namespace nuboxlink
