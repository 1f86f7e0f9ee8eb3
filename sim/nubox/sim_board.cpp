#include "sim/nubox/sim_board.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace nubox_sim {

namespace {

constexpr char kSignature[] = "Hurra, hurra, das DPR ist da!";
constexpr uint32_t kSignatureLength = 29;
constexpr uint32_t kMailbox = 256;
constexpr uint32_t kStatusBlock = 38;
constexpr uint8_t kDpMasterType = 19;
// Status block: the library's output write counter and the station it writes.
constexpr uint32_t kOutputCounter = 36;
constexpr uint32_t kOutputStation = 37;
// Reads of the output data while the library writes them, before this exchange gives up
// and sends the station's previous outputs.
constexpr int kOutputReadAttempts = 100;
// A library that died in the middle of a write leaves its counter odd for ever; after
// this long its data are taken as they are.
constexpr int64_t kDeadWriterUs = 100'000;

std::optional<uint32_t> number(std::string_view s) {
    if (s.empty() || s.size() > 10) {
        return std::nullopt;
    }
    std::string text(s);
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t pos;
    while ((pos = s.find(sep)) != std::string_view::npos) {
        parts.push_back(s.substr(0, pos));
        s.remove_prefix(pos + 1);
    }
    parts.push_back(s);
    return parts;
}

}  // namespace

std::optional<BoardSetup> parseBoardSetup(std::string_view text) {
    BoardSetup setup;
    std::vector<std::string_view> options = split(text, ',');
    for (size_t i = 1; i < options.size(); ++i) {
        if (options[i] != "hang") {
            return std::nullopt;
        }
        setup.hang = true;
    }
    std::vector<std::string_view> f = split(options[0], ':');
    if (f[0] == "isa" && (f.size() == 2 || f.size() == 3)) {
        setup.kind = BoardKind::Isa;
        if (f.size() == 3) {
            if (f[2].substr(0, 4) != "dpr=") {
                return std::nullopt;
            }
            auto size = number(f[2].substr(4));
            if (!size || (*size != 16384 && *size != 32768 && *size != 65536)) {
                return std::nullopt;
            }
            setup.dprSize = *size;
        }
    } else if ((f[0] == "pci" || f[0] == "card" || f[0] == "usb") && f.size() == 3) {
        setup.kind = f[0] == "pci"   ? BoardKind::Pci
                     : f[0] == "usb" ? BoardKind::Usb
                                     : BoardKind::Card;
        auto id = number(f[2]);
        if (!id || *id > 0xFFFF || (setup.kind == BoardKind::Card && *id > 15)) {
            return std::nullopt;
        }
        setup.id = static_cast<uint16_t>(*id);
    } else {
        return std::nullopt;
    }
    auto index = number(f[1]);
    if (!index || *index > 15) {
        return std::nullopt;
    }
    setup.index = *index;
    return setup;
}

std::string deviceName(const BoardSetup& setup) {
    switch (setup.kind) {
        case BoardKind::Isa:
            return "_nuBOX_Multiboard" + std::to_string(setup.index);
        case BoardKind::Pci:
            return "_nuBoxPCI_Multiboard" + std::to_string(setup.index);
        case BoardKind::Card:
            return "_nuBOX_Card" + std::to_string(setup.index);
        case BoardKind::Usb:
            return "_nuBOX_USB" + std::to_string(setup.index);
    }
    return {};
}

SimBoard::SimBoard(const BoardSetup& setup, romtide::Clock& clock) : spec_(setup), clock_(clock) {
    fd_ = memfd_create("nubox-dpr", MFD_CLOEXEC);
    if (fd_ < 0 || ftruncate(fd_, spec_.dprSize) != 0) {
        throw std::runtime_error("cannot create the DPR memory");
    }
    void* p = mmap(nullptr, spec_.dprSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
        throw std::runtime_error("cannot map the DPR memory");
    }
    dpr_ = static_cast<uint8_t*>(p);
    std::lock_guard lock(mutex_);
    boot();
}

