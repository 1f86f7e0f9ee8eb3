// The CAN transfer as the desktop program runs it: the Qt event pump on real time, a
// simulated device on a bus of its own thread. The acknowledgement wait sleeps in Qt's
// event loop until the receive path posts the frame; a click (here a Qt timer, as a
// click would come) runs inside that wait and cancels the transfer after the unit in
// flight.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTimer>
#include <fstream>

#include "session/tbootloader.h"
#include "sim/can/sim_bus.h"
#include "sim/can/sim_device.h"
#include "sim/core/scheduler.h"
#include "sim/core/srec.h"
#include "support/fakes.h"
#include "ui/qt/qt_event_pump.h"
#include "ui/qt_test_support.h"

namespace romtide {
namespace {

class QtTransferTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
    void SetUp() override {
        Tbootloader::resetSharedState();
        ::setenv("ROMTIDE_CAN_INTERFACE", bus.uri().c_str(), 1);
        sim::SimDeviceConfig c;
        c.node = 5;
        c.kbit = 1000;
        c.eraseUs = 1000;
        c.startsInBootloader = true;
        device = std::make_unique<sim::SimCanDevice>(bus, c);
        std::string tmpl = ::testing::TempDir() + "qttransferXXXXXX";
        std::string dir = ::mkdtemp(tmpl.data());
        sim::FlashImage image;
        for (uint32_t i = 0; i < 600; ++i) {
            image[0x010000 + i] = static_cast<uint8_t>(i * 7 + 3);
        }
        files.answer = dir + "/app.mhx";
        std::ofstream(*files.answer) << sim::writeSrec(image, "APP", 0x010000);

        ASSERT_EQ(session.canComm->SelectBoard(), 1);
        TCANComm::SetBaudIndex(8);
        session.SetNodeId(5);
        ASSERT_GT(session.canComm->InitCan(0, 0x585), 0);
        ASSERT_EQ(session.OpenFile(files), 0);
        ASSERT_EQ(session.CheckFile(), 0);
    }
    void TearDown() override {
        // The bus's thread goes first: nothing of it runs against the device afterwards.
        scheduler.stop();
        Tbootloader::resetSharedState();
        ::unsetenv("ROMTIDE_CAN_INTERFACE");
    }

    sim::RealTimeScheduler scheduler;
    sim::SimBus bus{scheduler, "qttransfer"};
    std::unique_ptr<sim::SimCanDevice> device;
    SteadyClock clock;
    ui::QtEventPump pump;
    test::RecordingMessageBoxes messages;
    Services services{clock, pump, messages};
    Tbootloader session{services};
    test::ScriptedFileDialog files;
    ui::PlainProgressBar bar;
};

TEST_F(QtTransferTest, EveryUnitIsAcknowledgedThroughTheQtPumpAndTheImageIsProgrammed) {
    EXPECT_EQ(session.DownloadFile(bar), 0);
    EXPECT_GT(device->unitsReceived(), 300u);
    EXPECT_EQ(device->parserError(), "");
}

TEST_F(QtTransferTest, AClickDuringTheTransferEndsItAfterTheUnitInFlight) {
    uint64_t unitsAtClick = 0;
    // The click comes once the transfer is well under way, however fast this machine is.
    QTimer clicker;
    clicker.setInterval(2);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (device->unitsReceived() >= 50) {
            clicker.stop();
            unitsAtClick = device->unitsReceived();
            session.Cancel();
        }
    });
    clicker.start();
    EXPECT_EQ(session.DownloadFile(bar), -8);
    EXPECT_GT(unitsAtClick, 0u);
    EXPECT_LE(device->unitsReceived(), unitsAtClick + 1);
}

}  // namespace
}  // namespace romtide
