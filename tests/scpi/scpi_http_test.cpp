// The front panel's door: who it answers (Host, Origin, the token), what it
// refuses and in which words, that a page's WebSocket runs SCPI as a socket
// client does, read-only mode, and the LXI identification. The pages
// themselves are driven by a browser in test_front_panel.py.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <regex>
#include <string>
#include <vector>

#include "scpi_rig.h"
#include "scpi_status.h"
#include "velmar/dds.h"
#include "web_api.h"

namespace velmar::scpi {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

// ---- The rules, alone --------------------------------------------------

TEST(FrontPanelRules, HostNamesTheServerOrIsRefused) {
    const std::vector<std::string> names = {"lab-pc", "127.0.0.1", "::1"};
    struct Case {
        const char* host;
        const char* local;  // the address the connection came in on
        bool ours;
    };
    const Case cases[] = {
        {"127.0.0.1:8080", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.1", true},
        {"localhost:8080", "127.0.0.1", true},
        {"LOCALHOST.:8080", "127.0.0.1", true},
        {"lab-pc:8080", "127.0.0.1", true},
        {"Lab-PC", "127.0.0.1", true},
        {"[::1]:8080", "::1", true},
        {"192.168.1.20:8080", "192.168.1.20", true},  // the address it was reached at
        {"192.168.1.21:8080", "192.168.1.20", false},
        {"evil.example:8080", "127.0.0.1", false},  // a rebound DNS name
        {"localhost.evil.example", "127.0.0.1", false},
        {"lab-pc.evil.example", "127.0.0.1", false},
        {"", "127.0.0.1", false},
        {"127.0.0.1:80a", "127.0.0.1", false},
        {"[::1", "::1", false},
        {"127.0.0.1 x", "127.0.0.1", false},
        {"a/b", "127.0.0.1", false},
    };
    for (const Case& c : cases) EXPECT_EQ(HostIsOurs(c.host, names, c.local), c.ours) << c.host;
    EXPECT_EQ(HostPart("[::1]:8080"), "::1");
    EXPECT_EQ(HostPart("Lab-PC.:8080"), "lab-pc");

    EXPECT_TRUE(OriginIsOurs("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(OriginIsOurs("http://LocalHost:8080", "localhost:8080"));
    EXPECT_FALSE(OriginIsOurs("http://evil.example", "127.0.0.1:8080"));
    EXPECT_FALSE(OriginIsOurs("http://127.0.0.1:8081", "127.0.0.1:8080"));
    EXPECT_FALSE(OriginIsOurs("null", "127.0.0.1:8080"));
    EXPECT_FALSE(OriginIsOurs("", "127.0.0.1:8080"));
    EXPECT_FALSE(OriginIsOurs("http://", ""));
}

TEST(FrontPanelRules, JsonStringsCarryAnyBytes) {
    EXPECT_EQ(JsonString("-113,\"Undefined header\""), "\"-113,\\\"Undefined header\\\"\"");
    EXPECT_EQ(JsonString(std::string("a\\b\n\x01\xff", 6)), "\"a\\\\b\\u000a\\u0001\\u00ff\"");
}

TEST(FrontPanelRules, PlanWarningsAreTheTools) {
    // 1 kHz: 2083 samples, 1 period, divider 48: no warning.
    EXPECT_TRUE(PlanWarnings(48, 2083, 1, 1000.16).empty());
    const std::vector<std::string> rough = PlanWarnings(0, 6, 2, 66.7e6);
    ASSERT_EQ(rough.size(), 1u);
    EXPECT_NE(rough[0].find("rough shape"), std::string::npos) << rough[0];
    const std::vector<std::string> alias = PlanWarnings(0, 4, 3, 50e6);
    ASSERT_EQ(alias.size(), 1u);
    EXPECT_NE(alias[0].find("alias"), std::string::npos) << alias[0];
    const std::vector<std::string> slow = PlanWarnings(65535, 4096, 1, 0.37);
    ASSERT_EQ(slow.size(), 1u);
    EXPECT_NE(slow[0].find("below 1 Hz"), std::string::npos) << slow[0];
}

TEST(FrontPanelRules, CsvPreviewLoadsWhatTheToolLoads) {
    // As the tool takes a file: DAC codes only with raw (--raw), a wave
    // beyond full scale only with clip (--clip).
    const struct {
        std::string text;
        bool raw, clip;
        const char* says;  // in the preview, or in the refusal when it starts with '!'
    } cases[] = {
        {"0\n1\n0\n-1\n", false, false, "\"samples\":[32768,65535,32768,0]"},
        {"0\n1\n0\n-1\n", false, false, "4 values, one a line\",\"looks_like_codes\":false"},
        {"0,4096,65535\n", true, false, "\"samples\":[0,4096,65535]"},
        {"0,4096,65535\n", true, false, "3 values in a row, DAC codes"},
        // Codes read as full scale: refused as clipped, with the hint.
        {"0,4096,65535\n", false, false,
         "!2 of 3 samples fall outside the DAC's range (allow clipping loads it clipped); if the "
         "file holds DAC codes, tick raw DAC codes"},
        {"0,4096,65535\n", false, true, "\"looks_like_codes\":true,\"clipped\":2"},
        {"0\n1.5\n", false, false, "!1 of 2 samples fall outside the DAC's range"},
        {"0\n1.5\n", false, true, "\"clipped\":1,\"samples\":[32768,65535]"},
        {"0\n0.5\n", true, false, "!line 2: '0.5' is not a DAC code of 16 bits"},
        {"0\nabc\n", false, false, "!line 2"},
        {"0\n", false, false, "!two"},
        {"1,2,3\n4,5,6\n", false, false, "!column"},
    };
    for (const auto& c : cases) {
        std::string json, error;
        const bool refused = c.says[0] == '!';
        EXPECT_EQ(CsvPreview(c.text, c.raw, c.clip, &json, &error), !refused) << c.text << error;
        const std::string& said = refused ? error : json;
        EXPECT_NE(said.find(c.says + (refused ? 1 : 0)), std::string::npos)
            << c.text << " raw " << c.raw << " clip " << c.clip << ": " << said;
    }
    std::string many, json, error;
    for (int i = 0; i < 4097; ++i) many += "0.5\n";
    EXPECT_FALSE(CsvPreview(many, false, false, &json, &error));
    EXPECT_EQ(error, "4097 values: the wave memory holds at most 4096 samples");
}

// What an instrument that is missing or silent answers (not-a-number, or
// nothing after the round ended) never becomes a number: no cast of
// 9.91E+37 to a divider, no warning made of it.
TEST(FrontPanelRules, LiveReadingsCarryOnlyWhatTheInstrumentGave) {
    EXPECT_EQ(LiveNumber("+2.50031000000E+03"), 2500.31);
    for (const char* no : {"9.91E+37", "", "1e999", "nan", "inf", "0x10", "1,2", "SQU"}) {
        EXPECT_FALSE(LiveNumber(no).has_value()) << no;
    }
    const std::string well = LiveJson({{{"FREQ?", "+2.50031000000E+03"},
                                        {"VOLT:UNIT?", "VRMS"},
                                        {"SRAT?", "+6.66666666667E+07"},
                                        {"DIV?", "2"},
                                        {"DATA:DAC:POIN?", "6"},
                                        {"DATA:DAC:PER?", "2"},
                                        {"SING?", "0"},
                                        {"TRIG?", "1"},
                                        {"TRIG:OPT?", "0"},
                                        {"DIG:MODE?", "1"},
                                        {"DIG:OUTP?", "8"},
                                        {"SENS:FUNC?", "TOT"},
                                        {"READ?", "1234"}},
                                       ""});
    const char* const shown[] = {
        "\"FREQ?\":\"2500.31 Hz\"",
        "\"VOLT:UNIT?\":\"Vrms\"",
        "\"READ?\":\"1234 cycles\"",
        "rough shape",
        "\"power_on\":\"divider 2, output word 0x0008, meter counting, DIO mode on, control word "
        "0x0111 [counter mode, trigger enable, dio mode]\"",
        "\"words\":\"\"",
    };
    for (const char* part : shown) EXPECT_NE(well.find(part), std::string::npos) << part << well;

    const struct {
        std::vector<std::pair<std::string, std::string>> answers;
        const char* words;
    } silent[] = {
        {{{"DIV?", "9.91E+37"},
          {"DATA:DAC:POIN?", "9.91E+37"},
          {"DATA:DAC:PER?", "9.91E+37"},
          {"FREQ?", "9.91E+37"}},
         ""},
        {{{"DIV?", "70000"}, {"DATA:DAC:POIN?", "-1"}, {"DATA:DAC:PER?", "1e300"}}, ""},
        {{{"*IDN?", "VELMAR,DDS,dds2,1"}, {"FUNC?", "9.91E+37"}}, "instrument 2: not there"},
    };
    for (const auto& c : silent) {
        const std::string json = LiveJson({c.answers, c.words});
        EXPECT_NE(json.find("\"warnings\":[]"), std::string::npos) << json;
        EXPECT_NE(json.find("\"power_on\":null"), std::string::npos) << json;
        EXPECT_EQ(json.find("9.91E+37"), std::string::npos) << json;
        EXPECT_NE(json.find("\"words\":" + JsonString(c.words)), std::string::npos) << json;
    }
}

TEST(FrontPanelRules, LxiIdentificationOverIpv6) {
    LxiFacts facts;
    facts.instruments.push_back({0, "dds0", "TCPIP::[::1]::5025::SOCKET", true, true, ""});
    facts.host = "::1";
    facts.http_port = 8080;
    facts.ip_address = "::1";
    const std::string xml = LxiIdentification(facts);
    const char* const has[] = {
        "<HomepageURL>http://[::1]:8080/instrument/0</HomepageURL>",
        "<IdentificationURL>http://[::1]:8080/lxi/identification</IdentificationURL>",
        "IPType=\"IPv6\">",
        "<IPAddress>::1</IPAddress>",
        "<SubnetMask>::</SubnetMask>",
        "<Gateway>::</Gateway>",
    };
    for (const char* part : has) EXPECT_NE(xml.find(part), std::string::npos) << part << xml;
    EXPECT_EQ(xml.find("InterfaceName"), std::string::npos) << xml;
    facts.host = facts.ip_address = "192.168.1.20";
    const std::string v4 = LxiIdentification(facts);
    EXPECT_NE(v4.find("IPType=\"IPv4\">"), std::string::npos);
    EXPECT_NE(v4.find("<SubnetMask>0.0.0.0</SubnetMask>"), std::string::npos);
    EXPECT_NE(v4.find("<HomepageURL>http://192.168.1.20:8080/"), std::string::npos);
}

// ---- The door, against the server --------------------------------------

std::string Host(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string Origin(uint16_t port) {
    return "Origin: http://" + Host(port) + "\r\n";
}

// This run's token, as a page of the server reads it.
std::string Token(uint16_t port) {
    const HttpAnswer answer = HttpExchange(port, HttpRequest("GET", "/api/session", Host(port)));
    std::smatch match;
    const std::regex token("\"token\":\"([0-9a-f]{32})\"");
    return std::regex_search(answer.body, match, token) ? match[1].str() : "";
}

struct HttpCase {
    std::string request;
    int status;
    std::string says;  // in the body
};

void ExpectHttpAnswers(uint16_t port, const std::vector<HttpCase>& cases) {
    for (const HttpCase& c : cases) {
        const HttpAnswer answer = HttpExchange(port, c.request);
        const std::string first = c.request.substr(0, c.request.find('\r'));
        EXPECT_EQ(answer.status, c.status) << first << "\n" << answer.head;
        EXPECT_NE(answer.body.find(c.says), std::string::npos) << first << "\n" << answer.body;
    }
}

TEST(FrontPanelTest, AnswersOnlyRequestsAddressedToIt) {
    Rig rig({"--http", "any"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    const std::string host = Host(port);
    ExpectHttpAnswers(
        port,
        {
            {HttpRequest("GET", "/", host), 200, "<title>Velmar DDS instruments</title>"},
            {HttpRequest("GET", "/", "localhost:" + std::to_string(port)), 200, "<title>"},
            {HttpRequest("GET", "/instrument/1", host), 200, "SCPI console"},
            {HttpRequest("GET", "/instrument.js", host), 200, "new WebSocket"},
            {HttpRequest("GET", "/panel.css", host), 200, "grid"},
            {HttpRequest("GET", "/api/instruments", host), 200,
             "\"address\":\"TCPIP::127.0.0.1::" + std::to_string(rig.port(1)) + "::SOCKET\""},
            {HttpRequest("GET", "/api/instruments", host), 200, "\"name\":\"dds1\""},
            // DNS rebinding: a page of evil.example whose name now points here.
            {HttpRequest("GET", "/", "evil.example:" + std::to_string(port)), 403,
             "The Host 'evil.example:" + std::to_string(port) + "' is not a name of this server"},
            {HttpRequest("GET", "/api/instruments", "evil.example"), 403, "not a name"},
            {"GET / HTTP/1.0\r\n\r\n", 403, "The Host '' is not a name"},
            {HttpRequest("GET", "/instrument/7", host), 404, "serves no instrument 7"},
            {HttpRequest("GET", "/instrument/x", host), 404, "No such page: /instrument/x"},
            {HttpRequest("GET", "/../../etc/passwd", host), 404, "No such page"},
            {HttpRequest("GET", "/web_files.h", host), 404, "No such page"},
            {HttpRequest("DELETE", "/", host), 405, "GET"},
            {"HELLO THERE\r\n\r\n", 400, "Bad request"},
            {"GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Long: " + std::string(9000, 'a') +
                 "\r\n\r\n",
             431, "over the 8192-byte bound"},
        });
    // Every answer forbids framing by another site and sniffing.
    const HttpAnswer page = HttpExchange(port, HttpRequest("GET", "/instrument/0", host));
    EXPECT_NE(page.head.find("X-Frame-Options: DENY"), std::string::npos) << page.head;
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    // The SCPI doors are as they were.
    Client client(rig.port(0));
    EXPECT_EQ(client.Query("*IDN?"), "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING);
    EXPECT_NE(rig.log().find("refused: 403 The Host 'evil.example"), std::string::npos);
}

TEST(FrontPanelTest, UploadsNeedThePagesOriginAndTokenAndAreBounded) {
    Rig rig({"--http", "any"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    const std::string host = Host(port);
    const std::string token = Token(port);
    ASSERT_EQ(token.size(), 32u);
    const std::string ours = Origin(port) + "X-Velmar-Token: " + token + "\r\n";
    const std::string csv = "/api/instrument/0/csv";
    ExpectHttpAnswers(
        port,
        {
            {HttpRequest("POST", csv, host, ours, "0\n1\n0\n-1\n"), 200,
             "\"samples\":[32768,65535,32768,0]"},
            // A form of another site posting here: no Origin of ours.
            {HttpRequest("POST", csv, host, "", "0\n1\n"), 403,
             "does not come from a page of this server"},
            {HttpRequest("POST", csv, host,
                         "Origin: http://evil.example\r\nX-Velmar-Token: " + token + "\r\n",
                         "0\n1\n"),
             403, "its Origin is 'http://evil.example'"},
            {HttpRequest("POST", csv, host, Origin(port), "0\n1\n"), 403, "token is missing"},
            {HttpRequest("POST", csv, host, Origin(port) + "X-Velmar-Token: 00\r\n", "0\n1\n"), 403,
             "reload the page"},
            {HttpRequest("POST", "/api/instrument/9/csv", host, ours, "0\n1\n"), 404,
             "No such page"},
            {HttpRequest("POST", csv, host, ours, "0\nvolts\n"), 422, "line 2"},
            // Refused from its declared length, before a byte of it is read.
            {"POST " + csv + " HTTP/1.1\r\nHost: " + host + "\r\n" + ours +
                 "Content-Length: 300000\r\n\r\n",
             413,
             "The file is 300000 bytes; the server takes uploads of at most 256 KiB (262144 "
             "bytes)"},
        });
    // A chunked upload that grows past the bound is refused as it arrives.
    std::string chunked = "POST " + csv + " HTTP/1.1\r\nHost: " + host + "\r\n" + ours +
                          "Transfer-Encoding: chunked\r\n\r\n";
    const std::string chunk(64 * 1024, '1');
    for (int i = 0; i < 5; ++i) chunked += "10000\r\n" + chunk + "\r\n";
    const HttpAnswer big = HttpExchange(port, chunked);
    EXPECT_EQ(big.status, 413);
    EXPECT_NE(big.body.find("larger than the server takes"), std::string::npos) << big.body;
}

// The JSON string after `key` in `frame` as it is written (escapes kept), or
// "null". Read by hand: std::regex recurses once a character, and an answer
// can be tens of kilobytes.
std::string JsonText(const std::string& frame, const std::string& key) {
    const size_t at = frame.find(key);
    if (at == std::string::npos) return "<none>";
    const size_t begin = at + key.size();
    if (frame.compare(begin, 4, "null") == 0) return "null";
    size_t end = begin + 1;
    while (end < frame.size() && frame[end] != '"') end += frame[end] == '\\' ? 2 : 1;
    return frame.substr(begin + 1, end - begin - 1);
}

// A page's WebSocket, as the browser opens it: Origin and token given.
class Page {
  public:
    Page(uint16_t port, const std::string& origin, const std::string& token, int index = 0) {
        asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        ws_.next_layer().connect(endpoint, error_);
        if (error_) return;
        // Every read is bounded: a reply that never comes fails the read.
        timeval limit{4, 0};
        setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                   sizeof(limit));
        ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& r) {
            if (!origin.empty()) r.set(http::field::origin, origin);
        }));
        ws_.handshake(response_, Host(port),
                      "/ws/instrument/" + std::to_string(index) + "?token=" + token, error_);
    }

    bool open() const { return !error_; }

    // The reply to a message: its answer line ("null" when none) and the
    // library's words; the live readings that come meanwhile are kept.
    // The errors the message queued come with it, as SYST:ERR? reads them.
    std::string Send(const std::string& message, std::string* words = nullptr,
                     std::vector<std::string>* errors = nullptr) {
        const std::string id = std::to_string(++id_);
        ws_.write(asio::buffer(id + " " + message), error_);
        if (error_) return "<cannot send>";
        while (true) {
            const std::string frame = Read();
            if (frame.empty()) return "<no reply>";
            if (frame.find("\"type\":\"live\"") != std::string::npos) last_live_ = frame;
            if (frame.find("\"type\":\"reply\",\"id\":" + id + ",") == std::string::npos) continue;
            if (words) {
                std::smatch w;
                std::regex_search(frame, w, std::regex("\"words\":\"([^\"]*)\""));
                *words = w[1];
            }
            if (errors) {
                errors->clear();
                std::smatch list;
                std::regex_search(frame, list, std::regex("\"errors\":\\[(.*?)\\],\"words\""));
                const std::string text = list[1];
                const std::regex entry("\"((\\\\.|[^\"\\\\])*)\"");
                for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end;
                     ++it) {
                    errors->push_back((*it)[1]);
                }
            }
            return JsonText(frame, "\"answer\":");
        }
    }

    // The next live readings pushed, within a few seconds.
    std::string NextLive() {
        for (int i = 0; i < 50; ++i) {
            const std::string frame = Read();
            if (frame.empty()) break;
            if (frame.find("\"type\":\"live\"") != std::string::npos) return frame;
        }
        return "";
    }

  private:
    std::string Read() {
        beast::flat_buffer buffer;
        ws_.read(buffer, error_);
        return error_ ? "" : beast::buffers_to_string(buffer.data());
    }

    asio::io_context io_;
    websocket::stream<asio::ip::tcp::socket> ws_{io_};
    websocket::response_type response_;
    boost::system::error_code error_;
    int id_ = 0;
    std::string last_live_;
};

std::string LiveValue(const std::string& live, const std::string& query) {
    const std::string key = "\"" + query + "\":\"";
    const size_t at = live.find(key);
    if (at == std::string::npos) return "<none>";
    return live.substr(at + key.size(), live.find('"', at + key.size()) - at - key.size());
}

TEST(FrontPanelTest, APageRunsScpiAsASocketClientWithItsOwnErrorQueue) {
    Rig rig({"--http", "any"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    const std::string origin = "http://" + Host(port);
    const std::string token = Token(port);

    // Refused handshakes: another site's page, no Origin, no token or a
    // stale one, an instrument the server does not serve.
    const auto upgrade = [&](const std::string& target, const std::string& from) {
        return "GET " + target + " HTTP/1.1\r\nHost: " + Host(port) +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
               (from.empty() ? "" : "Origin: " + from + "\r\n") + "\r\n";
    };
    const std::string mine = "/ws/instrument/0?token=" + token;
    ExpectHttpAnswers(
        port,
        {
            {upgrade(mine, "http://evil.example"), 403, "its Origin is 'http://evil.example'"},
            {upgrade(mine, ""), 403, "does not come from a page of this server"},
            {upgrade("/ws/instrument/0", origin), 403, "token is missing or out of date"},
            {upgrade("/ws/instrument/0?token=0123456789abcdef0123456789abcdef", origin), 403,
             "reload the page"},
            {upgrade("/ws/instrument/5?token=" + token, origin), 404, "No such instrument"},
        });
    EXPECT_FALSE(Page(port, "http://evil.example", token).open());

    Page page(port, origin, token);
    ASSERT_TRUE(page.open());
    Client socket_client(rig.port(0));
    // Each reply carries the errors its message queued, as SYST:ERR? reads
    // them, and the queue is empty after it.
    const struct {
        const char* message;
        const char* answer;
        std::vector<std::string> errors;
    } table[] = {
        {"*IDN?", "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING, {}},
        {"FOO", "null", {"-113,\\\"Undefined header\\\""}},
        {"SYST:ERR?", "0,\\\"No error\\\"", {}},
        {"FOO;FREQ 1e12\nBAR",
         "null",
         {"-113,\\\"Undefined header\\\"", "-113,\\\"Undefined header\\\""}},
        {"FREQ 1e12;*ESR?", "48", {"-222,\\\"Data out of range\\\""}},
        {"FUNC SQU;FREQ 2500;FREQ?", "~2500.31", {}},
        {"*OPC?\n*OPC?", "1\\u000a1", {}},  // two messages in a frame: two lines
        {"DIG:OUTP 8;DIG:OUTP?", "8", {}},
    };
    for (const auto& e : table) {
        std::vector<std::string> errors;
        ExpectAnswer(e.message, page.Send(e.message, nullptr, &errors), e.answer);
        EXPECT_EQ(errors, e.errors) << e.message;
    }
    // The same instrument state as a socket client's, and not its errors.
    EXPECT_EQ(socket_client.Query("DIG:OUTP?;FUNC?"), "8;SQU");
    page.Send("FOO");
    EXPECT_EQ(socket_client.Query("SYST:ERR?"), "0,\"No error\"");
    // Readings pushed while the page is open: the meter at the new frequency.
    std::string live;
    for (int i = 0; i < 10; ++i) {
        live = page.NextLive();
        if (LiveValue(live, "FREQ?") != "<none>") break;
    }
    ExpectAnswer("READ? pushed", LiveValue(live, "READ?"), "~2500.31");
    EXPECT_EQ(LiveValue(live, "SENS:FUNC?"), "FREQ");
    EXPECT_EQ(LiveValue(live, "DIG:INP?"), "4660");
    EXPECT_EQ(LiveValue(live, "FUNC?"), "SQU");
    // A change through the socket reaches the page's next readings.
    socket_client.Send("DIG:OUTP 300\n");
    bool seen = false;
    for (int i = 0; i < 10 && !seen; ++i) seen = LiveValue(page.NextLive(), "DIG:OUTP?") == "300";
    EXPECT_TRUE(seen);
}

TEST(FrontPanelTest, ReadOnlyShowsEverythingAndChangesNothing) {
    Rig rig({"--http", "any", "--http-read-only"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    EXPECT_NE(rig.log().find("front panel (read-only) on http://"), std::string::npos);
    const std::string token = Token(port);
    const HttpAnswer upload = HttpExchange(
        port, HttpRequest("POST", "/api/instrument/0/csv", Host(port),
                          Origin(port) + "X-Velmar-Token: " + token + "\r\n", "0\n1\n"));
    EXPECT_EQ(upload.status, 403);
    EXPECT_NE(upload.body.find("read-only (--http-read-only)"), std::string::npos) << upload.body;

    Client socket_client(rig.port(0));
    socket_client.Send("FREQ 1000;DIG:OUTP 5\n");
    Page page(port, "http://" + Host(port), token);
    ASSERT_TRUE(page.open());
    const std::string protect = "-203,\\\"Command protected\\\"";
    const struct {
        const char* message;
        const char* answer;
        size_t protected_errors;
    } table[] = {
        {"FREQ 2000", "null", 1},
        {"*RST;TOT:CLE;SYST:PON:STOR CURR;DIG:OUTP 0", "null", 4},
        // Queries that switch the meter's mode change the instrument too.
        {"SENS:FUNC TOT;MEAS:TOT?;MEAS:FREQ?", "9.91E+37;9.91E+37", 3},
        {"*CLS;FREQ?;DIG:OUTP?;SENS:FUNC?;SYST:ERR:COUN?", "~1000.16;5;FREQ;0", 0},
    };
    for (const auto& e : table) {
        std::vector<std::string> errors;
        ExpectAnswers(e.message, page.Send(e.message, nullptr, &errors), e.answer);
        EXPECT_EQ(errors, std::vector<std::string>(e.protected_errors, protect)) << e.message;
    }
    EXPECT_EQ(socket_client.Query("DIG:OUTP?;SENS:FUNC?"), "5;FREQ");
}

// The control words of instrument `index` in the simulator's trace.
std::vector<unsigned> ControlWords(const std::string& trace, int index) {
    const std::regex line("dds" + std::to_string(index) + ": control: word 0x([0-9a-fA-F]{4})");
    std::vector<unsigned> words;
    for (std::sregex_iterator it(trace.begin(), trace.end(), line), end; it != end; ++it) {
        words.push_back(static_cast<unsigned>(std::stoul((*it)[1], nullptr, 16)));
    }
    return words;
}

// An open page reads the meter in the mode it is in and never switches it:
// the instrument sees the mode bit only as a client set it.
TEST(FrontPanelTest, TheLiveReadingsNeverSwitchTheMetersMode) {
    Rig rig({"--http", "any"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    Client socket_client(rig.port(0));
    ASSERT_EQ(socket_client.Query("FREQ 1000;SENS:FUNC TOT;*OPC?"), "1");
    Page page(port, "http://" + Host(port), Token(port));
    ASSERT_TRUE(page.open());
    constexpr unsigned kCounterMode = 0x0001;
    for (const auto& [mode, bit] : {std::pair<std::string, unsigned>{"TOT", kCounterMode},
                                    std::pair<std::string, unsigned>{"FREQ", 0}}) {
        if (mode == "FREQ") {
            EXPECT_EQ(page.Send("SENS:FUNC FREQ;*OPC?"), "1");
        }
        std::string live;
        for (int i = 0; i < 10 && LiveValue(live, "SENS:FUNC?") != mode; ++i) {
            live = page.NextLive();
        }
        ASSERT_EQ(LiveValue(live, "SENS:FUNC?"), mode) << live;
        // Rounds from here on: every control word keeps the mode.
        const size_t before = ControlWords(rig.trace(), 0).size();
        for (int i = 0; i < 6; ++i) live = page.NextLive();
        const std::vector<unsigned> words = ControlWords(rig.trace(), 0);
        ASSERT_GT(words.size(), before + 3) << "the rounds read the meter";
        for (size_t i = before; i < words.size(); ++i) {
            EXPECT_EQ(words[i] & kCounterMode, bit) << mode << " word " << std::hex << words[i];
        }
        if (mode == "TOT") {
            EXPECT_TRUE(std::regex_match(LiveValue(live, "READ?"), std::regex("[0-9]+"))) << live;
        } else {
            ExpectAnswer("READ? in FREQ", LiveValue(live, "READ?"), "~1000.16");
        }
    }
    EXPECT_EQ(socket_client.Query("SENS:FUNC?"), "FREQ");
}

// A page's reply is bounded as a socket's answers are: a message whose
// answers grow past it has the rest dropped, with -223 in its errors and in
// its words, and the server's memory stays small (read-only too).
TEST(FrontPanelTest, APagesReplyIsBounded) {
    Rig rig({"--http", "any", "--http-read-only"}, {}, {0, 1}, false);
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    Client socket_client(rig.port(0));
    std::string samples;
    for (int i = 0; i < 4096; ++i) samples += (i ? ",65535" : "65535");
    ASSERT_EQ(socket_client.Query("DATA:DAC " + samples + ";*OPC?"), "1");
    Page page(port, "http://" + Host(port), Token(port));
    ASSERT_TRUE(page.open());
    std::string flood;
    for (int i = 0; i < 2000; ++i) flood += "DATA:DAC?;";
    std::string words;
    std::vector<std::string> errors;
    const std::string answer = page.Send(flood + "*IDN?\nDATA:DAC?", &words, &errors);
    // Whole answers up to the bound, and one past it.
    EXPECT_GT(answer.size(), 64u * 1024);
    EXPECT_LT(answer.size(), 64u * 1024 + 4096 * 6 + 1);
    EXPECT_EQ(answer.find("VELMAR"), std::string::npos);
    EXPECT_EQ(answer.back(), '5');
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("-223,", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("the reply passed 65536 bytes"), std::string::npos) << errors[0];
    EXPECT_NE(words.find("Too much data"), std::string::npos) << words;
    // The page goes on as before.
    errors = {"<none>"};
    EXPECT_EQ(page.Send("*IDN?", nullptr, &errors), "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING);
    EXPECT_TRUE(errors.empty());
    EXPECT_LT(rig.PeakResidentKiB(), kResidentBoundKiB) << "KiB at the most";
}

// An instrument the server serves but cannot find: its page opens, its
// readings are empty, and nothing of not-a-number becomes a number.
TEST(FrontPanelTest, AMissingInstrumentsPageSaysSo) {
    Rig rig({"--http", "any", "--instruments", "3"}, {}, {0, 1, 2});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    Page page(port, "http://" + Host(port), Token(port), 2);
    ASSERT_TRUE(page.open());
    const std::string live = page.NextLive();
    EXPECT_NE(live.find("\"DIV?\":null"), std::string::npos) << live;
    EXPECT_NE(live.find("\"warnings\":[]"), std::string::npos) << live;
    EXPECT_NE(live.find("\"power_on\":null"), std::string::npos) << live;
    std::vector<std::string> errors;
    EXPECT_EQ(page.Send("*TST?", nullptr, &errors), "1");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("-241,", 0), 0u) << errors[0];
    const HttpAnswer list = HttpExchange(port, HttpRequest("GET", "/api/instruments", Host(port)));
    EXPECT_NE(list.body.find("{\"index\":2,\"name\":\"2\""), std::string::npos) << list.body;
    EXPECT_EQ(rig.Stop(), 0) << rig.log();
}

TEST(FrontPanelTest, LxiIdentificationNamesTheInstrumentsSockets) {
    Rig rig({"--http", "any"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    const HttpAnswer answer =
        HttpExchange(port, HttpRequest("GET", "/lxi/identification", Host(port)));
    ASSERT_EQ(answer.status, 200) << answer.head;
    EXPECT_NE(answer.head.find("Content-Type: text/xml"), std::string::npos);
    const std::string& xml = answer.body;
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LXIDevice ", 0), 0u) << xml;
    EXPECT_NE(xml.find("xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\""),
              std::string::npos);
    // The schema's elements, each once and in its order.
    const char* const order[] = {
        "Manufacturer",
        "Model",
        "SerialNumber",
        "FirmwareRevision",
        "ManufacturerDescription",
        "HomepageURL",
        "DriverURL",
        "IdentificationURL",
        "Interface",
        "InstrumentAddressString",
        "Hostname",
        "IPAddress",
        "SubnetMask",
        "MACAddress",
        "Gateway",
        "DHCPEnabled",
        "AutoIPEnabled",
        "LXIVersion",
    };
    size_t at = 0;
    for (const char* element : order) {
        const size_t found = xml.find(
            "<" + std::string(element) + (element == std::string("Interface") ? " " : ">"), at);
        ASSERT_NE(found, std::string::npos) << element << " after " << at << "\n" << xml;
        EXPECT_NE(xml.find("</" + std::string(element) + ">", found), std::string::npos) << element;
        at = found;
    }
    EXPECT_NE(xml.find("<SerialNumber>dds0</SerialNumber>"), std::string::npos);
    EXPECT_NE(xml.find("<FirmwareRevision>" VELMAR_DDS_VERSION_STRING "</FirmwareRevision>"),
              std::string::npos);
    for (int index : {0, 1}) {
        EXPECT_NE(xml.find("<InstrumentAddressString>TCPIP::127.0.0.1::" +
                           std::to_string(rig.port(index)) + "::SOCKET</InstrumentAddressString>"),
                  std::string::npos)
            << xml;
    }
    // Well formed: every element closed in the order it was opened.
    std::vector<std::string> open;
    const std::regex tag("<(/?)([A-Za-z]+)[^>]*?(/?)>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), tag); it != std::sregex_iterator();
         ++it) {
        if ((*it)[3] == "/") continue;
        if ((*it)[1] == "/") {
            ASSERT_FALSE(open.empty()) << (*it)[0];
            EXPECT_EQ(open.back(), (*it)[2]);
            open.pop_back();
        } else {
            open.push_back((*it)[2]);
        }
    }
    EXPECT_TRUE(open.empty());
}

// Whether the server's log shows `text` within a second: the line can come
// a moment after what the client saw (a timed-out socket is closed before
// the server's handler logs why).
bool LogShows(Rig& rig, const std::string& text) {
    for (int i = 0; i < 100; ++i) {
        if (rig.log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

TEST(FrontPanelTest, ConnectionsAndSlowRequestsAreBounded) {
    Rig rig({"--http", "any", "--idle-timeout", "1"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    // Half a request is closed after the idle limit.
    Client half(port);
    ASSERT_TRUE(half.TrySend("GET / HTTP/1.1\r\nHost: "));
    EXPECT_TRUE(half.ClosedByServer(milliseconds(3000)));
    EXPECT_TRUE(LogShows(rig, "closed: no whole request within 1 second"));
    // One peer may hold all 32 connections while nobody else wants one;
    // then its newest makes room for another peer, and it is refused one
    // more with 503 and the reason.
    std::vector<std::unique_ptr<Client>> held;
    for (size_t i = 0; i < kMostWebClients; ++i) {
        held.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(held.back()->connected());
    }
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(HttpExchange(port, HttpRequest("GET", "/", Host(port)), milliseconds(1000)).status,
              503);
    EXPECT_NE(rig.log().find("refused: already 32 HTTP and WebSocket connections"),
              std::string::npos);
    const HttpAnswer busy =
        HttpExchange(port, HttpRequest("GET", "/", Host(port)), milliseconds(1000));
    EXPECT_NE(busy.body.find("The front panel is busy: already 32 HTTP and WebSocket connections"),
              std::string::npos)
        << busy.body;
    Client other(port, "127.0.0.2");
    ASSERT_TRUE(other.TrySend(HttpRequest("GET", "/", Host(port))));
    const std::optional<std::string> status = other.ReadLine(milliseconds(2000));
    EXPECT_EQ(status.value_or("<none>").rfind("HTTP/1.1 200", 0), 0u) << rig.log();
    EXPECT_TRUE(held.back()->ClosedByServer(milliseconds(1000)));
    EXPECT_TRUE(LogShows(rig, "closed: to make room for 127.0.0.2:"));
    // Once they are gone, pages are served again.
    held.clear();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(HttpExchange(port, HttpRequest("GET", "/", Host(port))).status, 200);
}

}  // namespace
}  // namespace velmar::scpi
