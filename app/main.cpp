#include "app/cli.h"

int main(int argc, char** argv) {
    return romtide::runCommandLine(argc, argv);
}
