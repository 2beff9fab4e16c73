// velmar-dds-scpi against clients that mean it harm or have lost their way:
// parameter floods, huge declared blocks, idle and non-reading clients, one
// peer taking every slot, half and overlong messages, a stop while an
// instrument is silent. After each, another connection's *IDN? answers
// within 100 ms and the server's resident memory stayed within its bound.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scpi_parser.h"
#include "scpi_rig.h"
#include "velmar/dds.h"

namespace velmar::scpi {
namespace {

const std::string kIdn0 = "VELMAR,DDS,dds0," VELMAR_DDS_VERSION_STRING;

// After an attack: a peer of its own asks, and is answered at once; and the
// server's peak resident memory is within the bound.
void ExpectUnharmed(Rig& rig, const std::string& attack) {
    Client probe(rig.port(0), "127.0.0.9");
    const auto asked = steady_clock::now();
    EXPECT_EQ(probe.Query("*IDN?"), kIdn0) << attack;
    EXPECT_LT(steady_clock::now() - asked, milliseconds(100)) << attack;
    const long peak = rig.PeakResidentKiB();
    EXPECT_GT(peak, 0) << attack;
    EXPECT_LT(peak, kResidentBoundKiB) << attack << ": " << peak << " KiB at most";
}

// A DATA:USER message of `values` zeros, or of as many as fill `bytes`.
std::string UserValues(size_t values, size_t bytes = 0) {
    std::string message = "DATA:USER 0";
    for (size_t i = 1; i < values || message.size() + 2 < bytes; ++i) message += ",0";
    return message;
}

TEST(ScpiHostileTest, ParameterFloodsAreRefusedAsTheyAreRead) {
    Rig rig({"--max-clients", "20"}, {}, {0, 1}, /*verbose=*/false);
    {
        // The longest list a command takes, a named wave of the whole
        // memory, still goes through; one more is refused whole.
        Client client(rig.port(0));
        client.Send("DATA:ARB w" + UserValues(kMostParameters).substr(11) + "\n");
        EXPECT_EQ(client.Query("DATA:VOL:CAT?;SYST:ERR?"), "\"EXP_RISE\",\"w\";0,\"No error\"");
        client.Send(UserValues(kMostParameters + 1) + "\n");
        EXPECT_EQ(client.Query("SYST:ERR?"),
                  "-108,\"Parameter not allowed;more than 4097 parameters\"");
    }
    // 16 clients, each sending messages of the bound as fast as it can.
    const std::string flood = UserValues(0, kMaxMessageBytes - 1) + "\n";
    ASSERT_LE(flood.size(), kMaxMessageBytes + 1);
    constexpr int kClients = 16;
#ifdef VELMAR_SANITIZED
    constexpr int kMessages = 2;  // the sanitizers' pace
#else
    constexpr int kMessages = 4;
#endif
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    const auto start = steady_clock::now();
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&rig, &flood, &refused] {
            Client client(rig.port(0));
            for (int m = 0; m < kMessages; ++m) {
                if (!client.TrySend(flood)) return;
            }
            // The server works through 64 MiB first: slowly under a sanitizer.
            for (int m = 0; m < kMessages; ++m) {
                client.Send("SYST:ERR?\n");
                if (client.ReadLine(std::chrono::seconds(30)) ==
                    "-108,\"Parameter not allowed;more than 4097 parameters\"")
                    ++refused;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), kClients * kMessages);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(60));
    std::printf("peak resident memory of the server: %ld KiB\n", rig.PeakResidentKiB());
    ExpectUnharmed(rig, "16 clients sending messages of 1 MiB");
}

// A header as long as the message: its words are refused before they are
// kept, so it costs no more than its bytes (it took 20 MiB a message).
TEST(ScpiHostileTest, HeaderFloodsAreRefusedAsTheyAreRead) {
    Rig rig({"--max-clients", "20"}, {}, {0, 1}, /*verbose=*/false);
    {
        Client client(rig.port(0));
        struct {
            const char* message;
            const char* error;
        } const rows[] = {
            {"A:B:C:D:E:F:G:H:I?", "-113,\"Undefined header\""},
            {"FREQUENCYXYZAB?", "-112,\"Program mnemonic too long\""},
            {"*ABCDEFGHIJKLM", "-112,\"Program mnemonic too long\""},
            {"SOURCE:FREQUENCY:CW?", "0,\"No error\""},  // twelve letters at most is fine
        };
        for (const auto& row : rows) {
            client.Send(std::string(row.message) + "\n");
            if (std::string(row.message).back() == '?') client.ReadLine(std::chrono::seconds(2));
            EXPECT_EQ(client.Query("SYST:ERR?"), row.error) << row.message;
        }
    }
    std::string header;
    while (header.size() + 3 < kMaxMessageBytes) header += "A:";
    header += "A?\n";
    std::vector<std::thread> threads;
    for (int c = 0; c < 8; ++c) {
        threads.emplace_back([&rig, &header] {
            Client client(rig.port(0));
            if (!client.TrySend(header)) return;
            client.Send("SYST:ERR?\n");
            EXPECT_EQ(client.ReadLine(std::chrono::seconds(30)), "-113,\"Undefined header\"");
        });
    }
    for (std::thread& thread : threads) thread.join();
    ExpectUnharmed(rig, "8 clients sending headers of 1 MiB");
}

