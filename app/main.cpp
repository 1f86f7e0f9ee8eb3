#include "app/cli.h"

#ifdef ROMTIDE_DESKTOP
#include "app/desktop/desktop.h"
#endif

int main(int argc, char** argv) {
#ifdef ROMTIDE_DESKTOP
    // Without a sub-command the program is the desktop application.
    if (argc < 2) {
        return romtide::desktop::runDesktop(argc, argv);
    }
#endif
    return romtide::runCommandLine(argc, argv);
}
