#include "board_server/board_session.h"

#include "nuboxlink/remote/remote_protocol.h"

namespace board_server {

namespace remote = nuboxlink::remote;

namespace {
// Device status when InitDll failed without giving one (an unsupported platform).
constexpr uint8_t kNotOpened = 1;
}  // namespace

std::vector<uint8_t> BoardSession::handle(const uint8_t* request, size_t n) {
    std::vector<uint8_t> reply(1 + remote::replyPayloadLength(request), 0);
    uint8_t* payload = reply.data() + 1;
    uint8_t& result = reply[0];
    const uint8_t channel = n > 1 ? request[1] : 0;
    const uint16_t offset = n > 3 ? static_cast<uint16_t>(request[2] << 8 | request[3]) : 0;
    const uint8_t length = n > remote::kDataLengthOffset ? request[remote::kDataLengthOffset] : 0;
    const uint8_t station = n > 5 ? request[5] : 0;
    switch (request[0]) {
        case remote::kConfigure: {
            DeviceConfig configs[16] = {};
            configs[device_] = remote::decodeConfig(request + 1);
            uint8_t status[16] = {}, channelStatus[16] = {};
            const uint8_t r = board_.initDll(configs, static_cast<uint16_t>(1u << device_), status,
                                             channelStatus);
            uint8_t deviceStatus = status[device_];
            if (r != 0 && deviceStatus == 0) {
                deviceStatus = kNotOpened;
            }
            configured_ = deviceStatus == 0;
            result = remote::kReplyOk;
            payload[0] = deviceStatus;
            payload[1] = channelStatus[device_];
            break;
        }
        case remote::kWriteCommand:
            result = board_.writeCommand(device_, channel, request + remote::kCommandHeaderSize);
            break;
        case remote::kGetReport:
            result = board_.getReport(device_, channel, payload);
            break;
        case remote::kReadInput:
            result = board_.readInputData(device_, channel, payload, offset, length, station);
            break;
        case remote::kWriteOutput:
            result = board_.writeOutputData(device_, channel, request + remote::kDataHeaderSize,
                                            offset, length, station);
            break;
        case remote::kRemoteAccessFlag:
            result = board_.writeRemoteAccessFlag(device_, channel, request[2]);
            break;
        case remote::kTransferList:
            result = board_.readDataTransferList(device_, channel, payload);
            break;
        case remote::kSystemDiagnostic:
            result = board_.readSystemDiagnostic(device_, channel, payload);
            break;
        case remote::kDiagState:
            result = board_.readDiagState(device_, channel, payload);
            break;
        case remote::kStationOnline:
            result = board_.stationOnline(device_, channel, payload);
            break;
        case remote::kRestart:
            // Accepted now, done after the reply: the client closes the connection next.
            result = remote::kReplyOk;
            resetPending_ = true;
            break;
    }
    return reply;
}

void BoardSession::afterReply() {
    if (resetPending_) {
        resetPending_ = false;
        board_.resetDevice(device_, 0);
        configured_ = false;
    }
}

void BoardSession::end() {
    if (configured_ || resetPending_) {
        resetPending_ = false;
        board_.resetDevice(device_, 0);
        configured_ = false;
    }
}

}  // namespace board_server