TEST(ScpiHostileTest, AHugeDeclaredBlockClosesOnlyItsConnection) {
    const struct {
        const char* header;  // then a megabyte of what it declares as data
        bool closes;
        const char* declared;
    } cases[] = {
        {"DATA:DAC #9999999999", true, "999999999"},
        {"DATA:DAC #71048577", true, "1048577"},
        {"FOO 1,#899999999", true, "99999999"},  // in any header
        // Not blocks, or one of the bound: the message is over the bound,
        // and dropped up to its terminator with -363; the connection goes on.
        {"DATA:DAC \"#9999999999\"", false, nullptr},
        {"DATA:DAC #71048576", false, nullptr},
    };
    Rig rig({}, {}, {0, 1}, /*verbose=*/false);
    for (const auto& c : cases) {
        Client client(rig.port(0));
        Client other(rig.port(1));
        ASSERT_EQ(other.Query("*OPC?"), "1");
        client.TrySend(c.header + std::string(kMaxMessageBytes, 'x') + "\n");
        if (c.closes) {
            EXPECT_TRUE(client.ClosedByServer()) << c.header;
            EXPECT_NE(rig.log().find(std::string("closed: -161 Invalid block data: a block of ") +
                                     c.declared + " bytes declared"),
                      std::string::npos)
                << c.header << "\n"
                << rig.log();
        } else {
            EXPECT_EQ(client.Query("SYST:ERR?;*OPC?"), "-363,\"Input buffer overrun\";1")
                << c.header;
        }
        // The other connection never noticed.
        EXPECT_EQ(other.Query("*OPC?;SYST:ERR?"), "1;0,\"No error\"") << c.header;
    }
    ExpectUnharmed(rig, "huge declared blocks");
}

TEST(ScpiHostileTest, OverlongAndHalfMessagesCostOnlyTheirBound) {
    Rig rig({"--max-clients", "20"}, {}, {0, 1}, /*verbose=*/false);
    const std::string two_mib(2 * kMaxMessageBytes, 'A');
    const std::string lines[] = {
        two_mib,         // one word
        "\"" + two_mib,  // an open string: newlines inside end it
        "FREQ " + std::string(2 * kMaxMessageBytes, '1'),
        UserValues(0, 2 * kMaxMessageBytes),  // a list twice the bound
    };
    for (const std::string& line : lines) {
        Client client(rig.port(0));
        ASSERT_TRUE(client.TrySend(line + "\n"));
        EXPECT_EQ(client.Query("SYST:ERR?;*IDN?"), "-363,\"Input buffer overrun\";" + kIdn0)
            << line.substr(0, 12);
    }
    // Half messages of almost the bound, on 16 connections at once, each
    // held while the others are answered.
    std::vector<std::unique_ptr<Client>> halves;
    for (int i = 0; i < 16; ++i) {
        halves.push_back(std::make_unique<Client>(rig.port(i % 2)));
        ASSERT_TRUE(halves.back()->TrySend(UserValues(0, kMaxMessageBytes - 100)));
    }
    ExpectUnharmed(rig, "16 half messages of 1 MiB");
    // Each one ends as it would have: a command error that ends its message.
    for (auto& half : halves) {
        EXPECT_EQ(half->Query("\nSYST:ERR?"),
                  "-108,\"Parameter not allowed;more than 4097 parameters\"");
    }
    ExpectUnharmed(rig, "2 MiB lines");
}

TEST(ScpiHostileTest, IdleAndHalfMessagesAreClosedAfterTheirLimit) {
    Rig rig({"--idle-timeout", "1"}, {"--silent=1"});
    Client idle(rig.port(0));
    Client half(rig.port(0));
    Client talking(rig.port(0));
    Client waiting(rig.port(1));  // on a silent instrument: 2 s of answers to wait for
    ASSERT_TRUE(half.TrySend("FREQ 1"));
    waiting.Send("MEAS:FREQ?\nMEAS:FREQ?\n");
    const auto start = steady_clock::now();
    // Talking every 300 ms keeps a connection, however long.
    for (int i = 0; i < 7; ++i) {
        std::this_thread::sleep_for(milliseconds(300));
        ASSERT_EQ(talking.Query("*OPC?"), "1") << i;
    }
    EXPECT_TRUE(idle.ClosedByServer(milliseconds(0)));
    EXPECT_TRUE(half.ClosedByServer(milliseconds(0)));
    // Waiting on the instrument is not idling.
    EXPECT_EQ(waiting.ReadLine(), "9.91E+37");
    EXPECT_EQ(waiting.ReadLine(), "9.91E+37");
    EXPECT_GT(steady_clock::now() - start, milliseconds(1900));
    EXPECT_EQ(waiting.Query("*OPC?"), "1");
    const std::string log = rig.log();
    EXPECT_NE(log.find("closed: idle for 1 second (--idle-timeout)"), std::string::npos) << log;
    EXPECT_NE(log.find("closed: half a message and nothing more for 1 second (--idle-timeout)"),
              std::string::npos)
        << log;
    ExpectUnharmed(rig, "idle clients");
}

