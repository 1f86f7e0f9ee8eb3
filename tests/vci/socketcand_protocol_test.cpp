// The socketcand text protocol: how a TCP stream is cut into messages whatever the
// segments, what a frame or a send may carry, the endpoint syntax of the URIs, and the
// kernel's link answer that the SocketCAN backend reads its bit rate from.
#include <gtest/gtest.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "vci/linux_backends.h"
#include "vci/socketcand_protocol.h"
#include "vci/vci.h"

namespace romtide::vci {
namespace {

namespace sc = socketcand;

std::vector<std::string> feedInPieces(const std::string& stream, size_t piece) {
    sc::MessageSplitter splitter;
    std::vector<std::string> messages;
    for (size_t i = 0; i < stream.size(); i += piece) {
        EXPECT_TRUE(splitter.feed(stream.data() + i, std::min(piece, stream.size() - i), messages))
            << splitter.error();
    }
    EXPECT_EQ(splitter.pending(), 0u);
    return messages;
}

TEST(SocketcandSplitter, MessagesComeOutTheSameHoweverTheStreamIsCut) {
    const std::string stream =
        "< hi >< ok >\r\n  < frame 123 1700000000.000123 0102030405060708 >"
        "<frame 7FF 1.5 >\t< error something went wrong >";
    const std::vector<std::string> expected = {"hi", "ok",
                                               "frame 123 1700000000.000123 0102030405060708",
                                               "frame 7FF 1.5", "error something went wrong"};
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, stream.size()}) {
        EXPECT_EQ(feedInPieces(stream, piece), expected) << "pieces of " << piece;
    }
}

TEST(SocketcandSplitter, GarbageNestingAndOverlongMessagesBreakTheStreamWithoutGrowing) {
    std::vector<std::string> messages;
    {
        sc::MessageSplitter s;
        EXPECT_FALSE(s.feed("< hi > HTTP/1.1", 15, messages));
        EXPECT_TRUE(s.broken());
        EXPECT_FALSE(s.feed("< ok >", 6, messages));  // broken for good
        EXPECT_EQ(messages, std::vector<std::string>{"hi"});
    }
    {
        sc::MessageSplitter s;
        messages.clear();
        EXPECT_FALSE(s.feed("< send 1 < ok >", 15, messages));
        EXPECT_TRUE(messages.empty());
    }
    {
        // A peer that never closes its message: refused at the bound, not buffered on.
        sc::MessageSplitter s;
        std::string open = "<";
        ASSERT_TRUE(s.feed(open.data(), 1, messages));
        std::string filler(sc::kMaxMessageLength, 'x');
        EXPECT_TRUE(s.feed(filler.data(), filler.size(), messages));
        EXPECT_EQ(s.pending(), sc::kMaxMessageLength);
        EXPECT_FALSE(s.feed("x", 1, messages));
        EXPECT_EQ(s.pending(), 0u);
        EXPECT_NE(s.error().find("longer"), std::string::npos);
    }
}

