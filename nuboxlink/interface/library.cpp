#include "nuboxlink/interface/library.h"

#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "nuboxlink/board/card_device.h"
#include "nuboxlink/board/usb_device.h"
#include "nuboxlink/interface/registry.h"
#include "nuboxlink/remote/tcpip_device.h"

namespace nuboxlink {

namespace {

bool selected(uint16_t mask, unsigned n) {
    return (mask >> n) & 1;
}

void fillInfo(DeviceInfo* info, uint8_t kind, uint32_t id, uint8_t present, uint8_t busy) {
    info->kind = kind;
    info->boardId = id;
    info->present = present;
    info->busy = busy;
}

}  // namespace

Library::Library(Platform& platform) : platform_(platform) {}

Library::~Library() {
    std::lock_guard lock(global_);
    for (uint8_t n = 0; n < 16; ++n) {
        if (std::unique_ptr<CDevice> b = takeBoard(n)) {
            destroyBoard(std::move(b));
        }
    }
}

bool Library::idInUse(const SlotTable& table, uint16_t id) const {
    for (unsigned s = 0; s < 16; ++s) {
        if (table.used[s] && table.id[s] == id) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<CDevice> Library::makeBoard(uint8_t device, DeviceConfig& config) {
    if (platform_.generation() == Generation::Unsupported) {
        return nullptr;
    }
    RegValues values;
    if (!platform_.registry().readDevice(device, &values)) {
        return nullptr;
    }
    return boardFromValues(device, config, values);
}

Library::BoardChoice Library::chooseBoard(const RegValues& values) {
    if (numberValue(values, "PortAddress")) {
        return BoardChoice::Isa;
    }
    if (dwordValue(values, "USB-Id")) {
        return BoardChoice::Usb;
    }
    if (dwordValue(values, "PCMCIA-Slot")) {
        return BoardChoice::Card;
    }
    if (dwordValue(values, "PCI-Board")) {
        return BoardChoice::Pci;
    }
    if (stringValue(values, "RemoteMachine") && numberValue(values, "RemoteDevice")) {
        return BoardChoice::Remote;
    }
    return BoardChoice::None;
}

std::unique_ptr<CDevice> Library::boardFromValues(uint8_t device, DeviceConfig& config,
                                                  const RegValues& values) {
    if (platform_.generation() == Generation::Unsupported) {
        return nullptr;
    }
    try {
        switch (chooseBoard(values)) {
            case BoardChoice::Isa: {
                const uint32_t port = *numberValue(values, "PortAddress");
                config.portAddress = port;
                config.memoryAddress = numberValue(values, "MemoryAddress").value_or(0);
                config.memoryRange = numberValue(values, "MemoryRange").value_or(0);
                return std::make_unique<CIsaDevice>(*this, device, port);
            }
            case BoardChoice::Usb:
                return std::make_unique<CUsbDevice>(
                    *this, device, static_cast<uint16_t>(*dwordValue(values, "USB-Id")));
            case BoardChoice::Card:
                if (platform_.generation() == Generation::DriverEarly) {
                    return std::make_unique<CPcmciaDeviceNT>(*this, device);
                }
                return std::make_unique<CPcmciaDeviceWDM>(
                    *this, device, static_cast<uint8_t>(*dwordValue(values, "PCMCIA-Slot") & 0x0F));
            case BoardChoice::Pci:
                return std::make_unique<CPciDevice>(
                    *this, device, static_cast<uint16_t>(*dwordValue(values, "PCI-Board")));
            case BoardChoice::Remote:
                return std::make_unique<CTcpipDevice>(
                    *this, device, *stringValue(values, "RemoteMachine"),
                    static_cast<uint8_t>(*numberValue(values, "RemoteDevice")));
            case BoardChoice::None:
                break;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return nullptr;
}

void Library::setOpening(uint8_t device, CDevice* board) {
    std::lock_guard lock(openingMutex_);
    opening_[device] = board;
}

std::unique_ptr<CDevice> Library::takeBoard(uint8_t device, bool endCalls) {
    std::unique_lock lock(deviceLocks_[device], std::try_to_lock);
    if (!lock.owns_lock()) {
        // A channel call of another thread holds the board. Boards are destroyed only
        // under the global lock, which the caller holds, so the board is still there.
        if (CDevice* b = table_[device].load(); b && endCalls) {
            b->Interrupt();
        }
        lock.lock();
    }
    return std::unique_ptr<CDevice>(table_[device].exchange(nullptr));
}

void Library::destroyBoard(std::unique_ptr<CDevice> board) {
    if (board) {
        board->Close();
    }
}

uint8_t Library::initDll(DeviceConfig* configs, uint16_t mask, uint8_t* status,
                         uint8_t* channelStatus) {
    if (platform_.generation() == Generation::Unsupported) {
        return 1;
    }
    DeviceConfig zeroed[16] = {};
    if (!configs) {
        configs = zeroed;
    }
    std::lock_guard lock(global_);
    romtide::Clock& clock = platform_.clock();

    // The registry is read once for every device number of the call.
    DeviceValues devices;
    if (!platform_.registry().readDevices(&devices)) {
        devices = DeviceValues{};
    }
    std::array<std::unique_ptr<CDevice>, 16> boards;
    bool restartIssued = false;
    for (uint8_t n = 0; n < 16; ++n) {
        if (!selected(mask, n)) {
            continue;
        }
        destroyBoard(takeBoard(n));
        // An examination of this device number that began before this call may still
        // hold a connection to its board server: it ends first.
        std::lock_guard examined(probeLocks_[n]);
        if (devices[n]) {
            boards[n] = boardFromValues(n, configs[n], *devices[n]);
        }
        if (boards[n]) {
            setOpening(n, boards[n].get());
            boards[n]->Open();
            if (boards[n]->MapAndRestart(configs[n]) == 0) {
                restartIssued = true;
            }
            setOpening(n, nullptr);
        }
    }

    if (restartIssued) {
        std::array<bool, 16> ready{};
        const int64_t start = clock.nowMs();
        bool all = false;
        while (!all && clock.nowMs() - start < 7000) {
            clock.sleepMs(100);
            all = true;
            for (uint8_t n = 0; n < 16; ++n) {
                if (!selected(mask, n) || ready[n]) {
                    continue;
                }
                CDevice* b = boards[n].get();
                if (b && b->status() == 0 && b->IsReady(configs[n])) {
                    ready[n] = true;
                } else {
                    all = false;
                }
            }
        }
    }

    uint8_t overall = 0;
    bool anyConfigured = false;
    for (uint8_t n = 0; n < 16; ++n) {
        if (!selected(mask, n)) {
            continue;
        }
        uint8_t deviceStatus = 1;
        uint8_t channels = 0;
        if (boards[n]) {
            boards[n]->ConfigureChannels(configs[n]);
            deviceStatus = boards[n]->status();
            if (deviceStatus != 0) {
                channels = boards[n]->channelStatus();
                destroyBoard(std::move(boards[n]));
                overall = 3;
            } else {
                anyConfigured = true;
            }
        } else {
            overall = 3;
        }
        if (status) {
            status[n] = deviceStatus;
        }
        if (channelStatus) {
            channelStatus[n] = channels;
        }
        if (boards[n]) {
            std::lock_guard deviceLock(deviceLocks_[n]);
            table_[n].store(boards[n].release());
        }
    }
    return anyConfigured ? overall : 2;
}

uint8_t Library::initDevice(uint8_t device, const uint8_t types[4], const uint16_t params[4]) {
    if (device > 15) {
        return 1;
    }
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
    for (unsigned i = 0; i < 4; ++i) {
        configs[device].channels[i].type = types ? types[i] : 0;
        configs[device].channels[i].parameter = params ? params[i] : 0;
    }
    uint8_t r = initDll(configs, static_cast<uint16_t>(1u << device), status, nullptr);
    if (r == 0) {
        return 0;
    }
    // On an unsupported platform generation nothing was tried and the status entry is
    // still 0: the board is not open, which must not read as success.
    return status[device] != 0 ? status[device] : 1;
}

uint8_t Library::resetDevice(uint8_t device, uint32_t port) {
    if (platform_.generation() == Generation::Unsupported) {
        return 1;
    }
    if (device > 15) {
        return 3;
    }
    // A configuration of this device number in progress on another thread may be waiting
    // for a remote board's server, under the global lock: the reset ends that wait, and
    // the configuration fails. Its board is closed then, and a server resets a board
    // whose client leaves: there is nothing left to open for the reset.
    bool endedConfiguration = false;
    {
        std::lock_guard lock(openingMutex_);
        if (CDevice* b = opening_[device]; b && b->independent()) {
            b->Interrupt();
            endedConfiguration = true;
        }
    }
    std::unique_lock global(global_);
    std::unique_lock examined(probeLocks_[device]);
    // A channel call waiting for a board that no longer answers would hold the reset for
    // as long as its request may take: the reset ends it.
    std::unique_ptr<CDevice> board = takeBoard(device, /*endCalls=*/true);
    const bool fromTable = board != nullptr;
    if (!board && endedConfiguration) {
        return 0;
    }
    if (!board) {
        DeviceConfig config{};
        config.portAddress = port;
        board = makeBoard(device, config);
        if (!board) {
            return 3;
        }
    }
    if (board->independent()) {
        // Its connection and requests wait on the network, and it shares nothing with the
        // other boards: the other management calls need not wait for it.
        global.unlock();
    }
    if (!fromTable) {
        board->Open();
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (CChannel* c = board->channel(i)) {
            c->transport().StopWatch();
        }
    }
    romtide::Clock& clock = platform_.clock();
    if (board->Restart() == 0) {
        clock.sleepMs(4000);
    }
    board->Close();
    clock.sleepMs(100);
    board.reset();
    return 0;
}

uint8_t Library::examine(CDevice& board, DeviceInfo* info) {
    fillInfo(info, board.kind(), board.boardId(), 0, 0);
    const uint8_t st = board.Open();
    board.Close();
    switch (st) {
        case 0:
            info->present = 1;
            return 0;
        case 9:
            return 0;
        case 10:
            info->present = 1;
            info->busy = 1;
            return 0;
        default:
            return 2;
    }
}

uint8_t Library::deviceInfo(uint8_t device, DeviceInfo* info, std::unique_lock<std::mutex>& global,
                            const DeviceValues* devices) {
    if (CDevice* b = table_[device].load()) {
        // A board whose card was pulled or whose driver has gone is not there any more,
        // though its object waits for the program to close it.
        const uint8_t there = b->IsOpen() ? 1 : 0;
        fillInfo(info, b->kind(), b->boardId(), there, there);
        return 0;
    }
    DeviceConfig config{};
    std::unique_ptr<CDevice> board;
    if (devices == nullptr) {
        board = makeBoard(device, config);
    } else if ((*devices)[device]) {
        board = boardFromValues(device, config, *(*devices)[device]);
    }
    if (!board) {
        fillInfo(info, 0, 0, 0, 0);
        return 0;
    }
    if (!board->independent()) {
        return examine(*board, info);
    }
    // A remote board is examined over the network, up to its open limit: not under the
    // global lock, but under the device number's examination lock, so that InitDll
    // for it waits rather than meet this connection at the server.
    std::unique_lock examined(probeLocks_[device]);
    global.unlock();
    const uint8_t r = examine(*board, info);
    board.reset();
    examined.unlock();
    global.lock();
    return r;
}

uint8_t Library::getDeviceInfo(uint8_t device, DeviceInfo* info) {
    if (device > 15 || !info) {
        return 2;
    }
    std::unique_lock global(global_);
    return deviceInfo(device, info, global);
}

uint8_t Library::assignDevice(uint8_t device, uint8_t kind, uint32_t boardId) {
    if (device > 15 || !(kind == 2 || kind == 3 || kind == 5 || kind == 6)) {
        return 2;
    }
    std::unique_lock global(global_);
    DeviceInfo info{};
    uint8_t r = deviceInfo(device, &info, global);
    if (r != 0) {
        return r;
    }
    if (info.busy) {
        return 10;
    }
    RegValues values;
    values[kind == 3 || kind == 5 ? "USB-Id" : "PCI-Board"] = RegValue::ofDword(boardId);
    return platform_.registry().replaceDevice(device, values) ? 0 : 2;
}

std::array<std::optional<Library::Examined>, 16> Library::examineRemoteBoards(
    uint8_t from, const DeviceValues& devices, std::unique_lock<std::mutex>& global) {
    struct Job {
        uint8_t device;
        std::unique_ptr<CDevice> board;
        std::unique_lock<std::mutex> examined;
        Examined outcome;
    };
    std::vector<Job> jobs;
    for (uint8_t p = from; p < 16; ++p) {
        if (table_[p].load() || !devices[p] || chooseBoard(*devices[p]) != BoardChoice::Remote) {
            continue;
        }
        DeviceConfig config{};
        if (auto board = boardFromValues(p, config, *devices[p])) {
            jobs.push_back({p, std::move(board), std::unique_lock(probeLocks_[p]), {}});
        }
    }
    std::array<std::optional<Examined>, 16> found;
    if (jobs.empty()) {
        return found;
    }
    // All at once, outside the global lock: each waits at most its open limit, so
    // several servers that accept but never greet cost that limit once, not once each.
    global.unlock();
    std::vector<std::thread> threads;
    for (Job& job : jobs) {
        auto run = [&job] { job.outcome.result = examine(*job.board, &job.outcome.info); };
        try {
            threads.emplace_back(run);
        } catch (const std::system_error&) {
            run();
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (Job& job : jobs) {
        found[job.device] = job.outcome;
        job.board.reset();
        job.examined.unlock();
    }
    global.lock();
    return found;
}

uint8_t Library::attachedDevices(uint8_t flags, uint8_t out[5]) {
    if (!out || flags > 0x80) {
        return 2;
    }
    // The enumeration's state has a lock of its own: the global lock is let go while
    // remote boards are examined.
    std::lock_guard enumeration(enumMutex_);
    std::unique_lock global(global_);
    if (flags == 0x80) {
        if (!enumStarted_) {
            return 2;
        }
        if (enumCursor_ >= 48) {
            return 9;
        }
    } else {
        uint8_t kindFilter = flags & 0x1F;
        if (kindFilter == 1 || kindFilter == 4 || kindFilter > 6 || !(flags & 0x60)) {
            return 2;
        }
        enumFilter_ = flags;
        enumCursor_ = 0;
        enumStarted_ = true;
    }
    const uint8_t kindFilter = enumFilter_ & 0x1F;
    auto hit = [&](uint8_t kind, uint32_t id) {
        out[0] = kind;
        for (int i = 0; i < 4; ++i) {
            out[1 + i] = static_cast<uint8_t>(id >> (8 * i));
        }
        return uint8_t{0};
    };
    // The registry is read once for the call, at the first device number it examines.
    std::optional<DeviceValues> devices;
    std::array<std::optional<Examined>, 16> remote;
    while (enumCursor_ < 48) {
        const uint8_t p = enumCursor_++;
        if (p < 16) {
            if (!devices) {
                devices.emplace();
                if (!platform_.registry().readDevices(&*devices)) {
                    *devices = DeviceValues{};
                }
                remote = examineRemoteBoards(p, *devices, global);
            }
            DeviceInfo info{};
            uint8_t r = 0;
            if (remote[p]) {
                info = remote[p]->info;
                r = remote[p]->result;
            } else {
                r = deviceInfo(p, &info, global, &*devices);
            }
            if (r != 0) {
                info = DeviceInfo{};
            }
            attached_[p] = info;
            if ((enumFilter_ & 0x40) && info.present &&
                (kindFilter == 0 || kindFilter == info.kind)) {
                return hit(info.kind, info.boardId);
            }
            continue;
        }
        const bool usb = p < 32;
        if (!(enumFilter_ & 0x20)) {
            continue;
        }
        if (usb ? !(kindFilter == 0 || kindFilter == 3 || kindFilter == 5)
                : !(kindFilter == 0 || kindFilter == 2 || kindFilter == 6)) {
            continue;
        }
        uint16_t id;
        const std::string name = usb ? usbDeviceName(p - 16) : pciDeviceName(p - 32);
        if (!queryBoardId(platform_, name, &id)) {
            continue;
        }
        const uint8_t kind = usb ? (id > 8191 ? 5 : 3) : (id > 8191 ? 6 : 2);
        bool known = false;
        for (const DeviceInfo& a : attached_) {
            if (a.kind == kind && a.boardId == id) {
                known = true;
            }
        }
        if (known || (kindFilter != 0 && kindFilter != kind)) {
            continue;
        }
        return hit(kind, id);
    }
    return 9;
}

// The channel a watch call names, looked up without the device lock (the table entries
// are atomic); nothing with `code` set to 1 (device), 3 (no board or channel) or 2 (channel).
CChannel* Library::watchedChannel(uint8_t device, uint8_t channel, uint8_t* code) {
    if (device > 15) {
        *code = 1;
        return nullptr;
    }
    CDevice* board = table_[device].load();
    if (!board) {
        *code = 3;
        return nullptr;
    }
    if (channel > 3) {
        *code = 2;
        return nullptr;
    }
    CChannel* c = board->channel(channel);
    *code = 3;
    return c;
}

uint8_t Library::watchMailbox(uint8_t device, uint8_t channel, NuboxReportCallback callback,
                              uint32_t userValue, uint16_t periodMs) {
    uint8_t code;
    CChannel* c = watchedChannel(device, channel, &code);
    return c ? c->transport().StartWatch(callback, userValue, periodMs) : code;
}

uint8_t Library::stopWatchThread(uint8_t device, uint8_t channel) {
    uint8_t code;
    CChannel* c = watchedChannel(device, channel, &code);
    return c ? c->transport().StopWatch() : code;
}

// --------------------------------------------------------------- DP master channel calls

namespace {
CDpemChannel& dpem(CChannel& c) {
    return static_cast<CDpemChannel&>(c);
}
}  // namespace

uint8_t Library::dpemWriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        if (!block) {
            return 8;
        }
        uint16_t length = dpemCommandLength(block);
        if (length == 0) {
            return 8;
        }
        return dpem(c).WriteCommand(block, length);
    });
}

uint8_t Library::dpemGetReport(uint8_t device, uint8_t channel, uint8_t* report) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        return report ? dpem(c).GetReport(report) : 5;
    });
}

uint8_t Library::dpemWriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                     uint16_t offset, uint8_t length, uint8_t station) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) {
        return dpem(c).WriteOutputData(source, offset, length, station);
    });
}

