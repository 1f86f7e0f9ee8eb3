// The flash of a simulated device as its bootloader programs it: erased, then fed the
// image text a few characters at a time through the S-record parser, and committed as
// the application when the download ends. Shared by every simulated device that takes
// S-record text, whatever bus brings it. Not synchronised: its device guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/core/srec.h"

namespace romtide::sim {

class SimFlash {
  public:
    // The application is gone and a new stream begins.
    void erase();
    // Zero characters are padding and skipped; false once the stream is broken.
    bool feed(char c);
    // End of the stream; false when it is broken (a last line without line feed counts).
    bool finish();
    // The records parsed so far become the application (with the stream's start
    // address), and a new stream begins.
    void commit();
    // Forgets the stream in progress (the application stays).
    void dropStream();

    const SrecStreamParser& stream() const { return parser_; }
    // The committed application, and with `inProgress` also what the stream in progress
    // has programmed so far (which a real flash holds as well).
    FlashImage image(bool inProgress = true) const;
    std::optional<uint32_t> start() const { return start_; }
    uint64_t erases() const { return erases_; }
    // The image as an S-record file with this header.
    bool writeSrecFile(const std::string& path, const std::string& header,
                       bool inProgress = true) const;

  private:
    SrecStreamParser parser_;
    FlashImage application_;
    std::optional<uint32_t> start_;
    uint64_t erases_ = 0;
};

}  // namespace romtide::sim
