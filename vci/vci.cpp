#include "vci/vci.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "vci/backend.h"
#include "vci/linux_backends.h"
#include "vci/virtual_bus.h"

namespace romtide::vci {

namespace {

// The trace of every board; its mutex keeps a frame from reaching a trace that was
// replaced meanwhile.
struct TraceHook {
    std::mutex mutex;
    FrameTrace* trace = nullptr;
};

TraceHook& traceHook() {
    static TraceHook hook;
    return hook;
}

void traceFrame(const std::string& interfaceName, const CanFrame& frame, bool received) {
    TraceHook& hook = traceHook();
    std::lock_guard lock(hook.mutex);
    if (hook.trace != nullptr) {
        hook.trace->frame(interfaceName, frame.id, std::min<uint8_t>(frame.length, 8), frame.data,
                          received);
    }
}

struct Buffer {
    uint16_t handle = 0;
    uint32_t id = 0;
    bool fresh = false;
    uint8_t length = 0;
    uint8_t data[8] = {};
};

// One prepared board: its backend, its configuration and the callbacks. The receive
// callback runs on the thread that delivers the frames (the backend's reader, or the
// thread that runs a simulated bus): it only has to hand the records on, and a thread
// of the library's own in between would cost a second wake-up for every frame.
class Board final : public FrameSink {
  public:
    Board(std::unique_ptr<Backend> backend, std::string interfaceName, MessageCallback onMessage,
          ReceiveCallback onReceive, ExceptionCallback onException)
        : backend_(std::move(backend)),
          interfaceName_(std::move(interfaceName)),
          onMessage_(onMessage),
          onReceive_(onReceive),
          onException_(onException) {}

    ~Board() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        // After close no delivery runs or starts, so no callback outlives the board.
        backend_->close();
    }

    int32_t initCan(uint32_t bitRate) {
        if (bitRate == 0) {
            return kVciBadArgument;
        }
        // A new initialisation resets the controller: it leaves the bus, and queues and
        // buffers configured before are gone (their handles no longer work).
        if (started_) {
            backend_->close();
            started_ = false;
        }
        std::lock_guard lock(mutex_);
        bitRate_ = bitRate;
        txQueue_ = 0;
        rxQueue_ = 0;
        rxAssigned_ = false;
        rxCapacity_ = 0;
        buffers_.clear();
        return kVciOk;
    }

    int32_t configQueue(uint8_t type, uint16_t size, uint16_t* handle) {
        std::lock_guard lock(mutex_);
        if (bitRate_ == 0) {
            return kVciError;
        }
        uint16_t h = nextHandle_++;
        if (type == kTransmitQueue) {
            txQueue_ = h;
        } else if (type == kReceiveQueue) {
            rxQueue_ = h;
            rxAssigned_ = false;
            rxCapacity_ = std::clamp<uint16_t>(size, 1, kReceiveQueueLimit);
        } else {
            return kVciBadArgument;
        }
        if (handle != nullptr) {
            *handle = h;
        }
        return kVciOk;
    }

    int32_t configBuffer(uint32_t id, uint16_t* handle) {
        std::lock_guard lock(mutex_);
        if (bitRate_ == 0) {
            return kVciError;
        }
        Buffer b;
        b.handle = nextHandle_++;
        b.id = id;
        buffers_.push_back(b);
        if (handle != nullptr) {
            *handle = b.handle;
        }
        return kVciOk;
    }

    int32_t assignRxQueue(uint16_t queue) {
        std::lock_guard lock(mutex_);
        if (queue == 0 || queue != rxQueue_) {
            return kVciBadHandle;
        }
        rxAssigned_ = true;
        return kVciOk;
    }

    int32_t start() {
        if (started_) {
            return kVciOk;
        }
        uint32_t rate;
        {
            std::lock_guard lock(mutex_);
            rate = bitRate_;
        }
        if (rate == 0) {
            return kVciError;
        }
        if (!backend_->open(rate, *this)) {
            if (onException_ != nullptr) {
                onException_(0, kVciNoInterface, 0, "interface cannot be opened");
            }
            return kVciNoInterface;
        }
        started_ = true;
        return kVciOk;
    }

