#include "sim/core/srec.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/text_parse.h"

namespace romtide::sim {

namespace {

int addressBytes(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '6':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return -1;
    }
}

void appendRecord(std::string& out, char type, uint32_t address, int addrBytes, const uint8_t* data,
                  size_t length) {
    static const char* const kHex = "0123456789ABCDEF";
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addrBytes + length + 1));
    for (int i = addrBytes - 1; i >= 0; --i) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data, data + length);
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum & 0xFF));
    out.push_back('S');
    out.push_back(type);
    for (uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    out.push_back('\n');
}

}  // namespace

bool SrecStreamParser::fail(std::string why) {
    broken_ = true;
    error_ = std::move(why);
    line_.clear();
    return false;
}

bool SrecStreamParser::feed(char c) {
    if (broken_) {
        return false;
    }
    if (c == '\0' || c == '\r') {
        return true;
    }
    if (c == '\n') {
        bool ok = parseLine();
        line_.clear();
        return ok;
    }
    if (line_.size() >= kMaxLineChars) {
        return fail("record longer than any S-record");
    }
    line_.push_back(c);
    return true;
}

bool SrecStreamParser::finish() {
    if (broken_) {
        return false;
    }
    bool ok = parseLine();
    line_.clear();
    return ok;
}

void SrecStreamParser::reset() {
    *this = SrecStreamParser{};
}

bool SrecStreamParser::parseLine() {
    while (!line_.empty() && (line_.back() == ' ' || line_.back() == '\t')) {
        line_.pop_back();
    }
    if (line_.empty()) {
        return true;
    }
    if (line_.size() < 4 || line_[0] != 'S') {
        return fail("not a record: " + line_);
    }
    char type = line_[1];
    int addrBytes = addressBytes(type);
    if (addrBytes < 0) {
        return fail("unknown record type S" + std::string(1, type));
    }
    if ((line_.size() - 2) % 2 != 0) {
        return fail("odd number of digits");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i + 1 < line_.size(); i += 2) {
        int hi = hexDigitValue(line_[i]);
        int lo = hexDigitValue(line_[i + 1]);
        if (hi < 0 || lo < 0) {
            return fail("not a hexadecimal digit");
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    size_t count = bytes[0];
    if (count != bytes.size() - 1) {
        return fail("byte count does not match the record");
    }
    if (count < static_cast<size_t>(addrBytes) + 1) {
        return fail("record too short for its address");
    }
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    if ((sum & 0xFF) != 0xFF) {
        return fail("checksum error");
    }
    uint32_t address = 0;
    for (int i = 0; i < addrBytes; ++i) {
        address = (address << 8) | bytes[1 + static_cast<size_t>(i)];
    }
    const uint8_t* data = bytes.data() + 1 + addrBytes;
    size_t length = count - static_cast<size_t>(addrBytes) - 1;
    ++records_;
    switch (type) {
        case '0':
            header_.assign(reinterpret_cast<const char*>(data), length);
            break;
        case '1':
        case '2':
        case '3':
            for (size_t i = 0; i < length; ++i) {
                data_[address + static_cast<uint32_t>(i)] = data[i];
            }
            ++dataRecords_;
            break;
        case '5':
        case '6':
            if (address != (dataRecords_ & (type == '5' ? 0xFFFFu : 0xFFFFFFu))) {
                return fail("record count does not match");
            }
            break;
        default:
            start_ = address;
            break;
    }
    return true;
}

std::string writeSrec(const FlashImage& image, const std::string& header,
                      std::optional<uint32_t> start) {
    std::string out;
    appendRecord(out, '0', 0, 2, reinterpret_cast<const uint8_t*>(header.data()),
                 std::min<size_t>(header.size(), 64));
    bool wide = !image.empty() && image.rbegin()->first > 0xFFFFFF;
    auto it = image.begin();
    while (it != image.end()) {
        uint32_t address = it->first;
        std::vector<uint8_t> run;
        while (it != image.end() && run.size() < 32 &&
               it->first == address + static_cast<uint32_t>(run.size())) {
            run.push_back(it->second);
            ++it;
        }
        appendRecord(out, wide ? '3' : '2', address, wide ? 4 : 3, run.data(), run.size());
    }
    if (start) {
        appendRecord(out, wide ? '7' : '8', *start, wide ? 4 : 3, nullptr, 0);
    }
    return out;
}

bool writeSrecFile(const std::string& path, const FlashImage& image, const std::string& header,
                   std::optional<uint32_t> start) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    std::string text = writeSrec(image, header, start);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::optional<std::string> imageVersion(const std::string& header) {
    static const std::string kKey = "VERSION=";
    for (size_t at = header.find(kKey); at != std::string::npos; at = header.find(kKey, at + 1)) {
        if (at != 0 && header[at - 1] != ' ') {
            continue;
        }
        const size_t from = at + kKey.size();
        const size_t to = std::min(header.find(' ', from), header.size());
        if (to == from) {
            return std::nullopt;
        }
        return header.substr(from, to - from);
    }
    return std::nullopt;
}

}  // namespace romtide::sim
