// The board as the unattended Profibus run uses it: resets after the first, with nothing
// configured since, do not reach the library (for a remote board whose server stopped
// answering, each would wait the open limit).
#include <gtest/gtest.h>

#include "app/profibus_board_guard.h"

namespace romtide {
namespace {

struct CountingLibrary final : DpMasterLibrary {
    int inits = 0, resets = 0;
    uint8_t InitDll(DeviceConfig*, uint16_t, uint8_t*, uint8_t*) override {
        ++inits;
        return 0;
    }
    uint8_t ResetDevice(uint8_t, uint32_t) override {
        ++resets;
        return 0;
    }
    uint8_t GetDeviceInfo(uint8_t, DeviceInfo*) override { return 0; }
    uint8_t WriteCommand(uint8_t, uint8_t, const uint8_t*) override { return 3; }
    uint8_t GetReport(uint8_t, uint8_t, uint8_t*) override { return 3; }
    uint8_t WriteOutputData(uint8_t, uint8_t, const uint8_t*, uint16_t, uint8_t, uint8_t) override {
        return 3;
    }
    uint8_t ReadInputData(uint8_t, uint8_t, uint8_t*, uint16_t, uint8_t, uint8_t) override {
        return 3;
    }
    uint8_t ReadDataTransferList(uint8_t, uint8_t, uint8_t*) override { return 3; }
    uint8_t StationOnline(uint8_t, uint8_t, uint8_t*) override { return 3; }
};

TEST(ProfibusBoardGuard, ABoardIsResetOnceUntilItIsConfiguredAgain) {
    CountingLibrary library;
    VirtualClock clock;
    ProfibusBoardGuard guard(library, clock);
    // Nothing known at the start: the first reset goes through, whatever came before.
    EXPECT_EQ(guard.ResetDevice(0, 0), 0);
    EXPECT_EQ(guard.ResetDevice(0, 0), 0);
    EXPECT_EQ(library.resets, 1);
    DeviceConfig configs[16] = {};
    EXPECT_EQ(guard.InitDll(configs, 1, nullptr, nullptr), 0);
    EXPECT_EQ(guard.ResetDevice(0, 0), 0);
    EXPECT_EQ(guard.ResetDevice(0, 0), 0);
    EXPECT_EQ(library.resets, 2);
}

}  // namespace
}  // namespace romtide
