// The VXI-11 door: the core channel of an LXI instrument, the ONC RPC
// program VISA opens as TCPIP::host::instN::INSTR, on the server's
// io_context. A link (create_link "inst1") is a client of instrument 1 in
// the command layer, with its own error queue and status bytes, as a socket
// client is; device_write carries its messages there and device_read takes
// the answer lines back. A call that has to wait (a read before its answer,
// a lock held by another link) waits on the io thread without holding it, up
// to the client's own time limit and at most 600 s (--idle-timeout when
// shorter); a client that closes its connection meanwhile is noticed.
//
// The abort channel is the same port: device_abort ends the call a link is
// waiting in. Interrupts (SRQ) and device_docmd answer "operation not
// supported". Bounded like the other doors: a record's size, the links of a
// connection, connections under --max-clients (one peer holding at most half
// while another wants one), idle and write time limits.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "command_layer.h"

namespace velmar::scpi {

struct ServerOptions;

// The most data of one device_write, as create_link tells the client; a
// client sends a longer message in several.
constexpr uint32_t kVxi11MostWriteBytes = 256 * 1024;
// Links one connection holds at once (VISA opens one a session). The
// server's links are bounded by it and --max-clients.
constexpr size_t kVxi11MostLinksPerConnection = 16;

class Vxi11Door {
  public:
    Vxi11Door(CommandLayer& layer, const ServerOptions& options,
              std::map<int, ServedInstrument*> instruments);
    ~Vxi11Door();
    Vxi11Door(const Vxi11Door&) = delete;
    Vxi11Door& operator=(const Vxi11Door&) = delete;

    // Listens on --vxi11-port of every --listen address it can, and logs
    // where; false with the reason when it can listen on none.
    bool Listen(std::string* error);
    // The port the core channel listens on, once it does.
    uint16_t port() const;
    // Closes the listeners and every connection; on the io thread.
    void Stop();

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmar::scpi
