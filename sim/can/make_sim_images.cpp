// Writes the simulator's bootloader update files into the program's Update folder, and
// the demo image: make_sim_images BIN_DIR
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sim/can/sim_device.h"
#include "sim/core/srec.h"

namespace {

bool writeText(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_sim_images: cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sim_images BIN_DIR\n");
        return 2;
    }
    std::string bin = argv[1];
    for (const char* dir : {"/Update", "/Update/Update", "/Update/Bootloader", "/demo"}) {
        ::mkdir((bin + dir).c_str(), 0755);
    }
    struct Product {
        char letter;
        const char* name;
    };
    bool ok = true;
    for (Product p :
         {Product{'D', "497"}, Product{'E', "498"}, Product{'F', "387"}, Product{'G', "387s"}}) {
        ok &= writeText(bin + "/Update/Update/Update" + p.name + ".mhx",
                        romtide::sim::simUpdaterImage(p.letter));
        ok &= writeText(bin + "/Update/Bootloader/" + p.name + ".mhx",
                        romtide::sim::simBootloaderImage(p.letter, 3));
    }
    ok &= writeText(bin + "/Update/SIMULATOR-IMAGES.txt",
                    "The update files in this folder are images for the simulated CAN devices "
                    "of Romtide\n(their S0 header starts with ROMTIDE-SIM). They are not device "
                    "firmware:\nreplace them with the delivered update files before working on "
                    "real devices.\n");
    // The demo image: 4 KiB of S2 records at H'010000, as a device's application would be.
    romtide::sim::FlashImage demo;
    const std::string pattern = "Romtide demo ";
    for (uint32_t i = 0; i < 4096; ++i) {
        demo[0x010000 + i] = static_cast<uint8_t>(pattern[i % pattern.size()]);
    }
    ok &= writeText(bin + "/demo/demo.mhx",
                    romtide::sim::writeSrec(demo, "ROMTIDE DEMO APPLICATION", 0x010000));
    return ok ? 0 : 1;
}
