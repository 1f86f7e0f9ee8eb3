// Flashes an image of S2 records into one simulated Profibus encoder through the real
// path of the program: libnuboxlink.so's exported functions, a driver endpoint, the
// board's DPR and its DP master running the segment in real time. The board runs in a
// child process, as a board's driver and firmware run outside the program, so the CPU
// time measured is the program's alone (its thread and the library's). Reports, per baud
// rate, the data phase's time per 4-character telegram against twice the simulated DP
// cycle (a telegram and its acknowledge) and against three (what back-to-back telegrams
// take on the simulated bus as on a real one), the total time for the image, and the
// process CPU time per second of transfer.
//
//   profibus_flash_bench [--full] [KIB]
//
// KIB (default 64) is the image's data size. At 93.75 kbit/s a 64 KiB image takes about
// ten minutes; without --full that rate flashes a sixteenth of it and the total is
// extrapolated (and said so).
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "profibus/dp_master_library.h"
#include "session/tbootloader.h"
#include "sim/core/srec.h"
#include "sim/nubox/hosted_board.h"
#include "sim/profibus/dp_timing.h"
#include "sim/profibus/sim_encoder.h"
#include "sim/profibus/station_option.h"
#include "ui/event_pump.h"
#include "ui/widgets.h"

namespace {

using namespace romtide;

constexpr int kStation = 3;

struct SilentMessages : ui::MessageBoxes {
    ui::MessageAnswer show(const ui::Message&) override { return ui::MessageAnswer::Ok; }
};

double processCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The board in a child process: it sends the two paths, then answers every byte it gets
// with the encoder's data telegram count so far (a line), and ends when the parent closes
// its end.
class ChildBoard {
  public:
    bool start(std::string* driverDir, std::string* registry) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            return false;
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            return false;
        }
        if (pid_ == 0) {
            ::close(fds[0]);
            serve(fds[1]);
            ::_exit(0);
        }
        ::close(fds[1]);
        fd_ = fds[0];
        std::string line;
        return readLine(&line) && (*driverDir = line, readLine(registry)) && !line.empty();
    }
    uint64_t telegrams() {
        std::string line;
        if (::write(fd_, "?", 1) != 1 || !readLine(&line)) {
            return 0;
        }
        return std::strtoull(line.c_str(), nullptr, 10);
    }
    ~ChildBoard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, 0);
        }
    }

  private:
    static void serve(int fd) {
        sim::SimEncoderConfig encoder;
        encoder.address = kStation;
        encoder.startsInBootloader = true;
        encoder.eraseUs = 0;
        sim::DpSegmentConfig segment;
        segment.encoders = {encoder};
        std::string error;
        auto board = nubox_sim::HostedProfibusBoard::start(segment, &error);
        if (!board) {
            std::fprintf(stderr, "cannot host the board: %s\n", error.c_str());
            return;
        }
        std::string paths = board->driverDir() + "\n" + board->registryPath() + "\n";
        if (::write(fd, paths.data(), paths.size()) != static_cast<ssize_t>(paths.size())) {
            return;
        }
        char c;
        while (::read(fd, &c, 1) == 1) {
            std::string n = std::to_string(board->encoder(kStation)->dataTelegrams()) + "\n";
            if (::write(fd, n.data(), n.size()) != static_cast<ssize_t>(n.size())) {
                return;
            }
        }
    }
    bool readLine(std::string* line) {
        line->clear();
        char c;
        while (::read(fd_, &c, 1) == 1) {
            if (c == '\n') {
                return true;
            }
            line->push_back(c);
        }
        return false;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
};

std::string makeImage(size_t kib) {
    sim::FlashImage image;
    for (uint32_t i = 0; i < kib * 1024; ++i) {
        image[0x010000 + i] = static_cast<uint8_t>(i * 31 + 7);
    }
    std::string path =
        "/tmp/romtide-pbbench-" + std::to_string(::getpid()) + "-" + std::to_string(kib) + ".mhx";
    std::ofstream(path, std::ios::binary) << sim::writeSrec(image, "BENCH", 0x010000);
    return path;
}

// Notes when the data phase starts: the first "Writing File" text follows the erase.
struct PhaseLabel : ui::TextLabel {
    explicit PhaseLabel(const Clock& clock) : clock_(clock) {}
    void setText(const std::string& text) override {
        if (startUs < 0 && text.rfind("Writing File", 0) == 0) {
            startUs = clock_.nowUs();
            startCpu = processCpu();
        }
        text_ = text;
    }
    std::string text() const override { return text_; }
    int64_t startUs = -1;
    double startCpu = 0;

  private:
    const Clock& clock_;
    std::string text_;
};

struct Result {
    bool ok = false;
    uint64_t telegrams = 0;
    double seconds = 0;
    double cpu = 0;
};

