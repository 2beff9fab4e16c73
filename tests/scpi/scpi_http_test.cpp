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
    std::string json, error;
    ASSERT_TRUE(CsvPreview("0\n1\n0\n-1\n", &json, &error)) << error;
    EXPECT_NE(json.find("\"samples\":[32768,65535,32768,0]"), std::string::npos) << json;
    EXPECT_NE(json.find("4 values, one a line"), std::string::npos) << json;
    // DAC codes play as they are.
    ASSERT_TRUE(CsvPreview("0,4096,65535\n", &json, &error)) << error;
    EXPECT_NE(json.find("\"samples\":[0,4096,65535]"), std::string::npos) << json;
    EXPECT_NE(json.find("DAC codes"), std::string::npos) << json;
    // Beyond full scale is clipped, and said.
    ASSERT_TRUE(CsvPreview("0\n1.5\n", &json, &error)) << error;
    EXPECT_NE(json.find("\"clipped\":1"), std::string::npos) << json;
    const struct {
        std::string text;
        const char* error;
    } refused[] = {
        {"0\nabc\n", "line 2"},
        {"0\n", "two"},
        {"1,2,3\n4,5,6\n", "column"},
    };
    for (const auto& r : refused) {
        error.clear();
        EXPECT_FALSE(CsvPreview(r.text, &json, &error)) << r.text.substr(0, 20);
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
    std::string many;
    for (int i = 0; i < 4097; ++i) many += "0.5\n";
    EXPECT_FALSE(CsvPreview(many, &json, &error));
    EXPECT_EQ(error, "4097 values: the wave memory holds at most 4096 samples");
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
    Rig rig({"--http", std::to_string(FreePort())});
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
    Rig rig({"--http", std::to_string(FreePort())});
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
    std::string Send(const std::string& message, std::string* words = nullptr) {
        const std::string id = std::to_string(++id_);
        ws_.write(asio::buffer(id + " " + message), error_);
        if (error_) return "<cannot send>";
        while (true) {
            const std::string frame = Read();
            if (frame.empty()) return "<no reply>";
            if (frame.find("\"type\":\"live\"") != std::string::npos) last_live_ = frame;
            if (frame.find("\"type\":\"reply\",\"id\":" + id + ",") == std::string::npos) continue;
            std::smatch match;
            std::regex_search(frame, match,
                              std::regex("\"answer\":(null|\"((\\\\.|[^\"\\\\])*)\")"));
            if (words) {
                std::smatch w;
                std::regex_search(frame, w, std::regex("\"words\":\"([^\"]*)\""));
                *words = w[1];
            }
            return match[1] == "null" ? "null" : match[2].str();
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
    Rig rig({"--http", std::to_string(FreePort())});
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
    const Exchange table[] = {
        {"*IDN?", "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING},
        {"FOO", "null"},
        {"SYST:ERR?", "-113,\\\"Undefined header\\\""},
        {"SYST:ERR?", "0,\\\"No error\\\""},
        {"FUNC SQU;FREQ 2500;FREQ?", "~2500.31"},
        {"*OPC?\n*OPC?", "1\\u000a1"},  // two messages in a frame: two lines
        {"DIG:OUTP 8;DIG:OUTP?", "8"},
    };
    for (const Exchange& e : table) ExpectAnswer(e.message, page.Send(e.message), e.answer);
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
    ExpectAnswer("MEAS:FREQ? pushed", LiveValue(live, "MEAS:FREQ?"), "~2500.31");
    EXPECT_EQ(LiveValue(live, "DIG:INP?"), "4660");
    EXPECT_EQ(LiveValue(live, "FUNC?"), "SQU");
    // A change through the socket reaches the page's next readings.
    socket_client.Send("DIG:OUTP 300\n");
    bool seen = false;
    for (int i = 0; i < 10 && !seen; ++i) seen = LiveValue(page.NextLive(), "DIG:OUTP?") == "300";
    EXPECT_TRUE(seen);
}

TEST(FrontPanelTest, ReadOnlyShowsEverythingAndChangesNothing) {
    Rig rig({"--http", std::to_string(FreePort()), "--http-read-only"});
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
    const Exchange table[] = {
        {"FREQ 2000", "null"},
        {"SYST:ERR?", "-203,\\\"Command protected\\\""},
        {"*RST;TOT:CLE;SYST:PON:STOR CURR;DIG:OUTP 0", "null"},
        {"SYST:ERR:COUN?", "4"},
        {"*CLS;FREQ?;DIG:OUTP?;SYST:ERR:COUN?", "~1000.16;5;0"},
    };
    for (const Exchange& e : table) ExpectAnswers(e.message, page.Send(e.message), e.answer);
    EXPECT_EQ(socket_client.Query("DIG:OUTP?"), "5");
}

TEST(FrontPanelTest, LxiIdentificationNamesTheInstrumentsSockets) {
    Rig rig({"--http", std::to_string(FreePort())});
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

TEST(FrontPanelTest, ConnectionsAndSlowRequestsAreBounded) {
    Rig rig({"--http", std::to_string(FreePort()), "--idle-timeout", "1"});
    const uint16_t port = rig.http_port();
    ASSERT_NE(port, 0) << rig.log();
    // Half a request is closed after the idle limit.
    Client half(port);
    ASSERT_TRUE(half.TrySend("GET / HTTP/1.1\r\nHost: "));
    EXPECT_TRUE(half.ClosedByServer(milliseconds(3000)));
    EXPECT_NE(rig.log().find("closed: no whole request within 1 second"), std::string::npos);
    // 32 connections at once; the 33rd is closed at once.
    std::vector<std::unique_ptr<Client>> held;
    for (size_t i = 0; i < kMostWebClients; ++i) {
        held.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(held.back()->connected());
    }
    std::this_thread::sleep_for(milliseconds(200));
    Client one_more(port);
    EXPECT_TRUE(one_more.ClosedByServer(milliseconds(1000)));
    EXPECT_NE(rig.log().find("refused: already 32 HTTP and WebSocket connections"),
              std::string::npos);
    // Once they are gone, pages are served again.
    held.clear();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(HttpExchange(port, HttpRequest("GET", "/", Host(port))).status, 200);
}

}  // namespace
}  // namespace velmar::scpi
