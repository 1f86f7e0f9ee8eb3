// The DP master channel of a remote board: every operation is one request to the board
// server. A watched channel asks for a report every period and keeps one in its buffer
// until the application takes it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "nuboxlink/channel/dpem_channel.h"
#include "nuboxlink/remote/remote_protocol.h"
#include "nuboxlink/remote/tcpip_device.h"

namespace nuboxlink {

class CDpemTcpip final : public CDpemChannel, public CTcpipChannel {
  public:
    CDpemTcpip(CTcpipDevice& board, uint8_t index) : CTcpipChannel(board, index) {}
    ~CDpemTcpip() override { endWatch(); }

    uint8_t Init(uint16_t) override { return 0; }
    CDeviceChannel& transport() override { return *this; }

    uint8_t WriteCommand(const uint8_t* block, uint16_t length) override;
    uint8_t GetReport(uint8_t* report) override;
    uint8_t WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                            uint8_t station) override;
    uint8_t ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                          uint8_t station) override;
    uint8_t DataExchange(DataTransferRecord* const* records) override;
    uint8_t WriteRemoteAccessFlag(uint8_t flag) override;
    uint8_t ReadDataTransferList(uint8_t* list) override;
    uint8_t ReadSystemDiagnostic(uint8_t* diag) override;
    uint8_t ReadDiagState(uint8_t* out) override;
    uint8_t StationOnline(uint8_t* out) override;

    // Under the channel lock: asks for a report when none is buffered; true while one is.
    bool Poll() override;

  private:
    // A request of two bytes, code and channel, whose reply payload goes to `out`.
    uint8_t simple(uint8_t code, uint8_t* out);

    std::mutex lock_;  // the report buffer and its marker
    std::array<uint8_t, remote::kReportSize> report_{};
    bool buffered_ = false;
};

}  // namespace nuboxlink
