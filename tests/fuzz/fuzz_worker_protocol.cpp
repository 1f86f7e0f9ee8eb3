// What a machine worker writes is outside data to its parent: a worker may be broken or
// killed mid-line. Any bytes, cut into pieces at the positions the first byte gives, go
// through the line splitter and every line through the parser and the typed readers.
// The splitter never holds more than a line's bound, the same stream gives the same
// lines however it is cut, and a message that parses is written back as the same line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "machine/worker_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romtide::machine::protocol;
    if (size < 1) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 32;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    LineSplitter whole;
    std::vector<std::string> wholeLines;
    const bool wholeOk = whole.feed(text, length, wholeLines);
    LineSplitter cut;
    std::vector<std::string> cutLines;
    bool cutOk = true;
    for (size_t i = 0; i < length && cutOk; i += piece) {
        const size_t n = length - i < piece ? length - i : piece;
        cutOk = cut.feed(text + i, n, cutLines);
        if (cut.pending() > kMaxLine) {
            std::abort();
        }
    }
    if (cutOk != wholeOk || (wholeOk && cutLines != wholeLines)) {
        std::abort();
    }
    for (const std::string& line : wholeLines) {
        std::string error;
        auto m = parse(line, &error);
        if (!m) {
            continue;
        }
        if (format(*m) != line + "\n") {
            std::abort();
        }
        if (auto o = outcomeOf(*m)) {
            auto again = outcomeOf(outcomeMessage(*o));
            if (!again || again->versionBefore != o->versionBefore ||
                again->outcome != o->outcome || again->address != o->address) {
                std::abort();
            }
        }
        if (auto d = foundOf(*m)) {
            auto again = foundOf(foundMessage(*d));
            if (!again || again->version != d->version || again->ident != d->ident) {
                std::abort();
            }
        }
    }
    return 0;
}