void SimBoard::closeEvents() {
    for (int* fd : {&removalFd_, &releasedFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool SimBoard::registerEvents(const std::vector<int>& fds) {
    std::lock_guard lock(mutex_);
    if (spec_.kind != BoardKind::Card || fds.size() != 2) {
        return false;
    }
    closeEvents();
    removalFd_ = dup(fds[0]);
    releasedFd_ = dup(fds[1]);
    return removalFd_ >= 0 && releasedFd_ >= 0;
}

bool SimBoard::eventsRegistered() {
    std::lock_guard lock(mutex_);
    return removalFd_ >= 0;
}

void SimBoard::removeCard() {
    std::lock_guard lock(mutex_);
    if (removalFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(removalFd_, &one, sizeof one);
    }
}

SimBoard::~SimBoard() {
    closeEvents();
    munmap(dpr_, spec_.dprSize);
    close(fd_);
}

uint8_t SimBoard::get(uint32_t off) const {
    return off < spec_.dprSize ? std::atomic_ref<uint8_t>(dpr_[off]).load(std::memory_order_acquire)
                               : 0;
}

void SimBoard::put(uint32_t off, uint8_t v) {
    if (off < spec_.dprSize) {
        std::atomic_ref<uint8_t>(dpr_[off]).store(v, std::memory_order_release);
    }
}

void SimBoard::readDpr(uint32_t off, uint8_t* dst, uint32_t n) const {
    for (uint32_t i = 0; i < n; ++i) {
        dst[i] = get(off + i);
    }
}

void SimBoard::writeDpr(uint32_t off, const uint8_t* src, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        put(off + i, src[i]);
    }
}

void SimBoard::boot() {
    for (uint32_t i = 0; i < spec_.dprSize; ++i) {
        put(i, spec_.bootFill);
    }
    writeDpr(14, reinterpret_cast<const uint8_t*>(kSignature), kSignatureLength);
    put(0, 0);
    booting_ = false;
    expectLayout_ = true;
    for (Channel& c : channels_) {
        c = Channel{};
    }
}

bool SimBoard::control(uint32_t code, const uint8_t*, size_t inLen, std::vector<uint8_t>* out,
                       bool* mapsDpr) {
    std::lock_guard lock(mutex_);
    *mapsDpr = false;
    out->clear();
    auto putU32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            out->push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    };
    switch (code) {
        case 0x222000:  // restart: the firmware reboots and signs in after its boot time
            booting_ = true;
            bootAtUs_ = clock_.nowUs() + kBootTimeUs;
            ++restarts_;
            restartPending_ = true;
            return true;
        case 0x222004:  // release at close
            return true;
        case 0x222044:  // without input: the card driver forgets the library's events
            if (spec_.kind != BoardKind::Card || inLen != 0) {
                return false;
            }
            closeEvents();
            return true;
        case 0x222010:  // map the DPR
            *mapsDpr = true;
            putU32(0);
            if (spec_.kind != BoardKind::Pci) {
                putU32(spec_.dprSize);
            }
            return true;
        case 0x222088:  // board id, or the socket of a card
            if (spec_.kind == BoardKind::Isa) {
                return false;
            }
            out->push_back(static_cast<uint8_t>(spec_.id));
            out->push_back(static_cast<uint8_t>(spec_.id >> 8));
            return true;
        default:
            return false;
    }
}

void SimBoard::attachDpMaster(ChannelFirmware* firmware) {
    std::lock_guard lock(mutex_);
    dpMaster_ = firmware;
}

void SimBoard::step() {
    Commands forDpMaster;
    ChannelFirmware* firmware;
    bool restarted;
    {
        std::lock_guard lock(mutex_);
        firmware = dpMaster_;
        restarted = std::exchange(restartPending_, false);
        runFirmware(firmware ? &forDpMaster : nullptr);
    }
    // The DP master firmware calls back into the board: never under the board's lock.
    if (firmware) {
        if (restarted) {
            firmware->restarted();
        }
        for (const auto& [channel, block] : forDpMaster) {
            firmware->command(channel, block);
        }
    }
}

void SimBoard::runFirmware(Commands* forDpMaster) {
    if (booting_) {
        if (clock_.nowUs() < bootAtUs_) {
            return;
        }
        boot();
    }
    if (get(0) == 1 && !spec_.hang) {
        runCommand();
    }
    bool dpMasterServed = false;
    for (unsigned i = 0; i < 4; ++i) {
        Channel& c = channels_[i];
        if (!c.active) {
            continue;
        }
        if (c.family) {
            c.family->serve();
            continue;
        }
        const bool toDpMaster = forDpMaster && !dpMasterServed && c.type == kDpMasterType;
        dpMasterServed = dpMasterServed || toDpMaster;
        serveChannel(c, i, toDpMaster ? forDpMaster : nullptr);
    }
}

void SimBoard::runCommand() {
    const uint32_t r = spec_.dprSize;
    uint8_t p[12];
    readDpr(1, p, sizeof p);
    if (expectLayout_) {
        uint16_t v[6];
        for (int i = 0; i < 6; ++i) {
            v[i] = static_cast<uint16_t>(p[2 * i] << 8 | p[2 * i + 1]);
        }
        const uint16_t want[6] = {14,
                                  static_cast<uint16_t>(r - 16),
                                  static_cast<uint16_t>(r - 8),
                                  static_cast<uint16_t>(r - 30),
                                  8,
                                  8};
        if (std::memcmp(v, want, sizeof v) != 0) {
            put(0, 0xFF);
            return;
        }
        expectLayout_ = false;
        put(0, 0);
        return;
    }
    // Channel command: the areas are laid out in channel order, as the host does.
    uint32_t a = 14, b = r - 16, c = r - 8;
    const uint32_t aEnd = 14 + (r - 30), bEnd = r - 8, cEnd = r;
    for (unsigned i = 0; i < 4; ++i) {
        Channel& ch = channels_[i];
        ch = Channel{};
        const uint8_t type = p[3 * i];
        if (type != kDpMasterType) {
            // The other families lay out their own areas in the same order.
            AreaCursors cursors{a, b, c, aEnd, bEnd, cEnd};
            const uint16_t parameter = static_cast<uint16_t>(p[3 * i + 1] << 8 | p[3 * i + 2]);
            ch.family = makeSimFamilyChannel(type, parameter, DprView(dpr_, spec_.dprSize),
                                             static_cast<uint8_t>(i), clock_);
            ch.active = ch.family && ch.family->layout(cursors);
            if (ch.family) {
                a = cursors.a;
                b = cursors.b;
                c = cursors.c;
            }
            continue;
        }
        const uint16_t size = static_cast<uint16_t>(p[3 * i + 1] << 8 | p[3 * i + 2]);
        ch.type = type;
        ch.dataSize = size;
        ch.data = a;
        ch.status = a + size;
        ch.reportBox = ch.status + kStatusBlock;
        ch.commandBox = ch.reportBox + kMailbox;
        a = ch.commandBox + kMailbox;
        ch.hostFlag = b++;
        ch.boardFlag = c++;
        ch.active = a <= aEnd && b <= bEnd && c <= cEnd;
    }
    expectLayout_ = true;
    put(0, 0);
}

void SimBoard::serveChannel(Channel& c, unsigned index, Commands* toDpMaster) {
    uint8_t host = get(c.hostFlag);
    uint8_t board = get(c.boardFlag);
    if ((host ^ board) & 1) {
        std::vector<uint8_t> command(kMailbox);
        readDpr(c.commandBox, command.data(), kMailbox);
        board ^= 1;
        put(c.boardFlag, board);
        if (toDpMaster) {
            toDpMaster->emplace_back(index, std::move(command));
        } else {
            c.commands.push_back(command);
            std::vector<uint8_t> report = command;
            report[0] = static_cast<uint8_t>(command[0] + 0xC0);
            c.reports.push_back(std::move(report));
        }
    }
    // The report mailbox is free once the host has acknowledged the last report.
    if (!c.reports.empty() && ((host ^ board) & 2) == 0) {
        std::vector<uint8_t> report = std::move(c.reports.front());
        c.reports.pop_front();
        report.resize(kMailbox);
        writeDpr(c.reportBox, report.data(), kMailbox);
        put(c.boardFlag, board ^ 2);
    }
}

void SimBoard::postReport(unsigned channel, const std::vector<uint8_t>& report) {
    std::lock_guard lock(mutex_);
    channels_[channel & 3].reports.push_back(report);
}

std::vector<std::vector<uint8_t>> SimBoard::takenCommands(unsigned channel) {
    std::lock_guard lock(mutex_);
    return channels_[channel & 3].commands;
}

void SimBoard::beginInputUpdate(unsigned channel, uint8_t station) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    if (!c.active) {
        return;
    }
    put(c.status + 34, static_cast<uint8_t>(get(c.status + 34) + 1));
    put(c.status + 35, station);
}

