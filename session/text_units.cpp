#include "session/text_units.h"

#include <algorithm>

namespace romtide {

TextUnitReader::TextUnitReader(TextFile& file, ui::ProgressBar* progress)
    : file_(file), progress_(progress) {
    size_ = file_.measureSize();
    if (size_ < 0) {
        size_ = 0;
    }
    step_ = size_ / 100;
}

std::optional<TextUnit> TextUnitReader::next() {
    for (;;) {
        // The last unit of a full piece starts at 96; the walk stops at the buffer's end
        // rather than reading past it.
        if (pos_ < kBufferSize && buffer_[pos_] != '\0') {
            TextUnit unit;
            std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_), 4, unit.begin());
            pos_ += 4;
            return unit;
        }
        if (file_.eof() || file_.error()) {
            return std::nullopt;
        }
        // At most one progress step per piece.
        if (file_.position() > mark_) {
            if (progress_ != nullptr) {
                progress_->stepBy(1);
            }
            mark_ += step_;
        }
        buffer_.fill('\0');
        file_.readPiece(buffer_.data(), kPieceChars);
        pos_ = 0;
    }
}

}  // namespace romtide
