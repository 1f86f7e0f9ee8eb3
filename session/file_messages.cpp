#include "session/file_messages.h"

namespace romtide {

std::optional<ui::Message> openFileResultMessage(int32_t code) {
    if (code == -1) {
        return ui::Message{"The file couldn't open!", "Bootloader", ui::MessageIcon::Error,
                           ui::MessageButtons::Ok};
    }
    return std::nullopt;
}

std::optional<ui::Message> checkFileResultMessage(int32_t code) {
    if (code == -1) {
        return ui::Message{"No file is open or the file has an error!", "Romtide",
                           ui::MessageIcon::Information, ui::MessageButtons::Ok};
    }
    return std::nullopt;
}

}  // namespace romtide
