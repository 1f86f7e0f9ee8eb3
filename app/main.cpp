#include <sys/prctl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "app/cli.h"
#include "app/exit_codes.h"

#ifdef ROMTIDE_DESKTOP
#include "app/desktop/can_views.h"
#include "app/desktop/desktop.h"
#include "app/desktop/profibus_views.h"
#include "app/profibus_simulation.h"
#include "app/sim_scenario.h"
#endif

int main(int argc, char** argv) {
#ifdef ROMTIDE_DESKTOP
    // Without a sub-command the program is the desktop application; with --simulate it
    // works on the built-in simulated CAN bus and its three devices and on the simulated
    // Profibus board with its default segment (that of `bootloader profibus --simulate`),
    // both in real time.
    const bool simulate = argc == 2 && std::strcmp(argv[1], "--simulate") == 0;
    if (argc < 2 || simulate) {
        std::unique_ptr<romtide::Simulation> simulation;
        // Served from a thread of this process for the program's whole life; the board
        // library finds it through the private folder it names.
        std::unique_ptr<romtide::ProfibusSimulation> profibus;
        if (simulate) {
            // The transfer is made of waits of a few microseconds (see the headless
            // commands); threads started below inherit the slack.
            ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
            simulation = std::make_unique<romtide::Simulation>(romtide::defaultScenario());
            simulation->selectAsInterface();
            std::string error;
            profibus = romtide::ProfibusSimulation::start({}, &error);
            if (!profibus) {
                std::fprintf(stderr, "bootloader: the simulated Profibus board: %s\n",
                             error.c_str());
                return romtide::exitcode::kNoBoard;
            }
            // Before the library's first call, which the Profibus window's opening makes.
            profibus->selectAsBoard();
            argc = 1;
        }
        namespace d = romtide::desktop;
        d::WindowFactories factories;
        factories.can_option = d::makeCanOptionWindow;
        factories.profibus = d::makeProfibusWindow;
        factories.profibus_option = d::makeProfibusOptionWindow;
        factories.can = d::makeCanWindow;
        factories.selproduct = d::makeSelproductWindow;
        return d::runDesktop(argc, argv, std::move(factories));
    }
#endif
    return romtide::runCommandLine(argc, argv);
}
