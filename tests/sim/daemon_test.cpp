// velmar-dds-sim as a user runs it: a separate process, its options, its
// trace on standard output, and its sockets gone after SIGINT or SIGTERM.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "VelmarDll.h"
#include "child_process.h"

namespace {

using std::chrono::milliseconds;

std::vector<uint16_t> Sine(int length, int periods) {
    std::vector<uint16_t> wave(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        wave[i] = static_cast<uint16_t>(
            std::lround(32767.5 + 32767.0 * std::sin(2.0 * M_PI * periods * i / length)));
    }
    return wave;
}

// Sets a frequency, downloads a sine of the planned length and periods, and
// returns what the meter reads in mode 0 (NAN when a call failed).
double SetAndMeasure(int32_t index, double hz) {
    int32_t length = 0, periods = 0;
    if (DDSSetFrequency(index, hz, &length, &periods) != 1) return NAN;
    const std::vector<uint16_t> wave = Sine(length, periods);
    if (DDSDownload(index, wave.data(), length) != 1) return NAN;
    double reading = 0.0;
    if (DDSGetMeasure(index, 0, &reading) != 1) return NAN;
    return reading;
}

using velmar::proctest::ConnectSeqpacket;
using velmar::proctest::Exists;
using velmar::proctest::TempDir;

const uint8_t kControlPacket[7] = {0xA0, 0, 0, 0, 0, 0, 0};

// What comes next on `fd` within `timeout_ms`: a message's size, 0 when the
// daemon hung up, -1 when nothing came.
ssize_t Receive(int fd, int timeout_ms) {
    pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, timeout_ms) != 1) return -1;
    uint8_t message[16];
    return recv(fd, message, sizeof(message), MSG_DONTWAIT);
}

bool SendControl(int fd) {
    return send(fd, kControlPacket, sizeof(kControlPacket), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(sizeof(kControlPacket));
}

// Sends a control packet on `fd`; the answer's size as Receive tells it.
ssize_t Exchange(int fd) {
    return SendControl(fd) ? Receive(fd, 1000) : -1;
}

// One velmar-dds-sim process, its output kept in files of `dir`.
class Daemon : public velmar::proctest::ChildProcess {
  public:
    Daemon(const TempDir& dir, std::vector<std::string> args)
        : ChildProcess(dir, "sim", VELMAR_SIM_BINARY, std::move(args)) {}
};

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("VELMAR_DDS_DEVICE_DIR", dir_.devices().c_str(), 1); }
    void TearDown() override { unsetenv("VELMAR_DDS_DEVICE_DIR"); }
    std::string Socket(int i) const { return dir_.devices() + "/dds" + std::to_string(i); }
    // A connection of the test's own to instrument `i`, as the library opens one.
    int Connect(int i) const {
        const int fd = ConnectSeqpacket(Socket(i));
        EXPECT_GE(fd, 0) << Socket(i);
        return fd;
    }

    TempDir dir_;
};

TEST_F(DaemonTest, UserScriptReadsEveryFrequencyOnInstrumentOne) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--count", "2", "--trace"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(1))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 2);
    for (double hz : {1000.0, 12345.0, 1e6, 3e6}) {
        EXPECT_NEAR(SetAndMeasure(1, hz), hz, hz * 1e-3) << hz << " Hz";
    }
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
    EXPECT_FALSE(Exists(Socket(0)));
    EXPECT_FALSE(Exists(Socket(1)));
    EXPECT_FALSE(Exists(dir_.devices()));  // it made the directory, so it removes it

    const std::string trace = daemon.out();
    EXPECT_NE(trace.find("dds1: control: word 0x0000 [none] dio-out 0x0000 divider 48\n"),
              std::string::npos);
    EXPECT_NE(trace.find("dds1: length: word 0x0822, 2083 samples in 66 blocks\n"),
              std::string::npos);
    // Of the blocks, only the one that completes the download.
    EXPECT_NE(trace.find("dds1: block 66 of 66: samples 2080-2111, download complete\n"),
              std::string::npos);
    EXPECT_EQ(trace.find("dds1: block 65 of 66"), std::string::npos);
    EXPECT_EQ(trace.find("dds0:"), std::string::npos);
    EXPECT_NE(daemon.err().find("stopped, sockets removed"), std::string::npos);
}

