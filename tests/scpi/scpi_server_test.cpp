// velmar-dds-scpi as a lab runs it: the server process in front of the
// simulated instrument's process, driven through TCP sockets.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "advertise.h"
#include "instrument.h"
#include "net_util.h"
#include "scpi_rig.h"
#include "server.h"
#include "velmar/dds.h"

namespace velmar::scpi {
namespace {

TEST(ScpiServerTest, AnswersTheCommandTable) {
    Rig rig;
    Client client(rig.port(0));
    ASSERT_TRUE(client.connected());
    const Exchange table[] = {
        {"*IDN?", "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING},
        {"syst:vers?", "1999.0"},
        // The generators' defaults, sent: 1 kHz sine of 100 mVpp, output off.
        {"*RST;FUNC?;DIV?;DIG:OUTP?;DATA:DAC:POIN?;OUTP?;VOLT?", "SIN;48;0;2083;0;~0.1"},
        {"MEAS:FREQ?", "0"},
        {"OUTP ON;FREQ 1KHZ;FREQ?;DIV?;DATA:DAC:POIN?", "~1000.16;48;2083"},
        {"MEAS:FREQ?", "~1000.16"},
        {"SOURce:FREQuency:CW 12.5 kHz;:SOUR:FREQ?", "~12503.1"},
        {"MEASure:FREQuency?", "~12503.1"},
        {"freq 3 mhz;freq?", "~3000491.9"},
        {"FREQ MIN;FREQ?", "~1"},
        {"FREQ DEF;MEAS:FREQ?", "~1000.16"},
        // The meter's mode, kept by READ?.
        {"SENS:FUNC TOT;:SENS:FUNC?;:SENS:FUNC FREQ;:SENS:FUNC?;:READ?;:SENS:FUNC?",
         "TOT;FREQ;~1000.16;FREQ"},
        {"DIV 9;DIV?;SRAT?", "9;~11111111.1"},
        {"DIG:OUTP #H00F1;DIG:OUTP?;OUTP #B101;OUTP?", "241;5"},
        {"DIGital:INPut?", "4660"},
        {"DIG:MODE ON;MODE?;MODE 0;MODE?", "1;0"},
        {"FUNC TRI;FUNC?;FUNC squ;FUNC?;FUNCtion:SHAPe RAMP;FUNC?", "TRI;SQU;RAMP"},
        {"VOLT 0.25;VOLT?;VOLT:OFFS -0.25;VOLT:OFFS?", "~0.25;~-0.25"},
        {"VOLT:HIGH 0.5;VOLT:LOW -0.5;VOLT?;VOLT:OFFS?;VOLT:HIGH?", "~1;+0.00000000000E+00;~0.5"},
        {"DATA:USER 0,1,0,-1;DATA:USER:POIN?;FUNC USER;FUNC?", "4;USER"},
        {"DIV 9;DATA:DAC 0,65535,#HFFFF;DATA:DAC:POIN?;FREQ?;FUNC?", "3;~3703703.7;DAC"},
        {"SING ON;SING?;TRIG ON;TRIG?;TRIG:OPT 1;TRIG:OPT?", "1;1;1"},
        {"TOT:CLE;*OPC?", "1"},
        {"SYST:PON:STOR WAV;*TST?", "0"},
        {"DIG:MODE 1;DIG:OUTP 9;*RST;TRIG?;TRIG:OPT?;SING?;DIG:MODE?;DIG:OUTP?", "0;0;0;0;0"},
        // MAV: the message's own answers wait; with it enabled, RQS too.
        {"*ESE 4;*ESE?;*SRE 16;*SRE?;*STB?;*ESR?", "4;16;80;0"},
        {"SYST:ERR:COUN?;SYST:ERR?", "0;0,\"No error\""},
    };
    for (const Exchange& e : table) ExpectAnswers(e.message, client.Query(e.message), e.answer);
    // *RST cleared the trigger, its option, single-wave and DIO mode one by
    // one, then sent the 1 kHz plan's divider with everything else zero.
    const std::string trace = rig.trace();
    const size_t last = trace.rfind("dds0: control:");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(trace.substr(last, trace.find('\n', last) - last),
              "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48");
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
        {"FUNC SAWTOOTH", kIllegalParameterValue},
        {"DATA:DAC #13abc", kInvalidBlockData},
        {"DATA:DAC #0ab", kInvalidBlockData},
        {"FREQ 1 1", kSyntaxError},
        {"FREQ 'open", kSyntaxError},
        {"DATA:DAC 1,#H10000", kDataOutOfRange},
    };
    for (const ErrorCase& c : cases) {
        const std::string message = c.message;
        // A query that fails still answers.
        if (message.find('?') != std::string::npos) {
            EXPECT_EQ(client.Query(message), kNotANumber) << message;
        } else {
            client.Send(message + "\n");
        }
        EXPECT_EQ(client.Query("SYST:ERR?"),
                  std::to_string(c.error) + ",\"" + ErrorText(c.error) + "\"")
            << c.message;
        EXPECT_EQ(client.Query("SYST:ERR?"), "0,\"No error\"") << c.message;
    }
    // The event status bit of each class, then *CLS.
    client.Send("*CLS\nFOO\n");
    EXPECT_EQ(client.Query("*ESR?"), "32");
    EXPECT_EQ(client.Query("FREQ 0;*ESR?;*ESR?"), "16;0");
    client.Send("*CLS;*ESE 32;*SRE 32\nFOO\n");
    EXPECT_EQ(client.Query("*STB?;*CLS;*STB?"), "100;16");
    // A command error ends its message: what follows is not run, and its
    // queries answer not-a-number. An execution error does not.
    EXPECT_EQ(client.Query("*CLS;FREQ 2000;FREQ?"), "+2.00032005121E+03");
    EXPECT_EQ(client.Query("FOO;FREQ 3000;FREQ?;*OPC?"), "9.91E+37;9.91E+37");
    EXPECT_EQ(client.Query("FREQ 0;FREQ?;SYST:ERR:COUN?"), "+2.00032005121E+03;2");
    EXPECT_EQ(client.Query("*CLS;*STB?;*OPC?;*STB?"), "0;1;16");
    // Oldest first; a full queue ends with -350 and drops the rest.
    std::string many;
    for (int i = 0; i < 25; ++i) many += "FOO\n";
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
              "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING ";0,\"No error\";0");
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    // The query still answers, with not-a-number, once the library gives up.
    EXPECT_EQ(stuck.ReadLine(), "9.91E+37");
    EXPECT_GE(steady_clock::now() - start, milliseconds(900));
    EXPECT_EQ(stuck.ReadLine(), "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING);
    EXPECT_EQ(stuck.Query("SYST:ERR?;*ESR?"), "-240,\"Hardware error\";16");
}

TEST(ScpiServerTest, AnInstrumentThatIsNotThereIsMissingHardware) {
    Rig rig({"--device", "0", "--device", "5"}, {}, {0, 5});
    Client client(rig.port(5));
    EXPECT_EQ(client.Query("*IDN?"), "VELMAR,DDS,5," VELMAR_DDS_VERSION_STRING);
    EXPECT_EQ(client.Query("*TST?;MEAS:FREQ?;FREQ 1KHZ;FUNC SQU;OUTP OFF;FUNC?;OUTP?"),
              "1;9.91E+37;SIN;1");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(client.Query("SYST:ERR?"), "-241,\"Hardware missing\"");
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
        {&a, {"DIG:OUTP 5;DIV 24;TRIG ON;*OPC?", "1"}},              // A's own settings
        {&b, {"SING ON;*OPC?", "1"}},                                // B's, sent after A's
        {&a, {"MEAS:FREQ?;TRIG:OPT 1;*OPC?", "0;1"}},                // the option, pulsed
        {&b, {"DIG:MODE ON;MEAS:TOT?;DIG:INP?;*OPC?", "0;4660;1"}},  // B counting
        {&a, {"FREQ 2KHZ;MEAS:FREQ?;DIV?", "~2000.3;24"}},           // A's plan's divider
        {&b, {"TOT:CLE;*RST;SING?;DIG:MODE?;DIV?", "0;0;48"}},       // B's reset: B's only
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
    const Own own[] = {{kTriggerBits, 5, 24},
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

// The common generators' dialect on a 10 Vpp full scale: levels in volts,
// the shapes' settings, named waves, output, burst and trigger.
TEST(ScpiServerTest, SpeaksTheGeneratorDialect) {
    Rig rig({"--full-scale-vpp", "10", "--serial", "1=SN-42"});
    Client client(rig.port(0));
    const Exchange table[] = {
        // With nothing to play yet, the output off is still 0 V.
        {"OUTP OFF;OUTP?;DATA:DAC:POIN?", "0;0"},
        // That 0 V replaces a wave loaded before: the memory holds it no more.
        {"DATA:DAC 1,2,3;FUNC SIN;OUTP ON;DATA:DAC:POIN?;DATA:DAC?", "0;0"},
        {"*RST;OUTP ON;OUTP?;*IDN?", "1;VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING},
        {"VOLT 4;VOLT:OFFS 1;VOLT:HIGH?;VOLT:LOW?", "~3;~-1"},
        {"VOLT:HIGH 4;VOLT?;VOLT:OFFS?;VOLT:LOW -1;VOLT?", "~5;~1.5;~5"},
        {"VOLT 4;VOLT:OFFS 1", ""},
        // A sine of 4 Vpp: 1.414 Vrms, 40 mW into 50 ohm.
        {"VOLT:UNIT VRMS;VOLT?;VOLT:UNIT DBM;VOLT?;VOLT:UNIT?;VOLT:UNIT VPP",
         "~1.41421;~16.0206;DBM"},
        {"OUTP:LOAD INF;OUTP:LOAD?;OUTP:LOAD 50;OUTP:LOAD?", "~9.9e37;~50"},
        {"VOLT? MAX;VOLT:OFFS? MIN;FREQ? MAX;FREQ? MIN", "~8;~-3;~1e8;~1"},
        {"VOLT MAX;VOLT?;VOLT 4", "+8.00000000000E+00"},
        // The shapes' own settings, and what the memory then holds.
        {"FREQ 1KHZ;FUNC SQU;FUNC:SQU:DCYC 25;FUNC:SQU:DCYC?;DATA:DAC:POIN?", "~25;2083"},
        {"FUNC RAMP;FUNC:RAMP:SYMM 0;FUNC:RAMP:SYMM?;FUNC TRI;FUNC?", "~0;TRI"},
        {"FUNC PULS;PULS:WIDT 0.0002;FUNC:PULS:DCYC?;PULS:PER?;PULS:HOLD?", "~20;~0.001;WIDT"},
        // The width held stays as the period changes; the duty cycle follows.
        {"FREQ 2000;PULS:WIDT?;PULS:DCYC?;:FREQ 1000", "~0.0002;~40"},
        {"FUNC:PULS:TRAN:BOTH 1e-5;FUNC:PULS:TRAN?;MEAS:FREQ?", "~1e-5;~1000.16"},
        {"FUNC NOIS;DATA:DAC:POIN?;FREQ?", "4096;~1000"},
        {"FUNC DC;MEAS:FREQ?;:FREQ?", "0;~1000"},
        // Named waves, played as given at the rate asked for.
        {"DATA:VOL:CLE;DATA:ARB ramp, -1, 0, 1, 0;FUNC:ARB ramp;FUNC ARB;FUNC:ARB:SRAT 1e6", ""},
        {"FUNC:ARB?;FUNC:ARB:POIN?;DATA:DAC:POIN?;FUNC:ARB:SRAT?;FREQ?;MEAS:FREQ?",
         "\"ramp\";4;4;~1e6;~250000;~250000"},
        {"DATA:ARB:DAC Blk,#14\x80\x01\x7F\xFF;DATA:VOL:CAT?", "\"EXP_RISE\",\"ramp\",\"Blk\""},
        {"FUNC:ARB:SRAT 3e6;FUNC:ARB:SRAT?;SRAT?", "~3030303.03;~3030303.03"},
        // A frequency asks for the wave stretched over its plan.
        {"FREQ 1KHZ;DATA:DAC:POIN?;FUNC:ARB:SRAT?;:SRAT?;MEAS:FREQ?",
         "2083;~2083333.3;~2083333.3;~1000.16"},
        // Bursts are single-wave mode over N periods; BUS and EXT arm the trigger.
        {"FUNC SIN;BURS:NCYC 3;BURS:STAT ON;DATA:DAC:PER?;SING?;BURS:MODE?", "3;1;TRIG"},
        {"TRIG:SOUR BUS;TRIG?;TRIG:SOUR?;*TRG;TRIG;INIT;*OPC?", "1;BUS;1"},
        {"BURS:STAT OFF;TRIG:SOUR IMM;SING?;TRIG?;TRIG:SOUR?", "0;0;IMM"},
        // Output off holds 0 V; on plays the wave again.
        {"OUTP OFF;MEAS:FREQ?;OUTP?;OUTP ON;MEAS:FREQ?", "0;0;~1000.16"},
        // Parts the instrument does not have: accepted, and read back.
        {"SYST:BEEP;SYST:BEEP:STAT 0;SYST:BEEP:STAT?;SYST:COMM:RLST REM;SYST:COMM:RLST?", "0;REM"},
        {"DISP:TEXT 'say \"hi\"';DISP:TEXT?;DISP:TEXT:CLE;DISP:TEXT?;OUTP:TRIG 0;OUTP:TRIG?",
         "\"say \"\"hi\"\"\";\"\";0"},
        {"STAT:OPER:ENAB 5;STAT:OPER:ENAB?;STAT:QUES?;STAT:OPER:COND?;STAT:PRES;STAT:OPER:ENAB?",
         "5;0;0;0"},
        {"SYST:ERR?", "0,\"No error\""},
    };
    for (const Exchange& e : table) {
        if (e.answer[0] == '\0') {
            client.Send(std::string(e.message) + "\n");
        } else {
            ExpectAnswers(e.message, client.Query(e.message), e.answer);
        }
    }
    EXPECT_EQ(Client(rig.port(1)).Query("*IDN?"), "VELMAR,DDS,SN-42," VELMAR_DDS_VERSION_STRING);
    // The first OUTP OFF, with nothing to play, sent a granule of 0 V.
    EXPECT_NE(rig.trace().find("dds0: length: word 0x003F, 64 samples"), std::string::npos);
    // The burst's single-wave bit, the trigger armed, and *TRG, TRIG and
    // INIT each a pulse.
    unsigned single = 0, armed = 0, pulses = 0;
    for (const ControlPacket& packet : ControlPackets(rig.trace())) {
        single |= packet.word & kSingleWaveBit;
        armed |= packet.word & 0x0010;
        pulses += (packet.word & 0x0020) != 0;
    }
    EXPECT_TRUE(single && armed);
    // Every change of the trigger starts with its pulse: TRIG:SOUR BUS,
    // the three, TRIG:SOUR IMM.
    EXPECT_EQ(pulses, 5u);

    // Refusals: each queues its error and changes nothing.
    const struct {
        const char* command;
        int error;
        const char* query;
        const char* answer;
    } refusals[] = {
        {"VOLT 9", kDataOutOfRange, "VOLT?", "~4"},  // 4.5 V peak + 1 V offset > 5 V
        {"VOLT:OFFS 4", kDataOutOfRange, "VOLT:OFFS?", "~1"},
        {"VOLT:HIGH 6", kDataOutOfRange, "VOLT:HIGH?", "~3"},
        {"FUNC:SQU:DCYC 100", kDataOutOfRange, "FUNC:SQU:DCYC?", "~25"},
        // Less than a sample of each period: not the shape asked for.
        {"FUNC SQU;FUNC:SQU:DCYC 0.01", kSettingsConflict, "FUNC:SQU:DCYC?;:FUNC SIN", "~25"},
        {"FUNC PULS;PULS:TRAN 0;PULS:WIDT 1e-8", kSettingsConflict, "PULS:WIDT?;:FUNC SIN",
         "~0.0002"},
        // DATA:DAC's samples play as they are: no frequency or levels.
        {"DATA:DAC 0,65535,0,65535;VOLT 1", kSettingsConflict, "VOLT?;:FUNC SIN", "~4"},
        {"FUNC:ARB nosuch", kArbNotFound, "FUNC:ARB?", "\"ramp\""},
        {"DATA:ARB x, 2, 0", kDataOutOfRange, "DATA:VOL:CAT?", "\"EXP_RISE\",\"ramp\",\"Blk\""},
        {"DATA:ARB EXP_RISE, 0, 1", kIllegalParameterValue, "FUNC:ARB:POIN?", "4"},
        {"BURS:MODE GAT", kSettingsConflict, "BURS:MODE?", "TRIG"},
        {"BURS:NCYC 3000", kSettingsConflict, "BURS:NCYC?", "3"},
        {"FREQ 2e7;BURS:NCYC 1000", kSettingsConflict, "BURS:NCYC?;:FREQ 1000", "3"},
        {"OUTP:TRIG ON", kSettingsConflict, "OUTP:TRIG?", "0"},
        {"FUNC NOIS;BURS:STAT ON", kSettingsConflict, "BURS:STAT?;FUNC SIN", "0"},
        {"FUNC PULS;PULS:WIDT 0.002", kSettingsConflict, "PULS:WIDT?;FUNC SIN", "~0.0002"},
        {"OUTP:LOAD INF;VOLT:UNIT DBM", kSettingsConflict, "VOLT:UNIT?;OUTP:LOAD 50", "VPP"},
    };
    for (const auto& r : refusals) {
        client.Send(std::string(r.command) + "\n");
        // The standard text, and after a ';' what conflicts, if anything.
        const std::string error = client.Query("SYST:ERR?");
        const std::string text = std::to_string(r.error) + ",\"" + ErrorText(r.error);
        EXPECT_EQ(error.substr(0, text.size()), text) << r.command;
        EXPECT_TRUE(error.size() == text.size() + 1 || error[text.size()] == ';') << error;
        // A conflict always says what it is with.
        if (r.error == kSettingsConflict) {
            EXPECT_EQ(error[text.size()], ';') << error;
        }
        ExpectAnswers(r.query, client.Query(r.query), r.answer);
        EXPECT_EQ(client.Query("SYST:ERR?"), "0,\"No error\"") << r.command;
    }
    // The named waves are bounded; a name given again replaces its wave.
    for (int i = 0; i < 6; ++i) client.Send("DATA:ARB w" + std::to_string(i) + ", 0, 1\n");
    EXPECT_EQ(client.Query("DATA:ARB w0, 1, 0, 1;SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(client.Query("DATA:ARB w6, 0, 1;SYST:ERR?"),
              "781,\"Not enough memory to store new arb waveform; use DATA:VOL:CLE\"");
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
        // Whether the hang-up comes before the packet is taken or after is
        // the machine's timing: the words name either.
        {"--drop-after=2:1", 2, kHardwareError, "the instrument hung up", true},
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
        {"fe80::/10", "fe80::1%1", true},  // a link-local peer carries its scope
        {"192.168.1.77/24", "192.168.1.5", true},
        {"10.0.0.0/8", "::ffff:10.9.8.7", true},
        {"::ffff:10.0.0.0/104", "10.9.8.7", false},  // an IPv4 peer is in IPv4 ranges only
    };
    for (const auto& c : cases) {
        const auto range = AddressRange::Parse(c.range);
        ASSERT_TRUE(range) << c.range;
        EXPECT_EQ(range->Contains(asio::ip::make_address(c.peer)), c.contains)
            << c.range << " " << c.peer;
    }
    for (const char* bad :
         {"10.0.0.0/33", "::/129", "host", "10.0.0.0/", "1.2.3.4/-1", "10.0.0.0/8/8", "/8"}) {
        EXPECT_FALSE(AddressRange::Parse(bad)) << bad;
    }
    // Which --listen addresses take connections to an address.
    const struct {
        std::vector<std::string> listen;
        const char* address;
        bool covered;
    } listens[] = {
        {{"0.0.0.0"}, "192.0.2.12", true},    {{"127.0.0.1", "::1"}, "192.0.2.12", false},
        {{"192.0.2.12"}, "192.0.2.12", true}, {{"192.0.2.11"}, "192.0.2.12", false},
        {{"::"}, "192.0.2.12", false},  // IPv6 sockets are IPv6 only here
        {{"bogus", "::"}, "fe80::1", true},
    };
    // The instrument a device name or a page's path ends in.
    const struct {
        const char* text;
        std::optional<int> index;
    } names[] = {{"inst0", 0},          {"inst12", 12}, {"inst999", 999}, {"inst1000", {}},
                 {"inst01", {}},        {"inst", {}},   {"inst1x", {}},   {"gpib0,1", {}},
                 {"/instrument/3", {}}, {"inst-1", {}}};
    for (const auto& c : names) EXPECT_EQ(IndexAfter(c.text, "inst"), c.index) << c.text;
    EXPECT_EQ(IndexAfter(std::string("inst1\0x", 7), "inst"), std::nullopt);
    for (const auto& c : listens) {
        EXPECT_EQ(ListenCovers(c.listen, asio::ip::make_address(c.address)), c.covered)
            << c.listen[0] << " " << c.address;
    }
}

TEST(ScpiServerTest, AdvertisedNamesFitOneDnsLabel) {
    Offered offered;
    offered.version = "1.1.0";
    offered.vxi11_port = 111;
    offered.http_port = 8080;
    const std::string serial(32, 'S');  // the longest --serial
    offered.instruments = {{0, "dds0", 5025}, {1, serial, 5026}};
    // A short name stays whole; a long one loses the host's end, never a
    // character's half (each \xc3\xa4 is one).
    const struct {
        std::string host;
        const char* first;
    } cases[] = {
        {"bench", "VELMAR DDS dds0 on bench"},
        {std::string(80, 'h'), nullptr},
        {[] {
             std::string umlauts = "b";
             for (int i = 0; i < 40; ++i) umlauts += "\xc3\xa4";
             return umlauts;
         }(),
         nullptr},
    };
    for (const auto& c : cases) {
        offered.host = c.host;
        const std::vector<Service> services = LxiServices(offered);
        ASSERT_EQ(services.size(), 5u);
        if (c.first) {
            EXPECT_EQ(services[0].name, c.first);
        }
        for (const Service& service : services) {
            EXPECT_LE(service.name.size(), 63u) << service.name;
            EXPECT_NE(service.name.find(" on " + c.host.substr(0, 3)), std::string::npos)
                << service.name;
            EXPECT_NE(static_cast<unsigned char>(service.name.back()) & 0xC0, 0xC0)
                << "a character cut in half: " << service.name;
        }
        EXPECT_EQ(services[1].name.rfind("VELMAR DDS " + serial + " on ", 0), 0u);
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
    EXPECT_EQ(client.Query("*IDN?"), "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING);
    stalled.Send("KHZ\n");
    ExpectAnswer("stalled", stalled.Query("FREQ?"), "~1000.16");
    // A message over 1 MiB is dropped up to its terminator.
    std::string huge = "DATA:USER ";
    while (huge.size() <= (1u << 20)) huge += "0.5,";
    client.Send(huge + "0\n");
    EXPECT_EQ(client.Query("SYST:ERR?;*IDN?"),
              "-363,\"Input buffer overrun\";VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING);
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
        if (*line != "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING) break;
        if (++answers == kQueries) break;
    }
    sender.join();
    EXPECT_EQ(answers, kQueries);
}

// Polls `client` with `message` every 100 ms until it answers `answer`,
// for at most `tries` times; the last answer.
std::string AnswerWithin(Client& client, const std::string& message, const std::string& answer,
                         int tries = 40) {
    std::string last;
    for (int i = 0; i < tries && (last = client.Query(message)) != answer; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    return last;
}

TEST(ScpiServerTest, InstrumentsThatComeLaterAreServedOnTheirPorts) {
    TempDir dir;
    setenv("VELMAR_DDS_DEVICE_DIR", dir.devices().c_str(), 1);
    ChildProcess server(dir, "server", VELMAR_SCPI_BINARY,
                        {"--port", "0", "--listen", "127.0.0.1", "--instruments", "2"});
    std::map<int, uint16_t> ports = WaitForPorts(server, 2);
    ASSERT_EQ(ports.size(), 2u) << server.err();
    // Where it looked, in so many words.
    EXPECT_NE(server.err().find("0 instruments found in " + dir.devices() + "\n"),
              std::string::npos)
        << server.err();
    Client early(ports[0]);
    EXPECT_EQ(early.Query("*TST?;SYST:ERR?"), "1;-241,\"Hardware missing\"");
    EXPECT_NE(server.err().find("not found in " + dir.devices()), std::string::npos)
        << server.err();

    // They come. A connection to one that was not there searches at once,
    // long before the next search would: its first command finds it.
    std::optional<ChildProcess> sim;
    sim.emplace(dir, "sim", VELMAR_SIM_BINARY,
                std::vector<std::string>{"--dir", dir.devices(), "--count", "2"});
    ASSERT_TRUE(sim->WaitForSocket(dir.devices() + "/dds1")) << sim->err();
    Client late(ports[1]);
    EXPECT_EQ(late.Query("*IDN?;MEAS:FREQ?;SYST:ERR?"),
              "VELMAR,DDS,dds1," VELMAR_DDS_VERSION_STRING ";0;0,\"No error\"");
    // The connection that came first is served on the same port, unchanged.
    EXPECT_EQ(AnswerWithin(early, "*TST?", "0"), "0");
    EXPECT_NE(server.err().find("instrument 0: found at " + dir.devices() + "/dds0\n"),
              std::string::npos)
        << server.err();

    // One that goes answers -241 until it is back, on the same port.
    EXPECT_EQ(sim->Signal(SIGTERM), 0);
    sim.reset();
    EXPECT_EQ(AnswerWithin(late, "*CLS;*TST?;SYST:ERR?", "1;-241,\"Hardware missing\""),
              "1;-241,\"Hardware missing\"");
    // The next search says so, and the session stays closed meanwhile.
    const std::string gone = "instrument 1: " + dir.devices() + "/dds1 is gone";
    for (int i = 0; i < 40 && server.err().find(gone) == std::string::npos; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_NE(server.err().find(gone), std::string::npos) << server.err();
    EXPECT_EQ(late.Query("*CLS;*TST?;SYST:ERR?"), "1;-241,\"Hardware missing\"");
    sim.emplace(dir, "sim2", VELMAR_SIM_BINARY,
                std::vector<std::string>{"--dir", dir.devices(), "--count", "2"});
    ASSERT_TRUE(sim->WaitForSocket(dir.devices() + "/dds1")) << sim->err();
    EXPECT_EQ(AnswerWithin(late, "*CLS;*TST?;SYST:ERR?", "0;0,\"No error\""), "0;0,\"No error\"");
    EXPECT_EQ(late.Query("*IDN?"), "VELMAR,DDS,dds1," VELMAR_DDS_VERSION_STRING);
    EXPECT_NE(server.err().find("instrument 1: " + dir.devices() + "/dds1 is back"),
              std::string::npos)
        << server.err();
    EXPECT_EQ(server.Signal(SIGTERM), 0);
    unsetenv("VELMAR_DDS_DEVICE_DIR");
}

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ScpiServerTest, RefusesToStartOnWhatItCannotServeInOneLine) {
    TempDir dir;
    setenv("VELMAR_DDS_DEVICE_DIR", dir.devices().c_str(), 1);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;  // after "velmar-dds-scpi: "
    } cases[] = {
        {{"--port", "65535", "--instruments", "2"},
         1,
         "--port 65535 puts instrument 1 on port 65536, past 65535: give a --port of at most "
         "65534"},
        {{"--port", "65530", "--instruments", "7"},
         1,
         "--port 65530 puts instrument 6 on port 65536, past 65535: give a --port of at most "
         "65529"},
        {{"--port", "65400", "--device", "3,200"},
         1,
         "--port 65400 puts instrument 200 on port 65600, past 65535: give a --port of at most "
         "65335"},
        {{"--port", " +15040"},
         2,
         "--port wants a whole number from 0 to 65535, not ' +15040' (see velmar-dds-scpi "
         "--help)"},
        {{"--port", "65536"},
         2,
         "--port wants a whole number from 0 to 65535, not '65536' (see velmar-dds-scpi --help)"},
        {{"--port", "-1"},
         2,
         "--port wants a whole number from 0 to 65535, not '-1' (see velmar-dds-scpi --help)"},
        {{"--device", "0,600"},
         2,
         "--device wants a whole number from 0 to 255, not '600' (see velmar-dds-scpi --help)"},
        {{"--idle-timeout", "1.5"},
         2,
         "--idle-timeout wants a whole number from 0 to 31622400, not '1.5' (see "
         "velmar-dds-scpi --help)"},
        {{"--write-timeout", ""},
         2,
         "--write-timeout wants a whole number from 0 to 31622400, not '' (see velmar-dds-scpi "
         "--help)"},
        {{"--max-clients", "0"},
         2,
         "--max-clients must be at least 1 (see velmar-dds-scpi --help)"},
        {{"--instruments", "0"},
         2,
         "--instruments must be at least 1 (see velmar-dds-scpi --help)"},
        {{"--instruments", "2", "--device", "1"},
         2,
         "--instruments and --device both say which instruments: give one (see velmar-dds-scpi "
         "--help)"},
        {{"--allow", "10.0.0.0/33"},
         2,
         "--allow: '10.0.0.0/33' is not an address or CIDR range (see velmar-dds-scpi --help)"},
        {{"--instrument-address", "1=127.0.0.2"},
         2,
         "--instrument-address 127.0.0.2 is not among the --listen addresses (add --listen "
         "127.0.0.2, or 0.0.0.0 / ::) (see velmar-dds-scpi --help)"},
        {{"--listen", "0.0.0.0", "--instrument-address", "0=127.0.0.2", "--instrument-address",
          "0=127.0.0.3"},
         2,
         "--instrument-address: instrument 0 has an address already (see velmar-dds-scpi --help)"},
        {{"--listen", "0.0.0.0", "--instrument-address", "0=127.0.0.2", "--instrument-address",
          "1=127.0.0.2"},
         2,
         "--instrument-address: 127.0.0.2 is instrument 0's already (see velmar-dds-scpi --help)"},
        {{"--instruments", "1", "--instrument-address", "5=127.0.0.1"},
         2,
         "--instrument-address: instrument 5 is not served (--instruments, --device) (see "
         "velmar-dds-scpi --help)"},
    };
    int run = 0;
    for (const auto& c : cases) {
        ChildProcess server(dir, "refused" + std::to_string(run++), VELMAR_SCPI_BINARY, c.args);
        EXPECT_EQ(server.WaitForExit(), c.status) << c.says;
        EXPECT_EQ(Lines(server.err()),
                  std::vector<std::string>{std::string("velmar-dds-scpi: ") + c.says});
    }
    // Hexadecimal, as the other programs take it, and the last port.
    ChildProcess server(dir, "served", VELMAR_SCPI_BINARY,
                        {"--port", "0", "--listen", "127.0.0.1", "--instruments", "0x3",
                         "--idle-timeout", "0x10", "--max-clients", "010"});
    EXPECT_EQ(WaitForPorts(server, 3).size(), 3u) << server.err();
    EXPECT_EQ(server.Signal(SIGTERM), 0);
    unsetenv("VELMAR_DDS_DEVICE_DIR");
}

TEST(ScpiServerTest, VersionAndCompletionMatchTheProgram) {
    TempDir dir;
    ChildProcess version(dir, "version", VELMAR_SCPI_BINARY, {"--version"});
    EXPECT_EQ(version.WaitForExit(), 0);
    const std::vector<std::string> lines = Lines(version.out());
    ASSERT_EQ(lines.size(), 3u) << version.out();
    EXPECT_EQ(lines[0].rfind("velmar-dds-scpi ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("revision ", 0), 0u) << lines[1];
    // The session library the server really loads.
    EXPECT_EQ(lines[2].rfind("library /", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("/libvelmardds.so"), std::string::npos) << lines[2];

    // Every option the help names, and no other, is completed.
    ChildProcess help(dir, "help", VELMAR_SCPI_BINARY, {"--help"});
    EXPECT_EQ(help.WaitForExit(), 0);
    std::set<std::string> options;
    const std::string text = help.out();
    for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        const size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-", at + 2);
        options.insert(text.substr(at, end - at));
    }
    EXPECT_GE(options.size(), 10u) << text;
    ChildProcess bash(dir, "bash", "/bin/bash",
                      {"-c",
                       "source \"$1\"; COMP_WORDS=(velmar-dds-scpi --); COMP_CWORD=1; "
                       "_velmar_dds_scpi; printf '%s\\n' \"${COMPREPLY[@]}\"",
                       "_", VELMAR_SCPI_COMPLETION});
    EXPECT_EQ(bash.WaitForExit(), 0) << bash.err();
    const std::vector<std::string> completed = Lines(bash.out());
    EXPECT_EQ(std::set<std::string>(completed.begin(), completed.end()), options);
}

}  // namespace
}  // namespace velmar::scpi
