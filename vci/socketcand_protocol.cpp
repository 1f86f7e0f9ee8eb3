#include "vci/socketcand_protocol.h"

#include <cstdio>

namespace romtide::vci::socketcand {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Hex digits only, at most `maxDigits` of them.
std::optional<uint32_t> parseHex(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    uint32_t v = 0;
    for (char c : text) {
        int d = hexValue(c);
        if (d < 0) {
            return std::nullopt;
        }
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

// At most 10 digits, so the value always fits.
std::optional<uint64_t> parseDecimal(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || maxDigits > 10) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

bool setError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return false;
}

// An identifier of a standard frame: at most 3 hex digits (8 would be an extended one).
std::optional<uint32_t> parseStandardId(std::string_view text, std::string* error) {
    auto id = parseHex(text, 8);
    if (!id) {
        setError(error, "bad identifier '" + std::string(text) + "'");
        return std::nullopt;
    }
    if (text.size() > 3 || *id > 0x7FF) {
        setError(error, "extended identifier " + std::string(text) + " (11-bit only)");
        return std::nullopt;
    }
    return id;
}

}  // namespace

bool MessageSplitter::fail(std::string why) {
    broken_ = true;
    error_ = std::move(why);
    partial_.clear();
    partial_.shrink_to_fit();
    return false;
}

bool MessageSplitter::feed(const char* bytes, size_t count, std::vector<std::string>& messages) {
    if (broken_) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        char c = bytes[i];
        if (!inMessage_) {
            if (c == '<') {
                inMessage_ = true;
                partial_.clear();
            } else if (!isSpace(c)) {
                return fail("data outside a message");
            }
            continue;
        }
        if (c == '>') {
            size_t begin = partial_.find_first_not_of(" \t\r\n");
            size_t end = partial_.find_last_not_of(" \t\r\n");
            messages.push_back(begin == std::string::npos
                                   ? std::string()
                                   : partial_.substr(begin, end - begin + 1));
            partial_.clear();
            inMessage_ = false;
        } else if (c == '<') {
            return fail("message not closed before the next one");
        } else if (partial_.size() >= kMaxMessageLength) {
            return fail("message longer than " + std::to_string(kMaxMessageLength) + " bytes");
        } else {
            partial_.push_back(c);
        }
    }
    return true;
}

std::vector<std::string_view> words(std::string_view message) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < message.size()) {
        while (i < message.size() && isSpace(message[i])) {
            ++i;
        }
        size_t start = i;
        while (i < message.size() && !isSpace(message[i])) {
            ++i;
        }
        if (i > start) {
            out.push_back(message.substr(start, i - start));
        }
    }
    return out;
}

std::optional<ReceivedFrame> parseFrame(std::string_view message, std::string* error) {
    auto w = words(message);
    if (w.size() < 3 || w.size() > 4 || w[0] != "frame") {
        setError(error, "not a frame: '" + std::string(message) + "'");
        return std::nullopt;
    }
    ReceivedFrame r;
    auto id = parseStandardId(w[1], error);
    if (!id) {
        return std::nullopt;
    }
    r.frame.id = *id;
    // SECONDS.MICROS; the fraction may have fewer digits.
    std::string_view stamp = w[2];
    size_t dot = stamp.find('.');
    auto seconds = parseDecimal(stamp.substr(0, dot), 10);
    std::optional<uint64_t> fraction = 0;
    size_t fractionDigits = 0;
    if (dot != std::string_view::npos) {
        fractionDigits = stamp.size() - dot - 1;
        fraction = parseDecimal(stamp.substr(dot + 1), 6);
    }
    if (!seconds || !fraction) {
        setError(error, "bad time stamp '" + std::string(stamp) + "'");
        return std::nullopt;
    }
    int64_t micros = *fraction;
    for (size_t d = fractionDigits; d < 6; ++d) {
        micros *= 10;
    }
    r.timeUs = static_cast<int64_t>(*seconds) * 1000000 + micros;
    if (w.size() == 4) {
        std::string_view hex = w[3];
        if (hex.size() % 2 != 0 || hex.size() > 16) {
            setError(error, "frame data of " + std::to_string(hex.size()) +
                                " hex digits (an even number up to 16)");
            return std::nullopt;
        }
        for (size_t i = 0; i < hex.size(); i += 2) {
            auto byte = parseHex(hex.substr(i, 2), 2);
            if (!byte) {
                setError(error, "bad frame data '" + std::string(hex) + "'");
                return std::nullopt;
            }
            r.frame.data[i / 2] = static_cast<uint8_t>(*byte);
        }
        r.frame.length = static_cast<uint8_t>(hex.size() / 2);
    }
    return r;
}

