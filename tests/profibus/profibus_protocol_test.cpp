// The Profibus bootloader protocol of Tbootloader against a scripted bootloader on the
// virtual clock: the telegrams' words, sequence numbers and their wrap, which answers
// count, the erase window, cancel, every result code and DownloadSlave's combined result.
// (Whole updates against the simulated segment are tested end to end.)
#include <gtest/gtest.h>

#include <string>

#include "session/tbootloader.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "tests/profibus/fake_dp_master.h"

namespace romtide {
namespace {

using test::FakeDpMaster;

constexpr uint8_t kStation = 3;

// A bootloader behind the scripted board: acknowledges the erase after its erase time
// and every new data telegram at once, unless told otherwise.
struct ScriptedBootloader {
    ScriptedBootloader(FakeDpMaster& lib, VirtualClock& clock) : lib(lib), clock(clock) {
        lib.setInExchange(kStation);
        lib.onOutput = [this](uint8_t station, const ParameterWords& out) {
            if (station == kStation) {
                take(out);
            }
        };
    }
    void take(const ParameterWords& out) {
        outputs.push_back(out);
        if (out[0] != 0x87D0) {
            return;
        }
        if (out[1] == 3 && out[2] == 0xAA55) {
            if (!erasing && !eraseNever) {
                erasing = true;
                clock.scheduleAfterUs(eraseUs, [this] { lib.setInput(kStation, {0x67D0, 3}); });
            }
            return;
        }
        if (out[1] == 1 && out[2] == 0xAA55) {
            ++finishes;
            if (onFinish) {
                onFinish();
            } else {
                // Takes it: restarts into the new application, off the data exchange
                // for a while.
                lib.setInExchange(kStation, false);
                clock.scheduleAfterUs(100000, [this] { lib.setInExchange(kStation); });
            }
            return;
        }
        if (out[1] == lastSequence) {
            return;
        }
        lastSequence = out[1];
        sequences.push_back(out[1]);
        for (uint16_t w : {out[2], out[3]}) {
            for (char c : {static_cast<char>(w >> 8), static_cast<char>(w & 0xFF)}) {
                if (c != 0) {
                    text += c;
                }
            }
        }
        if (answer) {
            answer(out[1]);
        } else {
            lib.setInput(kStation, {0x67D0, out[1]});
        }
    }
    // Data telegrams, in order.
    std::vector<ParameterWords> data() const {
        std::vector<ParameterWords> d;
        for (const auto& o : outputs) {
            if (o[0] == 0x87D0 && o[1] >= 10) {
                d.push_back(o);
            }
        }
        return d;
    }

    FakeDpMaster& lib;
    VirtualClock& clock;
    int64_t eraseUs = 200000;
    bool eraseNever = false;
    bool erasing = false;
    uint16_t lastSequence = 0;
    int finishes = 0;
    std::string text;
    std::vector<uint16_t> sequences;
    std::vector<ParameterWords> outputs;
    std::function<void(uint16_t sequence)> answer;
    std::function<void()> onFinish;  // null: the finish is taken
};

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        TProfitalvik::resetSharedState();
        TProfitalvik::SetStationAddress(kStation);
        session.AddNode(kStation);
    }
    void TearDown() override {
        Tbootloader::resetSharedState();
        TProfitalvik::resetSharedState();
    }
    void image(const std::string& text) {
        session.imageFile = TextFile::open(dir.write("image.mhx", text));
        ASSERT_TRUE(session.imageFile);
    }

    test::TestServices ts;
    FakeDpMaster lib{ts.clock};
    ScriptedBootloader device{lib, ts.clock};
    Tbootloader session{ts.services, lib};
    test::TempDir dir;
    ui::PlainProgressBar progress;
    ui::PlainTextLabel label;
};

