// PCMCIA cards: the DPR board on a card, running channel 0 only. The earlier driver
// platform reaches every card through one fixed name; the later one through a
// plug-and-play driver per socket, which signals the library's removal event when the
// card is pulled.
#pragma once

#include <memory>
#include <thread>

#include "nuboxlink/board/device.h"

namespace nuboxlink {

class CPcmciaDeviceNT : public CIsaDevice {
  public:
    CPcmciaDeviceNT(Library& library, uint8_t number);
    ~CPcmciaDeviceNT() override;

    void Close() override;
    std::string DeviceName(unsigned index) const override;

  protected:
    unsigned channelCount() const override { return 1; }
    // Tells the driver the card is released, unless it never completed a command.
    void releaseCard();
};

class CPcmciaDeviceWDM final : public CPcmciaDeviceNT {
  public:
    static constexpr uint8_t kNoSlot = 16;
    // Claims the socket's token and looks for the card; a failure stays as the status.
    CPcmciaDeviceWDM(Library& library, uint8_t number, uint8_t socket);
    ~CPcmciaDeviceWDM() override;

    uint8_t Open() override;
    void Close() override;
    std::string DeviceName(unsigned index) const override;
    uint8_t socket() const { return socket_; }

  private:
    void removalThread();
    void stopRemovalThread();

    uint8_t socket_;
    uint8_t slot_ = kNoSlot;
    std::shared_ptr<Event> removal_, released_;
    std::thread thread_;
};

std::string cardDeviceName(unsigned slot);

}  // namespace nuboxlink
