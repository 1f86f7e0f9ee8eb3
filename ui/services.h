// What session and window logic need from the platform, handed over at construction
// so the same logic runs in the desktop program, in the terminal and in tests.
#pragma once

#include "base/clock.h"
#include "ui/dialogs.h"
#include "ui/event_pump.h"

namespace romtide {

struct Services {
    Clock& clock;
    ui::EventPump& pump;
    ui::MessageBoxes& messages;
};

}  // namespace romtide
