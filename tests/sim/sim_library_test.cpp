// The library against the simulated instrument over real sockets: what each
// operation makes the instrument receive, what the meter reads back, and what
// the library returns, and how fast, when the instrument misbehaves.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "VelmarDll.h"
#include "running_sim.h"

namespace velmar::simtest {
namespace {

using sim::InstrumentModel;
using sim::ServerOptions;
using Lines = std::vector<std::string>;

std::vector<uint16_t> Sine(int length, int periods) {
    std::vector<uint16_t> wave(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        wave[i] = static_cast<uint16_t>(
            std::lround(32767.5 + 32767.0 * std::sin(2.0 * M_PI * periods * i / length)));
    }
    return wave;
}

class Stopwatch {
  public:
    double ElapsedMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

ServerOptions Instruments(int count) {
    ServerOptions options;
    options.count = count;
    return options;
}

// ---- Operations end to end -------------------------------------------------------

TEST(SimLibraryTest, MeterReadsEveryPlannedFrequencyOnTheSecondInstrument) {
    RunningSim sim(Instruments(2));
    ASSERT_EQ(DDSSearch(), 2);
    for (double hz : {1000.0, 12345.0, 1e6, 3e6}) {
        int32_t length = 0, periods = 0;
        ASSERT_EQ(DDSSetFrequency(1, hz, &length, &periods), 1);
        const std::vector<uint16_t> wave = Sine(length, periods);
        ASSERT_EQ(DDSDownload(1, wave.data(), length), 1);
        double reading = -1.0;
        ASSERT_EQ(DDSGetMeasure(1, 0, &reading), 1);
        EXPECT_NEAR(reading, hz, hz * 1e-3) << "set " << hz << " Hz";
        const double played = sim.server().WithInstrument(
            1, [](InstrumentModel& model) { return model.OutputFrequencyHz(); });
        EXPECT_NEAR(reading, played, played * 1e-3);
    }
    for (const std::string& line : sim.TakeTrace()) EXPECT_EQ(line.rfind("dds1: ", 0), 0u) << line;
}

TEST(SimLibraryTest, FrequencyAndDownloadAsTheInstrumentReceivesThem) {
    RunningSim sim;
    ASSERT_EQ(DDSSearch(), 1);
    int32_t length = 0, periods = 0;
    ASSERT_EQ(DDSSetFrequency(0, 1000.0, &length, &periods), 1);
    const std::vector<uint16_t> wave = Sine(100, 1);
    ASSERT_EQ(DDSDownload(0, wave.data(), 100), 1);
    EXPECT_EQ(sim.TakeTrace(),
              (Lines{"dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48",
                     "dds0: length: word 0x0063, 100 samples in 4 blocks",
                     "dds0: block 1 of 4: samples 0-31", "dds0: block 2 of 4: samples 32-63",
                     "dds0: block 3 of 4: samples 64-95",
                     "dds0: block 4 of 4: samples 96-127, download complete"}));
    sim.server().WithInstrument(0, [&](InstrumentModel& model) {
        EXPECT_EQ(model.PlayedWave(), wave);
        EXPECT_EQ(model.divider(), 48);
    });
}

TEST(SimLibraryTest, TriggerPulsesThenArms) {
    RunningSim sim;
    ASSERT_EQ(DDSSearch(), 1);
    ASSERT_EQ(DDSSetTrigger(0, 1, 1), 1);
    EXPECT_EQ(sim.TakeTrace(),
              (Lines{"dds0: control: word 0x0020 [trigger pulse] dio-out 0x0000 divider 0",
                     "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 0",
                     "dds0: control: word 0x0018 [trigger enable, trigger option] dio-out 0x0000 "
                     "divider 0"}));
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.trigger_pulses(), 1u);
        EXPECT_EQ(model.control_word(), 0x0018);
    });
}

