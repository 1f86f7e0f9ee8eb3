// The server's half of the wire without sockets: how long each request is, and what
// each becomes on the local board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_server/board_session.h"
#include "board_server/request_reader.h"
#include "tests/board_server/fake_board.h"

namespace board_server_test {
namespace {

using Bytes = std::vector<uint8_t>;
using board_server::BoardSession;
using board_server::RequestReader;
using State = RequestReader::State;

Bytes withBlock(Bytes head, uint8_t code, size_t blockSize, uint8_t sub = 0) {
    Bytes block(blockSize, 0x5A);
    block[0] = code;
    if (blockSize > 12) {
        block[12] = sub;
    }
    head.insert(head.end(), block.begin(), block.end());
    return head;
}

// Feeds `stream` one byte at a time, never more than the reader wants.
State feed(RequestReader& reader, const Bytes& stream, size_t* used) {
    *used = 0;
    while (*used < stream.size() && reader.state() == State::Reading) {
        EXPECT_GE(reader.wanted(), 1u);
        reader.take(&stream[*used], 1);
        ++*used;
    }
    return reader.state();
}

TEST(RequestReader, EachRequestIsAsLongAsItsCodeSays) {
    struct Case {
        const char* what;
        Bytes stream;  // the request and some bytes of the next
        size_t size;
    };
    Bytes output = {0xB4, 1, 0, 4, 255, 3};
    output.resize(6 + 255, 0x77);
    const Case cases[] = {
        {"configure", Bytes(29 + 4, 0xB0), 29},
        {"command 0x21", withBlock({0xB1, 0}, 0x21, 256), 2 + 4},
        {"command 0x24", withBlock({0xB1, 0}, 0x24, 260), 2 + 256},
        {"command 0x3D/0x58", withBlock({0xB1, 0}, 0x3D, 40, 0x58), 2 + 15},
        {"command 0x3D/0x5F", withBlock({0xB1, 0}, 0x3D, 260, 0x5F), 2 + 256},
        {"report", {0xB2, 0, 0xB2}, 2},
        {"input", {0xB3, 0, 0, 0, 200, 1, 0xB3}, 6},
        {"output of 255 bytes", output, 6 + 255},
        {"output of none", {0xB4, 0, 0, 0, 0, 1, 0xB9}, 6},
        {"flag", {0xB5, 0, 1, 0xB5}, 3},
        {"transfer list", {0xB6, 0, 1}, 2},
        {"diagnostic", {0xB7, 0, 1}, 2},
        {"diag state", {0xB8, 0, 1}, 2},
        {"online", {0xB9, 3, 1}, 2},
        {"restart", {0xBA, 0xBA}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RequestReader reader;
        size_t used = 0;
        ASSERT_EQ(feed(reader, c.stream, &used), State::Complete);
        EXPECT_EQ(used, c.size);
        EXPECT_EQ(reader.size(), c.size);
        EXPECT_EQ(reader.wanted(), 0u);
        reader.next();
        EXPECT_FALSE(reader.started());
        EXPECT_EQ(reader.wanted(), 1u);
    }
}

TEST(RequestReader, UnknownCodesAndCommandsWithoutALengthAreRefused) {
    const Bytes streams[] = {
        {0x00},
        {0xAF},
        {0xBB},
        {0xFF, 0, 0},
        withBlock({0xB1, 0}, 0x28, 20),
        withBlock({0xB1, 0}, 0x3D, 20, 0x52),
    };
    for (const Bytes& s : streams) {
        RequestReader reader;
        size_t used = 0;
        EXPECT_EQ(feed(reader, s, &used), State::Invalid) << "code " << int(s[0]);
    }
}

TEST(RequestReader, TakesNoByteBeyondTheRequestFromALargerPiece) {
    RequestReader reader;
    const Bytes stream = {0xB5, 2, 1, 0xB2, 0};
    ASSERT_EQ(reader.wanted(), 1u);
    reader.take(stream.data(), 1);
    ASSERT_EQ(reader.wanted(), 2u);
    reader.take(stream.data() + 1, stream.size() - 1);
    EXPECT_EQ(reader.state(), State::Complete);
    EXPECT_EQ(reader.size(), 3u);
}

// ------------------------------------------------------------------------ session

struct SessionRig {
    FakeBoard board;
    BoardSession session{board, 5};
    Bytes handle(const Bytes& request) { return session.handle(request.data(), request.size()); }
};

TEST(BoardSession, ConfiguresItsOwnDeviceAndAnswersWithItsStatus) {
    SessionRig rig;
    Bytes request(29, 0);
    request[0] = 0xB0;
    request[13] = 19;  // channel 0: DP master, 6000 bytes
    request[15] = 0x70;
    request[16] = 0x17;
    EXPECT_EQ(rig.handle(request), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(rig.board.takeCalls(), (std::vector<std::string>{"init 5"}));
    EXPECT_EQ(rig.board.config.channels[0].type, 19);
    EXPECT_EQ(rig.board.config.channels[0].parameter, 6000);
    EXPECT_TRUE(rig.session.configured());

    rig.board.initStatus = 9;
    rig.board.initChannelStatus = 0x0C;
    EXPECT_EQ(rig.handle(request), (Bytes{0, 9, 0x0C, 0}));
    EXPECT_FALSE(rig.session.configured());

    // InitDll failing without a device status must not read as a configured board.
    rig.board.initStatus = 0;
    rig.board.unsupported = true;
    EXPECT_EQ(rig.handle(request), (Bytes{0, 1, 0, 0}));
    EXPECT_FALSE(rig.session.configured());
}

TEST(BoardSession, EachRequestIsOneCallOnTheLocalDeviceWithTheRequestsChannel) {
    SessionRig rig;
    struct Case {
        Bytes request;
        std::string call;
        Bytes reply;  // empty: only its length is checked
        size_t replySize;
    };
    const Case cases[] = {
        {withBlock({0xB1, 2}, 0x21, 4), "command 5/2 0 0 0", {0}, 1},
        {{0xB2, 2}, "report 5/2 0 0 0", {}, 257},
        {{0xB3, 1, 0x01, 0x02, 3, 9}, "input 5/1 258 3 9", {0, 2, 3, 4}, 4},
        {{0xB4, 1, 0x00, 0x10, 2, 8, 0xAB, 0xCD}, "output 5/1 16 2 8", {0}, 1},
        {{0xB5, 3, 1}, "flag 5/3 1 0 0", {0}, 1},
        {{0xB6, 0}, "transfer list 5/0 0 0 0", {}, 17},
        {{0xB7, 0}, "diagnostic 5/0 0 0 0", {}, 17},
        {{0xB8, 0}, "diag state 5/0 0 0 0", {0, 1}, 2},
        {{0xB9, 0}, "online 5/0 0 0 0", {0, 0x7F}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        Bytes reply = rig.handle(c.request);
        EXPECT_EQ(reply.size(), c.replySize);
        if (!c.reply.empty()) {
            EXPECT_EQ(reply, c.reply);
        }
        EXPECT_EQ(rig.board.takeCalls(), (std::vector<std::string>{c.call}));
    }
    EXPECT_EQ(rig.board.output, (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(rig.board.commands.back().size(), 4u);

    // The board's result is the reply's status byte.
    rig.board.result = 6;
    EXPECT_EQ(rig.handle({0xB5, 0, 0}), (Bytes{6}));
    Bytes report = rig.handle({0xB2, 0});
    EXPECT_EQ(report[0], 7);  // nothing queued any more
}

TEST(BoardSession, TheRestartIsAnsweredFirstAndResetsTheBoardAfterwards) {
    SessionRig rig;
    EXPECT_EQ(rig.handle({0xBA}), (Bytes{0}));
    EXPECT_EQ(rig.board.resetCount(), 0);
    rig.session.afterReply();
    EXPECT_EQ(rig.board.resetCount(), 1);
    rig.session.afterReply();
    EXPECT_EQ(rig.board.resetCount(), 1);
}

TEST(BoardSession, AClientThatGoesResetsTheBoardItConfiguredAndNoOther) {
    SessionRig rig;
    rig.session.end();
    EXPECT_EQ(rig.board.resetCount(), 0);
    Bytes configure(29, 0);
    configure[0] = 0xB0;
    rig.handle(configure);
    rig.session.end();
    EXPECT_EQ(rig.board.resetCount(), 1);
    EXPECT_FALSE(rig.session.configured());
}

}  // namespace
}  // namespace board_server_test