TEST_F(ProtocolTest, SeventeenCharacterLineIsFiveTelegrams) {
    image("S1130000FFFFFFFF\n");
    TProfitalvik::SetPpo2(true);
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kOk);
    const auto data = device.data();
    ASSERT_EQ(data.size(), 5u);
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i][1], 10 + i);
        EXPECT_EQ(data[i][4], 0);
        EXPECT_EQ(data[i][5], 0);
    }
    EXPECT_EQ(data[0][2], 0x5331);  // "S1"
    EXPECT_EQ(data[0][3], 0x3133);  // "13"
    EXPECT_EQ(data[4][2], 0x0A00) << "the line feed and zero padding";
    EXPECT_EQ(data[4][3], 0x0000);
    EXPECT_EQ(device.text, "S1130000FFFFFFFF\n");
    // Erase first, finish last; every bootloader telegram is PPO1.
    EXPECT_EQ(device.outputs.front(), (ParameterWords{0x87D0, 3, 0xAA55, 0}));
    EXPECT_EQ(device.outputs.back(), (ParameterWords{0x87D0, 1, 0xAA55, 0}));
    EXPECT_EQ(device.finishes, 1);
    EXPECT_GE(ts.clock.nowUs() - lib.writes.back().atUs, 10000)
        << "the finish is left for the data exchange to carry";
    EXPECT_FALSE(TProfitalvik::GetPpo2());
    for (const auto& w : lib.writes) {
        EXPECT_EQ(w.bytes.size(), 12u);
        EXPECT_EQ(w.offset, 80);
    }
    EXPECT_EQ(progress.position(), 0);
}

TEST_F(ProtocolTest, SequenceNumberWrapsFrom32767To10) {
    // 32759 units: sequence numbers 10 ... 32767, then 10 again.
    std::string text;
    const std::string line(95, 'A');
    while (text.size() < 32759 * 4) {
        text += line + "\n";
    }
    text.resize(32759 * 4 - 1);
    text += "\n";
    image(text);
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kOk);
    ASSERT_EQ(device.sequences.size(), 32759u);
    EXPECT_EQ(device.sequences[32757], 32767);
    EXPECT_EQ(device.sequences[32758], 10);
    EXPECT_EQ(device.text, text);
}

TEST_F(ProtocolTest, OlderErrorAnswersAndPreviousAcknowledgesDoNotCount) {
    image("S1130000FFFFFFFFAAAA\n");
    // Each answer first shows an error for the previous telegram, then the acknowledge.
    device.answer = [&](uint16_t sequence) {
        lib.setInput(kStation, {0x77D0, static_cast<uint16_t>(sequence - 1), 0, 4});
        ts.clock.scheduleAfterUs(3000, [this, sequence] {
            lib.setInput(kStation, {0x67D0, sequence});
        });
    };
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kOk);
    EXPECT_EQ(device.sequences.size(), 6u);

    // Only the acknowledge of the previous telegram: 5000 ms, then -7.
    device.answer = [&](uint16_t sequence) {
        if (sequence > 11) {
            lib.setInput(kStation, {0x67D0, static_cast<uint16_t>(sequence - 1)});
        } else {
            lib.setInput(kStation, {0x67D0, sequence});
        }
    };
    device.erasing = false;
    device.lastSequence = 0;
    progress.setPosition(40);
    const int64_t before = ts.clock.nowMs();
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kTransferError);
    EXPECT_GE(ts.clock.nowMs() - before, 5000);
    EXPECT_EQ(progress.position(), 0);
}

TEST_F(ProtocolTest, ErrorAnswerEndsWithItsCodeInTheLabel) {
    image("S1130000FFFFFFFFAAAA\n");
    device.answer = [&](uint16_t sequence) {
        if (sequence == 12) {
            lib.setInput(kStation, {0x77D0, sequence, 0, 0x1205});
        } else {
            lib.setInput(kStation, {0x67D0, sequence});
        }
    };
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kTransferError);
    EXPECT_EQ(label.text(), "Errorcode: 5");
    EXPECT_EQ(session.ProfibusErrorCode(), 5);
    EXPECT_EQ(device.finishes, 0);
}