TEST(SimLibraryTest, ModesAndDigitalPorts) {
    ServerOptions options;
    options.digital_in = 0x5A3C;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    uint16_t in = 0;
    ASSERT_EQ(DDSGetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 0x5A3C);
    ASSERT_EQ(DDSSetDigitalOut(0, 0x00A5), 1);
    ASSERT_EQ(DDSSetDIOMode(0, 1), 1);
    ASSERT_EQ(DDSSetSingleWave(0, 1), 1);
    ASSERT_EQ(DDSSetDivNum(0, 9), 1);
    const Lines trace = sim.TakeTrace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[4],
              "dds0: control: word 0x0104 [single wave, dio mode] dio-out 0x00A5 divider 9");
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.digital_out(), 0x00A5);
        EXPECT_EQ(model.control_word(), 0x0104);
        EXPECT_EQ(model.SampleClockHz(), 100e6 / 9);
    });
}

TEST(SimLibraryTest, CounterCountsInputCyclesSinceReset) {
    static std::atomic<double> now_s{50.0};
    ServerOptions options;
    options.input_hz = 1000.0;
    options.clock = [] { return now_s.load(); };
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    now_s = 60.0;
    ASSERT_EQ(DDSResetCounter(0), 1);
    now_s = 63.0;
    double reading = 0.0;
    ASSERT_EQ(DDSGetMeasure(0, 1, &reading), 1);
    EXPECT_EQ(reading, 3000.0);
    EXPECT_EQ(sim.TakeTrace(),
              (Lines{"dds0: control: word 0x0002 [counter reset] dio-out 0x0000 divider 0",
                     "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 0",
                     "dds0: control: word 0x0001 [counter mode] dio-out 0x0000 divider 0"}));
    ASSERT_EQ(DDSGetMeasure(0, 0, &reading), 1);
    EXPECT_EQ(reading, 1000.0);
}

TEST(SimLibraryTest, PowerOnStoresWaveformOrControlState) {
    RunningSim sim;
    ASSERT_EQ(DDSSearch(), 1);
    const std::vector<uint16_t> wave = Sine(100, 1);
    ASSERT_EQ(DDSDownload(0, wave.data(), 100), 1);
    sim.TakeTrace();
    ASSERT_EQ(DDSSetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(sim.TakeTrace(), (Lines{"dds0: length: word 0xFFFF, no samples (output stopped)",
                                      "dds0: power-on: store waveform, 100 samples, divider 0",
                                      "dds0: length: word 0x0080, 129 samples in 6 blocks"}));
    sim.server().WithInstrument(0, [&](InstrumentModel& model) {
        EXPECT_EQ(model.power_on().kind, sim::PowerOnSetting::Kind::kWaveform);
        EXPECT_EQ(model.power_on().wave_length, 100);
    });

    ASSERT_EQ(DDSSetSingleWave(0, 1), 1);
    ASSERT_EQ(DDSSetPowerOnOutput(0, 1), 1);
    const Lines trace = sim.TakeTrace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(
        trace[1],
        "dds0: power-on: store control state, word 0x0004 [single wave] dio-out 0x0000 divider 0");
}

// ---- Faults: what the library returns, in bounded time ------------------------------

TEST(SimFaultTest, SilentInstrumentTimesOutOnce) {
    ServerOptions options;
    options.faults.silent = true;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    Stopwatch watch;
    EXPECT_EQ(DDSSetDivNum(0, 5), 0);
    EXPECT_GE(watch.ElapsedMs(), 990.0);
    EXPECT_LT(watch.ElapsedMs(), 2500.0);
    EXPECT_EQ(sim.TakeTrace(), Lines{"dds0: control: word 0x0000 [none] dio-out 0x0000 divider 5"});
}

TEST(SimFaultTest, ShortDelayIsWaitedFor) {
    ServerOptions options;
    options.faults.delay_ms = 60;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    Stopwatch watch;
    uint16_t in = 0xFFFF;
    EXPECT_EQ(DDSGetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 0);
    EXPECT_GE(watch.ElapsedMs(), 55.0);
    EXPECT_LT(watch.ElapsedMs(), 900.0);
}

TEST(SimFaultTest, AnswerLaterThanTheLimitCountsAsNone) {
    ServerOptions options;
    options.faults.delay_ms = 1300;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    Stopwatch watch;
    EXPECT_EQ(DDSSetSingleWave(0, 1), 0);
    EXPECT_GE(watch.ElapsedMs(), 990.0);
    EXPECT_LT(watch.ElapsedMs(), 2500.0);
}

TEST(SimFaultTest, AckLimitEndsTheDownloadAtTheFirstMissingAck) {
    ServerOptions options;
    options.faults.ack_limit = 3;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    const std::vector<uint16_t> wave = Sine(256, 1);
    Stopwatch watch;
    EXPECT_EQ(DDSDownload(0, wave.data(), 256), 0);
    EXPECT_LT(watch.ElapsedMs(), 2500.0);
    const Lines trace = sim.TakeTrace();
    ASSERT_EQ(trace.size(), 5u);  // the header and blocks 1 to 4; nothing after the silence
    EXPECT_EQ(trace[4], "dds0: block 4 of 8: samples 96-127 (not acknowledged: limit 3)");
}

TEST(SimFaultTest, ShortReportIsNoAnswerButAcksStillCount) {
    ServerOptions options;
    options.faults.short_report = true;
    options.digital_in = 0x1234;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    Stopwatch watch;
    double reading = -7.0;
    EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 0);
    EXPECT_EQ(reading, -7.0);
    uint16_t in = 0xBEEF;
    EXPECT_EQ(DDSGetDigitalIn(0, &in), 0);
    EXPECT_EQ(in, 0xBEEF);
    EXPECT_LT(watch.ElapsedMs(), 500.0);
    const std::vector<uint16_t> wave = Sine(64, 1);
    EXPECT_EQ(DDSDownload(0, wave.data(), 64), 1);
}