TEST_F(DaemonTest, TraceAllShowsEveryBlock) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--trace=all"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 1);
    const std::vector<uint16_t> wave = Sine(100, 1);
    ASSERT_EQ(DDSDownload(0, wave.data(), 100), 1);
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
    EXPECT_EQ(daemon.out(),
              "dds0: length: word 0x0063, 100 samples in 4 blocks\n"
              "dds0: block 1 of 4: samples 0-31\n"
              "dds0: block 2 of 4: samples 32-63\n"
              "dds0: block 3 of 4: samples 64-95\n"
              "dds0: block 4 of 4: samples 96-127, download complete\n");
}

TEST_F(DaemonTest, InterruptRemovesSocketsButKeepsADirectoryItFound) {
    ASSERT_EQ(mkdir(dir_.devices().c_str(), 0700), 0);
    // No --dir: the library's device directory, here taken from the environment.
    Daemon daemon(dir_, {"--count", "3"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(2))) << daemon.err();
    EXPECT_EQ(DDSSearch(), 3);
    EXPECT_EQ(daemon.Signal(SIGINT), 0);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Exists(Socket(i)));
    EXPECT_TRUE(Exists(dir_.devices()));
    EXPECT_EQ(daemon.out(), "");  // no trace unless asked
}

TEST_F(DaemonTest, BenchInputsFeedTheDigitalPortAndTheMeter) {
    Daemon daemon(dir_,
                  {"--dir", dir_.devices(), "--digital-in", "0x00F1", "--input-hz", "2500.5"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 1);
    uint16_t in = 0;
    EXPECT_EQ(DDSGetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 0x00F1);
    {
        // A leading zero is decimal, as everywhere on the command line.
        TempDir other;
        Daemon decimal(other, {"--dir", other.devices(), "--digital-in", "0100"});
        ASSERT_TRUE(decimal.WaitForSocket(other.devices() + "/dds0")) << decimal.err();
        setenv("VELMAR_DDS_DEVICE_DIR", other.devices().c_str(), 1);
        ASSERT_EQ(DDSSearch(), 1);
        EXPECT_EQ(DDSGetDigitalIn(0, &in), 1);
        EXPECT_EQ(in, 100);
        EXPECT_EQ(decimal.Signal(SIGTERM), 0);
        setenv("VELMAR_DDS_DEVICE_DIR", dir_.devices().c_str(), 1);
        ASSERT_EQ(DDSSearch(), 1);
    }
    double reading = 0.0;
    EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 1);
    EXPECT_NEAR(reading, 2500.5, 2.5);
}

TEST_F(DaemonTest, HangupPowerCyclesToTheStoredOutput) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--trace"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 1);
    const double stored = SetAndMeasure(0, 1000.0);
    ASSERT_EQ(DDSSetPowerOnOutput(0, 0), 1);
    EXPECT_NEAR(SetAndMeasure(0, 5000.0), 5000.0, 5.0);
    daemon.Send(SIGHUP);
    // Every control packet restates the host's divider, so the host sets the
    // 1 kHz divider again; the wave must come from the power-on memory (the
    // 5 kHz wave is 2222 samples long and would read 937 Hz here).
    int32_t length = 0, periods = 0;
    ASSERT_EQ(DDSSetFrequency(0, 1000.0, &length, &periods), 1);
    // The signal is handled on the daemon's own time: ask until it shows.
    double reading = 0.0;
    for (int i = 0; i < 100 && std::fabs(reading - stored) > stored * 1e-3; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
        ASSERT_EQ(DDSGetMeasure(0, 0, &reading), 1);
    }
    EXPECT_NEAR(reading, stored, stored * 1e-3);
    EXPECT_TRUE(daemon.running());
    EXPECT_NE(daemon.out().find(
                  "dds0: power cycle: back with the stored waveform, 2083 samples, divider 48\n"),
              std::string::npos)
        << daemon.out();
}

