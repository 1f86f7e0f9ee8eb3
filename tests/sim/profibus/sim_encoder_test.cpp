// The simulated encoder behind the master: its parameter channel, the restart into the
// bootloader, and the bootloader's telegrams into the flash, faults included.
#include <gtest/gtest.h>

#include "sim/core/srec.h"
#include "tests/sim/profibus/dp_bus.h"
#include "tests/sim/profibus/dp_text.h"

namespace romtide::sim {
namespace {

using test::DpBus;

constexpr int kBaud12M = 9;
constexpr int64_t kAnswerLimitUs = 5000;

// PKW request words as the tool builds them.
const std::vector<uint16_t> kAskPpo{0x139A, 0, 0, 0};
const std::vector<uint16_t> kAskVersion{0x63C4, 0x0900, 0, 0};
const std::vector<uint16_t> kEnterBootloader{0x3398, 0, 0x0052, 0x5354};
const std::vector<uint16_t> kErase{0x87D0, 3, 0xAA55, 0};
const std::vector<uint16_t> kFinish{0x87D0, 1, 0xAA55, 0};

struct Station : DpBus {
    explicit Station(SimEncoderConfig c, bool ppo2 = false) : enc(add(c)) {
        up(kBaud12M);
        parameterise(c.address, ppo2);
        clock.sleepMs(1);
        EXPECT_TRUE(master.inDataExchange(c.address));
        address = c.address;
    }
    // Writes a request and returns the input words once word 0 is `answer`.
    std::vector<uint16_t> ask(const std::vector<uint16_t>& request, uint16_t answer,
                              uint16_t index = 0) {
        write(address, request);
        EXPECT_TRUE(waitFor(address, answer, index, kAnswerLimitUs)) << std::hex << request[0];
        return read(address, 6);
    }
    // The text as the tool sends it: line by line, four characters per data telegram,
    // zero padding after a line's end. Stops at the first telegram that is not
    // acknowledged and returns its input words.
    std::optional<std::vector<uint16_t>> send(const std::string& text, int64_t limitUs = 20000) {
        for (const auto& chars : test::dataTelegramWords(text)) {
            sequence = sequence == 32767 ? 10 : sequence + 1;
            write(address, {0x87D0, sequence, chars[0], chars[1]});
            if (!waitFor(address, 0x67D0, sequence, limitUs)) {
                return read(address, 4);
            }
        }
        return std::nullopt;
    }
    SimEncoder& enc;
    int address = 0;
    uint16_t sequence = 9;
};

std::string testImage(FlashImage* image) {
    for (uint32_t a = 0; a < 300; ++a) {
        (*image)[0x1000 + a] = static_cast<uint8_t>(a * 13 + 1);
    }
    return writeSrec(*image, "TEST", 0x1000);
}

TEST(SimEncoderParameters, ApplicationAnswersTypeVersionAndRefusesTheRest) {
    for (int ppo : {1, 2}) {
        Station s({.address = 3, .ppo = ppo, .version = {2, 7, 12}}, ppo == 2);
        EXPECT_EQ(s.ask(kAskPpo, 0x139A),
                  (std::vector<uint16_t>{0x139A, 0, 0, uint16_t(ppo), 0, 0}));
        auto v = s.ask(kAskVersion, 0x43C4, 0x0900);
        EXPECT_NE(v[2], 0x0400);
        EXPECT_EQ(v[3], 0x270C);
        EXPECT_EQ(s.ask({0x1064, 0, 0, 0}, 0x7064)[3], 0);  // parameter 100: identifier 7
        EXPECT_EQ(s.ask({0x63C4, 0x0300, 0, 0}, 0x73C4, 0x0300)[3], 0);  // another index
        EXPECT_EQ(s.ask({0, 0, 0, 0}, 0), (std::vector<uint16_t>{0, 0, 0, 0, 0, 0}));
        // A change-value request for 920 with another value restarts nothing.
        s.ask({0x3398, 0, 0x0052, 0x5355}, 0x7398);
        EXPECT_EQ(s.enc.mode(), EncoderMode::Application);
    }
}

TEST(SimEncoderParameters, ProcessingTimeDelaysEveryAnswer) {
    Station s({.address = 3, .processingUs = 3000});
    s.write(3, kAskPpo);
    EXPECT_FALSE(s.waitFor(3, 0x139A, 0, 2900));
    EXPECT_TRUE(s.waitFor(3, 0x139A, 0, 300));
}

TEST(SimEncoderBootloader, EnterEraseDownloadFinishAndBackInTheApplication) {
    Station s({.address = 4, .ppo = 2, .bootVersion = {1, 4, 9}}, true);
    s.write(4, kEnterBootloader);
    s.clock.sleepMs(1);
    EXPECT_EQ(s.enc.mode(), EncoderMode::Restarting);
    s.clock.sleepMs(100);
    EXPECT_EQ(s.enc.mode(), EncoderMode::Bootloader);
    // The kept PPO2 set does not fit the bootloader's PPO1.
    EXPECT_FALSE(s.master.inDataExchange(4));
    s.parameterise(4);
    s.clock.sleepMs(1);
    EXPECT_EQ(s.ask(kAskPpo, 0x139A)[3], 1);
    auto v = s.ask(kAskVersion, 0x43C4, 0x0900);
    EXPECT_EQ(v[2], 0x0400);
    EXPECT_EQ(v[3], 0x1409);

    FlashImage image;
    const std::string text = testImage(&image);
    s.write(4, kErase);
    EXPECT_FALSE(s.waitFor(4, 0x67D0, 3, 290000, 1000));  // erasing takes 300 ms
    EXPECT_TRUE(s.waitFor(4, 0x67D0, 3, 20000, 1000));
    EXPECT_EQ(s.enc.erases(), 1u);
    EXPECT_EQ(s.send(text), std::nullopt);
    EXPECT_EQ(s.enc.flashImage(), image);  // programmed, not yet committed
    s.write(4, kFinish);
    s.clock.sleepMs(1);
    EXPECT_EQ(s.enc.mode(), EncoderMode::Restarting);
    s.clock.sleepMs(100);
    EXPECT_EQ(s.enc.mode(), EncoderMode::Application);
    EXPECT_EQ(s.enc.flashImage(), image);
    // The master still holds the PPO1 set, which the PPO2 application refuses.
    EXPECT_FALSE(s.master.inDataExchange(4));
}

TEST(SimEncoderBootloader, EachSequenceNumberIsHandledOnceHoweverOftenItIsRepeated) {
    Station s({.address = 5, .startsInBootloader = true, .eraseUs = 1000});
    s.ask(kErase, 0x67D0, 3);
    s.write(5, {0x87D0, 10, 'S' << 8 | '0', '0' << 8 | '3'});
    s.clock.sleepMs(20);  // hundreds of cycles carry the same telegram
    EXPECT_EQ(s.enc.dataTelegrams(), 1u);
    EXPECT_EQ(s.read(5)[1], 10);
    // Zeros in between (CLEAR) do not make the same number new.
    s.write(5, {0, 0, 0, 0});
    s.clock.sleepMs(1);
    s.write(5, {0x87D0, 10, 'S' << 8 | '0', '0' << 8 | '3'});
    s.clock.sleepMs(1);
    EXPECT_EQ(s.enc.dataTelegrams(), 1u);
    // After 32767 the sequence goes on at 10: a new number again.
    s.sequence = 32766;
    EXPECT_EQ(s.send("0000FC\n"), std::nullopt);
    EXPECT_EQ(s.enc.dataTelegrams(), 3u);
    EXPECT_EQ(s.read(5)[1], 10);
    EXPECT_EQ(s.enc.streamError(), "");
}

TEST(SimEncoderBootloader, ABrokenRecordIsAnsweredWithAnErrorUntilTheNextErase) {
    Station s({.address = 5, .startsInBootloader = true, .eraseUs = 1000});
    s.ask(kErase, 0x67D0, 3);
    auto refused = s.send("S1050000FFFF00\n");  // wrong checksum
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)[0], 0x77D0);
    EXPECT_EQ((*refused)[1], 13);  // the telegram with the line feed
    EXPECT_EQ((*refused)[3] & 0xFF, pkw::kErrorBadRecord);
    EXPECT_NE(s.enc.streamError(), "");
    s.write(5, kFinish);
    EXPECT_TRUE(s.waitFor(5, 0x77D0, 1, kAnswerLimitUs));
    EXPECT_EQ(s.enc.mode(), EncoderMode::Bootloader);  // no application from a broken stream
    s.ask({0, 0, 0, 0}, 0x77D0, 1);
    s.sequence = 9;
    s.ask(kErase, 0x67D0, 3);
    EXPECT_EQ(s.send("S00600004844521B\n"), std::nullopt);
}

