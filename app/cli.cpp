#include "app/cli.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/cli_can.h"
#include "app/cli_check.h"
#include "app/cli_profibus.h"
#include "app/exit_codes.h"

namespace romtide {

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: bootloader                  start the desktop program\n"
        "       bootloader --simulate       the desktop program on a simulated CAN bus and\n"
        "                                   a simulated Profibus board\n"
        "       bootloader check [--allow-empty] IMAGE.mhx\n"
        "                                   check an image file and count its text units\n"
        "       bootloader can search ...   search a CAN bus and list its devices\n"
        "       bootloader can update ...   update devices on a CAN bus (--help: options)\n"
        "       bootloader profibus scan ... search a Profibus DP segment and list its stations\n"
        "       bootloader profibus update ... update stations on Profibus DP (--help: options)\n"
        "       bootloader --help           this text\n");
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return exitcode::kUsage;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return exitcode::kOk;
    }
    if (command == "can") {
        return runCanCommand(argc - 2, argv + 2);
    }
    if (command == "profibus") {
        return runProfibusCommand(argc - 2, argv + 2);
    }
    if (command == "check") {
        return runCheckCommand(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "bootloader: unknown command '%s'\n", command.c_str());
    std::fprintf(stderr, "Try 'bootloader --help'.\n");
    return exitcode::kUsage;
}

}  // namespace romtide