struct FaultCase {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class DaemonFaultTest : public DaemonTest, public ::testing::WithParamInterface<FaultCase> {};

// Each option reaches the instrument: a call that needs what the fault
// withholds fails, and one that does not still works.
TEST_P(DaemonFaultTest, OptionBecomesTheFault) {
    std::vector<std::string> args = {"--dir", dir_.devices()};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    Daemon daemon(dir_, args);
    const std::string name = GetParam().name;
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0), name == "Refuse")) << daemon.err();
    ASSERT_EQ(DDSSearch(), 1);
    const std::vector<uint16_t> wave = Sine(128, 1);
    if (name == "Refuse") {
        EXPECT_EQ(DDSCheck(0), 0);
    } else if (name == "Silent") {
        EXPECT_EQ(DDSSetDivNum(0, 1), 0);
    } else if (name == "ShortReport") {
        double reading = 0.0;
        EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 0);
        EXPECT_EQ(DDSDownload(0, wave.data(), 128), 1);
    } else if (name == "DropAfter") {
        EXPECT_EQ(DDSResetCounter(0), 0);
        EXPECT_EQ(DDSSetDivNum(0, 1), 1);
    } else if (name == "AckLimit") {
        EXPECT_EQ(DDSDownload(0, wave.data(), 128), 0);
        EXPECT_EQ(DDSSetDivNum(0, 1), 1);
    } else if (name == "Delay") {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DDSSetDivNum(0, 1), 1);
        EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(40));
    }
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
    EXPECT_FALSE(Exists(Socket(0)));
}