// One board for every rate: the library reads its folder once per process, and the
// bus parameter set of each run sets the rate.
Result flash(ChildBoard& board, int32_t baudIndex, const std::string& image) {
    const uint64_t before = board.telegrams();

    SteadyClock clock;
    ui::QueuedEventPump pump;
    SilentMessages messages;
    Services services{clock, pump, messages};
    Tbootloader::resetSharedState();
    TProfitalvik::resetSharedState();
    Tbootloader session(services, nuboxlinkLibrary());
    TProfitalvik& dp = *session.profibus;
    TProfitalvik::SetBaudIndex(baudIndex);
    TProfitalvik::SetStationAddress(kStation);
    Result r;
    if (dp.InitAdapter() != 0) {
        std::fprintf(stderr, "the board does not start\n");
        return r;
    }
    ui::PlainStringGrid grid(5, 2);
    StringGridStations table(grid);
    dp.ScanLiveList(table);
    session.imageFile = TextFile::open(image);
    session.AddNode(kStation);
    ui::PlainProgressBar progress;
    PhaseLabel label(clock);
    const int32_t outcome = session.DownloadSlave(progress, label);
    const int64_t endUs = clock.nowUs();
    const double endCpu = processCpu();
    // The finish is left four cycles for the bus to carry; that is no telegram time.
    const int64_t carryUs = std::max<int64_t>(10000, 4 * TProfitalvik::dpCycleUs());
    r.ok = outcome == 0 && label.startUs >= 0;
    r.telegrams = board.telegrams() - before;
    r.seconds = static_cast<double>(endUs - label.startUs - carryUs) / 1e6;
    r.cpu = endCpu - label.startCpu;
    dp.ResetAdapter();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    size_t kib = 64;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--full") == 0) {
            full = true;
        } else {
            kib = static_cast<size_t>(std::strtoul(argv[i], nullptr, 10));
        }
    }
    if (kib == 0) {
        std::fprintf(stderr, "usage: profibus_flash_bench [--full] [KIB]\n");
        return 2;
    }
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    ChildBoard board;
    std::string driverDir, registry;
    if (!board.start(&driverDir, &registry)) {
        std::fprintf(stderr, "cannot host the board\n");
        return 1;
    }
    ::setenv("NUBOXLINK_DRIVER_DIR", driverDir.c_str(), 1);
    ::setenv("NUBOXLINK_REGISTRY", registry.c_str(), 1);
    const std::string image = makeImage(kib);
    const std::string sample = makeImage(std::max<size_t>(1, kib / 16));
    struct Rate {
        const char* name;
        int32_t code;
        int kbit;
    };
    std::printf("%-8s %10s %12s %12s %8s %8s %12s %10s\n", "rate", "telegrams", "us/telegram",
                "2 x cycle us", "ratio", "ratio 3", "total s", "cpu s/s");
    std::vector<std::string> lines;
    for (const Rate& rate : {Rate{"12M", 9, 12000}, Rate{"1.5M", 6, 1500}, Rate{"93.75k", 2, 94}}) {
        const bool sampled = rate.code == 2 && !full;
        Result r = flash(board, rate.code, sampled ? sample : image);
        if (!r.ok) {
            std::printf("%-8s failed\n", rate.name);
            continue;
        }
        const double perTelegram = r.seconds / static_cast<double>(r.telegrams) * 1e6;
        const double twoCycles = 2 * sim::dpCycleUs(rate.code, 12, 12);
        const double scale =
            sampled ? static_cast<double>(kib) / static_cast<double>(std::max<size_t>(1, kib / 16))
                    : 1.0;
        std::printf("%-8s %10llu %12.1f %12.1f %8.2f %8.2f %12.2f%s %10.3f\n", rate.name,
                    static_cast<unsigned long long>(r.telegrams), perTelegram, twoCycles,
                    perTelegram / twoCycles, perTelegram / (1.5 * twoCycles), r.seconds * scale,
                    sampled ? "*" : " ", r.cpu / r.seconds);
        char line[200];
        std::snprintf(line, sizeof line, "rate=%d units=%llu seconds=%.3f ideal=%.3f cpu=%.3f",
                      rate.kbit, static_cast<unsigned long long>(r.telegrams), r.seconds,
                      twoCycles * static_cast<double>(r.telegrams) / 1e6, r.cpu);
        lines.push_back(line);
    }
    if (!full) {
        std::printf("* extrapolated from a %zu KiB image (--full flashes all of it)\n",
                    std::max<size_t>(1, kib / 16));
    }
    for (const auto& l : lines) {
        std::printf("%s\n", l.c_str());
    }
    std::remove(image.c_str());
    std::remove(sample.c_str());
    return 0;
}