TEST(SimEncoderFaults, EachFaultShowsWhereTheToolWouldSeeIt) {
    FlashImage image;
    const std::string text = testImage(&image);
    {
        Station s({.address = 5, .startsInBootloader = true, .eraseUs = 1000, .noAnswerAt = 3});
        s.ask(kErase, 0x67D0, 3);
        auto stuck = s.send(text, 1000000);
        ASSERT_TRUE(stuck);
        EXPECT_EQ((*stuck)[1], 11);  // the second telegram's acknowledge is the last
        EXPECT_EQ(s.sequence, 12);
    }
    {
        Station s({.address = 5,
                   .startsInBootloader = true,
                   .eraseUs = 1000,
                   .errorAt = 2,
                   .errorCode = 77});
        s.ask(kErase, 0x67D0, 3);
        auto refused = s.send(text);
        ASSERT_TRUE(refused);
        EXPECT_EQ(*refused, (std::vector<uint16_t>{0x77D0, 11, 0, 77}));
    }
    {
        Station s({.address = 5, .startsInBootloader = true, .eraseNeverAnswered = true});
        s.write(5, kErase);
        EXPECT_FALSE(s.waitFor(5, 0x67D0, 3, 11000000, 10000));
        EXPECT_EQ(s.enc.erases(), 0u);
    }
    {
        Station s({.address = 5, .startsInBootloader = true, .eraseUs = 10200000});
        s.write(5, kErase);
        EXPECT_FALSE(s.waitFor(5, 0x67D0, 3, 10190000, 10000));
        EXPECT_TRUE(s.waitFor(5, 0x67D0, 3, 20000, 1000));
    }
    {
        Station s({.address = 5, .startsInBootloader = true, .eraseUs = 1000, .goneAfter = 2});
        s.ask(kErase, 0x67D0, 3);
        auto lost = s.send(text, 100000);
        ASSERT_TRUE(lost);
        EXPECT_EQ((*lost)[1], 11);
        EXPECT_EQ(s.enc.mode(), EncoderMode::Gone);
        EXPECT_FALSE(s.master.inDataExchange(5));
        EXPECT_EQ(s.master.liveList()->size(), 1u);
    }
}

}  // namespace
}  // namespace romtide::sim