TEST(ScpiHostileTest, NoIdleLimitKeepsIdleConnections) {
    Rig rig({"--idle-timeout", "0"});
    Client idle(rig.port(0));
    ASSERT_TRUE(idle.TrySend("FREQ 1"));
    EXPECT_FALSE(idle.ClosedByServer(milliseconds(1500)));
    idle.Send(" KHZ\n");
    ExpectAnswer("after 1.5 s", idle.Query("FREQ?"), "~1000.16");
}

TEST(ScpiHostileTest, AClientThatTakesNoAnswersIsClosedAfterTheWriteLimit) {
    Rig rig({"--write-timeout", "1"}, {}, {0, 1}, /*verbose=*/false);
    // A small receive buffer and queries whose answers are three times
    // longer: the answers back up into the server, and its write waits.
    Client deaf(rig.port(0), nullptr, 4096);
    deaf.SetSendTimeout(milliseconds(10000));
    std::string queries;
    for (int i = 0; i < 10000; ++i) queries += "*IDN?\n";
    const auto start = steady_clock::now();
    std::atomic<int> rounds{0};
    std::thread sender([&] {
        // Until the server closes (or, were it not to, a bounded while).
        while (rounds < 1000 && deaf.TrySend(queries)) ++rounds;
    });
    sender.join();
    const auto took = steady_clock::now() - start;
    EXPECT_LT(rounds.load(), 1000);
    EXPECT_GT(took, milliseconds(900));
    EXPECT_LT(took, milliseconds(10000));
    EXPECT_NE(rig.log().find("closed: did not take its answers within 1 second (--write-timeout)"),
              std::string::npos)
        << rig.log();
    ExpectUnharmed(rig, "a client that does not read");
}

TEST(ScpiHostileTest, OnePeerHoldsMoreThanHalfOnlyWhileNoOtherWants) {
    Rig rig({"--max-clients", "4"}, {}, {0, 1}, /*verbose=*/false);
    // Alone, one peer may take every slot.
    std::vector<std::unique_ptr<Client>> mine;
    for (int i = 0; i < 4; ++i) {
        mine.push_back(std::make_unique<Client>(rig.port(i % 2), "127.0.0.1"));
        ASSERT_EQ(mine.back()->Query("*OPC?"), "1") << i;
    }
    const struct {
        const char* peer;
        bool admitted;
        int closed;  // which of the first peer's connections made room; -1: none
    } steps[] = {
        {"127.0.0.2", true, 3},    // the first peer's newest goes
        {"127.0.0.3", true, 2},    // and its next newest: it still held 3 of 4
        {"127.0.0.4", false, -1},  // now at its share of 2, it keeps both
        {"127.0.0.2", false, -1},  // the server is full, and nobody is over a share
    };
    std::vector<std::unique_ptr<Client>> others;
    for (const auto& step : steps) {
        others.push_back(std::make_unique<Client>(rig.port(0), step.peer));
        if (step.admitted) {
            EXPECT_EQ(others.back()->Query("*OPC?"), "1") << step.peer;
        } else {
            EXPECT_TRUE(others.back()->ClosedByServer()) << step.peer;
        }
        if (step.closed >= 0) {
            EXPECT_TRUE(mine[static_cast<size_t>(step.closed)]->ClosedByServer()) << step.peer;
        }
    }
    // The first peer's oldest two are served throughout.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(mine[static_cast<size_t>(i)]->Query("*OPC?"), "1");
    const std::string log = rig.log();
    EXPECT_NE(log.find("closed: to make room for 127.0.0.2:"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.1 held 4 of the 4 connections (--max-clients)"), std::string::npos)
        << log;
    EXPECT_NE(log.find("refused: already 4 clients (--max-clients)"), std::string::npos) << log;
}

TEST(ScpiHostileTest, AStopDoesNotWaitForASilentInstrument) {
    for (const char* command : {"SYST:PON:STOR WAV", "TRIG ON", "MEAS:FREQ?;MEAS:FREQ?"}) {
        Rig rig({}, {"--silent"}, {0, 1}, /*verbose=*/false);
        Client client(rig.port(0));
        client.Send(std::string(command) + "\n");
        std::this_thread::sleep_for(milliseconds(150));  // the library waits on its answer
        const auto stopping = steady_clock::now();
        EXPECT_EQ(rig.Stop(), 0) << command;
        const auto took =
            std::chrono::duration_cast<milliseconds>(steady_clock::now() - stopping).count();
        EXPECT_LE(took, 1100) << command;
        const std::string log = rig.log();
        EXPECT_NE(log.find("stopping"), std::string::npos) << log;
        EXPECT_NE(log.find("abandoning 1 library call waiting on an instrument\n"),
                  std::string::npos)
            << log;
        // Nothing after the last line's end.
        EXPECT_EQ(log.back(), '\n') << log;
        std::printf("stopped %lld ms after SIGTERM during %s\n", static_cast<long long>(took),
                    command);
    }
}

}  // namespace
}  // namespace velmar::scpi