    int32_t transmit(uint16_t queue, uint32_t id, uint8_t length, const uint8_t* data) {
        if (length > 8 || (length > 0 && data == nullptr) || id > 0x7FF) {
            return kVciBadArgument;
        }
        {
            std::lock_guard lock(mutex_);
            if (queue == 0 || queue != txQueue_) {
                return kVciBadHandle;
            }
        }
        if (!started_) {
            return kVciNotStarted;
        }
        CanFrame frame;
        frame.id = id;
        frame.length = length;
        if (length > 0) {
            std::memcpy(frame.data, data, length);
        }
        // The trace line of a frame that went out is written before that of any frame
        // received after it, an answer that came back at once among them: on a busy
        // machine the sending thread may be held between the send and its line for
        // longer than a device takes to answer. A backend that hands sent frames back
        // has them traced in the bus's order instead (echo).
        std::lock_guard order(traceOrder_);
        if (!backend_->send(frame)) {
            return kVciNothing;
        }
        if (!backend_->echoesSent()) {
            traceFrame(interfaceName_, frame, false);
        }
        return kVciOk;
    }

    int32_t readBuffer(uint16_t handle, uint8_t* data, uint8_t* length) {
        std::lock_guard lock(mutex_);
        for (auto& b : buffers_) {
            if (b.handle == handle) {
                if (!b.fresh) {
                    return kVciNothing;
                }
                b.fresh = false;
                if (data != nullptr) {
                    std::memcpy(data, b.data, 8);
                }
                if (length != nullptr) {
                    *length = b.length;
                }
                return kVciOk;
            }
        }
        return kVciBadHandle;
    }

    int64_t dropped() const {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

    // Called by the backend, on its own thread (or the thread that runs the simulation).
    void deliver(const CanFrame* frames, size_t count, uint32_t stamp) override {
        {
            std::lock_guard order(traceOrder_);
            for (size_t i = 0; i < count; ++i) {
                traceFrame(interfaceName_, frames[i], true);
            }
        }
        // One delivery's records reach the callback together and in order, and two
        // deliveries never overlap: the callback lock is taken first and held through it.
        std::lock_guard reporting(reporting_);
        uint16_t queue = 0;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            batch_.clear();
            for (size_t i = 0; i < count; ++i) {
                const CanFrame& f = frames[i];
                uint8_t length = std::min<uint8_t>(f.length, 8);
                for (auto& b : buffers_) {
                    if (b.id == f.id) {
                        b.fresh = true;
                        b.length = length;
                        std::memset(b.data, 0, 8);
                        std::memcpy(b.data, f.data, length);
                    }
                }
                if (!rxAssigned_) {
                    continue;
                }
                if (batch_.size() >= rxCapacity_) {
                    // A full queue keeps what it holds: the frames already in it are the
                    // older ones, and the ones a reader is most likely waiting for.
                    ++dropped_;
                    continue;
                }
                // Receivers tell frames apart by their time stamps (the node search drops
                // a frame whose stamp equals the one before it as seen twice), so no two
                // records share one: frames of one delivery, a frame within the same 100
                // us as the one before it, or a backend that has no time stamps get the
                // next unit.
                if (static_cast<int32_t>(stamp - lastStamp_) <= 0) {
                    stamp = lastStamp_ + 1;
                }
                lastStamp_ = stamp;
                FrameRecord r{};
                r.timeStamp = stamp;
                r.id = f.id;
                r.length = length;
                std::memcpy(r.data, f.data, length);
                batch_.push_back(r);
            }
            queue = rxQueue_;
        }
        // The buffers already hold the frames: a reader woken by the callback finds them.
        if (!batch_.empty() && onReceive_ != nullptr) {
            onReceive_(queue, static_cast<uint16_t>(batch_.size()), batch_.data());
        }
    }

    void echo(const CanFrame& frame) override {
        std::lock_guard order(traceOrder_);
        traceFrame(interfaceName_, frame, false);
    }

    void message(const std::string& text) override {
        if (onMessage_ != nullptr) {
            onMessage_(text.c_str());
        }
    }

    void exception(int32_t code, const std::string& text) override {
        if (onException_ != nullptr) {
            onException_(0, code, 0, text.c_str());
        }
    }

