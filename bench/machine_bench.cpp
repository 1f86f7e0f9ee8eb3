// Whole machines in real time on the simulators, through `bootloader machine apply
// --simulate` as a user runs it:
//   machine buses=5 devices=15 seconds=S longest=L cpu=C
// a machine of three CAN buses at 500 kbit/s with three devices each and two Profibus
// boards at 1.5 Mbit/s with three stations each; L is the time of its slowest bus run
// alone in the same benchmark run, C the parent's CPU per second of the machine's run.
//   bus parallel=3 seconds=S serial=T
// three devices on one CAN bus at 1000 kbit/s answering after 150 µs, updated at once
// (parallel = 3) and one after another; the times are of the updates, from the end of
// the bus's search to the end of its last device (the search is the same in both).
//
//   machine_bench [BOOTLOADER]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string folder;
std::string bootloader = std::string(ROMTIDE_BIN_DIR) + "/bootloader";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string canBus(const std::string& name, int kbit, int parallel) {
    return "[[bus]]\nname = \"" + name + "\"\ntype = \"can\"\ninterface = \"virtual:" + name +
           "\"\nkbit = " + std::to_string(kbit) + "\nparallel = " + std::to_string(parallel) + "\n";
}

std::string dpBus(const std::string& name, int board) {
    return "[[bus]]\nname = \"" + name +
           "\"\ntype = \"profibus\"\nboard = " + std::to_string(board) + "\nbaud = \"1.5M\"\n";
}

std::string rule(const std::string& bus, const std::string& image, const std::string& version,
                 const std::string& addresses) {
    return "[[rule]]\nbus = \"" + bus + "\"\naddress = " + addresses + "\nimage = \"" + image +
           "\"\nversion = \"" + version + "\"\n";
}

struct Run {
    double seconds = 0;
    nlohmann::json report;
    bool ok = false;
};

Run runMachine(const std::string& name, const std::string& machine) {
    const std::string file = folder + "/" + name + ".toml";
    const std::string report = folder + "/" + name + ".json";
    write(file, machine);
    const std::string command = bootloader + " machine apply --simulate --progress none " +
                                "--report-format json --report " + report + " " + file +
                                " >/dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    try {
        r.report = nlohmann::json::parse(readAll(report));
        r.ok = status == 0 && r.report["summary"]["okay"] == r.report["summary"]["devices"];
    } catch (const std::exception&) {
        r.ok = false;
    }
    if (!r.ok) {
        std::fprintf(stderr, "machine_bench: %s did not update every device (status %d)\n",
                     name.c_str(), status);
    }
    return r;
}

// The bus's updates: its time less its search.
double updateSeconds(const Run& r) {
    const auto& bus = r.report["buses"].at(0);
    return bus["seconds"].get<double>() - bus["search_seconds"].get<double>();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        bootloader = argv[1];
    }
    char templ[] = "/tmp/machine-bench-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
        return 1;
    }
    folder = templ;
    // 4 KiB of application: a few thousand text units per device.
    const std::string make =
        "srec_cat -generate 0x010000 0x011000 -repeat-string bench "
        "-execution-start-address 0x010000 -header 'B VERSION=S2' -o " +
        folder +
        "/can.mhx -address-length=3 && srec_cat -generate "
        "0x010000 0x011000 -repeat-string bench "
        "-execution-start-address 0x010000 -header 'B VERSION=2.0.0' -o " +
        folder + "/dp.mhx -address-length=3";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "machine_bench: srec_cat failed\n");
        return 1;
    }

    // The machine, and each of its buses alone.
    std::vector<std::string> buses;
    for (int i = 0; i < 3; ++i) {
        const std::string name = "can-" + std::to_string(i);
        buses.push_back(canBus(name, 500, 1) + rule(name, "can.mhx", "S2", "[5, 6, 7]"));
    }
    for (int i = 0; i < 2; ++i) {
        const std::string name = "dp-" + std::to_string(i);
        buses.push_back(dpBus(name, i + 1) + rule(name, "dp.mhx", "2.0.0", "[3, 4, 5]"));
    }
    double longest = 0;
    for (size_t i = 0; i < buses.size(); ++i) {
        Run alone = runMachine("alone" + std::to_string(i), "name = \"alone\"\n" + buses[i]);
        std::fprintf(stderr, "bus %zu alone: %.1f s\n", i, alone.seconds);
        longest = std::max(longest, alone.seconds);
    }
    std::string whole = "name = \"machine\"\n";
    for (const auto& b : buses) {
        whole += b;
    }
    Run machine = runMachine("machine", whole);
    const double cpu = machine.report.value("parent_cpu_seconds", 0.0) / machine.seconds;
    std::printf("machine buses=5 devices=15 seconds=%.1f longest=%.1f cpu=%.4f\n", machine.seconds,
                longest, cpu);
    std::fflush(stdout);

    // One bus at 1000 kbit/s: three devices at once, and one after another.
    const std::string bus3 = rule("can-p", "can.mhx", "S2", "[5, 6, 7]");
    Run parallel = runMachine("parallel", "name = \"p\"\n" + canBus("can-p", 1000, 3) + bus3);
    Run serial = runMachine("serial", "name = \"s\"\n" + canBus("can-p", 1000, 1) + bus3);
    std::printf("bus parallel=3 seconds=%.1f serial=%.1f\n", updateSeconds(parallel),
                updateSeconds(serial));
    std::system(("rm -rf " + folder).c_str());
    return machine.ok && parallel.ok && serial.ok ? 0 : 1;
}
