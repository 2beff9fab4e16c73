#include "advertise.h"

namespace velmar::scpi {

namespace {

std::vector<std::string> Txt(const std::string& serial, const std::string& version) {
    return {"txtvers=1", "Manufacturer=VELMAR", "Model=DDS", "SerialNumber=" + serial,
            "FirmwareVersion=" + version};
}

// A DNS-SD instance name is one DNS label: at most 63 bytes.
constexpr size_t kMostNameBytes = 63;

// "<what> on <host>", the host's name cut short, on a character's
// boundary, where the whole would be too long for a name.
std::string Named(const std::string& what, const std::string& host) {
    std::string name = what + " on " + host;
    if (name.size() <= kMostNameBytes) return name;
    size_t end = kMostNameBytes;
    // A UTF-8 continuation byte (10xxxxxx) is no place to cut.
    while (end > what.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.resize(end);
    return name;
}

}  // namespace

std::vector<Service> LxiServices(const Offered& offered) {
    std::vector<Service> services;
    const std::string server = Named("velmar-dds-scpi", offered.host);
    // The server as one instrument, for the services that name one: its
    // first instrument's serial.
    const std::string serial =
        offered.instruments.empty() ? "" : offered.instruments.front().serial;
    for (const Offered::Instrument& instrument : offered.instruments) {
        services.push_back({Named("VELMAR DDS " + instrument.serial, offered.host),
                            "_scpi-raw._tcp", instrument.port,
                            Txt(instrument.serial, offered.version)});
    }
    if (offered.vxi11_port != 0) {
        services.push_back(
            {server, "_vxi-11._tcp", offered.vxi11_port, Txt(serial, offered.version)});
    }
    if (offered.http_port != 0) {
        std::vector<std::string> txt = Txt(serial, offered.version);
        services.push_back({server, "_lxi._tcp", offered.http_port, txt});
        txt.push_back("path=/");
        services.push_back({server, "_http._tcp", offered.http_port, txt});
    }
    return services;
}

#ifndef VELMAR_AVAHI
std::unique_ptr<Advertiser> Advertise(std::vector<Service>, std::function<void(const std::string&)>,
                                      std::string* why) {
    *why = "built without Avahi's client library";
    return nullptr;
}
#endif

}  // namespace velmar::scpi
