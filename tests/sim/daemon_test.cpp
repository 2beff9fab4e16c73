// velmar-dds-sim as a user runs it: a separate process, its options, its
// trace on standard output, and its sockets gone after SIGINT or SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
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

using velmar::proctest::Exists;
using velmar::proctest::TempDir;

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

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, Socket(0).c_str());
    const int flood_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(flood_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    // Blocking sends: the flood is as fast as the daemon takes it, without
    // spinning on a core the daemon needs.
    std::thread flood([flood_fd] {
        const uint8_t packet[7] = {0xA0, 0, 0, 0, 0, 0, 0};
        while (send(flood_fd, packet, sizeof(packet), MSG_NOSIGNAL) == sizeof(packet)) {
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
    EXPECT_NE(help.out().find("--drop-after N"), std::string::npos);
    Daemon version(dir_, {"--version"});
    EXPECT_EQ(version.WaitForExit(), 0);
    EXPECT_EQ(version.out().rfind("velmar-dds-sim " VELMAR_DLL_VERSION_STRING "\nrevision ", 0), 0u)
        << version.out();
}

}  // namespace
