#include "ui/dialogs.h"

namespace romtide::ui {

const char* iconName(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None:
            return "none";
        case MessageIcon::Information:
            return "information";
        case MessageIcon::Warning:
            return "warning";
        case MessageIcon::Error:
            return "error";
        case MessageIcon::Question:
            return "question";
    }
    return "none";
}

}  // namespace romtide::ui
