// Transport of channels on boards with a DPR: the channel watch, a time-critical thread
// on a 1 ms periodic timer that polls the channel and notifies.
#pragma once

#include <atomic>

#include "nuboxlink/board/worker_thread.h"
#include "nuboxlink/channel/channel.h"

namespace nuboxlink {

class CIsaDevice;

class CIsaChannel : public CDeviceChannel {
  public:
    CIsaChannel(CIsaDevice& board, uint8_t index);
    ~CIsaChannel() override;

    uint8_t StartWatch(NuboxReportCallback callback, uint32_t userValue,
                       uint16_t periodMs) override;
    uint8_t StopWatch() override;
    virtual void ThreadBody(Event& stop, Ticker& ticker);
    // {type code, parameter high byte, parameter low byte} for the channel command.
    virtual void Descriptor(uint16_t parameter, uint8_t out[3]) = 0;

    bool watching() const { return watch_.running(); }
    CIsaDevice& isaBoard() { return isaBoard_; }

  protected:
    CIsaDevice& isaBoard_;
    uint16_t period_ = 0;
    WorkerThread watch_;
};

}  // namespace nuboxlink
