// The five download sessions, made before any window exists. Each window that needs
// one takes its own from here when it is created; a session that no window has taken
// yet is destroyed with this object, after the windows.
#pragma once

#include <memory>

#include "session/tbootloader.h"

namespace romtide::desktop {

struct SessionObjects {
    // In the order the program has always made them. The DP master calls of every
    // session go to `library` (libnuboxlink.so in the program).
    explicit SessionObjects(const Services& services, DpMasterLibrary& library = nuboxlinkLibrary())
        : can_option(std::make_unique<Tbootloader>(services, library)),
          profibus(std::make_unique<Tbootloader>(services, library)),
          profibus_option(std::make_unique<Tbootloader>(services, library)),
          can(std::make_unique<Tbootloader>(services, library)),
          selproduct(std::make_unique<Tbootloader>(services, library)) {}

    std::unique_ptr<Tbootloader> can_option;       // Tfrm_can_option
    std::unique_ptr<Tbootloader> profibus;         // Tfrm_profibus
    std::unique_ptr<Tbootloader> profibus_option;  // Tfrm_profibus_option
    std::unique_ptr<Tbootloader> can;              // Tfrm_can
    std::unique_ptr<Tbootloader> selproduct;       // Tfrm_selproduct
};

}  // namespace romtide::desktop