// The device is updated only when it takes the finish; a refusal is the download's
// failure with its code, as a refused data telegram is.
TEST_F(ProtocolTest, TheFinishCountsOnlyWhenTheDeviceTakesIt) {
    struct Case {
        const char* what;
        std::function<void()> onFinish;  // null: restarts into the application
        int32_t result;
        int32_t code;
        int64_t leastMs;
        int64_t mostMs;
    };
    const Case cases[] = {
        {"restarts", nullptr, result::kOk, -1, 0, 100},
        {"refuses",
         [&] {
             lib.setInput(kStation, {0x77D0, 1, 0, 0x0101});
         },
         result::kTransferError, 1, 0, 100},
        {"acknowledges",
         [&] {
             lib.setInput(kStation, {0x67D0, 1});
         },
         result::kOk, -1, 0, 100},
        {"neither answers nor restarts", [] {}, result::kOk, -1, 5000, 5100},
        {"its answer cannot be read", [&] { lib.readFailure = 3; }, result::kBusError, -1, 0, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        image("S9030000FC\n");
        device.erasing = false;
        device.lastSequence = 0;
        device.onFinish = c.onFinish;
        lib.readFailure = 0;
        lib.setInput(kStation, {});
        ts.clock.advanceToUs(ts.clock.nowUs() + 1000000);  // back from the last restart
        EXPECT_EQ(session.ProfibusDownload(progress, label), c.result);
        const int64_t since = (ts.clock.nowUs() - lib.writes.back().atUs) / 1000;
        EXPECT_GE(since, c.leastMs);
        EXPECT_LE(since, c.mostMs);
        EXPECT_EQ(session.ProfibusErrorCode(), c.code);
        if (c.code >= 0) {
            EXPECT_EQ(label.text(), "Errorcode: " + std::to_string(c.code));
        }
    }

    // A finish that cannot be written never reached the device.
    device.erasing = false;
    device.lastSequence = 0;
    lib.readFailure = 0;
    lib.setInput(kStation, {});
    device.answer = [&](uint16_t sequence) {
        lib.setInput(kStation, {0x67D0, sequence});
        if (sequence == 12) {
            lib.writeFailure = 5;
        }
    };
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kBusError);
}

TEST_F(ProtocolTest, EraseHasTenSeconds) {
    image("S9030000FC\n");
    device.eraseUs = 9900000;
    EXPECT_EQ(session.ProfibusErase(), result::kOk);

    device.erasing = false;
    lib.setInput(kStation, {});
    device.eraseUs = 10200000;
    EXPECT_EQ(session.ProfibusErase(), result::kEraseNotAcknowledged);
    EXPECT_GE(device.outputs.size(), 150u) << "the erase telegram goes out on every pass";

    device.eraseNever = true;
    ts.clock.advanceToUs(ts.clock.nowUs() + 1000000);  // the late acknowledge has come
    lib.setInput(kStation, {});
    progress.setPosition(33);
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kEraseFailed);
    EXPECT_EQ(progress.position(), 33) << "progress unchanged";
    EXPECT_EQ(label.text(), "Erase Flash... Please be patient.");
    EXPECT_TRUE(device.data().empty());
}

TEST_F(ProtocolTest, NothingIsSentWithoutStationOrImage) {
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kNoFile);
    image("S9030000FC\n");
    session.RemoveNode(kStation);
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kDeclined);
    EXPECT_TRUE(lib.writes.empty());
}

TEST_F(ProtocolTest, BoardFailuresEndTheTransfer) {
    image("S1130000FFFFFFFFAAAA\n");
    device.answer = [&](uint16_t sequence) {
        lib.setInput(kStation, {0x67D0, sequence});
        if (sequence == 11) {
            lib.readFailure = 3;
        }
    };
    progress.setPosition(20);
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kBusError);
    EXPECT_EQ(progress.position(), 0);

    lib.readFailure = 0;
    lib.writeFailure = 5;
    EXPECT_EQ(session.ProfibusErase(), result::kEraseNotWritten);
    EXPECT_EQ(session.ProfibusEnterBootloader(), result::kBusError);
    EXPECT_EQ(session.ProfibusFinish(), result::kNoFile);
}

