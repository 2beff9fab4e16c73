// What the front panel's HTTP door says, apart from the network: the rules
// that decide whom it answers (Host, Origin), and the texts it makes (JSON,
// the LXI identification, a CSV file's preview). The page drives the
// instruments only through SCPI messages on the command layer; nothing here
// touches an instrument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
    std::string ip_address;  // the local address of the request's connection, IPv4 or IPv6
};
std::string LxiIdentification(const LxiFacts& facts);

// A CSV file of the tool's forms, read as the tool reads it (wave::ReadCsvWave):
// values in units of full scale, or with `raw` DAC codes played as they
// are; a wave beyond the DAC's range is refused unless `clip` says it is
// meant. The preview holds the samples the page loads (16-bit offset
// binary, one period), what was read, and whether the values look like DAC
// codes read without `raw`. False with one line in *error when the file is
// refused.
bool CsvPreview(const std::string& text, bool raw, bool clip, std::string* json,
                std::string* error);

// An answer of the live readings as a number: nothing for not-a-number
// (9.91E+37, a query whose instrument did not answer), an empty answer, or
// anything that is no finite decimal number.
std::optional<double> LiveNumber(const std::string& answer);

// One round of the live readings: each query with its answer line, and the
// library's words when the instrument did not answer (the round then ends
// early, and the queries after it are missing).
struct LiveRound {
    std::vector<std::pair<std::string, std::string>> answers;
    std::string words;
};

// The JSON the server pushes to an open page: "values", each query's answer
// (null for not-a-number); "shown", the frequencies as the tool writes
// them, the meter's reading in its mode, the amplitude's unit; the plan's
// "warnings"; "power_on", what SYST:PON:STOR CURR would store, read from
// this round; and the library's "words".
std::string LiveJson(const LiveRound& round);

// The warnings of what the loaded samples play, as the tool gives them for
// a plan: an alias, a constant, a rough shape (few samples per period), and
// an output below 1 Hz. `played_hz` is what FREQ? answers.
std::vector<std::string> PlanWarnings(uint16_t divider, int32_t length, int32_t periods,
                                      double played_hz);

// "[-0.5,0.5]": the volts of DAC codes 0 and 65535 at `full_scale_vpp`, as
// the server's levels and the wave module have them (offset binary,
// mid-scale zero); the page draws the codes between on that line.
std::string VoltsAtCodes(double full_scale_vpp);

// "text/html; charset=utf-8" for "index.html", and so on.
const char* ContentTypeFor(std::string_view name);

}  // namespace velmar::scpi
