// The CAN access library: the VCI operations and callbacks that TCANComm relies on, over
// the Linux CAN interfaces and the simulated bus. One board per prepared interface; its
// callbacks run on the thread that received the frames or the event (the backend's
// reader thread, or the thread that runs a simulated bus), so a callback must hand its
// work on quickly and must not cancel its own board.
//
// Result convention of the operations: 1 (kVciOk) done; 0 nothing done (a full transmit
// queue, no new frame in a buffer); negative values are errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace romtide::vci {

#pragma pack(push, 1)
// One received frame as the receive callback reports it: 18 bytes, records back to back.
struct FrameRecord {
    uint32_t timeStamp;  // units of the receive queue's time-stamp resolution (100 us)
    uint32_t id;
    uint8_t length;  // data length in the low 4 bits
    uint8_t data[8];
    uint8_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(FrameRecord) == 18, "frame records are 18 bytes on the wire of the API");

using MessageCallback = void (*)(const char* text);
using ReceiveCallback = void (*)(uint16_t queue, uint16_t count, const FrameRecord* records);
using ExceptionCallback = void (*)(int32_t function, int32_t code, int32_t extra, const char* text);

constexpr int32_t kVciOk = 1;
constexpr int32_t kVciNothing = 0;
constexpr int32_t kVciError = -1;
constexpr int32_t kVciBadHandle = -2;    // board, queue or buffer handle unknown
constexpr int32_t kVciBadArgument = -3;  // bus timing, length, queue type
constexpr int32_t kVciNoInterface = -4;  // the interface of the board cannot be opened
constexpr int32_t kVciNotStarted = -5;   // the controller is not on the bus

// Queue types of VCI_ConfigQueue.
constexpr uint8_t kTransmitQueue = 0;
constexpr uint8_t kReceiveQueue = 1;
// A receive queue never holds more than this, whatever size is asked for.
constexpr uint16_t kReceiveQueueLimit = 50;

int32_t VCI2_PrepareBoard(uint32_t boardType, uint16_t boardIndex, char* info, uint16_t infoLength,
                          MessageCallback onMessage, ReceiveCallback onReceive,
                          ExceptionCallback onException);
int32_t VCI_CancelBoard(uint16_t board);
int32_t VCI_InitCan(uint16_t board, uint8_t can, uint8_t btr0, uint8_t btr1, uint8_t mode);
int32_t VCI_SetAccMask(uint16_t board, uint8_t can, uint32_t code, uint32_t mask);
int32_t VCI_ConfigQueue(uint16_t board, uint8_t can, uint8_t type, uint16_t size, uint16_t limit,
                        uint16_t time, uint16_t resolution, uint16_t* handle);
int32_t VCI_ConfigBuffer(uint16_t board, uint8_t can, uint8_t type, uint32_t id, uint16_t* handle);
int32_t VCI_AssignRxQueObj(uint16_t board, uint16_t queue, uint8_t mode, uint32_t id,
                           uint32_t mask);
int32_t VCI_StartCan(uint16_t board, uint8_t can);
int32_t VCI_TransmitObj(uint16_t board, uint16_t queue, uint32_t id, uint8_t length,
                        const uint8_t* data);
int32_t VCI_ReadBufData(uint16_t board, uint16_t buffer, uint8_t* data, uint8_t* length);

// Frames lost on this board because its receive queue was full (the newest frame is
// dropped, the queue keeps what it holds); -1 for an unknown board.
int64_t VCI_GetDroppedFrames(uint16_t board);

// Board types that the hardware selection reports.
constexpr uint32_t kBoardTypeVirtual = 1;
constexpr uint32_t kBoardTypeSocketCan = 2;
constexpr uint32_t kBoardTypeSocketCand = 3;

// The board type of an interface URI ("virtual:NAME", ...); 0 for an unknown scheme.
uint32_t boardTypeOf(const std::string& uri);
// Enters the URI in the library's interface table and returns its board index; the same
// URI always gets the same index. -1 when the scheme is unknown.
int32_t registerInterface(const std::string& uri);
// The URI behind a board index; empty when there is none.
std::string interfaceUri(uint16_t boardIndex);
// The interfaces the library can find now (every virtual bus of the process, ...).
std::vector<std::string> availableInterfaces();

// Bit rate in bit/s of SJA1000 bus timing bytes at 16 MHz; 0 for timing that cannot be.
uint32_t bitRateOfTiming(uint8_t btr0, uint8_t btr1);

// A record of what the program exchanged on its CAN interfaces, whatever kind they are:
// every frame a board sent (the interface took it) and every frame it received.
class FrameTrace {
  public:
    virtual ~FrameTrace() = default;
    // `interfaceName` is the interface's own name ("can0", "vcan0", the virtual bus's
    // name). Called on the sending thread or a board's thread, never two at once.
    virtual void frame(const std::string& interfaceName, uint32_t id, uint8_t length,
                       const uint8_t* data, bool received) = 0;
};
// Every board of the process reports to `trace` from now on; nullptr ends it. After the
// call returns, the trace given before is no longer called.
void setFrameTrace(FrameTrace* trace);
// "can0" of "socketcan:can0", "vcan0" of "socketcand:host:29536/vcan0", NAME of
// "virtual:NAME".
std::string interfaceNameOf(const std::string& uri);
// A candump log line: "(SECONDS.MICROS) IFACE ID#HEXDATA".
std::string candumpLine(int64_t timeUs, const std::string& iface, uint32_t id, uint8_t length,
                        const uint8_t* data);

}  // namespace romtide::vci
