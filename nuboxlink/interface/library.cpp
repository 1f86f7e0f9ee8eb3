#include "nuboxlink/interface/library.h"

#include <new>

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

std::unique_ptr<CDevice> Library::boardFromValues(uint8_t device, DeviceConfig& config,
                                                  const RegValues& values) {
    if (platform_.generation() == Generation::Unsupported) {
        return nullptr;
    }
    try {
        if (auto port = numberValue(values, "PortAddress")) {
            config.portAddress = *port;
            config.memoryAddress = numberValue(values, "MemoryAddress").value_or(0);
            config.memoryRange = numberValue(values, "MemoryRange").value_or(0);
            return std::make_unique<CIsaDevice>(*this, device, *port);
        }
        if (auto id = dwordValue(values, "USB-Id")) {
            return std::make_unique<CUsbDevice>(*this, device, static_cast<uint16_t>(*id));
        }
        if (auto socket = dwordValue(values, "PCMCIA-Slot")) {
            if (platform_.generation() == Generation::DriverEarly) {
                return std::make_unique<CPcmciaDeviceNT>(*this, device);
            }
            return std::make_unique<CPcmciaDeviceWDM>(*this, device,
                                                      static_cast<uint8_t>(*socket & 0x0F));
        }
        if (auto id = dwordValue(values, "PCI-Board")) {
            return std::make_unique<CPciDevice>(*this, device, static_cast<uint16_t>(*id));
        }
        auto host = stringValue(values, "RemoteMachine");
        auto remoteDevice = numberValue(values, "RemoteDevice");
        if (host && remoteDevice) {
            return std::make_unique<CTcpipDevice>(*this, device, *host,
                                                  static_cast<uint8_t>(*remoteDevice));
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return nullptr;
}

std::unique_ptr<CDevice> Library::takeBoard(uint8_t device) {
    std::lock_guard lock(deviceLocks_[device]);
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
        if (devices[n]) {
            boards[n] = boardFromValues(n, configs[n], *devices[n]);
        }
        if (boards[n]) {
            boards[n]->Open();
            if (boards[n]->MapAndRestart(configs[n]) == 0) {
                restartIssued = true;
            }
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
    std::lock_guard lock(global_);
    std::unique_ptr<CDevice> board = takeBoard(device);
    if (!board) {
        DeviceConfig config{};
        config.portAddress = port;
        board = makeBoard(device, config);
        if (!board) {
            return 3;
        }
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

uint8_t Library::deviceInfoLocked(uint8_t device, DeviceInfo* info, const DeviceValues* devices) {
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
    fillInfo(info, board->kind(), board->boardId(), 0, 0);
    uint8_t st = board->Open();
    board->Close();
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

uint8_t Library::getDeviceInfo(uint8_t device, DeviceInfo* info) {
    if (device > 15 || !info) {
        return 2;
    }
    std::lock_guard lock(global_);
    return deviceInfoLocked(device, info);
}

uint8_t Library::assignDevice(uint8_t device, uint8_t kind, uint32_t boardId) {
    if (device > 15 || !(kind == 2 || kind == 3 || kind == 5 || kind == 6)) {
        return 2;
    }
    std::lock_guard lock(global_);
    DeviceInfo info{};
    uint8_t r = deviceInfoLocked(device, &info);
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

uint8_t Library::attachedDevices(uint8_t flags, uint8_t out[5]) {
    if (!out || flags > 0x80) {
        return 2;
    }
    std::lock_guard lock(global_);
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
    while (enumCursor_ < 48) {
        const uint8_t p = enumCursor_++;
        if (p < 16) {
            if (!devices) {
                devices.emplace();
                if (!platform_.registry().readDevices(&*devices)) {
                    *devices = DeviceValues{};
                }
            }
            DeviceInfo info{};
            if (deviceInfoLocked(p, &info, &*devices) != 0) {
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
