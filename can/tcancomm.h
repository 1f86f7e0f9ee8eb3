// TCANComm: the program's only access to the CAN bus. There is one CAN board for the
// whole program, so everything about the board is class-wide; only the receive slots
// belong to each object. Every Tbootloader owns one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "ui/services.h"
#include "vci/vci.h"

namespace romtide {

using CanFrameRecord = vci::FrameRecord;

class TCANComm {
  public:
    using ReceiveHandler = std::function<void(CanFrameRecord)>;

    struct BitTiming {
        int kbit;
        uint8_t btr0;
        uint8_t btr1;
    };
    static constexpr std::array<BitTiming, 9> kBitRates{{
        {10, 0x31, 0x1C},
        {20, 0x18, 0x1C},
        {50, 0x09, 0x1C},
        {100, 0x04, 0x1C},
        {125, 0x03, 0x1C},
        {250, 0x01, 0x1C},
        {500, 0x00, 0x1C},
        {800, 0x00, 0x16},
        {1000, 0x00, 0x14},
    }};
    static constexpr int32_t kDefaultBaudIndex = 2;
    // Frames handed to the user-interface thread but not yet run there; more are dropped
    // (and counted) so a flooded bus cannot make the pump grow without bound.
    static constexpr int32_t kMaxFramesInFlight = 1000;

    explicit TCANComm(const Services& services);
    // Releases the board, for the whole program.
    ~TCANComm();
    TCANComm(const TCANComm&) = delete;
    TCANComm& operator=(const TCANComm&) = delete;

    int32_t SelectBoard();
    int32_t CancelBoard();
    static bool IsBoardReady() { return boardReady; }
    static int32_t GetBaudIndex() { return baudIndex; }
    static void SetBaudIndex(int32_t index);

    int32_t InitCan(uint8_t mode, uint32_t base);
    // The library's result as a signed 8-bit value; 1 = sent.
    int8_t Transmit(const uint8_t* data, uint16_t id, uint8_t length);
    int32_t Receive();
    // Byte `index` (0..8) of slot `slot` (0..1) as a signed byte; -1 outside the bounds.
    int32_t GetRxByte(int32_t slot, int32_t index) const;
    int32_t GetRxData(int32_t slot, uint8_t* data) const;

    static void SetReceiveHandler(ReceiveHandler handler);
    static void SetReceiveForward(bool on) { receiveForward = on; }

    // The callbacks the library calls, on the thread that received the frames or the
    // event.
    static void OnVciMessage(const char* text);
    static void OnVciReceive(uint16_t queue, uint16_t count, const CanFrameRecord* records);
    static void OnVciException(int32_t function, int32_t code, int32_t extra, const char* text);

    // Frames lost on their way to the user-interface thread (pump flooded) since start.
    static int64_t droppedFrames() { return dropped_.load(); }
    // Where SelectBoard loads the hardware-selection module from; empty = the program's
    // own module beside the executable. Tests point it at other modules.
    static void setRegistryModulePath(std::string path);
    // Back to the values of a fresh program start, releasing any board.
    static void resetSharedState();

    // Per object: two receive slots of 10 bytes.
    std::array<std::array<uint8_t, 10>, 2> rxSlots{};

    // Class-wide values.
    static inline uint16_t boardHandle = 0;
    static inline bool boardReady = false;
    // The interface URI of the board SelectBoard prepared ("socketcan:can0").
    static inline std::string boardInterface;
    static inline uint16_t txQueueHandle = 0;
    static inline std::array<uint16_t, 2> rxBufferHandles{};
    static inline uint16_t rxQueueHandle = 0;
    static inline int32_t baudIndex = kDefaultBaudIndex;
    // Written and read on the user-interface thread only: frames reach it through the pump.
    static inline CanFrameRecord lastRxFrame{};
    static inline bool receiveForward = false;
    static inline ReceiveHandler receiveHandler;

  private:
    Services services_;
    static inline std::atomic<ui::EventPump*> callbackPump_{nullptr};
    static inline std::atomic<ui::MessageBoxes*> callbackMessages_{nullptr};
    static inline std::atomic<int32_t> inFlight_{0};
    static inline std::atomic<int64_t> dropped_{0};
};

}  // namespace romtide
