// velmar-dds-scpi's network side: one Asio io_context serves every
// connection of every instrument on one thread; the library calls, which can
// block for up to about a second each, run on a thread pool, each
// instrument's in turn on a strand of its own, so that one instrument that
// does not answer holds up no other.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "instrument.h"

namespace velmar::scpi {

// An address range of --allow: "192.168.1.0/24", "::1", "10.1.2.3".
struct AddressRange {
    std::array<uint8_t, 16> bytes{};
    bool v6 = false;
    int prefix = 0;

    static std::optional<AddressRange> Parse(const std::string& text);
    // `address` as its text; an IPv4 peer on an IPv6 socket counts as IPv4.
    bool Contains(const std::string& address) const;
};

struct ServerOptions {
    std::vector<std::string> listen = {"127.0.0.1", "::1"};
    uint16_t port = 5025;             // instrument i on port + i; 0: any free port each
    std::vector<int> devices;         // empty: every instrument found
    std::vector<AddressRange> allow;  // empty: every peer
    size_t max_clients = 16;
    bool verbose = false;
};

class Server {
  public:
    Server(ServerOptions options, std::ostream& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Finds the instruments and opens the listening sockets; false with the
    // reason in *error when nothing can be served.
    bool Start(std::string* error);
    // Serves until Stop() or SIGINT/SIGTERM (Ctrl-C on Windows).
    void Run();
    // From any thread.
    void Stop();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmar::scpi