INSTANTIATE_TEST_SUITE_P(Options, DaemonFaultTest,
                         ::testing::Values(FaultCase{"Refuse", {"--refuse"}},
                                           FaultCase{"Silent", {"--silent"}},
                                           FaultCase{"ShortReport", {"--short-report"}},
                                           FaultCase{"DropAfter", {"--drop-after", "1"}},
                                           FaultCase{"AckLimit", {"--ack-limit", "2"}},
                                           FaultCase{"Delay", {"--delay-ms", "40"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A host that floods one instrument with control packets, never reading the
// answers, while that instrument plays a long wave: the other instrument still
// answers at once, and SIGTERM still ends the daemon at once.
TEST_F(DaemonTest, FloodOnOneInstrumentDelaysNeitherTheOtherNorAStop) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--count", "2"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(1))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 2);
    ASSERT_NEAR(SetAndMeasure(0, 3e6), 3e6, 3e3);  // 4066 samples playing

    const int flood_fd = Connect(0);
    ASSERT_GE(flood_fd, 0);
    // Blocking sends: the flood is as fast as the daemon takes it, without
    // spinning on a core the daemon needs.
    std::thread flood([flood_fd] {
        while (SendControl(flood_fd)) {
        }
    });
    std::this_thread::sleep_for(milliseconds(200));

    std::vector<double> call_ms;
    for (int i = 0; i < 9; ++i) {
        uint16_t in = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DDSGetDigitalIn(1, &in), 1);
        call_ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(call_ms.begin(), call_ms.end());
    EXPECT_LT(call_ms[call_ms.size() / 2], 20.0) << "median of the other instrument's answers";

    const auto stop = std::chrono::steady_clock::now();
    daemon.Send(SIGTERM);
    while (daemon.running() && std::chrono::steady_clock::now() - stop < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stop, milliseconds(100));
    EXPECT_EQ(daemon.WaitForExit(), 0);
    shutdown(flood_fd, SHUT_RDWR);  // ends the flood whatever became of the daemon
    flood.join();
    close(flood_fd);
    EXPECT_FALSE(Exists(Socket(0)));
}

// A host that sends far ahead of reading gets every answer, in bounded
// memory: the daemon keeps what the host's socket has no room for, stops
// reading the host until it reads, and meanwhile sleeps.
TEST_F(DaemonTest, HostSendingFarAheadOfReadingGetsEveryAnswer) {
    Daemon daemon(dir_, {"--dir", dir_.devices()});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    const int fd = Connect(0);
    constexpr int kPackets = 5000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int sent = 0;
    // Sends until the packets are out or the daemon has taken none for 300 ms.
    const auto send_ahead = [&](int timeout_ms) {
        while (sent < kPackets && std::chrono::steady_clock::now() < deadline) {
            if (send(fd, kControlPacket, sizeof(kControlPacket), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                sizeof(kControlPacket)) {
                ++sent;
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) return;
            pollfd room = {fd, POLLOUT, 0};
            if (poll(&room, 1, timeout_ms) != 1) return;
        }
    };
    send_ahead(300);
    EXPECT_LT(sent, kPackets) << "the daemon kept reading a host that reads nothing";

    const double cpu_before = daemon.CpuSeconds();
    std::this_thread::sleep_for(milliseconds(500));
    const double cpu_used = daemon.CpuSeconds() - cpu_before;
    EXPECT_GE(cpu_before, 0.0);
    EXPECT_LT(cpu_used, 0.1) << "seconds of CPU in half a second of a host that does not read";

    int answers = 0;
    int wrong_sizes = 0;
    while (answers < kPackets && std::chrono::steady_clock::now() < deadline) {
        pollfd ready = {fd, static_cast<short>(POLLIN | (sent < kPackets ? POLLOUT : 0)), 0};
        if (poll(&ready, 1, 2000) != 1) break;  // nothing more comes
        uint8_t answer[16];
        ssize_t got;
        while ((got = recv(fd, answer, sizeof(answer), MSG_DONTWAIT)) > 0) {
            ++answers;
            if (got != 10) ++wrong_sizes;
        }
        if (got == 0) break;  // hung up
        if (ready.revents & POLLOUT) send_ahead(0);
    }
    EXPECT_EQ(sent, kPackets);
    EXPECT_EQ(answers, kPackets);
    EXPECT_EQ(wrong_sizes, 0);
    pollfd extra = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&extra, 1, 100), 0) << "an answer more than the packets sent";
    close(fd);
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
}

// A host that shuts down its sending side still gets the answers to what
// it sent, then the hang-up.
TEST_F(DaemonTest, HostThatStopsSendingStillGetsItsAnswers) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--delay-ms", "50"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    const int fd = Connect(0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(SendControl(fd));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Receive(fd, 1000), 10) << "answer " << i;
    EXPECT_EQ(Receive(fd, 1000), 0);
    close(fd);
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
}

// --drop-after counts the messages of each connection on its own: another
// connection's messages, or its opening, do not bring the hang-up closer.
TEST_F(DaemonTest, DropAfterCountsEachConnectionOnItsOwn) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--drop-after", "2"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0))) << daemon.err();
    const int first = Connect(0);
    const int second = Connect(0);
    const struct {
        int fd;
        bool hangs_up;  // after the answer
    } steps[] = {{first, false}, {second, false}, {first, true}, {second, true}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(Exchange(steps[i].fd), 10) << "step " << i;
        // The hang-up follows its answer at once.
        EXPECT_EQ(Receive(steps[i].fd, 200), steps[i].hangs_up ? 0 : -1) << "step " << i;
    }
    close(first);
    close(second);
    const int third = Connect(0);
    EXPECT_EQ(Exchange(third), 10);
    close(third);
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
}

