// The board server: each served local device listens on its own TCP port (port base +
// device number) and serves one client at a time. A client is greeted with a challenge
// and must answer it; its requests are read by the length their code implies and
// answered one by one. A second client meanwhile is refused with a line of text, and the
// first keeps working. Garbage, an unknown code, a request left unfinished, a wrong
// answer to the greeting, or a client that vanishes end that connection only and free
// the board for the next client.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "board_server/board_access.h"

namespace board_server {

struct ServerOptions {
    std::vector<uint8_t> devices;
    unsigned portBase = 5000;
    // A numeric IPv4 or IPv6 address; the loopback address unless asked otherwise.
    std::string bind = "127.0.0.1";
    // Time a client has to send the rest of a request it began, and to answer the
    // greeting. Between requests a client may stay silent as long as it likes.
    int requestLimitMs = 10000;
    int greetingLimitMs = 10000;
};

class BoardServer {
  public:
    using Log = std::function<void(const std::string&)>;

    BoardServer(BoardAccess& board, romtide::Clock& clock, ServerOptions options, Log log);
    ~BoardServer();
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    // Listens on every device's port and starts serving; false with `error` set when a
    // port cannot be had (nothing is served then).
    bool start(std::string* error);
    // Ends every connection (a configured board is reset) and stops listening.
    void stop();

    // "ADDRESS:PORT" where a device is served, once started.
    std::string where(uint8_t device) const;
    // True when the listening address is reachable from this computer only.
    bool loopbackOnly() const { return loopback_; }
    // Connections that could not be taken (out of file descriptors or memory). While
    // that lasts a port stops listening for kAcceptBackoffMs at a time and serves the
    // client it has, instead of spinning on a listener that stays readable.
    uint64_t acceptFailures() const { return acceptFailures_; }
    static constexpr int kAcceptBackoffMs = 100;

  private:
    struct Port;
    void serve(Port& port);
    void acceptClient(Port& port);
    void readClient(Port& port);
    // Reads what the current client has sent so far, its leaving included.
    void readPending(Port& port);
    void dropClient(Port& port, const std::string& why);

    BoardAccess& board_;
    romtide::Clock& clock_;
    ServerOptions options_;
    Log log_;
    bool loopback_ = true;
    int wakeFd_ = -1;
    std::atomic<uint64_t> acceptFailures_{0};
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::thread> threads_;
};

}  // namespace board_server
