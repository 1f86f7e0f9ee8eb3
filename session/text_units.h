// Reading an image or update file for transfer: the file's text is cut into pieces of
// at most 98 characters (a line, or part of a long one), each read into a zeroed
// 100-byte buffer and walked in 4-character text units at positions 0, 4, 8, ...
// A unit is sent when its first byte is not zero, so the last unit of a piece is
// zero-filled; the line feed is text like any other character. Both buses send
// exactly these units.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "session/text_file.h"
#include "ui/widgets.h"

namespace romtide {

using TextUnit = std::array<char, 4>;

class TextUnitReader {
  public:
    static constexpr size_t kBufferSize = 100;
    static constexpr size_t kPieceChars = 98;

    // Measures the file (seek to the end, rewind) and sets the progress step to a
    // hundredth of its size. `progress` may be null.
    TextUnitReader(TextFile& file, ui::ProgressBar* progress);

    // The next unit to send, or nothing when the file is read to its end (or a read
    // failed, which ends the transfer the same way).
    std::optional<TextUnit> next();

    int64_t fileSize() const { return size_; }
    bool readFailed() const { return file_.error(); }

  private:
    TextFile& file_;
    ui::ProgressBar* progress_;
    int64_t size_;
    int64_t step_;
    int64_t mark_ = 0;
    std::array<char, kBufferSize> buffer_{};
    size_t pos_ = kBufferSize;  // nothing read yet
};

}  // namespace romtide
