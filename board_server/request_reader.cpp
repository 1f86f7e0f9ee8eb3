#include "board_server/request_reader.h"

#include <algorithm>
#include <cstring>

namespace board_server {

using nuboxlink::remote::RequestSize;

void RequestReader::take(const uint8_t* bytes, size_t n) {
    while (n > 0 && state_ == State::Reading) {
        const size_t used = std::min(n, need_ - have_);
        std::memcpy(bytes_.data() + have_, bytes, used);
        have_ += used;
        bytes += used;
        n -= used;
        judge();
    }
}

void RequestReader::judge() {
    if (have_ < need_) {
        return;
    }
    const RequestSize size = nuboxlink::remote::requestSize(bytes_.data(), have_);
    switch (size.state) {
        case RequestSize::Invalid:
            state_ = State::Invalid;
            break;
        case RequestSize::Complete:
            state_ = State::Complete;
            break;
        case RequestSize::NeedMore:
            // The table bounds every request; a longer one would be a fault of ours.
            if (size.size > bytes_.size()) {
                state_ = State::Invalid;
            } else {
                need_ = size.size;
            }
            break;
    }
}

void RequestReader::next() {
    have_ = 0;
    need_ = 1;
    state_ = State::Reading;
}

}  // namespace board_server
