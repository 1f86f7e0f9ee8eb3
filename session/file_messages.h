// How a download window reports the results of opening and checking an image file.
// The check's own refusals (-2, -3) have told the user already.
#pragma once

#include <cstdint>
#include <optional>

#include "ui/dialogs.h"

namespace romtide {

// The message for an OpenFile result, or nothing (success, dialog cancelled).
std::optional<ui::Message> openFileResultMessage(int32_t code);
// The message for a CheckFile result, or nothing.
std::optional<ui::Message> checkFileResultMessage(int32_t code);

}  // namespace romtide
