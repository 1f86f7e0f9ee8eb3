// 300 updates in a row on virtual time, each device with a fault drawn from a fixed
// seed (every kind a simulated device can be given, answer delays, all nine bit rates):
// each outcome must be the one its fault calls for, and nothing may pile up over the
// run (no descriptors; the sanitizer build checks memory).
#include <dirent.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "session/tbootloader.h"
#include "sim/core/srec.h"
#include "support/can_sim.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) {
            ++n;
        }
        ::closedir(d);
    }
    return n;
}

enum class Fault { None, NoAck, Gone, EraseFails, EraseSilent };

struct Expected {
    int32_t connect;
    int32_t download;
};

Expected expectedFor(Fault f) {
    switch (f) {
        case Fault::None:
            return {result::kOk, result::kOk};
        case Fault::NoAck:
            return {result::kOk, result::kTransferError};  // it still answers: -7
        case Fault::Gone:
            return {result::kOk, result::kEraseFailed};  // no answer at all: -9
        case Fault::EraseFails:
        case Fault::EraseSilent:
            return {result::kOk, result::kEraseFailed};
    }
    return {};
}

TEST(Soak, ThreeHundredUpdatesWithFaultsFromAFixedSeedEndAsTheirFaultsSay) {
    Tbootloader::resetSharedState();
    test::CanSim sim("soak");
    Tbootloader session(sim.ts.services);
    test::TempDir dir;
    sim::FlashImage image;
    for (uint32_t i = 0; i < 96; ++i) {
        image[0x020000 + i] = static_cast<uint8_t>(i * 31 + 7);
    }
    std::string text = sim::writeSrec(image, "SOAK", 0x020000);
    test::ScriptedFileDialog dialog;
    dialog.answer = dir.write("soak.mhx", text);
    ASSERT_EQ(session.OpenFile(dialog), 0);
    ASSERT_EQ(session.CheckFile(), 0);
    const int units = static_cast<int>((text.size() + 3) / 4);

    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    const int descriptors = openDescriptors();
    std::mt19937 random(20240614);
    int counts[5] = {};
    for (int run = 0; run < 300; ++run) {
        auto fault = static_cast<Fault>(random() % 5);
        sim::SimDeviceConfig c;
        c.node = 1 + run % 127;
        int baud = static_cast<int>(random() % 9);
        c.kbit = test::kbitOf(baud);
        c.answerDelayUs = 50 + static_cast<int64_t>(random() % 3000);
        int at = static_cast<int>(random() % static_cast<unsigned>(units - 1));
        switch (fault) {
            case Fault::None:
                break;
            case Fault::NoAck:
                c.noAckAfterUnits = at;
                break;
            case Fault::Gone:
                c.goneAfterUnits = at;
                break;
            case Fault::EraseFails:
                c.eraseFails = true;
                break;
            case Fault::EraseSilent:
                c.eraseNeverAnswered = true;
                break;
        }
        ++counts[static_cast<int>(fault)];
        SCOPED_TRACE("run " + std::to_string(run) + " fault " +
                     std::to_string(static_cast<int>(fault)) + " at " + std::to_string(at) +
                     " kbit " + std::to_string(c.kbit));
        auto& device = sim.addDevice(c);
        TCANComm::SetBaudIndex(baud);
        ASSERT_EQ(session.SetNodeId(c.node), 0);
        ASSERT_GT(session.canComm->InitCan(0, static_cast<uint32_t>(session.GetSdoId() - 0x80)), 0);
        ui::PlainProgressBar bar;
        Expected want = expectedFor(fault);
        ASSERT_EQ(session.ConnectBootloader(bar), want.connect);
        ASSERT_EQ(session.DownloadFile(bar), want.download);
        if (fault == Fault::None) {
            EXPECT_EQ(device.applicationFlash(), image);
        } else {
            // Never the whole image: a failed update must not look like a finished one.
            EXPECT_NE(device.applicationFlash(), image);
        }
        // Let what is still under way on the bus end before the device goes.
        sim.run(100);
        sim.devices.clear();
    }
    for (int kind = 0; kind < 5; ++kind) {
        EXPECT_GT(counts[kind], 30) << "fault kind " << kind << " drawn too seldom";
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(sim.bus.stats().dropped, 0u);
}

}  // namespace
}  // namespace romtide