uint8_t Library::dpemReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                   uint16_t offset, uint8_t length, uint8_t station) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) {
        return dpem(c).ReadInputData(destination, offset, length, station);
    });
}

uint8_t Library::dpemDataExchange(uint8_t device, uint8_t channel,
                                  DataTransferRecord* const* records) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM,
                       [&](CChannel& c) { return dpem(c).DataExchange(records); });
}

uint8_t Library::dpemWriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM,
                       [&](CChannel& c) { return dpem(c).WriteRemoteAccessFlag(flag); });
}

uint8_t Library::dpemReadDataTransferList(uint8_t device, uint8_t channel, uint8_t* list) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        return list ? dpem(c).ReadDataTransferList(list) : 5;
    });
}

uint8_t Library::dpemReadSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t* diag) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        return diag ? dpem(c).ReadSystemDiagnostic(diag) : 5;
    });
}

uint8_t Library::dpemReadDiagState(uint8_t device, uint8_t channel, uint8_t* out) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        return out ? dpem(c).ReadDiagState(out) : 5;
    });
}

uint8_t Library::dpemStationOnline(uint8_t device, uint8_t channel, uint8_t* out) {
    return channelCall(device, channel, NUBOX_CHANNEL_DPEM, [&](CChannel& c) -> uint8_t {
        return out ? dpem(c).StationOnline(out) : 5;
    });
}

}  // namespace nuboxlink
