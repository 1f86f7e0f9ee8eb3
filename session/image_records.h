// The records of an image as the address rules see them. The tool never decodes the
// image; it only reads, at the start of each line, the record type, the byte count and
// the address in the width of its type (S1 4, S2 6, S3 8 digits; S9 4, S8 6, S7 8), so it
// can tell which device bytes a data record writes and which address a start record
// names. Continuation pieces of a long line hold data digits and are never read this way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/text_file.h"

namespace romtide {

struct RecordHead {
    enum class Kind { Other, Data, Start };
    Kind kind = Kind::Other;
    // The address as written, up to its type's width; leading hexadecimal digits only
    // when the line ends early.
    uint32_t address = 0;
    // Data records: the device bytes written from `address` on. A byte count that is
    // missing or too small for the address counts as one byte, so a damaged record is
    // still held to the rules at its address.
    uint32_t length = 0;
};

// Reads the start of a line (the first piece of it, `length` characters).
RecordHead recordHead(const char* line, size_t length);

// Device addresses are 24 bits wide: the address rules compare the low 24 bits, so an
// S3 address above H'FFFFFF cannot reach the bootloader area unnoticed.
bool writesBootloaderArea(const RecordHead& record);
bool namesResetAddress(const RecordHead& record);

}  // namespace romtide
