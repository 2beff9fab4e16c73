// velmar-dds-sim as a user runs it: a separate process, its options, its
// trace on standard output, and its sockets gone after SIGINT or SIGTERM.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VelmarDll.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool Accepts(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool accepted =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0) close(fd);
    return accepted;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/velmar-daemon-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        for (const char* name : {"/out", "/err"}) unlink((path_ + name).c_str());
        rmdir((path_ + "/devices").c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string devices() const { return path_ + "/devices"; }

  private:
    std::string path_;
};

// One velmar-dds-sim process, its output kept in files of `dir`.
class Daemon {
  public:
    Daemon(const TempDir& dir, std::vector<std::string> args)
        : out_(dir.path() + "/out"), err_(dir.path() + "/err") {
        std::vector<std::string> argv_text = {VELMAR_SIM_BINARY};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argv_text) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        spawned_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Daemon() {
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool running() { return spawned_ && !Reap(false); }

    // Waits until the socket at `path` accepts connections (or, for a daemon
    // that refuses them, exists) or the daemon exits. A socket is bound a
    // moment before it listens, so its existence alone is not enough.
    bool WaitForSocket(const std::string& path, bool refusing = false) {
        for (int i = 0; i < 300; ++i) {
            if (refusing ? Exists(path) : Accepts(path)) return true;
            if (Reap(false)) return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }

    // Waits up to 5 s for the process to end; its exit code, or -1.
    int WaitForExit() {
        for (int i = 0; i < 500 && !Reap(false); ++i) std::this_thread::sleep_for(milliseconds(10));
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    void Send(int signal_number) { kill(pid_, signal_number); }

    int Signal(int signal_number) {
        Send(signal_number);
        return WaitForExit();
    }

    void Kill() {
        kill(pid_, SIGKILL);
        Reap(true);
    }

    std::string out() const { return ReadFile(out_); }
    std::string err() const { return ReadFile(err_); }

  private:
    bool Reap(bool block) {
        if (exited_) return true;
        if (waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_) exited_ = true;
        return exited_;
    }

    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    bool spawned_ = false;
    bool exited_ = false;
    int status_ = 0;
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
    EXPECT_NE(trace.find("dds1: block 66 of 66: samples 2080-2111\n"), std::string::npos);
    EXPECT_EQ(trace.find("dds0:"), std::string::npos);
    EXPECT_NE(daemon.err().find("stopped, sockets removed"), std::string::npos);
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
    double reading = 0.0;
    EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 1);
    EXPECT_NEAR(reading, 2500.5, 2.5);
}

TEST_F(DaemonTest, HangupPowerCyclesToTheStoredOutput) {
    Daemon daemon(dir_, {"--dir", dir_.devices()});
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

TEST_F(DaemonTest, BadCommandLinesExitTwoWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--count", "0"},      {"--count", "many"},  {"--bogus"},    {"--digital-in", "0x10000"},
        {"--input-hz", "abc"}, {"--input-hz", "-5"}, {"--delay-ms"}, {"--ack-limit", "-1"},
    };
    for (const auto& args : cases) {
        Daemon daemon(dir_, args);
        EXPECT_EQ(daemon.WaitForExit(), 2) << args[0];
        EXPECT_NE(daemon.err().find("usage: velmar-dds-sim"), std::string::npos) << args[0];
        EXPECT_FALSE(Exists(dir_.devices()));
    }
    Daemon help(dir_, {"--help"});
    EXPECT_EQ(help.WaitForExit(), 0);
    EXPECT_NE(help.out().find("--drop-after N"), std::string::npos);
}

}  // namespace
