#include "can/tcancomm.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "can/xat_registry.h"

namespace romtide {

namespace {

const char* const kCannotLoadText =
    "Cannot load XATXXReg.DLL\nPlease install a IXXAT CAN adapter first\nor read the help file.";
const char* const kCannotMapText = "Cannot map functions in XATXXReg.DLL";
const char* const kApplicationTitle = "Romtide";

XatRegistry& registry() {
    static XatRegistry r;
    return r;
}

std::string& modulePathOverride() {
    static std::string path;
    return path;
}

}  // namespace

TCANComm::TCANComm(const Services& services) : services_(services) {}

TCANComm::~TCANComm() {
    CancelBoard();
}

void TCANComm::setRegistryModulePath(std::string path) {
    modulePathOverride() = std::move(path);
}

void TCANComm::resetSharedState() {
    if (boardReady) {
        vci::VCI_CancelBoard(boardHandle);
    }
    boardHandle = 0;
    boardReady = false;
    txQueueHandle = 0;
    rxBufferHandles = {};
    rxQueueHandle = 0;
    baudIndex = kDefaultBaudIndex;
    lastRxFrame = {};
    receiveForward = false;
    receiveHandler = nullptr;
    registry().unload();
    while (registry().loadCount > 0) {
        registry().unload();
    }
    inFlight_ = 0;
    dropped_ = 0;
}

void TCANComm::SetBaudIndex(int32_t index) {
    baudIndex = (index >= 0 && index <= 8) ? index : kDefaultBaudIndex;
}

void TCANComm::SetReceiveHandler(ReceiveHandler handler) {
    receiveHandler = std::move(handler);
}

int32_t TCANComm::SelectBoard() {
    auto& reg = registry();
    std::string path = modulePathOverride().empty() ? defaultXatModulePath() : modulePathOverride();
    if (reg.load(path) == 0) {
        services_.messages.show(
            {kCannotLoadText, kApplicationTitle, ui::MessageIcon::None, ui::MessageButtons::Ok});
        return -1;
    }
    if (reg.mapFunctions() != 1) {
        services_.messages.show(
            {kCannotMapText, kApplicationTitle, ui::MessageIcon::None, ui::MessageButtons::Ok});
        reg.unload();
        return -1;
    }
    vci::XatHardwareRecord record{};
    int32_t r = reg.selectHardware(nullptr, &record);
    if (r == vci::kXatAbandoned) {
        reg.unload();
        return r;
    }
    if (boardReady) {
        CancelBoard();
    }
    if (r != vci::kXatNothingSelected) {
        // The callbacks reach the user-interface thread through the pump of the object
        // that prepared the board.
        callbackPump_ = &services_.pump;
        callbackMessages_ = &services_.messages;
        char info[256] = "";
        int32_t h = vci::VCI2_PrepareBoard(record.boardType, record.boardIndex, info, sizeof info,
                                           &TCANComm::OnVciMessage, &TCANComm::OnVciReceive,
                                           &TCANComm::OnVciException);
        boardInterface = h < 0 ? std::string() : std::string(info);
        if (h < 0) {
            vci::VCI_CancelBoard(boardHandle);
            boardReady = false;
            reg.unload();
            return h;
        }
        boardHandle = static_cast<uint16_t>(h);
        boardReady = true;
    }
    reg.unload();
    return r;
}

int32_t TCANComm::CancelBoard() {
    int32_t r = vci::VCI_CancelBoard(boardHandle);
    boardReady = false;
    return r;
}

int32_t TCANComm::InitCan(uint8_t mode, uint32_t base) {
    const BitTiming& t = kBitRates[static_cast<size_t>(baudIndex)];
    vci::VCI_InitCan(boardHandle, 0, t.btr0, t.btr1, mode);
    vci::VCI_SetAccMask(boardHandle, 0, 0, 0);
    vci::VCI_ConfigQueue(boardHandle, 0, vci::kTransmitQueue, 100, 0, 0, 0, &txQueueHandle);
    if (base != 0) {
        vci::VCI_ConfigBuffer(boardHandle, 0, 0, base, &rxBufferHandles[0]);
        vci::VCI_ConfigBuffer(boardHandle, 0, 0, base + 1, &rxBufferHandles[1]);
    }
    vci::VCI_ConfigQueue(boardHandle, 0, vci::kReceiveQueue, 50, 1, 0, 100, &rxQueueHandle);
    vci::VCI_AssignRxQueObj(boardHandle, rxQueueHandle, 1, 0, 0);
    return vci::VCI_StartCan(boardHandle, 0);
}

int8_t TCANComm::Transmit(const uint8_t* data, uint16_t id, uint8_t length) {
    if (!boardReady) {
        return static_cast<int8_t>(vci::kVciNotStarted);
    }
    return static_cast<int8_t>(vci::VCI_TransmitObj(boardHandle, txQueueHandle, id, length, data));
}

int32_t TCANComm::Receive() {
    for (auto& slot : rxSlots) {
        slot.fill(0);
    }
    for (size_t s = 0; s < 2; ++s) {
        uint8_t data[8] = {};
        uint8_t length = 0;
        if (vci::VCI_ReadBufData(boardHandle, rxBufferHandles[s], data, &length) > 0) {
            // Whatever the length byte says, a CAN frame carries at most 8 data bytes.
            std::memcpy(rxSlots[s].data(), data, std::min<uint8_t>(length & 0x0F, 8));
        }
    }
    return 1;
}

int32_t TCANComm::GetRxByte(int32_t slot, int32_t index) const {
    if (slot < 0 || slot > 1 || index < 0 || index > 8) {
        return -1;
    }
    return static_cast<int8_t>(rxSlots[static_cast<size_t>(slot)][static_cast<size_t>(index)]);
}

int32_t TCANComm::GetRxData(int32_t slot, uint8_t* data) const {
    if (slot < 0 || slot > 1 || data == nullptr) {
        return -1;
    }
    std::memcpy(data, rxSlots[static_cast<size_t>(slot)].data(), 8);
    return 0;
}

void TCANComm::OnVciMessage(const char* text) {
    ui::EventPump* pump = callbackPump_.load();
    ui::MessageBoxes* messages = callbackMessages_.load();
    if (pump == nullptr || messages == nullptr || text == nullptr) {
        return;
    }
    pump->post([messages, message = std::string(text)] {
        messages->show({message, "Message", ui::MessageIcon::None, ui::MessageButtons::Ok});
    });
}

void TCANComm::OnVciReceive(uint16_t, uint16_t count, const CanFrameRecord* records) {
    ui::EventPump* pump = callbackPump_.load();
    if (pump == nullptr || records == nullptr) {
        return;
    }
    for (uint16_t i = 0; i < count; ++i) {
        CanFrameRecord record = records[i];
        uint8_t length = std::min<uint8_t>(record.length & 0x0F, 8);
        record.length = static_cast<uint8_t>((record.length & 0xF0) | length);
        if (inFlight_.fetch_add(1) >= kMaxFramesInFlight) {
            inFlight_.fetch_sub(1);
            dropped_.fetch_add(1);
            continue;
        }
        // The copy into lastRxFrame and the handler both run on the user-interface
        // thread, in delivery order, so the decoder never races the window.
        pump->post([record] {
            inFlight_.fetch_sub(1);
            lastRxFrame = record;
            if (receiveForward && receiveHandler) {
                receiveHandler(lastRxFrame);
            }
        });
    }
}

void TCANComm::OnVciException(int32_t, int32_t, int32_t, const char*) {
    // Failures reach the program through the results of the operations.
}

}  // namespace romtide