TEST(SocketcandFrames, WhatAServerSendsIsReadIntoFramesAndBadFramesAreRefused) {
    std::string error;
    auto f = sc::parseFrame("frame 585 12.000034 4300100092010000", &error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->frame.id, 0x585u);
    EXPECT_EQ(f->frame.length, 8);
    EXPECT_EQ(f->frame.data[0], 0x43);
    EXPECT_EQ(f->frame.data[4], 0x92);
    EXPECT_EQ(f->timeUs, 12000034);

    auto empty = sc::parseFrame("frame 0 3.5", &error);  // no data, short fraction
    ASSERT_TRUE(empty) << error;
    EXPECT_EQ(empty->frame.length, 0);
    EXPECT_EQ(empty->timeUs, 3500000);

    for (const char* bad : {"frame 123 1.0 010203040506070809",  // 9 bytes
                            "frame 123 1.0 123",                 // half a byte
                            "frame 12345678 1.0 11",             // extended identifier
                            "frame 800 1.0 11",                  // above 11 bits
                            "frame xyz 1.0 11", "frame 123 -1.0 11", "frame 123 1.0000001 11",
                            "frame 123", "frame 123 1.0 11 22", "frame 123 1.0 1G"}) {
        error.clear();
        EXPECT_FALSE(sc::parseFrame(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(SocketcandFrames, SendsCarryTheirLengthAndBytesAndRoundTripThroughTheFormat) {
    CanFrame frame;
    frame.id = 0x605;
    frame.length = 3;
    frame.data[0] = 0x40;
    frame.data[1] = 0x00;
    frame.data[2] = 0x10;
    EXPECT_EQ(sc::formatSend(frame), "< send 605 3 40 00 10 >");
    std::string error;
    auto back = sc::parseSend("send 605 3 40 00 10", &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->id, 0x605u);
    EXPECT_EQ(back->length, 3);
    EXPECT_EQ(std::memcmp(back->data, frame.data, 8), 0);

    EXPECT_EQ(sc::formatFrame(frame, 1700000000123456), "< frame 605 1700000000.123456 400010 >");
    auto seen = sc::parseFrame("frame 605 1700000000.123456 400010", &error);
    ASSERT_TRUE(seen) << error;
    EXPECT_EQ(seen->timeUs, 1700000000123456);
    frame.length = 0;
    EXPECT_EQ(sc::formatFrame(frame, 0), "< frame 605 0.000000 >");

    for (const char* bad : {"send 605 9 1 2 3 4 5 6 7 8 9", "send 605 2 1", "send 605 1 1 2",
                            "send 605 1 100", "send 1FFFFFFF 0", "send 605", "send 605 x"}) {
        EXPECT_FALSE(sc::parseSend(bad, &error)) << bad;
    }
}

TEST(SocketcandEndpoints, HostPortAndInterfaceAreTakenApart) {
    auto e = sc::parseEndpoint("127.0.0.1:29600/vcan0");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "127.0.0.1");
    EXPECT_EQ(e->port, 29600);
    EXPECT_EQ(e->interface, "vcan0");
    auto noPort = sc::parseEndpoint("bench-pc/can1");
    ASSERT_TRUE(noPort);
    EXPECT_EQ(noPort->host, "bench-pc");
    EXPECT_EQ(noPort->port, sc::kDefaultPort);
    auto v6 = sc::parseEndpoint("[::1]:30000/vcan0");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 30000);
    for (const char* bad : {"127.0.0.1:29536", "127.0.0.1:29536/", ":29536/vcan0", "host:0/vcan0",
                            "host:70000/vcan0", "host:12x/vcan0", "host:1/can 0"}) {
        EXPECT_FALSE(sc::parseEndpoint(bad)) << bad;
    }
}

TEST(SocketcandEndpoints, ConfiguredEndpointsAreOfferedWithTheOtherInterfaces) {
    ::setenv("ROMTIDE_SOCKETCAND", "127.0.0.1:29536/vcan0, socketcand:bench/can1;;not-one", 1);
    auto uris = configuredSocketcandUris();
    auto all = availableInterfaces();
    ::unsetenv("ROMTIDE_SOCKETCAND");
    EXPECT_EQ(uris, (std::vector<std::string>{"socketcand:127.0.0.1:29536/vcan0",
                                              "socketcand:bench/can1"}));
    for (const auto& u : uris) {
        EXPECT_NE(std::find(all.begin(), all.end(), u), all.end()) << u;
        EXPECT_EQ(boardTypeOf(u), kBoardTypeSocketCand);
    }
    EXPECT_TRUE(configuredSocketcandUris().empty());
    EXPECT_EQ(boardTypeOf("socketcan:can0"), kBoardTypeSocketCan);
}

// An RTM_NEWLINK answer as the kernel builds it for a CAN interface.
std::vector<uint8_t> linkAnswer(bool withTiming, uint32_t bitrate) {
    std::vector<uint8_t> m(NLMSG_LENGTH(sizeof(ifinfomsg)), 0);
    auto attribute = [](std::vector<uint8_t>& out, uint16_t type, const std::vector<uint8_t>& d) {
        rtattr a{static_cast<unsigned short>(RTA_LENGTH(d.size())), type};
        size_t at = out.size();
        out.resize(at + RTA_SPACE(d.size()), 0);
        std::memcpy(out.data() + at, &a, sizeof a);
        std::memcpy(out.data() + at + RTA_LENGTH(0), d.data(), d.size());
    };
    std::vector<uint8_t> name = {'c', 'a', 'n', '0', 0};
    attribute(m, IFLA_IFNAME, name);
    std::vector<uint8_t> canData;
    std::vector<uint8_t> state(4, 0);
    attribute(canData, IFLA_CAN_STATE, state);
    if (withTiming) {
        can_bittiming t{};
        t.bitrate = bitrate;
        std::vector<uint8_t> bytes(sizeof t);
        std::memcpy(bytes.data(), &t, sizeof t);
        attribute(canData, IFLA_CAN_BITTIMING, bytes);
    }
    std::vector<uint8_t> info;
    attribute(info, IFLA_INFO_KIND, {'c', 'a', 'n', 0});
    attribute(info, IFLA_INFO_DATA, canData);
    attribute(m, IFLA_LINKINFO, info);
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(m.size());
    h.nlmsg_type = RTM_NEWLINK;
    std::memcpy(m.data(), &h, sizeof h);
    return m;
}

TEST(SocketCanLink, TheBitRateIsReadFromTheKernelsAnswerAndABrokenAnswerIsNoRate) {
    auto m = linkAnswer(true, 125000);
    EXPECT_EQ(bitRateFromLinkMessage(m.data(), m.size()), 125000);
    auto vcan = linkAnswer(false, 0);
    EXPECT_EQ(bitRateFromLinkMessage(vcan.data(), vcan.size()), 0);
    // Cut short anywhere, the answer is refused rather than read past its end.
    for (size_t cut = 0; cut < m.size(); cut += 3) {
        EXPECT_NE(bitRateFromLinkMessage(m.data(), cut), 125000) << cut;
    }
    m[NLMSG_LENGTH(sizeof(ifinfomsg))] = 0xFF;  // first attribute claims more than there is
    m[NLMSG_LENGTH(sizeof(ifinfomsg)) + 1] = 0xFF;
    EXPECT_EQ(bitRateFromLinkMessage(m.data(), m.size()), -1);
}

TEST(SocketCanLink, TheAdviceNamesTheCommandThatSetsTheRate) {
    std::string advice = bitRateAdvice("can0", 125000, 250000);
    EXPECT_NE(advice.find("runs at 250 kBit/s, not at 125 kBit/s"), std::string::npos) << advice;
    EXPECT_NE(advice.find("ip link set can0 type can bitrate 125000"), std::string::npos) << advice;
    EXPECT_NE(advice.find("ip link set can0 up"), std::string::npos) << advice;
}

}  // namespace
}  // namespace romtide::vci
