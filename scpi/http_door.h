// The front panel's door: HTTP and WebSocket (Boost.Beast) on the server's
// io_context. It serves the pages compiled into the program, and carries
// the page's SCPI messages to the command layer, where they run as a socket
// client's do, each page with its own error queue. While a page of an
// instrument is open, the instrument's state and readings are pushed to it
// several times a second, read through the same layer.
//
// Bounded like the SCPI door: a request's header and upload, the number of
// HTTP and WebSocket connections, how long a request or an idle page may
// take, and what a page that does not read may hold.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "command_layer.h"

namespace velmar::scpi {

struct ServerOptions;

// An instrument the door shows, and the port of its SCPI socket.
struct PanelInstrument {
    ServedInstrument* served;
    uint16_t scpi_port;
};

class HttpDoor {
  public:
    HttpDoor(CommandLayer& layer, const ServerOptions& options,
             std::map<int, PanelInstrument> instruments);
    ~HttpDoor();
    HttpDoor(const HttpDoor&) = delete;
    HttpDoor& operator=(const HttpDoor&) = delete;

    // Listens on the HTTP port (or any free one, --http any) of every
    // --listen address it can, and logs where; an address it cannot listen
    // on is logged and passed over, as the SCPI ports do. False, with the
    // reason, only when an address is no IP address.
    bool Listen(std::string* error);
    // The port it listens on, once listening: the one chosen for --http any.
    uint16_t port() const;
    // Closes the listeners and every connection; on the io thread.
    void Stop();

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmar::scpi
