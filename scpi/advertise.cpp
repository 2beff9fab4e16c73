#include "advertise.h"

namespace velmar::scpi {

namespace {

std::vector<std::string> Txt(const std::string& serial, const std::string& version) {
    return {"txtvers=1", "Manufacturer=VELMAR", "Model=DDS", "SerialNumber=" + serial,
            "FirmwareVersion=" + version};
}

}  // namespace

std::vector<Service> LxiServices(const Offered& offered) {
    std::vector<Service> services;
    const std::string on = " on " + offered.host;
    // The server as one instrument, for the services that name one: its
    // first instrument's serial.
    const std::string serial =
        offered.instruments.empty() ? "" : offered.instruments.front().serial;
    for (const Offered::Instrument& instrument : offered.instruments) {
        services.push_back({"VELMAR DDS " + instrument.serial + on, "_scpi-raw._tcp",
                            instrument.port, Txt(instrument.serial, offered.version)});
    }
    if (offered.vxi11_port != 0) {
        services.push_back({"velmar-dds-scpi" + on, "_vxi-11._tcp", offered.vxi11_port,
                            Txt(serial, offered.version)});
    }
    if (offered.http_port != 0) {
        std::vector<std::string> txt = Txt(serial, offered.version);
        services.push_back({"velmar-dds-scpi" + on, "_lxi._tcp", offered.http_port, txt});
        txt.push_back("path=/");
        services.push_back({"velmar-dds-scpi" + on, "_http._tcp", offered.http_port, txt});
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
