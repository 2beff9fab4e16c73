// DNS-SD over mDNS: each instrument as _scpi-raw._tcp on its port, the
// server as _vxi-11._tcp on the VXI-11 port, and the front panel as
// _lxi._tcp and _http._tcp on its HTTP port, each with the TXT records of
// LXI's discovery (txtvers, Manufacturer, Model, SerialNumber,
// FirmwareVersion). Published through avahi-daemon (advertise_avahi.cpp),
// where the server is built with Avahi's client library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmar::scpi {

struct Service {
    std::string name;  // "VELMAR DDS dds1 on bench" : the instrument and the host
    std::string type;  // "_scpi-raw._tcp"
    uint16_t port = 0;
    std::vector<std::string> txt;  // "key=value"
};

// What the server offers, as the services list them.
struct Offered {
    std::string host;     // the machine's name
    std::string version;  // the library's, as *IDN? says it
    struct Instrument {
        int index = 0;
        std::string serial;  // as *IDN? says it
        uint16_t port = 0;   // the SCPI socket
    };
    std::vector<Instrument> instruments;
    uint16_t vxi11_port = 0;  // 0: none
    uint16_t http_port = 0;   // 0: no front panel
};

std::vector<Service> LxiServices(const Offered& offered);

// Published while it lives.
class Advertiser {
  public:
    virtual ~Advertiser() = default;
};

// Publishes the services, called back with one line for the log (from
// another thread) when they are published, renamed or fail; nullptr, with
// the reason in *why, when avahi-daemon cannot be reached or the server is
// built without Avahi.
std::unique_ptr<Advertiser> Advertise(std::vector<Service> services,
                                      std::function<void(const std::string&)> log,
                                      std::string* why);

}  // namespace velmar::scpi
