// A board in another computer, reached over TCP/IP through a board server there. All
// requests of the board pass through its worker thread, which owns the connection; the
// request lock hands them over one caller at a time, so watch threads and application
// calls interleave request by request. Only the DP master family runs on such a board.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "nuboxlink/board/device.h"
#include "nuboxlink/board/worker_thread.h"

namespace nuboxlink {

class CTcpipDevice final : public CDevice {
  public:
    // Host names longer than this, or with a NUL in them, are refused (status 1), never
    // cut to fit.
    static constexpr size_t kMaxHostName = 49;
    // Limits of the open (connection and greeting), the configuration and every other
    // request.
    static constexpr int kOpenLimitMs = 30000;
    static constexpr int kConfigureLimitMs = 30000;
    static constexpr int kRequestLimitMs = 10000;

    CTcpipDevice(Library& library, uint8_t number, std::string host, uint8_t remoteDevice);
    ~CTcpipDevice() override;

    uint8_t Open() override;
    void Close() override;
    // Breaks the connection from any thread, at any moment (an open in progress too): a
    // request in progress and every later one answer 2 at once.
    void Interrupt() override;
    bool independent() const override { return true; }
    uint8_t CreateChannel(uint8_t index, uint8_t type) override;
    uint8_t MapAndRestart(DeviceConfig& config) override;
    uint8_t ConfigureChannels(const DeviceConfig&) override { return status_; }
    uint8_t Restart() override;
    bool IsOpen() const override { return true; }
    bool IsReady(const DeviceConfig&) override { return true; }

    // One request and its reply: the request's bytes, and where the reply's payload
    // goes (its length follows from the request). Returns the server's status byte, or
    // 2 when the request was not answered in time or the connection failed. The payload
    // is copied only from a success reply that arrived whole and in step.
    uint8_t request(const uint8_t* bytes, size_t n, uint8_t* payload,
                    int limitMs = kRequestLimitMs);

    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }

  private:
    struct Link;
    static void workerBody(const std::shared_ptr<Link>& link, Event& stop);

    std::string host_;
    uint16_t port_;
    // Shared with the worker thread, which may outlive this object when it does not
    // end in time.
    std::shared_ptr<Link> link_;
    std::mutex linkMutex_;  // link_ as Interrupt sees it, and interrupted_
    bool interrupted_ = false;
    WorkerThread worker_;
};

// The transport part of a remote channel: the watch thread asks the server for a
// report every period and calls the application back while one is buffered.
class CTcpipChannel : public CDeviceChannel {
  public:
    CTcpipChannel(CTcpipDevice& board, uint8_t index);
    ~CTcpipChannel() override;

    uint8_t StartWatch(NuboxReportCallback callback, uint32_t userValue,
                       uint16_t periodMs) override;
    uint8_t StopWatch() override;
    virtual void ThreadBody(Event& stop);

    bool watching() const { return watch_.running(); }

  protected:
    // Stops a running watch and gives a callback in progress time to return; called by
    // the most derived class, whose Poll the watch calls.
    void endWatch();

    CTcpipDevice& tcpip_;
    uint16_t period_ = 0;
    WorkerThread watch_;
};

}  // namespace nuboxlink