  private:
    std::unique_ptr<Backend> backend_;
    const std::string interfaceName_;
    MessageCallback onMessage_;
    ReceiveCallback onReceive_;
    ExceptionCallback onException_;

    std::mutex traceOrder_;           // held through a send and its trace line
    std::mutex reporting_;            // held through a delivery and its callback
    std::vector<FrameRecord> batch_;  // under reporting_

    mutable std::mutex mutex_;  // configuration, buffers, stamps, counts
    bool stopping_ = false;
    bool started_ = false;  // touched by the caller's thread only
    uint32_t bitRate_ = 0;
    uint16_t nextHandle_ = 1;
    uint16_t txQueue_ = 0;
    uint16_t rxQueue_ = 0;
    bool rxAssigned_ = false;
    uint16_t rxCapacity_ = 0;
    std::vector<Buffer> buffers_;
    uint32_t lastStamp_ = 0;
    int64_t dropped_ = 0;
};

struct Library {
    std::mutex mutex;
    std::map<uint16_t, std::shared_ptr<Board>> boards;
    uint16_t nextBoard = 0;
    std::vector<std::string> interfaces;  // board index -> URI
};

Library& library() {
    static Library lib;
    return lib;
}

std::shared_ptr<Board> findBoard(uint16_t handle) {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    auto it = lib.boards.find(handle);
    return it == lib.boards.end() ? nullptr : it->second;
}

}  // namespace

uint32_t bitRateOfTiming(uint8_t btr0, uint8_t btr1) {
    uint32_t prescaler = 2u * ((btr0 & 0x3Fu) + 1u);
    uint32_t tseg1 = (btr1 & 0x0Fu) + 1u;
    uint32_t tseg2 = ((btr1 >> 4) & 0x07u) + 1u;
    uint32_t quanta = 1u + tseg1 + tseg2;
    if (quanta < 8) {
        return 0;  // below what a controller of this kind can sample
    }
    return 16000000u / (prescaler * quanta);
}

int32_t registerInterface(const std::string& uri) {
    if (boardTypeOf(uri) == 0) {
        return -1;
    }
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    auto it = std::find(lib.interfaces.begin(), lib.interfaces.end(), uri);
    if (it != lib.interfaces.end()) {
        return static_cast<int32_t>(it - lib.interfaces.begin());
    }
    lib.interfaces.push_back(uri);
    return static_cast<int32_t>(lib.interfaces.size() - 1);
}

std::string interfaceUri(uint16_t boardIndex) {
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    return boardIndex < lib.interfaces.size() ? lib.interfaces[boardIndex] : std::string();
}

std::vector<std::string> availableInterfaces() {
    // Real interfaces first: on a machine with an adapter plugged in, that is the one meant.
    std::vector<std::string> found;
    for (const auto& name : socketCanInterfacesUp()) {
        found.push_back("socketcan:" + name);
    }
    for (const auto& uri : configuredSocketcandUris()) {
        found.push_back(uri);
    }
    for (const auto& name : virtualBusNames()) {
        found.push_back("virtual:" + name);
    }
    return found;
}

int32_t VCI2_PrepareBoard(uint32_t boardType, uint16_t boardIndex, char* info, uint16_t infoLength,
                          MessageCallback onMessage, ReceiveCallback onReceive,
                          ExceptionCallback onException) {
    std::string uri = interfaceUri(boardIndex);
    if (uri.empty() || boardTypeOf(uri) != boardType) {
        return kVciBadHandle;
    }
    auto backend = createBackend(uri);
    if (!backend) {
        return kVciNoInterface;
    }
    if (info != nullptr && infoLength > 0) {
        std::snprintf(info, infoLength, "%s", uri.c_str());
    }
    auto board = std::make_shared<Board>(std::move(backend), interfaceNameOf(uri), onMessage,
                                         onReceive, onException);
    auto& lib = library();
    std::lock_guard lock(lib.mutex);
    uint16_t handle = lib.nextBoard;
    while (lib.boards.count(handle) != 0) {
        ++handle;
    }
    lib.nextBoard = static_cast<uint16_t>(handle + 1);
    lib.boards.emplace(handle, std::move(board));
    return handle;
}

