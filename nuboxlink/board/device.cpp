#include "nuboxlink/board/device.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "nuboxlink/channel/families.h"
#include "nuboxlink/interface/library.h"

namespace nuboxlink {

std::string isaDeviceName(unsigned index) {
    return "_nuBOX_Multiboard" + std::to_string(index);
}
std::string pciDeviceName(unsigned slot) {
    return "_nuBoxPCI_Multiboard" + std::to_string(slot);
}
std::string usbDeviceName(unsigned slot) {
    return "_nuBOX_USB" + std::to_string(slot);
}

bool queryBoardId(Platform& platform, const std::string& name, uint16_t* id) {
    OpenResult why;
    std::unique_ptr<DriverHandle> handle = platform.openDriver(name, &why);
    if (!handle) {
        return false;
    }
    uint8_t out[2] = {0, 0};
    size_t got = 0;
    if (!handle->control(kIoBoardId, nullptr, 0, out, sizeof out, &got) || got != 2) {
        return false;
    }
    *id = static_cast<uint16_t>(out[0] | out[1] << 8);
    return true;
}

// ---------------------------------------------------------------------------- CDevice

CDevice::CDevice(Library& library, uint8_t number, uint8_t kind, uint16_t boardId)
    : library_(library), number_(number), kind_(kind), boardId_(boardId) {}

CDevice::~CDevice() {
    destroyChannels();
}

Platform& CDevice::platform() {
    return library_.platform();
}

bool CDevice::stopWatches() {
    bool any = false;
    for (auto& c : channels_) {
        if (c && c->transport().StopWatch() == 0) {
            any = true;
        }
    }
    return any;
}

void CDevice::destroyChannels() {
    for (auto& c : channels_) {
        c.reset();
    }
}

// ------------------------------------------------------------------------- CIsaDevice

CIsaDevice::CIsaDevice(Library& library, uint8_t number, uint32_t port, uint8_t kind,
                       uint16_t boardId)
    : CDevice(library, number, kind, boardId), port_(port) {}

CIsaDevice::~CIsaDevice() {
    // Channels first: their watches read the DPR that the handle keeps mapped.
    destroyChannels();
    closeHandle();
}

std::string CIsaDevice::DeviceName(unsigned index) const {
    return isaDeviceName(index);
}

uint8_t CIsaDevice::openHandle(const std::string& name) {
    OpenResult why = OpenResult::Failed;
    std::unique_ptr<DriverHandle> handle = platform().openDriver(name, &why);
    if (!handle) {
        return why == OpenResult::SharingViolation ? 10 : 1;
    }
    std::lock_guard lock(requestLock_);
    handle_ = std::move(handle);
    watchDriver(handle_.get());
    open_.store(true, std::memory_order_release);
    return 0;
}

void CIsaDevice::closeHandle() {
    open_.store(false, std::memory_order_release);
    std::lock_guard lock(requestLock_);
    dpr_ = Dpr();
    dropDriver(handle_);
}

uint8_t CIsaDevice::Open() {
    status_ = 0;
    if (IsOpen()) {
        status_ = 10;
        return status_;
    }
    const std::string name = DeviceName(number_);
    uint8_t r = platform().claimToken("talvik_system/" + name, &token_);
    if (r != 0) {
        status_ = r;
        return r;
    }
    r = openHandle(name);
    if (r != 0) {
        status_ = r;
        token_.reset();
    }
    return r;
}

void CIsaDevice::Close() {
    if (stopWatches()) {
        // Gives a report callback that is still running time to return before the
        // handle, and with it the DPR mapping, goes away.
        platform().clock().sleepMs(500);
    }
    closeHandle();
    token_.reset();
}

bool CIsaDevice::mapWindow(uint32_t fixedSize) {
    std::lock_guard lock(requestLock_);
    if (!handle_) {
        return false;
    }
    Window w;
    if (!handle_->map(kIoMap, nullptr, 0, &w) || !w.base) {
        return false;
    }
    uint32_t size = fixedSize ? std::min(fixedSize, w.size) : w.size;
    // The layout needs room for the command area, area B and area C at the least.
    if (size < 64) {
        return false;
    }
    dpr_ = Dpr(w.base, size);
    return true;
}

void CIsaDevice::hideOldSignature() {
    // Readiness can only be seen again once the board has restarted.
    if (hasReadySignature(dpr_)) {
        dpr_.put(0, 0xFF);
        dpr_.put(kAreaAOffset, 0xFF);
    }
}

uint8_t CIsaDevice::MapAndRestart(DeviceConfig&) {
    if (status_ != 0) {
        return status_;
    }
    if (!mapWindow(0)) {
        Close();
        status_ = 2;
        return status_;
    }
    hideOldSignature();
    bool ok;
    {
        std::lock_guard lock(requestLock_);
        ok = handle_ && handle_->control(kIoRestart, nullptr, 0, nullptr, 0, nullptr);
    }
    if (!ok) {
        Close();
        status_ = 2;
    }
    return status_;
}

uint8_t CIsaDevice::Restart() {
    bool ok;
    {
        std::lock_guard lock(requestLock_);
        ok = handle_ && handle_->control(kIoRestart, nullptr, 0, nullptr, 0, nullptr);
    }
    if (!ok) {
        Close();
        status_ = 2;
        return 2;
    }
    return 0;
}

bool CIsaDevice::IsReady(const DeviceConfig&) {
    return IsOpen() && dpr_.get(0) == 0 && hasReadySignature(dpr_);
}

bool CIsaDevice::commandWait() {
    Platform& p = platform();
    if (dpr_.get(0) == 0) {
        return true;
    }
    for (int i = 0; i < 50; ++i) {
        p.clock().sleepMs(50);
        uint8_t v = dpr_.get(0);
        if (v == 0) {
            return true;
        }
        if (v == 0xFF) {
            break;
        }
    }
    return false;
}

uint8_t CIsaDevice::CreateChannel(uint8_t index, uint8_t type) {
    if (type == NUBOX_CHANNEL_NONE) {
        return 0;
    }
    try {
        channels_[index] = makeIsaChannel(*this, index, type);
    } catch (const std::bad_alloc&) {
        return 2;
    }
    return channels_[index] ? 0 : 1;
}

uint8_t CIsaDevice::ConfigureChannels(const DeviceConfig& config) {
    if (status_ != 0) {
        return status_;
    }
    const uint32_t r = dpr_.size();
    areaA_ = {kAreaAOffset, kAreaAOffset + r - 30 - 1};
    areaB_ = {r - 16, r - 9};
    areaC_ = {r - 8, r - 1};

    if (!commandWait()) {
        status_ = 3;
        return status_;
    }
    const uint16_t layout[6] = {static_cast<uint16_t>(kAreaAOffset),
                                static_cast<uint16_t>(r - 16),
                                static_cast<uint16_t>(r - 8),
                                static_cast<uint16_t>(r - 30),
                                8,
                                8};
    for (int i = 0; i < 6; ++i) {
        dpr_.put16be(1 + 2 * i, layout[i]);
    }
    dpr_.put(0, 1);
    if (!commandWait()) {
        status_ = 3;
        return status_;
    }

    uint8_t result = 0;
    uint8_t triples[12] = {};
    channelStatus_ = 0;
    for (unsigned i = 0; i < 4; ++i) {
        channels_[i].reset();
        uint8_t type = i < channelCount() ? config.channels[i].type : 0;
        uint8_t cr = CreateChannel(static_cast<uint8_t>(i), type);
        channelStatus_ |= static_cast<uint8_t>(cr << (2 * i));
        if (cr != 0) {
            result = 8;
        }
        if (channels_[i]) {
            auto* isa = dynamic_cast<CIsaChannel*>(&channels_[i]->transport());
            if (isa) {
                isa->Descriptor(config.channels[i].parameter, triples + 3 * i);
            }
        }
    }
    dpr_.write(1, triples, sizeof triples);
    dpr_.put(0, 1);
    if (!commandWait()) {
        status_ = 3;
        return status_;
    }

    unsigned present = 0, failed = 0;
    for (unsigned i = 0; i < 4; ++i) {
        if (!channels_[i]) {
            continue;
        }
        ++present;
        uint8_t ir = channels_[i]->Init(config.channels[i].parameter);
        if (ir != 0) {
            result = 8;
            ++failed;
            channelStatus_ |= static_cast<uint8_t>(ir << (2 * i));
        }
    }
    if (present == 4 && failed == 4) {
        status_ = 4;
        return status_;
    }
    status_ = result;
    return status_;
}

uint8_t CDevice::claimSlot(SlotTable& slots, uint16_t id, uint16_t idMask, const std::string& token,
                           std::string (*deviceName)(unsigned), uint8_t& slot) {
    if (library_.idInUse(slots, id)) {
        return 10;
    }
    uint8_t r = platform().claimToken(token, &token_);
    if (r != 0) {
        return r;
    }
    for (uint8_t s = 0; s < 16; ++s) {
        uint16_t answered;
        if (!slots.used[s] && queryBoardId(platform(), deviceName(s), &answered) &&
            (answered & idMask) == id) {
            slot = s;
            slots.used[s] = true;
            slots.id[s] = id;
            return 0;
        }
    }
    return 9;
}

// ------------------------------------------------------------------------- CPciDevice

CPciDevice::CPciDevice(Library& library, uint8_t number, uint16_t boardId)
    : CIsaDevice(library, number, 0, boardId >= 8192 ? NUBOX_KIND_PCI_HIGH : NUBOX_KIND_PCI,
                 boardId) {
    char token[64];
    std::snprintf(token, sizeof token, "talvik_system/nuBOXpci/DeviceID%04X", boardId);
    status_ = claimSlot(library.pciSlots(), boardId, 0xFFFF, token, pciDeviceName, slot_);
}

CPciDevice::~CPciDevice() {
    destroyChannels();
    closeHandle();
    if (slot_ != kNoSlot) {
        library_.pciSlots().used[slot_] = false;
    }
}

std::string CPciDevice::DeviceName(unsigned index) const {
    return pciDeviceName(index);
}

uint8_t CPciDevice::Open() {
    if (status_ != 0) {
        return status_;
    }
    if (IsOpen()) {
        return 0;
    }
    if (openHandle(pciDeviceName(slot_)) != 0) {
        status_ = 1;
    }
    return status_;
}

uint8_t CPciDevice::MapAndRestart(DeviceConfig&) {
    if (status_ != 0) {
        return status_;
    }
    bool ok = mapWindow(16384);
    if (ok) {
        hideOldSignature();
        std::lock_guard lock(requestLock_);
        ok = handle_ && handle_->control(kIoRestart, nullptr, 0, nullptr, 0, nullptr);
    }
    if (!ok) {
        Close();
        status_ = 2;
    }
    return status_;
}

}  // namespace nuboxlink
