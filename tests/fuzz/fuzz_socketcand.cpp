// What a socketcand peer sends is outside data: any bytes, cut into pieces at the
// positions the first bytes give (as TCP may cut them), go through the message splitter
// and every message through the frame and send parsers. The splitter never holds more
// than one message's bound, a parsed frame never claims more than 8 data bytes, and the
// same stream gives the same messages however it is cut.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vci/socketcand_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romtide::vci;
    if (size < 1) {
        return 0;
    }
    size_t piece = 1 + data[0] % 16;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;

    socketcand::MessageSplitter whole;
    std::vector<std::string> wholeMessages;
    bool wholeOk = whole.feed(text, length, wholeMessages);

    socketcand::MessageSplitter cut;
    std::vector<std::string> cutMessages;
    bool cutOk = true;
    for (size_t i = 0; i < length && cutOk; i += piece) {
        size_t n = length - i < piece ? length - i : piece;
        cutOk = cut.feed(text + i, n, cutMessages);
        if (cut.pending() > socketcand::kMaxMessageLength) {
            std::abort();
        }
    }
    if (cutOk != wholeOk || (wholeOk && cutMessages != wholeMessages)) {
        std::abort();
    }
    for (const auto& m : wholeMessages) {
        if (m.size() > socketcand::kMaxMessageLength) {
            std::abort();
        }
        std::string error;
        if (auto f = socketcand::parseFrame(m, &error)) {
            if (f->frame.length > 8 || f->frame.id > 0x7FF) {
                std::abort();
            }
            // What we would write for it reads back as the same frame.
            std::string line = socketcand::formatFrame(f->frame, f->timeUs);
            socketcand::MessageSplitter back;
            std::vector<std::string> read;
            back.feed(line.data(), line.size(), read);
            auto again = read.size() == 1 ? socketcand::parseFrame(read[0], &error) : std::nullopt;
            if (!again || again->frame.length != f->frame.length || again->timeUs != f->timeUs) {
                std::abort();
            }
        }
        if (auto s = socketcand::parseSend(m, &error)) {
            if (s->length > 8 || s->id > 0x7FF) {
                std::abort();
            }
        }
    }
    return 0;
}
