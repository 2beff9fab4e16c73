#include "web_api.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>

#include "ops/frequency_plan.h"
#include "parameters.h"
#include "protocol/describe.h"
#include "protocol/protocol.h"
#include "scpi_status.h"
#include "wave/wave.h"

namespace velmar::scpi {
namespace {

std::string Lower(std::string_view text) {
    std::string out;
    for (char c : text)
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

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
    // An IPv6 host is bracketed in a URL, and its interface's fields are
    // IPv6's.
    const bool ipv6 = facts.ip_address.find(':') != std::string::npos;
    const std::string url_host =
        facts.host.find(':') != std::string::npos ? "[" + facts.host + "]" : facts.host;
    const std::string base = "http://" + url_host + ":" + std::to_string(facts.http_port);
    const std::string unknown_address = ipv6 ? "::" : "0.0.0.0";
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
    // The name of the computer's interface is not the server's to know: the
    // schema lets it be left out.
    xml += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"" +
           std::string(ipv6 ? "IPv6" : "IPv4") + "\">\n";
    for (const PanelFacts& instrument : facts.instruments) {
        xml += "    <InstrumentAddressString>" + Xml(instrument.address) +
               "</InstrumentAddressString>\n";
    }
    xml += "    <Hostname>" + Xml(facts.host) + "</Hostname>\n";
    xml += "    <IPAddress>" + Xml(facts.ip_address) + "</IPAddress>\n";
    // The server runs on a computer whose network it does not configure:
    // what the schema asks of an instrument's own interface is given as
    // unknown, in the forms the schema takes.
    xml += "    <SubnetMask>" + unknown_address + "</SubnetMask>\n";
    xml += "    <MACAddress>00-00-00-00-00-00</MACAddress>\n";
    xml += "    <Gateway>" + unknown_address + "</Gateway>\n";
    xml += "    <DHCPEnabled>false</DHCPEnabled>\n";
    xml += "    <AutoIPEnabled>false</AutoIPEnabled>\n";
    xml += "  </Interface>\n";
    xml += "  <LXIVersion>1.5</LXIVersion>\n";
    xml += "</LXIDevice>\n";
    return xml;
}

bool CsvPreview(const std::string& text, bool raw, bool clip, std::string* json,
                std::string* error) {
    wave::CsvWaveOptions options;
    options.raw = raw;
    options.clip = clip;
    wave::CsvWave wave;
    if (!wave::ReadCsvWave(text, options, &wave, error)) return false;
    const int length = static_cast<int>(wave.settings.table.size());
    if (length > kWaveMemorySize) {
        *error = std::to_string(length) + " values: the wave memory holds at most " +
                 std::to_string(kWaveMemorySize) + " samples";
        return false;
    }
    std::vector<uint16_t> samples;
    int clipped = 0;
    if (!wave::SamplesInRange(wave.settings, length, 1, clip, &samples, &clipped, error)) {
        *error += clip ? "" : " (allow clipping loads it clipped)";
        if (wave.looks_like_codes) *error += "; if the file holds DAC codes, tick raw DAC codes";
        return false;
    }
    std::string list;
    for (size_t i = 0; i < samples.size(); ++i) list += (i ? "," : "") + std::to_string(samples[i]);
    *json = "{\"description\":" + JsonString(wave.description) +
            ",\"looks_like_codes\":" + (wave.looks_like_codes ? "true" : "false") +
            ",\"clipped\":" + std::to_string(clipped) + ",\"samples\":[" + list + "]}";
    return true;
}

std::optional<double> LiveNumber(const std::string& answer) {
    if (answer.empty() || answer == kNotANumber) return std::nullopt;
    if (wave::DecimalPrefix(answer) != answer.size()) return std::nullopt;
    const double value = std::strtod(answer.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

namespace {

// A whole number of the live readings within [least, most]: a divider,
// a length; nothing when the instrument gave none.
std::optional<double> WholeIn(const std::optional<double>& value, double least, double most) {
    if (!value || *value < least || *value > most || *value != std::floor(*value)) {
        return std::nullopt;
    }
    return value;
}

// What SYST:PON:STOR CURR stores: the control packet the instrument has
// now, its divider, output word and mode bits, each as this round read it.
std::string PowerOnState(const std::map<std::string, std::string>& answers) {
    const auto answer = [&answers](const char* query) -> std::string {
        const auto it = answers.find(query);
        return it == answers.end() || it->second == kNotANumber ? "" : it->second;
    };
    const std::optional<double> divider = WholeIn(LiveNumber(answer("DIV?")), 0, 65535);
    const std::optional<double> word = WholeIn(LiveNumber(answer("DIG:OUTP?")), 0, 65535);
    if (!divider || !word || answer("SENS:FUNC?").empty()) return "";
    uint16_t bits = 0;
    const auto bit = [&](const char* query, uint16_t mask) {
        if (answer(query) == "1") bits = static_cast<uint16_t>(bits | mask);
    };
    bit("SING?", kSingleWaveBit);
    bit("TRIG?", kTriggerEnableBit);
    bit("TRIG:OPT?", kTriggerOptionBit);
    bit("DIG:MODE?", kDioModeBit);
    if (answer("SENS:FUNC?") == "TOT") bits = static_cast<uint16_t>(bits | kMeasureModeBit);
    return "divider " + std::to_string(static_cast<int>(*divider)) + ", output word " +
           Hex16(static_cast<uint16_t>(*word)) + ", meter " +
           (answer("SENS:FUNC?") == "TOT" ? "counting" : "measuring frequency") + ", DIO mode " +
           (answer("DIG:MODE?") == "1" ? "on" : "off") + ", control " + DescribeControlWord(bits);
}

}  // namespace

std::string LiveJson(const LiveRound& round) {
    std::map<std::string, std::string> answers;
    std::string values;
    for (const auto& [query, answer] : round.answers) {
        answers[query] = answer;
        values += (values.empty() ? "" : ",") + JsonString(query) + ":" +
                  (answer == kNotANumber || answer.empty() ? "null" : JsonString(answer));
    }
    const auto number = [&answers](const char* query) {
        const auto it = answers.find(query);
        return it == answers.end() ? std::nullopt : LiveNumber(it->second);
    };
    // Frequencies as the tool writes them; the meter's reading in its mode.
    std::string shown;
    const auto show = [&shown](const std::string& key, const std::string& text) {
        shown += (shown.empty() ? "" : ",") + JsonString(key) + ":" + JsonString(text);
    };
    for (const char* query : {"FREQ?", "SRAT?"}) {
        if (const std::optional<double> hz = number(query)) show(query, FormatHz(*hz));
    }
    if (const std::optional<double> reading = number("READ?")) {
        show("READ?", answers["SENS:FUNC?"] == "TOT" ? FormatNumber(*reading) + " cycles"
                                                     : FormatHz(*reading));
    }
    static const std::map<std::string, std::string> kUnits = {
        {"VPP", "Vpp"}, {"VRMS", "Vrms"}, {"DBM", "dBm"}};
    if (const auto unit = kUnits.find(answers["VOLT:UNIT?"]); unit != kUnits.end()) {
        show("VOLT:UNIT?", unit->second);
    }
    // The plan's warnings only from values the instrument gave.
    std::string warnings;
    const std::optional<double> divider = WholeIn(number("DIV?"), 0, 65535);
    const std::optional<double> length = WholeIn(number("DATA:DAC:POIN?"), 0, kWaveMemorySize);
    const std::optional<double> periods = WholeIn(number("DATA:DAC:PER?"), 0, kWaveMemorySize);
    if (divider && length && periods) {
        const std::vector<std::string> list =
            PlanWarnings(static_cast<uint16_t>(*divider), static_cast<int32_t>(*length),
                         static_cast<int32_t>(*periods), number("FREQ?").value_or(0.0));
        for (const std::string& warning : list) {
            warnings += (warnings.empty() ? "" : ",") + JsonString(warning);
        }
    }
    const std::string power_on = PowerOnState(answers);
    return "{\"type\":\"live\",\"values\":{" + values + "},\"shown\":{" + shown +
           "},\"warnings\":[" + warnings +
           "],\"power_on\":" + (power_on.empty() ? std::string("null") : JsonString(power_on)) +
           ",\"words\":" + JsonString(round.words) + "}";
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

std::string VoltsAtCodes(double full_scale_vpp) {
    const double half = full_scale_vpp / 2.0;
    return "[" + FormatNumber(-half) + "," + FormatNumber(half) + "]";
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
