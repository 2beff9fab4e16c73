#include "web_api.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <cstdio>

#include "ops/frequency_plan.h"
#include "protocol/describe.h"
#include "wave/wave.h"

namespace velmar::scpi {
namespace {

std::string Lower(std::string_view text) {
    std::string out;
    for (char c : text)
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

// The wave memory's size, as the library takes a download.
constexpr size_t kMostSamples = 4096;

// XML text: the five characters that are markup, escaped.
std::string Xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else {
            // Control characters and bytes of other encodings: the page shows
            // them as the code points of their byte values.
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string HostPart(std::string_view host) {
    std::string_view name;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos) return "";
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return "";
        name = host.substr(1, close - 1);
    } else {
        name = host.substr(0, host.find(':'));
        if (name.size() + 1 < host.size()) {
            // A port, and nothing but digits after the colon.
            for (char c : host.substr(name.size() + 1)) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return "";
            }
        }
    }
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (!std::isalnum(byte) && c != '.' && c != '-' && c != ':' && c != '%' && c != '_')
            return "";
    }
    return Lower(name);
}

bool HostIsOurs(std::string_view host_header, const std::vector<std::string>& names,
                const std::string& local_address) {
    const std::string host = HostPart(host_header);
    if (host.empty()) return false;
    if (host == "localhost") return true;
    for (const std::string& name : names) {
        if (host == Lower(name)) return true;
    }
    // A literal address is no DNS name an attacker could rebind: the one the
    // connection came in on is ours, however the client writes it.
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    if (error) return false;
    const auto local = boost::asio::ip::make_address(local_address, error);
    return !error && address == local;
}

bool OriginIsOurs(std::string_view origin, std::string_view host_header) {
    return !host_header.empty() && Lower(origin) == "http://" + Lower(host_header);
}

std::string SocketAddress(const std::string& host, uint16_t port) {
    return "TCPIP::" + host + "::" + std::to_string(port) + "::SOCKET";
}

std::string InstrumentsJson(const std::vector<PanelFacts>& instruments, bool read_only) {
    std::string json =
        "{\"read_only\":" + std::string(read_only ? "true" : "false") + ",\"instruments\":[";
    for (size_t i = 0; i < instruments.size(); ++i) {
        const PanelFacts& f = instruments[i];
        json += (i ? "," : "") + std::string("{\"index\":") + std::to_string(f.index) +
                ",\"name\":" + JsonString(f.name) + ",\"address\":" + JsonString(f.address) +
                ",\"present\":" + (f.present ? "true" : "false") +
                ",\"answering\":" + (f.answering ? "true" : "false") +
                ",\"failure\":" + JsonString(f.failure) + "}";
    }
    return json + "]}";
}

std::string LxiIdentification(const LxiFacts& facts) {
    const std::string base = "http://" + facts.host + ":" + std::to_string(facts.http_port);
    const PanelFacts first = facts.instruments.empty() ? PanelFacts{} : facts.instruments.front();
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\"\n"
        "           xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
        "           xsi:schemaLocation=\"http://www.lxistandard.org/InstrumentIdentification/1.0 "
        "http://www.lxistandard.org/InstrumentIdentification/1.0/LXIIdentification.xsd\">\n";
    xml += "  <Manufacturer>Velmar</Manufacturer>\n";
    xml += "  <Model>DDS</Model>\n";
    xml += "  <SerialNumber>" + Xml(first.name) + "</SerialNumber>\n";
    xml += "  <FirmwareRevision>" + Xml(facts.version) + "</FirmwareRevision>\n";
    xml +=
        "  <ManufacturerDescription>Velmar DDS signal generator, served by velmar-dds-scpi"
        "</ManufacturerDescription>\n";
    xml += "  <HomepageURL>" + Xml(base + "/instrument/" + std::to_string(first.index)) +
           "</HomepageURL>\n";
    xml += "  <DriverURL>" + Xml(base + "/") + "</DriverURL>\n";
    xml += "  <IdentificationURL>" + Xml(base + "/lxi/identification") + "</IdentificationURL>\n";
    xml += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"" +
           std::string(facts.ipv6 ? "IPv6" : "IPv4") + "\" InterfaceName=\"eth0\">\n";
    for (const PanelFacts& instrument : facts.instruments) {
        xml += "    <InstrumentAddressString>" + Xml(instrument.address) +
               "</InstrumentAddressString>\n";
    }
    xml += "    <Hostname>" + Xml(facts.host) + "</Hostname>\n";
    xml += "    <IPAddress>" + Xml(facts.ip_address) + "</IPAddress>\n";
    // The server runs on a computer whose network it does not configure:
    // what the schema asks of an instrument's own interface is given as
    // unknown, in the forms the schema takes.
    xml += "    <SubnetMask>0.0.0.0</SubnetMask>\n";
    xml += "    <MACAddress>00-00-00-00-00-00</MACAddress>\n";
    xml += "    <Gateway>0.0.0.0</Gateway>\n";
    xml += "    <DHCPEnabled>false</DHCPEnabled>\n";
    xml += "    <AutoIPEnabled>false</AutoIPEnabled>\n";
    xml += "  </Interface>\n";
    xml += "  <LXIVersion>1.5</LXIVersion>\n";
    xml += "</LXIDevice>\n";
    return xml;
}

bool CsvPreview(const std::string& text, std::string* json, std::string* error) {
    wave::WaveTableOptions options;
    wave::WaveTable table;
    if (!wave::ReadWaveTable(text, options, &table, error)) return false;
    // A file of DAC codes plays its codes as they are, as the tool's --raw.
    const bool codes = wave::LooksLikeDacCodes(table.values);
    if (codes) {
        options.raw = true;
        if (!wave::ReadWaveTable(text, options, &table, error)) return false;
    }
    if (table.values.size() > kMostSamples) {
        *error = std::to_string(table.values.size()) +
                 " values: the wave memory holds at most 4096 samples";
        return false;
    }
    wave::WaveSettings settings;
    settings.shape = wave::Shape::kTable;
    settings.table = table.values;
    const int length = static_cast<int>(table.values.size());
    int clipped = 0;
    const std::vector<uint16_t> samples = wave::ComputeSamples(settings, length, 1, &clipped);
    std::string list;
    for (size_t i = 0; i < samples.size(); ++i) list += (i ? "," : "") + std::to_string(samples[i]);
    *json = "{\"description\":" +
            JsonString(wave::DescribeWaveTable(table) + (codes ? ", DAC codes" : "")) +
            ",\"clipped\":" + std::to_string(clipped) + ",\"samples\":[" + list + "]}";
    return true;
}

std::vector<std::string> PlanWarnings(uint16_t divider, int32_t length, int32_t periods,
                                      double played_hz) {
    std::vector<std::string> warnings;
    const std::string playback = DescribePlayback(FrequencyPlan{divider, length, periods});
    if (!playback.empty()) warnings.push_back(playback);
    if (played_hz > 0.0 && played_hz < 1.0) {
        warnings.push_back("warning: the loaded samples play " + FormatHz(played_hz) +
                           " at this divider, below 1 Hz, the lowest frequency FREQ plans");
    }
    return warnings;
}

const char* ContentTypeFor(std::string_view name) {
    auto ends = [name](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace velmar::scpi
