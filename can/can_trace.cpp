#include "can/can_trace.h"

namespace romtide {

CandumpFileTrace::CandumpFileTrace(std::FILE* out, const Clock& clock, int64_t wallOffsetUs)
    : out_(out), clock_(clock), wallOffsetUs_(wallOffsetUs) {}

void CandumpFileTrace::frame(const std::string& interfaceName, uint32_t id, uint8_t length,
                             const uint8_t* data, bool) {
    // Both directions in one log, as candump of the interface would show them: the
    // identifiers tell requests (0x600 + node) from answers (0x580 + node).
    std::string line =
        vci::candumpLine(clock_.nowUs() + wallOffsetUs_, interfaceName, id, length, data);
    std::lock_guard lock(mutex_);
    if (std::fprintf(out_, "%s\n", line.c_str()) < 0 || std::fflush(out_) != 0) {
        failed_ = true;
    }
}

bool CandumpFileTrace::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

}  // namespace romtide