// The device indices follow the sockets' names in natural order: with twelve
// instruments, index 2 is dds2 and index 10 is dds10.
TEST_F(DaemonTest, DeviceIndicesFollowTheNumbersInTheNames) {
    Daemon daemon(dir_, {"--dir", dir_.devices(), "--count", "12", "--trace"});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(11))) << daemon.err();
    ASSERT_EQ(DDSSearch(), 12);
    for (int32_t index : {2, 10, 11, 1}) EXPECT_EQ(DDSSetDivNum(index, 7), 1) << index;
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
    EXPECT_EQ(daemon.out(),
              "dds2: control: word 0x0000 [none] dio-out 0x0000 divider 7\n"
              "dds10: control: word 0x0000 [none] dio-out 0x0000 divider 7\n"
              "dds11: control: word 0x0000 [none] dio-out 0x0000 divider 7\n"
              "dds1: control: word 0x0000 [none] dio-out 0x0000 divider 7\n");
}

// Whether instrument `index` behaves as a good one does for the fault at hand.
using Probe = bool (*)(int32_t index);

bool Answers(int32_t index) {
    return DDSSetDivNum(index, 1) == 1;
}
bool AnswersAtOnce(int32_t index) {
    const auto start = std::chrono::steady_clock::now();
    return Answers(index) && std::chrono::steady_clock::now() - start < milliseconds(200);
}
bool Opens(int32_t index) {
    return DDSCheck(index) == 1;
}
bool Measures(int32_t index) {
    double reading = 0.0;
    return DDSGetMeasure(index, 0, &reading) == 1;
}
bool Downloads(int32_t index) {
    const std::vector<uint16_t> wave = Sine(128, 1);
    return DDSDownload(index, wave.data(), 128) == 1;
}
bool KeepsTheLineForTwoExchanges(int32_t index) {
    return DDSResetCounter(index) == 1;
}

struct OneInstrumentCase {
    const char* name;
    std::vector<std::string> options;
    Probe probe;
    std::vector<bool> good;  // per instrument
};

void PrintTo(const OneInstrumentCase& c, std::ostream* out) {
    *out << c.name;
}

class DaemonOneFaultyInstrumentTest : public DaemonTest,
                                      public ::testing::WithParamInterface<OneInstrumentCase> {};