void SimBoard::finishInputUpdate(unsigned channel, uint16_t offset,
                                 const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    if (!c.active) {
        return;
    }
    if (offset + bytes.size() <= c.dataSize) {
        writeDpr(c.data + offset, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    put(c.status + 34, static_cast<uint8_t>(get(c.status + 34) + 1));
}

void SimBoard::updateInput(unsigned channel, uint8_t station, uint16_t offset,
                           const std::vector<uint8_t>& bytes) {
    beginInputUpdate(channel, station);
    finishInputUpdate(channel, offset, bytes);
}

std::vector<uint8_t> SimBoard::output(unsigned channel, uint16_t offset, size_t n) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    std::vector<uint8_t> out(n);
    if (offset + n <= c.dataSize) {
        readDpr(c.data + offset, out.data(), static_cast<uint32_t>(n));
    }
    return out;
}

uint16_t SimBoard::dataSize(unsigned channel) {
    std::lock_guard lock(mutex_);
    const Channel& c = channels_[channel & 3];
    return c.active ? c.dataSize : 0;
}

bool SimBoard::readOutputs(unsigned channel, uint8_t station, uint16_t offset, uint8_t* dst,
                           size_t n) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    if (!c.active || offset + n > c.dataSize) {
        return false;
    }
    // The same rule the library applies to the board's input updates, mirrored.
    for (int attempt = 0; attempt < kOutputReadAttempts; ++attempt) {
        const uint8_t c1 = get(c.status + kOutputCounter);
        readDpr(c.data + offset, dst, static_cast<uint32_t>(n));
        const uint8_t writing = get(c.status + kOutputStation);
        const uint8_t d = static_cast<uint8_t>(get(c.status + kOutputCounter) - c1);
        const bool other = writing != station;
        if ((c1 % 2 == 0 && d == 0) || (c1 % 2 == 0 && (d == 1 || d == 2) && other) ||
            (c1 % 2 == 1 && d <= 1 && other)) {
            c.writingSinceUs = -1;
            return true;
        }
    }
    // No consistent copy: the library is in the middle of a write (a process that is not
    // running at the moment), or died in one. Half-written outputs must not go out: the
    // station would take a new telegram's first words with the last one's rest.
    const uint8_t counter = get(c.status + kOutputCounter);
    if (counter % 2 == 0) {
        c.writingSinceUs = -1;
        return false;
    }
    const int64_t now = clock_.nowUs();
    if (c.writingSinceUs < 0 || counter != c.writingCounter) {
        c.writingCounter = counter;
        c.writingSinceUs = now;
        return false;
    }
    return now - c.writingSinceUs >= kDeadWriterUs;
}

