// velmar-dds-scpi as a lab runs it: the server process in front of the
// simulated instrument's process, driven through TCP sockets.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "instrument.h"
#include "server.h"
#include "velmar/dds.h"

namespace velmar::scpi {
namespace {

using proctest::ChildProcess;
using proctest::TempDir;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// One TCP connection to the server, as a raw-socket VISA client has it.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { close(fd_); }

    bool connected() const { return connected_; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next answer line without its '\n'; nothing when none came in time
    // or the server closed the connection.
    std::optional<std::string> ReadLine(milliseconds timeout = milliseconds(4000)) {
        const auto deadline = steady_clock::now() + timeout;
        while (true) {
            const size_t end = input_.find('\n');
            if (end != std::string::npos) {
                std::string line = input_.substr(0, end);
                input_.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            input_.append(buffer, static_cast<size_t>(n));
        }
    }

    std::string Query(const std::string& message) {
        Send(message + "\n");
        return ReadLine().value_or("<no answer>");
    }

    // True when the server closes the connection within `timeout`.
    bool ClosedByServer(milliseconds timeout = milliseconds(2000)) {
        ReadLine(timeout);
        return closed_;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string input_;
};

// Two simulated instruments and the server in front of them, each instrument
// on a port of its own chosen by the system.
class Rig {
  public:
    explicit Rig(std::vector<std::string> server_args = {}, std::vector<std::string> sim_args = {},
                 std::vector<int> served = {0, 1}, bool verbose = true) {
        std::vector<std::string> sim = {"--dir",   dir_.devices(), "--count", "2",
                                        "--trace", "--digital-in", "0x1234"};
        sim.insert(sim.end(), sim_args.begin(), sim_args.end());
        sim_.emplace(dir_, "sim", VELMAR_SIM_BINARY, sim);
        // An instrument that refuses connections (only ever dds1 here) has
        // its socket all the same.
        bool refusing = false;
        for (const std::string& arg : sim_args) refusing |= arg.rfind("--refuse", 0) == 0;
        EXPECT_TRUE(sim_->WaitForSocket(dir_.devices() + "/dds0")) << sim_->err();
        EXPECT_TRUE(sim_->WaitForSocket(dir_.devices() + "/dds1", refusing)) << sim_->err();
        setenv("VELMAR_DDS_DEVICE_DIR", dir_.devices().c_str(), 1);
        std::vector<std::string> args = {"--port", "0"};
        if (verbose) args.push_back("--verbose");
        args.insert(args.end(), server_args.begin(), server_args.end());
        server_.emplace(dir_, "server", VELMAR_SCPI_BINARY, args);
        const std::regex listening(R"(instrument (\d+) on 127\.0\.0\.1:(\d+))");
        for (int i = 0; i < 500 && ports_.size() < served.size(); ++i) {
            std::this_thread::sleep_for(milliseconds(10));
            const std::string log = server_->err();
            ports_.clear();
            for (std::sregex_iterator it(log.begin(), log.end(), listening), end; it != end; ++it) {
                ports_[std::stoi((*it)[1])] = static_cast<uint16_t>(std::stoi((*it)[2]));
            }
        }
        EXPECT_EQ(ports_.size(), served.size()) << server_->err();
    }
    ~Rig() { unsetenv("VELMAR_DDS_DEVICE_DIR"); }

    uint16_t port(int index) { return ports_[index]; }
    std::string log() { return server_->err(); }
    std::string trace() { return sim_->out(); }
    int Stop() { return server_->Signal(SIGTERM); }

  private:
    TempDir dir_;
    std::optional<ChildProcess> sim_;
    std::optional<ChildProcess> server_;
    std::map<int, uint16_t> ports_;
};

// Checks an answer: exact text, or "~X" for a number within 0.1 % of X.
void ExpectAnswer(const std::string& message, const std::string& answer,
                  const std::string& expected) {
    if (expected.empty() || expected[0] != '~') {
        EXPECT_EQ(answer, expected) << message;
        return;
    }
    const double want = std::stod(expected.substr(1));
    EXPECT_NEAR(std::strtod(answer.c_str(), nullptr), want, std::fabs(want) * 1e-3)
        << message << " -> " << answer;
}

// Checks the answers of a message, split at ';', each as ExpectAnswer does.
void ExpectAnswers(const std::string& message, const std::string& answer,
                   const std::string& expected) {
    std::vector<std::string> got, want;
    std::stringstream a(answer), w(expected);
    for (std::string part; std::getline(a, part, ';');) got.push_back(part);
    for (std::string part; std::getline(w, part, ';');) want.push_back(part);
    ASSERT_EQ(got.size(), want.size()) << message << " -> " << answer;
    for (size_t i = 0; i < got.size(); ++i) ExpectAnswer(message, got[i], want[i]);
}

struct Exchange {
    const char* message;
    const char* answer;
};

TEST(ScpiServerTest, AnswersTheCommandTable) {
    Rig rig;
    Client client(rig.port(0));
    ASSERT_TRUE(client.connected());
    const Exchange table[] = {
        {"*IDN?", "VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING},
        {"syst:vers?", "1999.0"},
        {"*RST;FUNC?;DIV?;DIG:OUTP?;DATA:DAC:POIN?", "SIN;0;0;0"},
        {"FREQ 1KHZ;FREQ?;DIV?;DATA:DAC:POIN?", "~1000.16;48;2083"},
        {"MEAS:FREQ?", "~1000.16"},
        {"SOURce:FREQuency:CW 12.5 kHz;:SOUR:FREQ?", "~12503.1"},
        {"MEASure:FREQuency?", "~12503.1"},
        {"freq 3 mhz;freq?", "~3000491.9"},
        {"FREQ MIN;FREQ?", "~1"},
        {"FREQ DEF;MEAS:FREQ?", "~1000.16"},
        {"DIV 9;DIV?;SRAT?", "9;20000000"},
        {"DIG:OUTP #H00F1;DIG:OUTP?;OUTP #B101;OUTP?", "241;5"},
        {"DIGital:INPut?", "4660"},
        {"DIG:MODE ON;MODE?;MODE 0;MODE?", "1;0"},
        {"FUNC TRI;FUNC?;FUNC squ;FUNC?;FUNCtion:SHAPe RAMP;FUNC?", "TRI;SQU;RAMP"},
        {"VOLT 0.25;VOLT?;VOLT:OFFS -0.5;VOLT:OFFS?", "0.25;-0.5"},
        {"DATA:USER 0,1,0,-1;DATA:USER:POIN?;FUNC USER;FUNC?", "4;USER"},
        {"DATA:DAC 0,65535,#HFFFF;DATA:DAC:POIN?;FREQ?", "3;~3703703.7"},
        {"SING ON;SING?;TRIG ON;TRIG?;TRIG:OPT 1;TRIG:OPT?", "1;1;1"},
        {"TOT:CLE;*OPC?", "1"},
        {"SYST:PON:STOR WAV;*TST?", "0"},
        {"DIG:MODE 1;DIG:OUTP 9;*RST;TRIG?;TRIG:OPT?;SING?;DIG:MODE?;DIG:OUTP?", "0;0;0;0;0"},
        {"*ESE 4;*ESE?;*SRE 16;*SRE?;*STB?;*ESR?", "4;16;0;0"},
        {"SYST:ERR:COUN?;SYST:ERR?", "0;0,\"No error\""},
    };
    for (const Exchange& e : table) ExpectAnswers(e.message, client.Query(e.message), e.answer);
    // *RST sent the whole control state as zero, the last time with the
    // trigger, its option, single-wave and DIO mode to clear.
    const std::string trace = rig.trace();
    const size_t last = trace.rfind("dds0: control:");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(trace.substr(last, trace.find('\n', last) - last),
              "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 0");
    EXPECT_EQ(rig.Stop(), 0);
    EXPECT_NE(rig.log().find("stopping"), std::string::npos);
}

struct ErrorCase {
    const char* message;
    int error;
};

TEST(ScpiServerTest, QueuesStandardErrors) {
    Rig rig;
    Client client(rig.port(0));
    const ErrorCase cases[] = {
        {"FOO", kUndefinedHeader},
        {"MEAS:FREQ", kUndefinedHeader},
        {"SYST:ERR", kUndefinedHeader},
        {"FREQ", kMissingParameter},
        {"FREQ 1,2", kParameterNotAllowed},
        {"*IDN? 1", kParameterNotAllowed},
        {"FREQ 0.5", kDataOutOfRange},
        {"FREQ 200 MHZ", kDataOutOfRange},
        {"DIG:OUTP 65536", kDataOutOfRange},
        {"FREQ 5 V", kInvalidSuffix},
        {"DIV 5 HZ", kInvalidSuffix},
        {"FREQ \"1\"", kDataTypeError},
        {"FREQ ABC", kDataTypeError},
        {"FUNC NOISE", kIllegalParameterValue},
        {"DATA:DAC #13abc", kInvalidBlockData},
        {"DATA:DAC #0ab", kInvalidBlockData},
        {"FREQ 1 1", kSyntaxError},
        {"FREQ 'open", kSyntaxError},
        {"DATA:DAC 1,#H10000", kDataOutOfRange},
    };
    for (const ErrorCase& c : cases) {
        client.Send(std::string(c.message) + "\n");
        EXPECT_EQ(client.Query("SYST:ERR?"),
                  std::to_string(c.error) + ",\"" + ErrorText(c.error) + "\"")
            << c.message;
        EXPECT_EQ(client.Query("SYST:ERR?"), "0,\"No error\"") << c.message;
    }
    // The event status bit of each class, then *CLS.
    EXPECT_EQ(client.Query("*CLS;FOO;*ESR?"), "32");
    EXPECT_EQ(client.Query("FREQ 0;*ESR?;*ESR?"), "16;0");
    EXPECT_EQ(client.Query("*CLS;*ESE 32;*SRE 32;FOO;*STB?;*CLS;*STB?"), "100;0");
    // Oldest first; a full queue ends with -350 and drops the rest.
    std::string many;
    for (int i = 0; i < 25; ++i) many += "FOO;";
    client.Send(many + "FREQ 0\n");
    EXPECT_EQ(client.Query("SYST:ERR:COUN?"), "20");
    for (int i = 0; i < 19; ++i) EXPECT_EQ(client.Query("SYST:ERR?"), "-113,\"Undefined header\"");
    EXPECT_EQ(client.Query("SYST:ERR?"), "-350,\"Queue overflow\"");
    EXPECT_EQ(client.Query("SYST:ERR?"), "0,\"No error\"");
    // Each connection has its own queue.
    Client other(rig.port(0));
    client.Send("FOO\n");
    EXPECT_EQ(other.Query("SYST:ERR?"), "0,\"No error\"");
}

TEST(ScpiServerTest, BlocksArriveSplitAndHoldNewlines) {
    Rig rig;
    Client client(rig.port(0));
    // Six samples whose bytes hold a newline, a semicolon and a quote, sent
    // in pieces: the block ends where its length says, not at the newline.
    const std::string block("\x00\x0a;\x0a\"\x01\x02\x03\x04\x05\x0a\x0a", 12);
    client.Send("DATA:DAC #212");
    std::this_thread::sleep_for(milliseconds(30));
    client.Send(block.substr(0, 1));
    std::this_thread::sleep_for(milliseconds(30));
    client.Send(block.substr(1, 6));
    std::this_thread::sleep_for(milliseconds(30));
    client.Send(block.substr(7) + ";DATA:DAC:POIN?\nSYST:ERR?\n");
    EXPECT_EQ(client.ReadLine(), "6");
    EXPECT_EQ(client.ReadLine(), "0,\"No error\"");
    EXPECT_NE(rig.trace().find("dds0: length: word 0x0005, 6 samples in 2 blocks"),
              std::string::npos);
}

TEST(ScpiServerTest, BlockBytesInEitherOrder) {
    const std::string bytes("\x12\x34\xAB\xCD", 4);
    EXPECT_EQ(DecodeSamples(bytes, ByteOrder::kNormal), (std::vector<uint16_t>{0x1234, 0xABCD}));
    EXPECT_EQ(DecodeSamples(bytes, ByteOrder::kSwapped), (std::vector<uint16_t>{0x3412, 0xCDAB}));
}

TEST(ScpiServerTest, OtherClientsAnswerWhileOneWaitsOnASilentInstrument) {
    Rig rig({}, {"--silent"});
    Client stuck(rig.port(0));
    Client other(rig.port(0));
    const auto start = steady_clock::now();
    stuck.Send("MEAS:FREQ?\n*IDN?\n");  // the second waits behind the first
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(other.Query("*IDN?;SYST:ERR?;*ESR?"),
              "VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING ";0,\"No error\";0");
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    // The query still answers, with not-a-number, once the library gives up.
    EXPECT_EQ(stuck.ReadLine(), "9.91E+37");
    EXPECT_GE(steady_clock::now() - start, milliseconds(900));
    EXPECT_EQ(stuck.ReadLine(), "VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING);
    EXPECT_EQ(stuck.Query("SYST:ERR?;*ESR?"), "-240,\"Hardware error\";16");
}

TEST(ScpiServerTest, AnInstrumentThatIsNotThereIsMissingHardware) {
    Rig rig({"--device", "0", "--device", "5"}, {}, {0, 5});
    Client client(rig.port(5));
    EXPECT_EQ(client.Query("*IDN?"), "VELMAR,DDS,5," VELMAR_DDS_VERSION_STRING);
    EXPECT_EQ(client.Query("*TST?;MEAS:FREQ?;FREQ 1KHZ"), "1;9.91E+37");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.Query("SYST:ERR?"), "-241,\"Hardware missing\"");
}

TEST(ScpiServerTest, InstrumentsKeepTheirOwnSettings) {
    Rig rig;
    Client first(rig.port(0));
    Client second(rig.port(1));
    EXPECT_EQ(first.Query("FREQ 1KHZ;DIG:OUTP 5;*OPC?"), "1");
    EXPECT_EQ(second.Query("FREQ 10KHZ;DIG:OUTP 7;*OPC?"), "1");
    // The second's divider was sent last; the first is measured with its own.
    ExpectAnswer("first", first.Query("MEAS:FREQ?"), "~1000.16");
    ExpectAnswer("second", second.Query("MEAS:FREQ?"), "~10000");
    const std::string trace = rig.trace();
    const size_t last = trace.rfind("dds0: control:");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(trace.substr(last, trace.find('\n', last) - last),
              "dds0: control: word 0x0000 [none] dio-out 0x0005 divider 48");
}

// One control packet as the simulator's trace shows it.
struct ControlPacket {
    int instrument;
    unsigned word;
    unsigned digital_out;
    unsigned divider;
};

std::vector<ControlPacket> ControlPackets(const std::string& trace) {
    const std::regex line(
        R"(dds(\d+): control: word 0x([0-9a-fA-F]{4}) \[[^\]]*\] dio-out 0x([0-9a-fA-F]{4}) divider (\d+))");
    std::vector<ControlPacket> packets;
    for (std::sregex_iterator it(trace.begin(), trace.end(), line), end; it != end; ++it) {
        packets.push_back({std::stoi((*it)[1]),
                           static_cast<unsigned>(std::stoul((*it)[2], nullptr, 16)),
                           static_cast<unsigned>(std::stoul((*it)[3], nullptr, 16)),
                           static_cast<unsigned>(std::stoul((*it)[4]))});
    }
    return packets;
}

// Bits of the control word, as the instrument defines them.
constexpr unsigned kMeasureModeBit = 0x0001;
constexpr unsigned kSingleWaveBit = 0x0004;
constexpr unsigned kTriggerBits = 0x0008 | 0x0010 | 0x0020;  // option, enable, pulse
constexpr unsigned kDioModeBit = 0x0100;

TEST(ScpiServerTest, NoPacketCarriesAnotherInstrumentsSettings) {
    Rig rig;
    Client a(rig.port(0));
    Client b(rig.port(1));
    // Interleaved, each waiting for its answer, so that every one of them
    // follows a packet sent to the other instrument.
    const struct {
        Client* client;
        Exchange exchange;
    } steps[] = {
        {&a, {"DIG:OUTP 5;DIV 48;TRIG ON;*OPC?", "1"}},              // A's own settings
        {&b, {"SING ON;*OPC?", "1"}},                                // B's, sent after A's
        {&a, {"MEAS:FREQ?;TRIG:OPT 1;*OPC?", "0;1"}},                // the option, pulsed
        {&b, {"DIG:MODE ON;MEAS:TOT?;DIG:INP?;*OPC?", "0;4660;1"}},  // B counting
        {&a, {"FREQ 1KHZ;MEAS:FREQ?;DIV?", "~1000.16;48"}},          // A's plan's divider
        {&b, {"TOT:CLE;*RST;SING?;DIG:MODE?;DIV?", "0;0;0"}},        // B's reset: B's only
        {&a, {"DIG:INP?;TRIG?;TRIG:OPT?;DIG:OUTP?", "4660;1;1;5"}},  // A keeps its own
    };
    for (const auto& step : steps) {
        const Exchange& e = step.exchange;
        ExpectAnswers(e.message, step.client->Query(e.message), e.answer);
    }
    EXPECT_EQ(a.Query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(b.Query("SYST:ERR?"), "0,\"No error\"");
    // What each instrument's settings are made of, and so what no packet to
    // the other may carry.
    struct Own {
        unsigned bits;
        std::optional<unsigned> digital_out;
        std::optional<unsigned> divider;
    };
    const Own own[] = {{kTriggerBits, 5, 48},
                       {kSingleWaveBit | kDioModeBit | kMeasureModeBit, {}, {}}};
    int seen[2] = {0, 0};
    bool carried_own[2] = {false, false};
    for (const ControlPacket& packet : ControlPackets(rig.trace())) {
        ASSERT_TRUE(packet.instrument == 0 || packet.instrument == 1);
        const Own& other = own[1 - packet.instrument];
        ++seen[packet.instrument];
        carried_own[packet.instrument] |= (packet.word & own[packet.instrument].bits) != 0;
        EXPECT_EQ(packet.word & other.bits, 0u)
            << "dds" << packet.instrument << " word " << std::hex << packet.word;
        if (other.digital_out) {
            EXPECT_NE(packet.digital_out, *other.digital_out) << "dds" << packet.instrument;
        }
        if (other.divider) {
            EXPECT_NE(packet.divider, *other.divider) << "dds" << packet.instrument;
        }
    }
    // The checks above looked at packets that carried settings of their own.
    EXPECT_GE(seen[0], 8);
    EXPECT_GE(seen[1], 6);
    EXPECT_TRUE(carried_own[0] && carried_own[1]);
    EXPECT_EQ(rig.Stop(), 0) << rig.log();
}

TEST(ScpiServerTest, OneSilentInstrumentHoldsUpNoOther) {
    Rig rig({}, {"--silent=1"}, {0, 1}, /*verbose=*/false);
    Client a(rig.port(0));
    Client b(rig.port(1));
    ASSERT_EQ(a.Query("FREQ 1KHZ;*OPC?"), "1");
    const auto start = steady_clock::now();
    b.Send("MEAS:FREQ?\nMEAS:FREQ?\n");  // two seconds of waiting on the instrument
    std::this_thread::sleep_for(milliseconds(50));
    // The machine is shared: the fastest of three shows what the server
    // adds, the slowest that none waited for the silent instrument.
    auto fastest = milliseconds::max();
    for (int i = 0; i < 3; ++i) {
        const auto asked = steady_clock::now();
        ExpectAnswer("MEAS:FREQ? on A", a.Query("MEAS:FREQ?"), "~1000.16");
        const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - asked);
        fastest = std::min(fastest, took);
        EXPECT_LT(took.count(), 500) << "ms";
    }
    EXPECT_LT(fastest.count(), 50) << "ms";
    EXPECT_FALSE(b.ReadLine(milliseconds(0))) << "B answered while A was asked";
    EXPECT_LT(steady_clock::now() - start, milliseconds(800));
    // B's queries still answer, in order, once the library gives up on each.
    EXPECT_EQ(b.ReadLine(), "9.91E+37");
    EXPECT_EQ(b.ReadLine(), "9.91E+37");
    EXPECT_GE(steady_clock::now() - start, milliseconds(1900));
    EXPECT_EQ(b.Query("SYST:ERR?;SYST:ERR?"), "-240,\"Hardware error\";-240,\"Hardware error\"");
    // The log says why in the library's words, once for the same words.
    const std::string log = rig.log();
    const std::string line = "instrument 1: no answer within 1000 ms to the control packet\n";
    const size_t first = log.find(line);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << log;
    // Stopping while B waits: the call under way ends, the one queued
    // behind it is dropped, and the exit is clean (under ThreadSanitizer a
    // report would make it fail).
    b.Send("MEAS:FREQ?\nMEAS:FREQ?\n");
    std::this_thread::sleep_for(milliseconds(100));
    const auto stopping = steady_clock::now();
    EXPECT_EQ(rig.Stop(), 0) << rig.log();
    EXPECT_LT(steady_clock::now() - stopping, milliseconds(1500));
}

TEST(ScpiServerTest, LibraryErrorsBecomeHardwareErrors) {
    const struct {
        const char* fault;   // of instrument 1 only
        int answered_first;  // MEAS:FREQ? answered before the fault shows
        int error;
        const char* words;   // the library's, in the log
        bool answers_again;  // the next call reopens the connection
    } cases[] = {
        {"--silent=1", 0, kHardwareError, "no answer within 1000 ms to the control packet", false},
        {"--short-report=1", 0, kHardwareError, "a short answer to the control packet", false},
        {"--drop-after=2:1", 2, kHardwareError,
         "the instrument hung up before taking the control packet", true},
        {"--refuse=1", 0, kHardwareMissing, "dds1 did not open", false},
    };
    for (const auto& c : cases) {
        Rig rig({}, {c.fault});
        Client a(rig.port(0));
        Client b(rig.port(1));
        for (int i = 0; i < c.answered_first; ++i) EXPECT_EQ(b.Query("MEAS:FREQ?"), "0") << c.fault;
        EXPECT_EQ(
            b.Query("MEAS:FREQ?;SYST:ERR?"),
            std::string("9.91E+37;") + std::to_string(c.error) + ",\"" + ErrorText(c.error) + "\"")
            << c.fault;
        const std::string log = rig.log();
        EXPECT_NE(log.find("MEAS:FREQ? -> 9.91E+37 [" + std::to_string(c.error) + " " +
                           ErrorText(c.error) + "]: "),
                  std::string::npos)
            << c.fault << "\n"
            << log;
        EXPECT_NE(log.find(c.words), std::string::npos) << c.fault << "\n" << log;
        EXPECT_EQ(b.Query("MEAS:FREQ?") == "0", c.answers_again) << c.fault;
        // The other instrument works all the while.
        EXPECT_EQ(a.Query("MEAS:FREQ?;SYST:ERR?"), "0;0,\"No error\"") << c.fault;
    }
}

TEST(ScpiServerTest, FrequencyQueryAnswersWhatPlays) {
    Rig rig;
    Client client(rig.port(0));
    const struct {
        const char* setup;  // the last FREQ is of `planned_hz`; each warns at most once
        double planned_hz;
        int divider;    // sent after the FREQ; -1: none
        bool constant;  // every played sample the same
    } cases[] = {
        {"FUNC SIN;FREQ 1KHZ", 1e3, -1, false},
        {"FUNC TRI;FREQ 12.5 KHZ", 12.5e3, -1, false},
        {"FUNC SQU;FREQ 3 MHZ", 3e6, -1, false},
        {"FUNC SQU;FREQ MAX", 100e6, -1, false},
        // Two samples a period, both on the sine's zero crossings.
        {"FREQ MAX;FUNC SIN", 100e6, -1, true},
        {"FREQ 1KHZ;VOLT 0", 1e3, -1, true},
        {"VOLT 1;FREQ 1KHZ", 1e3, 9, false},
        {"FUNC SQU;FREQ 2 KHZ", 2e3, 0, false},
    };
    for (const auto& c : cases) {
        std::string message = c.setup;
        if (c.divider >= 0) message += ";DIV " + std::to_string(c.divider);
        const std::string answer = client.Query(message + ";FREQ?;MEAS:FREQ?;SYST:ERR?");
        // The error's text may hold a ';' itself.
        const size_t first = answer.find(';');
        const size_t second = answer.find(';', first + 1);
        ASSERT_NE(second, std::string::npos) << message << " -> " << answer;
        const double said = std::strtod(answer.c_str(), nullptr);
        const double measured = std::strtod(answer.c_str() + first + 1, nullptr);
        velmar_dds_plan plan{};
        ASSERT_EQ(velmar_dds_plan_frequency(c.planned_hz, &plan), VELMAR_DDS_OK);
        double plays = plan.produced_hz;
        // Another divider plays the same samples at its own clock.
        if (c.divider >= 0) {
            const double clock = c.divider == 0 ? 200e6 : 100e6 / c.divider;
            plays = clock * plan.periods / plan.length;
        }
        if (c.constant) plays = 0.0;
        EXPECT_NEAR(said, plays, plays * 1e-9) << message << " -> " << answer;
        EXPECT_NEAR(measured, said, said * 1e-4) << message << " -> " << answer;
        EXPECT_EQ(answer.substr(second + 1),
                  c.constant ? "-221,\"Settings conflict;constant output, no frequency\""
                             : "0,\"No error\"")
            << message;
    }
}

TEST(ScpiServerTest, PlansThatDoNotPlayAsAskedAreSaidToBeSo) {
    const struct {
        double hz;
        bool flat_samples;
        const char* detail;  // null: no warning
    } cases[] = {
        {1e3, false, nullptr},
        {100e6, false, nullptr},
        {1e3, true, "constant output, no frequency"},
        {150e6, false, "aliased to 50000000 Hz"},
        {200e6, false, "constant output, no frequency"},
    };
    for (const auto& c : cases) {
        velmar_dds_plan plan{};
        ASSERT_EQ(velmar_dds_plan_frequency(c.hz, &plan), VELMAR_DDS_OK);
        const std::optional<QueuedError> warning = PlaybackWarning(plan, c.flat_samples);
        ASSERT_EQ(warning.has_value(), c.detail != nullptr) << c.hz;
        if (!warning) continue;
        EXPECT_EQ(warning->code, kSettingsConflict) << c.hz;
        EXPECT_EQ(warning->detail, c.detail) << c.hz;
    }
}

TEST(ScpiServerTest, AllowAdmitsOnlyItsPeers) {
    const std::pair<const char*, bool> cases[] = {{"10.0.0.0/8", false}, {"127.0.0.0/8", true}};
    for (const auto& [range, admitted] : cases) {
        Rig rig({"--allow", range});
        Client client(rig.port(0));
        if (admitted) {
            EXPECT_EQ(client.Query("*OPC?"), "1") << range;
        } else {
            EXPECT_TRUE(client.ClosedByServer()) << range;
            EXPECT_NE(rig.log().find("refused: not in --allow"), std::string::npos) << range;
        }
    }
}

TEST(ScpiServerTest, AddressRanges) {
    const struct {
        const char* range;
        const char* peer;
        bool contains;
    } cases[] = {
        {"192.168.1.0/24", "192.168.1.77", true},
        {"192.168.1.0/24", "192.168.2.1", false},
        {"10.1.2.3", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.4", false},
        {"0.0.0.0/0", "8.8.8.8", true},
        {"127.0.0.0/8", "::ffff:127.0.0.1", true},
        {"::1", "::1", true},
        {"::1", "127.0.0.1", false},
        {"fe80::/10", "fe80::1", true},
        {"fe80::/10", "fec0::1", false},
    };
    for (const auto& c : cases) {
        const auto range = AddressRange::Parse(c.range);
        ASSERT_TRUE(range) << c.range;
        EXPECT_EQ(range->Contains(c.peer), c.contains) << c.range << " " << c.peer;
    }
    for (const char* bad : {"10.0.0.0/33", "::/129", "host", "10.0.0.0/", "1.2.3.4/-1"}) {
        EXPECT_FALSE(AddressRange::Parse(bad)) << bad;
    }
}

TEST(ScpiServerTest, BoundsHoldOnlyTheirOwnConnection) {
    Rig rig({"--max-clients", "2"});
    Client client(rig.port(0));
    Client stalled(rig.port(0));
    ASSERT_EQ(client.Query("*OPC?"), "1");
    ASSERT_EQ(stalled.Query("*OPC?"), "1");
    // One client over the bound is closed at once.
    Client third(rig.port(1));
    EXPECT_TRUE(third.ClosedByServer());
    EXPECT_NE(rig.log().find("refused: already 2 clients"), std::string::npos);
    // Half a message holds only its own connection, and is kept.
    stalled.Send("FREQ 1");
    EXPECT_EQ(client.Query("*IDN?"), "VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING);
    stalled.Send("KHZ\n");
    ExpectAnswer("stalled", stalled.Query("FREQ?"), "~1000.16");
    // A message over 1 MiB is dropped up to its terminator.
    std::string huge = "DATA:USER ";
    while (huge.size() <= (1u << 20)) huge += "0.5,";
    client.Send(huge + "0\n");
    EXPECT_EQ(client.Query("SYST:ERR?;*IDN?"),
              "-363,\"Input buffer overrun\";VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING);
    // A client's control characters reach the log escaped.
    client.Send("FUNC \"a\x1b[2J\rb\"\n");
    EXPECT_EQ(client.Query("SYST:ERR?"), "-104,\"Data type error\"");
    EXPECT_NE(rig.log().find("FUNC \"a\\x1B[2J\\x0Db\""), std::string::npos) << rig.log();
    // A block of 4097 samples sends nothing.
    const std::string before = rig.trace();
    client.Send("DATA:DAC #48194" + std::string(8194, '\x01') + "\n");
    EXPECT_EQ(client.Query("SYST:ERR?;DATA:DAC:POIN?"), "-222,\"Data out of range\";2083");
    EXPECT_EQ(rig.trace(), before);
}

TEST(ScpiServerTest, AClientThatDoesNotReadLosesNothingAndStopsNoOne) {
    Rig rig;
    Client flood(rig.port(0));
    Client other(rig.port(0));
    constexpr int kQueries = 300000;  // 1.8 MB of queries, 5.7 MB of answers
    std::string queries;
    for (int i = 0; i < kQueries; ++i) queries += "*IDN?\n";
    std::thread sender([&] { flood.Send(queries); });
    std::this_thread::sleep_for(milliseconds(300));
    const auto start = steady_clock::now();
    EXPECT_EQ(other.Query("*OPC?"), "1");
    EXPECT_LT(steady_clock::now() - start, milliseconds(300));
    int answers = 0;
    while (auto line = flood.ReadLine()) {
        if (*line != "VELMAR,DDS,0," VELMAR_DDS_VERSION_STRING) break;
        if (++answers == kQueries) break;
    }
    sender.join();
    EXPECT_EQ(answers, kQueries);
}

}  // namespace
}  // namespace velmar::scpi
