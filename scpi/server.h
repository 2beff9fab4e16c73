// velmar-dds-scpi's network side: one Boost.Asio io_context serves every
// connection of every instrument on one thread; the library calls, which can
// block for up to about a second each, run on a thread pool, each
// instrument's in turn on a strand of its own, so that one instrument that
// does not answer holds up no other.
//
// Every door is bounded: a connection holds at most one message of the
// bound and a bounded backlog of answers; idle connections and clients that
// do not take their answers are closed after their limits; one peer holds
// more than half the connections only while nobody else wants one; and a
// stop does not wait for an instrument.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "instrument.h"

namespace velmar::scpi {

namespace asio = boost::asio;

// An address range of --allow: "192.168.1.0/24", "::1", "10.1.2.3".
class AddressRange {
  public:
    static std::optional<AddressRange> Parse(const std::string& text);
    // An IPv4 peer on an IPv6 socket (::ffff:a.b.c.d) counts as IPv4.
    bool Contains(const asio::ip::address& address) const;

  private:
    explicit AddressRange(std::variant<asio::ip::network_v4, asio::ip::network_v6> network)
        : network_(network) {}
    std::variant<asio::ip::network_v4, asio::ip::network_v6> network_;
};

struct ServerOptions {
    std::vector<std::string> listen = {"127.0.0.1", "::1"};
    uint16_t port = 5025;  // instrument i on port + i; 0: any free port each
    // Which instruments are served, each on its port from the start, found
    // or not: these indices; else 0 .. instruments - 1; else as many as the
    // search at start finds, at least one.
    std::vector<int> devices;
    int instruments = 0;
    std::vector<AddressRange> allow;  // empty: every peer
    size_t max_clients = 16;
    // Zero: never.
    std::chrono::seconds idle_timeout{600};
    std::chrono::seconds write_timeout{30};
    // How often the instruments are searched for again.
    std::chrono::milliseconds search_interval{2000};
    bool verbose = false;
    // The front panel's HTTP port on the same --listen addresses, under the
    // same --allow; 0: no front panel, unless http_any_port (--http any)
    // asks for any free port, which is logged.
    uint16_t http_port = 8080;
    bool http_any_port = false;
    // The front panel shows everything and changes nothing.
    bool http_read_only = false;
    // The peak-to-peak volts of samples spanning the DAC's whole range.
    double full_scale_vpp = 1.0;
    // *IDN?'s serial field by instrument index; else the device's name.
    std::map<int, std::string> serials;
    // VXI-11 (VISA's TCPIP::host::instN::INSTR) on this port of the same
    // --listen addresses, under the same --allow; 0: any free port.
    bool vxi11 = true;
    uint16_t vxi11_port = 0;
    // Instruments that also stand alone at an address of this host: there
    // VXI-11's inst0 (TCPIP::address::INSTR) is that instrument and the
    // only one, and lxi discover's broadcast finds it, as it finds a
    // stand-alone LXI instrument. Each address is one --listen covers.
    std::map<int, asio::ip::address> own_addresses;
    // The instruments and the server advertised over mDNS/DNS-SD.
    bool advertise = true;
};

// How Run() ended.
enum class RunEnd {
    kClean,
    // Library calls were still waiting on instruments: the caller ends the
    // process now rather than wait for them (the log is flushed).
    kCallsAbandoned,
};

class Server {
  public:
    Server(ServerOptions options, std::ostream& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Searches for the instruments and opens the listening sockets; false
    // with the reason in *error (one line) when nothing can be served.
    bool Start(std::string* error);
    // Serves until Stop() or SIGINT/SIGTERM (Ctrl-C on Windows).
    RunEnd Run();
    // From any thread.
    void Stop();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmar::scpi
