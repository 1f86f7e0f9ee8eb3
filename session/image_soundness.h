// Whether an image file's text is one that a device's bootloader will take to its end.
//
// The address rules of the check look at a few characters of each line; the device parses
// every record and stops at the first broken one, after it has been erased. A file that
// the device would refuse halfway (a text file opened by mistake, a program file, a
// download cut off in its last record) must be refused here, before any device is
// touched. The records are read as the device reads them: a CR is ignored wherever it
// stands (so CR LF and LF ends are alike), spaces and tabs that end a line are dropped, an
// empty line is skipped, and every other line is a record whose byte count, digits and
// checksum agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "session/text_file.h"

namespace romtide {

struct ImageFault {
    enum class Kind {
        // A byte that no S-record text holds (NUL, another control character).
        NotText,
        // Lines ended by a CR alone: the device ignores CRs and would see one long line.
        CrOnlyLineEnds,
        // A line that is no record, or a record the device's parser refuses.
        BrokenRecord,
    };
    Kind kind = Kind::BrokenRecord;
    // 1-based line of the file (a CR LF pair ends one line).
    int64_t line = 0;
    // Why, in a technician's words, without the file's name: "the record is cut short ...".
    std::string reason;
};

struct ImageInspection {
    std::optional<ImageFault> fault;
    // Records of any type, and data records (S1, S2, S3), up to the fault if there is one.
    int64_t records = 0;
    int64_t dataRecords = 0;

    bool ok() const { return !fault; }
    // A sound file whose records only erase a device (no data to program).
    bool eraseOnly() const { return !fault && dataRecords == 0; }
};

// Reads the bytes the file held when it was opened; the read position is not moved.
ImageInspection inspectImage(const TextFile& file);

// "line 12: the record is cut short: ..." for messages that already name the file.
std::string describeImageFault(const ImageFault& fault);

}  // namespace romtide
