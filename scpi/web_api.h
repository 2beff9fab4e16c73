// What the front panel's HTTP door says, apart from the network: the rules
// that decide whom it answers (Host, Origin), and the texts it makes (JSON,
// the LXI identification, a CSV file's preview). The page drives the
// instruments only through SCPI messages on the command layer; nothing here
// touches an instrument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::scpi {

// The bounds of the HTTP door, each in the manual (docs/front-panel.md).
constexpr size_t kMostHttpHeaderBytes = 8 * 1024;
constexpr size_t kMostUploadBytes = 256 * 1024;  // a CSV file: 4096 values fit many times
constexpr size_t kMostWebClients = 32;           // HTTP and WebSocket connections at once

// A JSON string literal, quotes included; bytes that are not printable
// ASCII are escaped, so that any text of a client or instrument is safe.
std::string JsonString(std::string_view text);

// The name part of a Host header: "[::1]:8080" is "::1", "Lab-PC.:8080" is
// "lab-pc" (lower case, no trailing dot); empty when it is malformed.
std::string HostPart(std::string_view host_header);

// Whether a request's Host names this server: "localhost", one of `names`
// (the machine's host name, the --listen addresses), or `local_address`,
// the literal address the connection came in on. Any other name may be an
// attacker's DNS name bound to this machine (DNS rebinding): refused.
bool HostIsOurs(std::string_view host_header, const std::vector<std::string>& names,
                const std::string& local_address);

// Whether a state-changing request comes from a page of this server: its
// Origin is "http://" followed by the Host it was sent to.
bool OriginIsOurs(std::string_view origin, std::string_view host_header);

// One instrument as the pages and the LXI identification show it.
struct PanelFacts {
    int index = 0;
    std::string name;     // the device name, "dds0"; empty until found
    std::string address;  // "TCPIP::127.0.0.1::5025::SOCKET"
    bool present = false;
    bool answering = false;  // its latest command went through
    std::string failure;     // the library's words when it did not
};

// "TCPIP::<host>::<port>::SOCKET", the VISA resource of a SCPI socket;
// `host` as the client reached this server.
std::string SocketAddress(const std::string& host, uint16_t port);

// The JSON list that the instrument index shows.
std::string InstrumentsJson(const std::vector<PanelFacts>& instruments, bool read_only);

// The LXI identification document (namespace
// http://www.lxistandard.org/InstrumentIdentification/1.0) of the server's
// instruments: the first is the device it names, every one's socket is an
// InstrumentAddressString of its interface.
struct LxiFacts {
    std::vector<PanelFacts> instruments;
    std::string version;     // the session library's
    std::string host;        // as the client reached this server
    uint16_t http_port = 0;  // this door's
    std::string ip_address;  // the local address of the request's connection
    bool ipv6 = false;
};
std::string LxiIdentification(const LxiFacts& facts);

// A CSV file of the tool's forms, read by the wave module, as the page
// previews it before loading: the samples it loads (16-bit offset binary,
// one period, values in units of full scale or DAC codes as the tool takes
// them) and what was read. False with one line in *error when the file is
// refused.
bool CsvPreview(const std::string& text, std::string* json, std::string* error);

// The warnings of what the loaded samples play, as the tool gives them for
// a plan: an alias, a constant, a rough shape (few samples per period), and
// an output below 1 Hz. `played_hz` is what FREQ? answers.
std::vector<std::string> PlanWarnings(uint16_t divider, int32_t length, int32_t periods,
                                      double played_hz);

// "text/html; charset=utf-8" for "index.html", and so on.
const char* ContentTypeFor(std::string_view name);

}  // namespace velmar::scpi
