#include "session/image_soundness.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "base/text_parse.h"

namespace romtide {

namespace {

// "S3", a count of 255: 2 + 2 + 510 characters; a device keeps no longer line.
constexpr size_t kMaxRecordChars = 514;

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

// Address bytes of a record type, or -1 for a type no device knows (S4).
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

// The first characters of a line for a message, printable only.
std::string excerpt(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 16)) {
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return line.size() > 16 ? out + "..." : out;
}

class Walk {
  public:
    explicit Walk(ImageInspection& result) : r_(result) {}

    // One line as the device keeps it: CRs gone, the line feed not included. Returns
    // false at the first line the device would refuse.
    bool line(std::string_view text, int64_t number) {
        number_ = number;
        if (text.size() > kMaxRecordChars) {
            return fail("the line is longer than any S-record (" + std::to_string(text.size()) +
                        " characters)");
        }
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
            text.remove_suffix(1);
        }
        if (text.empty()) {
            return true;
        }
        if (text.size() < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9') {
            return fail("this line is not an S-record (it starts \"" + excerpt(text) + "\")");
        }
        char type = text[1];
        int addrBytes = addressBytes(type);
        if (addrBytes < 0) {
            return fail(std::string("no device knows the record type S") + type);
        }
        if (text.size() < 4) {
            return fail("the record is cut short: it ends before its byte count");
        }
        int hi = hexDigitValue(text[2]);
        int lo = hexDigitValue(text[3]);
        if (hi < 0 || lo < 0) {
            return fail("the byte count is not two hexadecimal digits");
        }
        size_t count = static_cast<size_t>(hi * 16 + lo);
        size_t digits = text.size() - 4;
        if (digits < 2 * count) {
            return fail("the record is cut short: its byte count (" + hexByte(count) +
                        ") calls for " + std::to_string(2 * count) +
                        " digits after it, the line holds " + std::to_string(digits));
        }
        if (digits > 2 * count) {
            return fail("the line is longer than its byte count (" + hexByte(count) +
                        ") says: " + std::to_string(2 * count) +
                        " digits after it, the line holds " + std::to_string(digits));
        }
        if (count < static_cast<size_t>(addrBytes) + 1) {
            return fail("the record is too short for its address and checksum");
        }
        unsigned sum = static_cast<unsigned>(count);
        uint32_t address = 0;
        unsigned last = 0;
        for (size_t i = 0; i < count; ++i) {
            int h = hexDigitValue(text[4 + 2 * i]);
            int l = hexDigitValue(text[5 + 2 * i]);
            if (h < 0 || l < 0) {
                return fail("the record holds a character that is not a hexadecimal digit");
            }
            last = static_cast<unsigned>(h * 16 + l);
            sum += last;
            if (i < static_cast<size_t>(addrBytes)) {
                address = (address << 8) | last;
            }
        }
        if ((sum & 0xFFu) != 0xFFu) {
            unsigned wanted = ~(sum - last) & 0xFFu;
            return fail("wrong checksum: the record says " + hexByte(last) + ", its bytes give " +
                        hexByte(wanted));
        }
        ++r_.records;
        if (type >= '1' && type <= '3') {
            ++r_.dataRecords;
        } else if (type == '5' || type == '6') {
            uint32_t mask = type == '5' ? 0xFFFFu : 0xFFFFFFu;
            if (address != (static_cast<uint64_t>(r_.dataRecords) & mask)) {
                return fail("the record count says " + std::to_string(address) + ", the " +
                            std::to_string(r_.dataRecords) + " data records before it do not");
            }
        }
        return true;
    }

    bool fail(std::string reason) {
        return fault(ImageFault::Kind::BrokenRecord, std::move(reason));
    }

    bool fault(ImageFault::Kind kind, std::string reason) {
        r_.fault = ImageFault{kind, number_, std::move(reason)};
        return false;
    }

    void at(int64_t number) { number_ = number; }

  private:
    ImageInspection& r_;
    int64_t number_ = 0;
};

}  // namespace

ImageInspection inspectImage(const TextFile& file) {
    const std::string& bytes = file.bytes();
    ImageInspection result;
    Walk walk(result);

    // A program or data file gives itself away by its bytes long before a record would
    // fail, and says more to the person who opened it.
    int64_t number = 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            ++number;
        } else if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
            walk.at(number);
            std::string what =
                c == 0 ? std::string("a NUL byte") : "the control character " + hexByte(c);
            walk.fault(ImageFault::Kind::NotText,
                       "byte " + std::to_string(i) + " is " + what +
                           ", which no S-record text holds: this is not an image file");
            return result;
        }
    }

    std::string line;
    number = 1;
    bool loneCr = false;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\n') {
            if (!walk.line(line, number)) {
                if (loneCr) {
                    // The device reads CR-ended lines as one: say what is wrong with the
                    // file rather than which record that long line breaks.
                    walk.at(number);
                    walk.fault(ImageFault::Kind::CrOnlyLineEnds,
                               "the lines end with a carriage return alone (CR); the device "
                               "ignores CRs and would read them as one line. Convert the line "
                               "ends to LF or CR LF and open the file again");
                }
                return result;
            }
            line.clear();
            loneCr = false;
            ++number;
        } else if (bytes[i] == '\r') {
            loneCr = loneCr || (i + 1 < bytes.size() && bytes[i + 1] != '\n');
        } else {
            line.push_back(bytes[i]);
        }
    }
    return result;
}

std::string describeImageFault(const ImageFault& fault) {
    return "line " + std::to_string(fault.line) + ": " + fault.reason;
}

}  // namespace romtide
