// How VXI-11 clients find the core channel's port: VISA, lxi-tools and
// PyVISA ask the portmapper on port 111 (ONC RPC program 100000) for the
// port of program 0x0607AF. The server registers the port with the
// system's portmapper (rpcbind) when one runs; otherwise it answers the
// portmapper's GETPORT itself on port 111, over UDP (lxi discover's
// broadcast) and TCP, of the --listen addresses under --allow, when the
// process may bind it; otherwise it logs one line saying that INSTR needs
// one of the two.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmar::scpi {

struct ServerOptions;

class Portmapper {
  public:
    Portmapper(boost::asio::io_context& io, const ServerOptions& options,
               std::function<void(const std::string&)> log, uint16_t vxi11_port);
    ~Portmapper();
    Portmapper(const Portmapper&) = delete;
    Portmapper& operator=(const Portmapper&) = delete;

    // Registers, or serves, or logs why neither; on the io thread.
    void Start();
    // Takes the registration back, or closes the sockets; on the io thread.
    void Stop();

  private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmar::scpi