uint8_t SimBoard::outputCounter(unsigned channel) {
    std::lock_guard lock(mutex_);
    return get(channels_[channel & 3].status + 36);
}

void SimBoard::setStatus(unsigned channel, const uint8_t transferList[16],
                         const uint8_t diagnostic[16], uint8_t online) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    if (!c.active) {
        return;
    }
    writeDpr(c.status, transferList, 16);
    writeDpr(c.status + 16, diagnostic, 16);
    put(c.status + 32, online);
}

void SimBoard::setDiagState(unsigned channel, bool on) {
    std::lock_guard lock(mutex_);
    Channel& c = channels_[channel & 3];
    uint8_t v = get(c.boardFlag);
    put(c.boardFlag, on ? (v | 4) : (v & ~4));
}

uint8_t SimBoard::remoteAccessFlag(unsigned channel) {
    std::lock_guard lock(mutex_);
    return get(channels_[channel & 3].status + 33);
}

size_t SimBoard::pendingReports(unsigned channel) {
    std::lock_guard lock(mutex_);
    return channels_[channel & 3].reports.size();
}

unsigned SimBoard::restarts() {
    std::lock_guard lock(mutex_);
    return restarts_;
}

std::shared_ptr<SimFamilyChannel> SimBoard::family(unsigned channel) {
    std::lock_guard lock(mutex_);
    return channels_[channel & 3].family;
}

bool SimBoard::configured(unsigned channel) {
    std::lock_guard lock(mutex_);
    return channels_[channel & 3].active;
}

}  // namespace nubox_sim