TEST_P(DaemonOneFaultyInstrumentTest, FaultsOnlyTheListedInstruments) {
    const OneInstrumentCase& c = GetParam();
    const int count = static_cast<int>(c.good.size());
    std::vector<std::string> args = {"--dir", dir_.devices(), "--count", std::to_string(count)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Daemon daemon(dir_, args);
    ASSERT_TRUE(daemon.WaitForSocket(Socket(count - 1), !c.good[count - 1])) << daemon.err();
    ASSERT_EQ(DDSSearch(), count);
    for (int32_t i = 0; i < count; ++i) EXPECT_EQ(c.probe(i), c.good[i]) << "instrument " << i;
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Options, DaemonOneFaultyInstrumentTest,
    ::testing::Values(
        OneInstrumentCase{"Silent", {"--silent=1"}, Answers, {true, false}},
        OneInstrumentCase{"SilentTwo", {"--silent=0,2"}, Answers, {false, true, false}},
        OneInstrumentCase{
            "DelayJoined", {"--delay-ms=400:0,2"}, AnswersAtOnce, {false, true, false}},
        OneInstrumentCase{"DelayApart", {"--delay-ms", "400:1"}, AnswersAtOnce, {true, false}},
        // The later option counts where both set one instrument's delay.
        OneInstrumentCase{"DelayEveryButOne",
                          {"--delay-ms", "400", "--delay-ms=0:0"},
                          AnswersAtOnce,
                          {true, false}},
        OneInstrumentCase{"Refuse", {"--refuse=1"}, Opens, {true, false}},
        OneInstrumentCase{"ShortReport", {"--short-report=0x1"}, Measures, {true, false}},
        OneInstrumentCase{"AckLimit", {"--ack-limit=2:0"}, Downloads, {false, true}},
        OneInstrumentCase{
            "DropAfter", {"--drop-after", "1:1"}, KeepsTheLineForTwoExchanges, {true, false}},
        // Different faults on different instruments, every one on its own.
        OneInstrumentCase{"Mixed", {"--silent=2", "--refuse=0"}, Opens, {false, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonTest, SecondDaemonOnTheSameSocketsGivesUpAndLeavesTheFirstServing) {
    Daemon first(dir_, {"--dir", dir_.devices()});
    ASSERT_TRUE(first.WaitForSocket(Socket(0))) << first.err();
    TempDir other_output;
    Daemon second(other_output, {"--dir", dir_.devices()});
    EXPECT_EQ(second.WaitForExit(), 1);
    EXPECT_NE(second.err().find("already served by another process"), std::string::npos)
        << second.err();
    ASSERT_EQ(DDSSearch(), 1);
    EXPECT_EQ(DDSCheck(0), 1);
}

TEST_F(DaemonTest, SocketLeftByAKilledDaemonIsTakenOver) {
    {
        Daemon killed(dir_, {"--dir", dir_.devices()});
        ASSERT_TRUE(killed.WaitForSocket(Socket(0))) << killed.err();
        killed.Kill();
    }
    ASSERT_TRUE(Exists(Socket(0)));
    Daemon daemon(dir_, {"--dir", dir_.devices()});
    ASSERT_TRUE(daemon.WaitForSocket(Socket(0)));
    std::this_thread::sleep_for(milliseconds(100));
    ASSERT_TRUE(daemon.running()) << daemon.err();
    ASSERT_EQ(DDSSearch(), 1);
    EXPECT_EQ(DDSCheck(0), 1);
}

TEST_F(DaemonTest, BadCommandLinesExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"--count", "0"},
        {"--count", "many"},
        {"--bogus"},
        {"--digital-in", "0x10000"},
        {"--input-hz", "abc"},
        {"--input-hz", "-5"},
        {"--delay-ms"},
        {"--ack-limit", "-1"},
        // Beyond the meter's registers: the counter would overflow to infinity.
        {"--input-hz", "1e308"},
        {"--input-hz", "9e9"},
        {"--input-hz", "0.01"},
        // Instrument lists: indices from 0 separated by commas, each instrument there.
        {"--silent="},
        {"--silent=a"},
        {"--silent=1,"},
        {"--silent=,1"},
        {"--silent=0 1"},
        {"--silent=-1"},
        {"--refuse=64"},
        {"--silent=1"},
        {"--short-report=1", "--count", "1"},
        {"--count", "2", "--refuse=0,2"},
        {"--delay-ms=10:"},
        {"--delay-ms=:1"},
        {"--delay-ms=10:1:2"},
        {"--delay-ms=", "10"},
        {"--delay-ms", "10:x"},
        {"--drop-after=-1"},
        {"--ack-limit=5:0x"},
        {"--silentx"},
    };
    for (const auto& args : cases) {
        Daemon daemon(dir_, args);
        EXPECT_EQ(daemon.WaitForExit(), 2) << args[0];
        const std::string err = daemon.err();
        EXPECT_EQ(err.rfind("velmar-dds-sim: ", 0), 0u) << err;
        EXPECT_EQ(err.find("(see velmar-dds-sim --help)\n"), err.size() - 28) << err;
        EXPECT_FALSE(Exists(dir_.devices()));
    }
    Daemon help(dir_, {"--help"});
    EXPECT_EQ(help.WaitForExit(), 0);
    for (const char* option : {"--silent[=LIST]", "--delay-ms MS[:LIST]", "--ack-limit N[:LIST]",
                               "--short-report[=LIST]", "--drop-after N[:LIST]", "--refuse[=LIST]",
                               "--delay-ms=1500:0,2"}) {
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
    }
    Daemon version(dir_, {"--version"});
    EXPECT_EQ(version.WaitForExit(), 0);
    EXPECT_EQ(version.out().rfind("velmar-dds-sim " VELMAR_DLL_VERSION_STRING "\nrevision ", 0), 0u)
        << version.out();
}

}  // namespace