int32_t VCI_CancelBoard(uint16_t board) {
    std::shared_ptr<Board> gone;
    {
        auto& lib = library();
        std::lock_guard lock(lib.mutex);
        auto it = lib.boards.find(board);
        if (it == lib.boards.end()) {
            return kVciBadHandle;
        }
        gone = std::move(it->second);
        lib.boards.erase(it);
    }
    gone.reset();  // closes the backend outside the table's lock
    return kVciOk;
}

int32_t VCI_InitCan(uint16_t board, uint8_t can, uint8_t btr0, uint8_t btr1, uint8_t mode) {
    auto b = findBoard(board);
    if (!b || can != 0) {
        return kVciBadHandle;
    }
    if (mode != 0) {
        return kVciBadArgument;  // 11-bit identifiers only
    }
    return b->initCan(bitRateOfTiming(btr0, btr1));
}

int32_t VCI_SetAccMask(uint16_t board, uint8_t can, uint32_t, uint32_t) {
    // Every identifier is accepted; the queue assignment decides what is reported.
    return findBoard(board) && can == 0 ? kVciOk : kVciBadHandle;
}

int32_t VCI_ConfigQueue(uint16_t board, uint8_t can, uint8_t type, uint16_t size, uint16_t,
                        uint16_t, uint16_t, uint16_t* handle) {
    auto b = findBoard(board);
    if (!b || can != 0) {
        return kVciBadHandle;
    }
    return b->configQueue(type, size, handle);
}

int32_t VCI_ConfigBuffer(uint16_t board, uint8_t can, uint8_t, uint32_t id, uint16_t* handle) {
    auto b = findBoard(board);
    if (!b || can != 0) {
        return kVciBadHandle;
    }
    return b->configBuffer(id, handle);
}

int32_t VCI_AssignRxQueObj(uint16_t board, uint16_t queue, uint8_t, uint32_t, uint32_t) {
    auto b = findBoard(board);
    return b ? b->assignRxQueue(queue) : kVciBadHandle;
}

int32_t VCI_StartCan(uint16_t board, uint8_t can) {
    auto b = findBoard(board);
    if (!b || can != 0) {
        return kVciBadHandle;
    }
    return b->start();
}

int32_t VCI_TransmitObj(uint16_t board, uint16_t queue, uint32_t id, uint8_t length,
                        const uint8_t* data) {
    auto b = findBoard(board);
    return b ? b->transmit(queue, id, length, data) : kVciBadHandle;
}

int32_t VCI_ReadBufData(uint16_t board, uint16_t buffer, uint8_t* data, uint8_t* length) {
    auto b = findBoard(board);
    return b ? b->readBuffer(buffer, data, length) : kVciBadHandle;
}

int64_t VCI_GetDroppedFrames(uint16_t board) {
    auto b = findBoard(board);
    return b ? b->dropped() : -1;
}

void setFrameTrace(FrameTrace* trace) {
    TraceHook& hook = traceHook();
    std::lock_guard lock(hook.mutex);
    hook.trace = trace;
}

std::string interfaceNameOf(const std::string& uri) {
    std::string rest = uri.substr(uri.find(':') + 1);
    if (uri.rfind("socketcand:", 0) == 0) {
        auto slash = rest.rfind('/');
        return slash == std::string::npos ? rest : rest.substr(slash + 1);
    }
    return rest;
}

std::string candumpLine(int64_t timeUs, const std::string& iface, uint32_t id, uint8_t length,
                        const uint8_t* data) {
    char head[64];
    std::snprintf(
        head, sizeof head, "(%lld.%06lld) %s %03X#", static_cast<long long>(timeUs / 1000000),
        static_cast<long long>(timeUs % 1000000), iface.c_str(), static_cast<unsigned>(id & 0x7FF));
    std::string line = head;
    static const char* const kHex = "0123456789ABCDEF";
    for (uint8_t i = 0; i < std::min<uint8_t>(length, 8); ++i) {
        line.push_back(kHex[data[i] >> 4]);
        line.push_back(kHex[data[i] & 0x0F]);
    }
    return line;
}

}  // namespace romtide::vci