TEST(SimFaultTest, DropAfterHangsUpMidCallAndTheNextOpenWorks) {
    ServerOptions options;
    options.faults.drop_after = 1;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 1);
    Stopwatch watch;
    EXPECT_EQ(DDSResetCounter(0), 0);  // two exchanges: the second finds the line dead
    EXPECT_EQ(DDSSetDivNum(0, 3), 1);  // one exchange per connection is fine
    EXPECT_LT(watch.ElapsedMs(), 500.0);
}

TEST(SimFaultTest, RefusingInstrumentIsListedButNeverOpens) {
    ServerOptions options;
    options.refuse = true;
    options.count = 2;
    RunningSim sim(options);
    ASSERT_EQ(DDSSearch(), 2);
    Stopwatch watch;
    EXPECT_EQ(DDSCheck(0), 0);
    EXPECT_EQ(DDSSetDivNum(1, 3), 0);
    int32_t length = -1, periods = -1;
    EXPECT_EQ(DDSSetFrequency(0, 1000.0, &length, &periods), 0);
    EXPECT_EQ(length, -1);
    EXPECT_LT(watch.ElapsedMs(), 200.0);
    EXPECT_TRUE(sim.TakeTrace().empty());
}

TEST(SimFaultTest, ConnectionsBeyondTheCapWaitUntilOneCloses) {
    RunningSim sim;
    ASSERT_EQ(DDSSearch(), 1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, sim.server().socket_paths()[0].c_str());
    // Connections are accepted in the order they came: these first.
    std::vector<int> held;
    for (int i = 0; i < sim::SimServer::kMaxConnectionsPerInstrument; ++i) {
        held.push_back(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        ASSERT_EQ(
            connect(held.back(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    }
    EXPECT_EQ(DDSSetDivNum(0, 3), 0) << "one connection over the cap is not served";
    close(held.back());
    held.pop_back();
    EXPECT_EQ(DDSSetDivNum(0, 3), 1);
    for (int fd : held) close(fd);
}

}  // namespace
}  // namespace velmar::simtest