std::optional<CanFrame> parseSend(std::string_view message, std::string* error) {
    auto w = words(message);
    if (w.size() < 3 || w[0] != "send") {
        setError(error, "not a send: '" + std::string(message) + "'");
        return std::nullopt;
    }
    CanFrame f;
    auto id = parseStandardId(w[1], error);
    if (!id) {
        return std::nullopt;
    }
    f.id = *id;
    auto length = parseDecimal(w[2], 1);
    if (!length || *length > 8) {
        setError(error, "bad length '" + std::string(w[2]) + "' (0..8)");
        return std::nullopt;
    }
    if (w.size() != 3 + *length) {
        setError(error, "length " + std::to_string(*length) + " but " +
                            std::to_string(w.size() - 3) + " data bytes");
        return std::nullopt;
    }
    f.length = static_cast<uint8_t>(*length);
    for (uint32_t i = 0; i < *length; ++i) {
        auto byte = parseHex(w[3 + i], 2);
        if (!byte) {
            setError(error, "bad data byte '" + std::string(w[3 + i]) + "'");
            return std::nullopt;
        }
        f.data[i] = static_cast<uint8_t>(*byte);
    }
    return f;
}

std::string formatSend(const CanFrame& frame) {
    char text[64];
    int n =
        std::snprintf(text, sizeof text, "< send %03X %u", static_cast<unsigned>(frame.id & 0x7FF),
                      static_cast<unsigned>(frame.length > 8 ? 8 : frame.length));
    std::string line(text, static_cast<size_t>(n));
    for (uint8_t i = 0; i < frame.length && i < 8; ++i) {
        std::snprintf(text, sizeof text, " %02X", frame.data[i]);
        line += text;
    }
    line += " >";
    return line;
}

std::string formatFrame(const CanFrame& frame, int64_t timeUs) {
    if (timeUs < 0) {
        timeUs = 0;
    }
    char text[64];
    int n = std::snprintf(
        text, sizeof text, "< frame %03X %lld.%06lld ", static_cast<unsigned>(frame.id & 0x7FF),
        static_cast<long long>(timeUs / 1000000), static_cast<long long>(timeUs % 1000000));
    std::string line(text, static_cast<size_t>(n));
    for (uint8_t i = 0; i < frame.length && i < 8; ++i) {
        std::snprintf(text, sizeof text, "%02X", frame.data[i]);
        line += text;
    }
    line += frame.length == 0 ? ">" : " >";
    return line;
}

std::optional<Endpoint> parseEndpoint(const std::string& rest) {
    auto slash = rest.rfind('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) {
        return std::nullopt;
    }
    Endpoint e;
    e.interface = rest.substr(slash + 1);
    std::string hostPort = rest.substr(0, slash);
    auto colon = hostPort.rfind(':');
    if (colon != std::string::npos && hostPort.find(']') == std::string::npos &&
        hostPort.find(':') != colon) {
        colon = std::string::npos;  // a bare IPv6 address has no port of its own
    }
    if (colon != std::string::npos &&
        (hostPort.find(']') == std::string::npos || colon > hostPort.find(']'))) {
        auto port = parseDecimal(std::string_view(hostPort).substr(colon + 1), 5);
        if (!port || *port == 0 || *port > 65535) {
            return std::nullopt;
        }
        e.port = static_cast<uint16_t>(*port);
        hostPort = hostPort.substr(0, colon);
    }
    if (hostPort.size() > 2 && hostPort.front() == '[' && hostPort.back() == ']') {
        hostPort = hostPort.substr(1, hostPort.size() - 2);
    }
    if (hostPort.empty() || e.interface.find_first_of(" <>\t") != std::string::npos) {
        return std::nullopt;
    }
    e.host = hostPort;
    return e;
}

}  // namespace romtide::vci::socketcand
