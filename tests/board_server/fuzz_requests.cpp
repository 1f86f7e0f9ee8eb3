// The board server's side of the wire: any bytes a client sends, cut into pieces in any
// way, go through the request reader and the request handling. Every complete request
// is handed over in a buffer of exactly its size, so reading past it is caught, and
// every reply must have exactly the length the request implies.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "board_server/board_session.h"
#include "board_server/request_reader.h"
#include "nuboxlink/remote/remote_protocol.h"
#include "tests/board_server/fake_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte picks the server's device and how the stream is cut.
    const uint8_t device = data[0] & 0x0F;
    const size_t piece = 1 + (data[0] >> 4) * 17;
    data += 1;
    size -= 1;

    board_server_test::FakeBoard board;
    board_server::BoardSession session(board, device);
    board_server::RequestReader reader;
    size_t at = 0;
    while (at < size) {
        size_t n = std::min({piece, size - at, reader.wanted()});
        reader.take(data + at, n);
        at += n;
        if (reader.state() == board_server::RequestReader::State::Invalid) {
            // The server ends this client; the next one starts afresh.
            session.end();
            reader.next();
            continue;
        }
        if (reader.state() != board_server::RequestReader::State::Complete) {
            continue;
        }
        const std::vector<uint8_t> request(reader.request(), reader.request() + reader.size());
        const std::vector<uint8_t> reply = session.handle(request.data(), request.size());
        if (reply.size() != 1 + nuboxlink::remote::replyPayloadLength(request.data())) {
            std::abort();
        }
        session.afterReply();
        reader.next();
    }
    session.end();
    return 0;
}