TEST_F(ProtocolTest, CancelIsSeenAfterTheNextAcknowledge) {
    std::string text;
    for (int i = 0; i < 50; ++i) {
        text += "S1130000FFFFFFFFAAAAAAAAAAAAAAAAAAAAAAAAAA\n";
    }
    image(text);
    device.answer = [&](uint16_t sequence) {
        ts.clock.scheduleAfterUs(1000, [this, sequence] {
            lib.setInput(kStation, {0x67D0, sequence});
        });
    };
    ts.pump.at(250, [&] { session.Cancel(); });
    EXPECT_EQ(session.ProfibusDownload(progress, label), result::kCancelled);
    EXPECT_EQ(progress.position(), 0);
    EXPECT_EQ(device.finishes, 0);
    EXPECT_LT(device.sequences.size(), 200u);
}

TEST_F(ProtocolTest, ShortImageStepsTheBarOnEveryLineAfterTheFirst) {
    image("S0030000FC\nS1050000AABB94\nS9030000FC\n");  // 37 bytes: step 0
    struct Bar : ui::PlainProgressBar {
        void setPosition(int p) override {
            PlainProgressBar::setPosition(p);
            seen.push_back(p);
        }
        std::vector<int> seen;
    } bar;
    EXPECT_EQ(session.ProfibusDownload(bar, label), result::kOk);
    // The end of the file is seen only by the read after the last line, as the
    // transfer's loop runs until the end-of-file mark: one more step there.
    EXPECT_EQ(bar.seen, (std::vector<int>{1, 2, 3, 0}));
    EXPECT_EQ(label.text(), "Writing File 3%");
}

TEST_F(ProtocolTest, EnterBootloaderWritesTheChangeRequestTwice) {
    EXPECT_EQ(session.ProfibusEnterBootloader(), result::kOk);
    EXPECT_GE(ts.clock.nowMs(), 10) << "the request is left for the data exchange to carry";
    ASSERT_EQ(device.outputs.size(), 2u);
    for (const auto& out : device.outputs) {
        EXPECT_EQ(out, (ParameterWords{0x3398, 0, 0x0052, 0x5354, 0, 0, 0, 0, 0, 0}));
    }
}

TEST_F(ProtocolTest, DownloadSlaveCombinesItsResults) {
    image("S1130000FFFFFFFF\n");
    // The station's application and bootloader both answer 922 as PPO1.
    lib.onOutput = [&](uint8_t station, const ParameterWords& out) {
        if (out[0] == 0x139A) {
            lib.setInput(station, {0x139A, 0, 0, 1});
        } else {
            device.take(out);
        }
    };
    EXPECT_EQ(session.DownloadSlave(progress, label), result::kOk);
    EXPECT_EQ(device.text, "S1130000FFFFFFFF\n");
    EXPECT_EQ(TProfitalvik::GetStationAddress(), kStation);
    // The enter-bootloader request went out before the bootloader's parameterisation.
    bool entered = false;
    for (const auto& out : device.outputs) {
        entered = entered || out[0] == 0x3398;
    }
    EXPECT_TRUE(entered);

    // An unsupported baud code: both initialisations answer 99, the download 0.
    device.erasing = false;
    device.lastSequence = 0;
    device.text.clear();
    TProfitalvik::SetBaudIndex(5);
    EXPECT_EQ(session.DownloadSlave(progress, label), 99);

    // A missing confirmation makes every combination -1.
    TProfitalvik::SetBaudIndex(7);
    lib.confirm = [](const std::vector<uint8_t>& b) -> std::optional<test::Report> {
        if (b[0] == 0x24) {
            return std::nullopt;
        }
        return test::confirmationOf(b.data());
    };
    EXPECT_EQ(session.DownloadSlave(progress, label), -1);
}

}  // namespace
}  // namespace romtide
