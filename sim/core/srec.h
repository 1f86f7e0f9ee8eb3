// Motorola S-records as a device bootloader takes them: text arrives a few characters at
// a time, every record's count and checksum are checked, data records program a flash
// model. Also the writer that dumps a flash model as an S-record file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace romtide::sim {

using FlashImage = std::map<uint32_t, uint8_t>;

class SrecStreamParser {
  public:
    // The longest record text: "S3", count 255 -> 2 + 2 + 510 characters.
    static constexpr size_t kMaxLineChars = 514;

    // Zero bytes are padding of the sender's last unit and are skipped; a CR is ignored.
    // Returns false once the stream is broken (and from then on).
    bool feed(char c);
    // End of the stream: a last line without line feed is parsed too.
    bool finish();
    void reset();

    bool broken() const { return broken_; }
    const std::string& error() const { return error_; }
    const std::string& header() const { return header_; }
    std::optional<uint32_t> startAddress() const { return start_; }
    const FlashImage& data() const { return data_; }
    uint64_t records() const { return records_; }

  private:
    bool parseLine();
    bool fail(std::string why);

    std::string line_;
    bool broken_ = false;
    std::string error_;
    std::string header_;
    std::optional<uint32_t> start_;
    FlashImage data_;
    uint64_t records_ = 0;
    uint64_t dataRecords_ = 0;
};

// S0 header with `header`, data in records of up to 32 bytes (S2 below 16 MiB, S3 above),
// and a termination record carrying `start` (S8 or S7) when given.
std::string writeSrec(const FlashImage& image, const std::string& header,
                      std::optional<uint32_t> start);
bool writeSrecFile(const std::string& path, const FlashImage& image, const std::string& header,
                   std::optional<uint32_t> start);

// The simulators' version convention: an application image names the version it brings
// in its S0 header as a word `VERSION=TEXT` (at the start of the header or after a
// blank; TEXT runs to the next blank or the header's end, and may hold any other byte).
// A simulated device that is programmed with such an image reports TEXT afterwards.
// Nothing when the header names no version (or an empty one).
std::optional<std::string> imageVersion(const std::string& header);

}  // namespace romtide::sim
