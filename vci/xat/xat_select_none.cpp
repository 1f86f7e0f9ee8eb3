// Builds without the desktop program have no selection dialog.
#include "vci/xat/xat_select_dialog.h"

namespace romtide::vci {

std::optional<HardwareChoice> selectHardwareDialog(const std::vector<std::string>&) {
    return std::nullopt;
}

}  // namespace romtide::vci
