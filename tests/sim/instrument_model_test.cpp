// The simulated instrument as a conversation: the bytes it receives, the bytes
// it answers, and what its state and its meter then say.

#include "instrument_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "device/device_directory.h"
#include "ops/frequency_plan.h"
#include "ops/measure_conversion.h"
#include "protocol/describe.h"
#include "protocol/protocol.h"
#include "wire_messages.h"

namespace velmar::sim {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::ControlPacket;
using testing::LengthHeader;

Bytes PowerOnControl(uint16_t word, uint16_t digital_out, uint16_t divider) {
    Bytes packet = ControlPacket(word, digital_out, divider);
    packet[0] = kPowerOnCommand;
    return packet;
}

Bytes Block(const std::vector<uint16_t>& samples, size_t first) {
    Bytes block(kSampleBlockBytes);
    for (size_t i = 0; i < kSamplesPerBlock; ++i) StoreLe16(&block[2 * i], samples[first + i]);
    return block;
}

// Sends a wave as the library does: header count - 1, then the wave padded
// to a multiple of 64 with its last sample, 32 samples per block. Returns
// the answers to the blocks.
std::vector<Answer> Download(InstrumentModel& model, std::vector<uint16_t> wave) {
    const size_t count = wave.size();
    model.Handle(LengthHeader(static_cast<uint16_t>(count - 1)));
    const size_t padded = (count + 63) / 64 * 64;
    wave.resize(padded, count > 0 ? wave.back() : 0);
    std::vector<Answer> answers;
    for (size_t first = 0; first < padded; first += kSamplesPerBlock) {
        answers.push_back(model.Handle(Block(wave, first)));
    }
    return answers;
}

std::vector<uint16_t> Sine(int length, int periods) {
    std::vector<uint16_t> wave(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        const double phase = 2.0 * M_PI * periods * i / length;
        wave[i] = static_cast<uint16_t>(std::lround(32767.5 + 32767.0 * std::sin(phase)));
    }
    return wave;
}

std::vector<uint16_t> Ramp(int count, uint16_t first) {
    std::vector<uint16_t> wave(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) wave[i] = static_cast<uint16_t>(first + i);
    return wave;
}

double PlayedClockHz(uint16_t divider) {
    return divider == 0 ? 200e6 : 100e6 / divider;
}

// ---- Answers by message kind ----------------------------------------------

struct KindCase {
    const char* name;
    Bytes message;
    size_t answer_size;
    const char* trace_start;
};

class MessageKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(MessageKindTest, AnswersByLengthAndCode) {
    InstrumentModel model;
    const Answer answer = model.Handle(GetParam().message);
    EXPECT_EQ(answer.bytes.size(), GetParam().answer_size);
    EXPECT_EQ(answer.trace.rfind(GetParam().trace_start, 0), 0u) << answer.trace;
    EXPECT_FALSE(answer.close_connection);
    EXPECT_EQ(answer.delay_ms, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MessageKindTest,
    ::testing::Values(
        KindCase{"Control", ControlPacket(0), kStatusReportSize, "control: "},
        KindCase{"LengthHeader", LengthHeader(99), kAckSize, "length: "},
        // A block is told by its length, even when its first sample looks like a code.
        KindCase{"BlockStartingLikeControl",
                 Bytes{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                 kAckSize, "block 1: none announced"},
        KindCase{"PowerOnWaveform", Bytes{kPowerOnCommand}, kAckSize, "power-on: store waveform"},
        KindCase{"PowerOnControlState", PowerOnControl(4, 0, 48), kAckSize,
                 "power-on: store control state"},
        // Messages it does not know go unanswered.
        KindCase{"ShortControl", Bytes{kControlCommand, 0, 0}, 0, "unknown: 3 bytes a0 00 00"},
        KindCase{"Empty", Bytes{}, 0, "unknown: 0 bytes"},
        KindCase{"LongUnknown", Bytes(10, 0x55), 0, "unknown: 10 bytes 55 55"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Control packets and reports -------------------------------------------

TEST(ControlTest, PacketSetsTheStateAndIsTracedDecoded) {
    InstrumentModel model;
    const Answer answer = model.Handle(ControlPacket(0x0018, 0x0000, 48));
    EXPECT_EQ(answer.trace,
              "control: word 0x0018 [trigger enable, trigger option] dio-out 0x0000 divider 48");
    EXPECT_EQ(model.control_word(), 0x0018);
    EXPECT_EQ(model.divider(), 48);

    model.Handle(ControlPacket(0x0105, 0xBEEF, 0));
    EXPECT_EQ(model.control_word(), 0x0105);
    EXPECT_EQ(model.digital_out(), 0xBEEF);
    EXPECT_EQ(model.divider(), 0);
}

TEST(ControlTest, ControlWordNamesEveryBitAndFlagsUnknownOnes) {
    const struct {
        uint16_t word;
        const char* text;
    } cases[] = {
        {0x0000, "word 0x0000 [none]"},
        {0x0001, "word 0x0001 [counter mode]"},
        {0x0002, "word 0x0002 [counter reset]"},
        {0x0004, "word 0x0004 [single wave]"},
        {0x0020, "word 0x0020 [trigger pulse]"},
        {0x0100, "word 0x0100 [dio mode]"},
        {0x0040, "word 0x0040 [unknown 0x0040]"},
        {0x813F,
         "word 0x813F [counter mode, counter reset, single wave, trigger enable, trigger option, "
         "trigger pulse, dio mode, unknown 0x8000]"},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribeControlWord(c.word), c.text);
}

TEST(ControlTest, ReportCarriesTheDigitalInputLowByteFirst) {
    InstrumentModel model;
    model.set_digital_in(0x5A3C);
    const Answer answer = model.Handle(ControlPacket(0));
    ASSERT_EQ(answer.bytes.size(), kStatusReportSize);
    EXPECT_EQ(answer.bytes[0], 0x3C);
    EXPECT_EQ(answer.bytes[1], 0x5A);
}

TEST(ControlTest, RisingEdgesOfTheTriggerPulseAreCounted) {
    InstrumentModel model;
    // The library's trigger: pulse set, pulse cleared 100 ms later, final setting.
    for (uint16_t word : {0x0020, 0x0000, 0x0018, 0x0038, 0x0038, 0x0018})
        model.Handle(ControlPacket(word));
    EXPECT_EQ(model.trigger_pulses(), 2u);
}

// ---- Downloads ---------------------------------------------------------------

TEST(DownloadTest, HeaderAnnouncesCountPlusOneAndBlocksFillMemoryFromZero) {
    InstrumentModel model;
    const std::vector<Answer> answers = Download(model, Ramp(100, 1000));
    ASSERT_EQ(answers.size(), 4u);  // 100 samples padded to 128
    for (const Answer& answer : answers) EXPECT_EQ(answer.bytes, Bytes{0});
    EXPECT_EQ(answers[0].trace, "block 1 of 4: samples 0-31");
    EXPECT_EQ(answers[3].trace, "block 4 of 4: samples 96-127, download complete");
    // A trace of one line per download leaves out the blocks before the last.
    for (size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i].routine_block, i < 3) << i;
    EXPECT_EQ(model.played_length(), 100);
    EXPECT_EQ(model.memory()[0], 1000);
    EXPECT_EQ(model.memory()[99], 1099);
    EXPECT_EQ(model.memory()[127], 1099);  // the padding repeats the last sample
    EXPECT_EQ(model.PlayedWave(), Ramp(100, 1000));
}

TEST(DownloadTest, HeaderTraceTellsSamplesAndBlocks) {
    const struct {
        uint16_t word;
        int played;
        const char* trace;
    } cases[] = {
        {0, 1, "length: word 0x0000, 1 samples in 2 blocks"},
        {63, 64, "length: word 0x003F, 64 samples in 2 blocks"},
        {64, 65, "length: word 0x0040, 65 samples in 4 blocks"},
        {2082, 2083, "length: word 0x0822, 2083 samples in 66 blocks"},
        {4095, 4096, "length: word 0x0FFF, 4096 samples in 128 blocks"},
        // Only 4096 samples fit: a longer announcement plays the whole memory.
        {5000, 4096, "length: word 0x1388, 5001 samples in 128 blocks"},
        {0xFFFF, 0, "length: word 0xFFFF, no samples (output stopped)"},
    };
    for (const auto& c : cases) {
        InstrumentModel model;
        const Answer answer = model.Handle(LengthHeader(c.word));
        EXPECT_EQ(answer.trace, c.trace);
        EXPECT_EQ(answer.bytes, Bytes{0});
        EXPECT_EQ(model.played_length(), c.played) << c.trace;
    }
}

TEST(DownloadTest, BlocksBeyondTheAnnouncedOnesAreAcknowledgedAndIgnored) {
    InstrumentModel model;
    Download(model, Ramp(64, 7));
    const Answer extra = model.Handle(Block(std::vector<uint16_t>(32, 9999), 0));
    EXPECT_EQ(extra.trace, "block 3: none announced, ignored");
    EXPECT_EQ(extra.bytes, Bytes{0});
    EXPECT_EQ(model.memory()[0], 7);
}

TEST(DownloadTest, FullMemoryRoundTrips) {
    InstrumentModel model;
    const std::vector<uint16_t> wave = Ramp(4096, 0);
    const std::vector<Answer> answers = Download(model, wave);
    EXPECT_EQ(answers.size(), 128u);
    EXPECT_EQ(model.PlayedWave(), wave);
}

// ---- The meter in frequency mode: what the library reads back ----------------

struct MeterCase {
    double requested_hz;
    bool count_path;  // above 30000 counts: converted from the count, else the period
};

class MeterTest : public ::testing::TestWithParam<MeterCase> {};

TEST_P(MeterTest, LibraryReadsThePlayedFrequencyWithinAThousandth) {
    const std::optional<FrequencyPlan> plan = PlanFrequency(GetParam().requested_hz);
    ASSERT_TRUE(plan);
    InstrumentModel model;
    model.Handle(ControlPacket(0, 0, plan->divider));
    Download(model, Sine(plan->length, plan->periods));
    const Answer answer = model.Handle(ControlPacket(0, 0, plan->divider));
    ASSERT_EQ(answer.bytes.size(), kStatusReportSize);
    std::array<uint8_t, kStatusReportSize> bytes{};
    std::copy(answer.bytes.begin(), answer.bytes.end(), bytes.begin());
    const StatusReport report(bytes);

    const double played = PlayedClockHz(plan->divider) * plan->periods / plan->length;
    EXPECT_EQ(model.CyclesPerLoop(), plan->periods);
    EXPECT_NEAR(model.OutputFrequencyHz(), played, played * 1e-12);
    EXPECT_EQ(report.count() > kCountThreshold, GetParam().count_path) << report.count();
    const double reading = MeasurementReading(0, report);
    EXPECT_NEAR(reading, played, played * 1e-3);
    EXPECT_NEAR(reading, GetParam().requested_hz, GetParam().requested_hz * 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, MeterTest,
                         ::testing::Values(MeterCase{1.0, false}, MeterCase{10.0, false},
                                           MeterCase{1000.0, false}, MeterCase{12345.0, false},
                                           MeterCase{32000.0, false}, MeterCase{48828.125, false},
                                           MeterCase{59000.0, false}, MeterCase{61000.0, true},
                                           MeterCase{100000.0, true}, MeterCase{100001.0, true},
                                           MeterCase{1e6, true}, MeterCase{3e6, true},
                                           MeterCase{19140625.0, true}, MeterCase{50e6, true}),
                         [](const auto& info) {
                             char text[32];
                             std::snprintf(text, sizeof(text), "%.10g", info.param.requested_hz);
                             std::string name = text;
                             std::replace(name.begin(), name.end(), '.', '_');
                             std::replace(name.begin(), name.end(), '+', '_');
                             return "Hz_" + name;
                         });

TEST(MeterShapeTest, EveryShapeCountsOneCyclePerPeriod) {
    const int length = 3000;
    for (int periods : {1, 2, 7, 61}) {
        std::vector<uint16_t> square(length), triangle(length), sawtooth(length);
        for (int i = 0; i < length; ++i) {
            const double phase = std::fmod(static_cast<double>(periods) * i / length, 1.0);
            square[i] = phase < 0.5 ? 60000 : 5000;
            triangle[i] = static_cast<uint16_t>(phase < 0.5 ? 40000 * phase : 40000 * (1 - phase));
            sawtooth[i] = static_cast<uint16_t>(20000 * phase);
        }
        for (const auto& wave : {square, triangle, sawtooth, Sine(length, periods)}) {
            InstrumentModel model;
            Download(model, wave);
            EXPECT_EQ(model.CyclesPerLoop(), periods);
        }
    }
}

TEST(MeterShapeTest, SmallRipplesAroundTheMiddleAreNotCycles) {
    // A square of 2 periods with a ripple of a tenth of its swing at each level.
    std::vector<uint16_t> wave(2000);
    for (int i = 0; i < 2000; ++i) {
        const uint16_t level = (i / 500) % 2 == 0 ? 50000 : 10000;
        wave[i] = static_cast<uint16_t>(level + (i % 2 == 0 ? 4000 : -4000));
    }
    InstrumentModel model;
    Download(model, wave);
    EXPECT_EQ(model.CyclesPerLoop(), 2);
}

TEST(MeterInputTest, NothingPlayedReadsZero) {
    const std::vector<std::vector<uint16_t>> silent_waves = {{},
                                                             std::vector<uint16_t>(1000, 32768)};
    for (const auto& wave : silent_waves) {
        InstrumentModel model;
        if (!wave.empty()) Download(model, wave);
        const StatusReport report = model.MeasureNow();
        EXPECT_EQ(report.count(), 0u);
        EXPECT_EQ(report.period(), 0u);
        EXPECT_EQ(MeasurementReading(0, report), 0.0);
    }
}

TEST(MeterInputTest, StoppedOutputReadsZeroAndTheWaveStaysForPowerOn) {
    InstrumentModel model;
    Download(model, Sine(2000, 1));
    model.Handle(LengthHeader(0xFFFF));
    EXPECT_EQ(model.OutputFrequencyHz(), 0.0);
    model.Handle(Bytes{kPowerOnCommand});
    EXPECT_EQ(model.power_on().wave_length, 2000);
}

TEST(MeterInputTest, ExternalInputReplacesTheOwnOutput) {
    for (double hz : {3.0, 777.0, 45678.9, 2.5e6}) {
        InstrumentModel model;
        Download(model, Sine(2000, 1));
        model.set_external_input_hz(hz);
        EXPECT_NEAR(MeasurementReading(0, model.MeasureNow()), hz, hz * 1e-3);
    }
}

// Only what the count and period registers can hold is taken; at the edges
// both modes stay defined however long the instrument runs.
TEST(MeterInputTest, RefusesInputsItCannotCountAndCountsTheEdgesForever) {
    struct Case {
        double hz;
        bool countable;
    };
    for (const Case c : {Case{1e308, false}, Case{INFINITY, false}, Case{NAN, false},
                         Case{-1.0, false}, Case{8.6e9, false}, Case{0.04, false}, Case{0.0, true},
                         Case{InstrumentModel::kLowestCountableHz, true},
                         Case{InstrumentModel::kHighestCountableHz, true}}) {
        double now_s = 0.0;
        InstrumentModel model([&now_s] { return now_s; });
        ASSERT_TRUE(model.set_external_input_hz(7.0));
        EXPECT_EQ(model.set_external_input_hz(c.hz), c.countable) << c.hz;
        EXPECT_EQ(model.MeterInputHz(), c.countable ? c.hz : 7.0) << c.hz;
        model.Handle(ControlPacket(kMeasureModeBit | kCounterResetBit));
        now_s = 3.0e7;  // about a year
        const uint32_t count = model.MeasureNow().count();
        const double cycles = model.MeterInputHz() * now_s / 2.0;
        EXPECT_EQ(count, static_cast<uint32_t>(std::fmod(std::floor(cycles), 4294967296.0)))
            << c.hz;
        model.Handle(ControlPacket(0));
        EXPECT_GE(model.MeasureNow().count(), c.hz > 0.0 ? 1u : 0u) << c.hz;
    }
}

TEST(CounterTest, CountsInputCyclesSinceTheLastReset) {
    double now_s = 100.0;
    InstrumentModel model([&now_s] { return now_s; });
    model.set_external_input_hz(1000.0);
    // The library's reset: the bit set for one packet, cleared for the next.
    model.Handle(ControlPacket(kCounterResetBit));
    model.Handle(ControlPacket(0));
    now_s += 2.5;
    StatusReport report = model.MeasureNow();
    EXPECT_NEAR(MeasurementReading(0, report), 1000.0, 1.0);  // frequency mode meanwhile
    model.Handle(ControlPacket(kMeasureModeBit));
    EXPECT_EQ(MeasurementReading(1, model.MeasureNow()), 2500.0);

    // The input changes: cycles add up piece by piece.
    model.set_external_input_hz(3000.0);
    now_s += 1.0;
    EXPECT_EQ(MeasurementReading(1, model.MeasureNow()), 5500.0);

    model.Handle(ControlPacket(kMeasureModeBit | kCounterResetBit));
    EXPECT_EQ(MeasurementReading(1, model.MeasureNow()), 0.0);
    model.Handle(ControlPacket(kMeasureModeBit));
    now_s += 0.01;
    EXPECT_EQ(MeasurementReading(1, model.MeasureNow()), 30.0);
}

TEST(CounterTest, CountsTheOwnOutputWhenNoExternalInput) {
    double now_s = 0.0;
    InstrumentModel model([&now_s] { return now_s; });
    // 1 kHz plan: divider 48, 2083 samples, 1 period: 1000.16 Hz.
    model.Handle(ControlPacket(kCounterResetBit, 0, 48));
    Download(model, Sine(2083, 1));
    model.Handle(ControlPacket(kMeasureModeBit, 0, 48));
    now_s = 10.0;
    const double cycles = 100e6 / 48 / 2083 * 10.0;
    EXPECT_NEAR(MeasurementReading(1, model.MeasureNow()), cycles, 2.0);
}

TEST(CounterTest, ThirtyTwoBitCountWraps) {
    double now_s = 0.0;
    InstrumentModel model([&now_s] { return now_s; });
    model.set_external_input_hz(100e6);
    model.Handle(ControlPacket(kMeasureModeBit | kCounterResetBit));
    model.Handle(ControlPacket(kMeasureModeBit));
    now_s = 100.0;  // 1e10 cycles, 5e9 prescaled: past 2^32
    EXPECT_EQ(model.MeasureNow().count(), static_cast<uint32_t>(5000000000ull % 4294967296ull));
}

// ---- Power-on --------------------------------------------------------------------

TEST(PowerOnTest, ControlStateIsStoredAndComesBackAtPowerOn) {
    InstrumentModel model;
    const Answer answer = model.Handle(PowerOnControl(0x0004, 0x00A5, 48));
    EXPECT_EQ(answer.trace,
              "power-on: store control state, word 0x0004 [single wave] dio-out 0x00A5 divider 48");
    EXPECT_EQ(model.power_on().kind, PowerOnSetting::Kind::kControlState);
    model.Handle(ControlPacket(0x0010, 0x1111, 9));
    model.PowerCycle();
    EXPECT_EQ(model.control_word(), 0x0004);
    EXPECT_EQ(model.digital_out(), 0x00A5);
    EXPECT_EQ(model.divider(), 48);
}

TEST(PowerOnTest, LibrarySequenceStoresTheWaveAndLeavesOneMoreSamplePlayed) {
    InstrumentModel model;
    model.Handle(ControlPacket(0, 0, 48));
    const std::vector<uint16_t> wave = Sine(2083, 1);
    Download(model, wave);
    // What the host sends to store the waveform: stop, store, padded count.
    model.Handle(LengthHeader(0xFFFF));
    EXPECT_EQ(model.Handle(Bytes{kPowerOnCommand}).trace,
              "power-on: store waveform, 2083 samples, divider 48");
    model.Handle(LengthHeader(2112));
    EXPECT_EQ(model.played_length(), 2113);
    EXPECT_EQ(model.power_on().kind, PowerOnSetting::Kind::kWaveform);
    EXPECT_EQ(model.power_on().wave_length, 2083);

    model.Handle(ControlPacket(0x0010, 0, 3));
    Download(model, Ramp(200, 0));
    model.PowerCycle();
    EXPECT_EQ(model.divider(), 48);
    EXPECT_EQ(model.control_word(), 0);
    EXPECT_EQ(model.PlayedWave(), wave);
}

TEST(PowerOnTest, NothingStoredComesBackAllZero) {
    InstrumentModel model;
    model.Handle(ControlPacket(0x0104, 0x00FF, 12));
    Download(model, Sine(500, 1));
    model.PowerCycle();
    EXPECT_EQ(model.control_word(), 0);
    EXPECT_EQ(model.digital_out(), 0);
    EXPECT_EQ(model.divider(), 0);
    EXPECT_EQ(model.played_length(), 0);
}

// ---- Faults ------------------------------------------------------------------------

Faults With(void (*set)(Faults&)) {
    Faults faults;
    set(faults);
    return faults;
}

const std::vector<Bytes>& EveryKind() {
    static const std::vector<Bytes> kinds = {ControlPacket(0), LengthHeader(31),
                                             Bytes(kSampleBlockBytes, 1), Bytes{kPowerOnCommand},
                                             PowerOnControl(0, 0, 0)};
    return kinds;
}

TEST(FaultTest, SilentAnswersNothingButStillListens) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.silent = true; }));
    for (const Bytes& message : EveryKind()) {
        const Answer answer = model.Handle(message);
        EXPECT_TRUE(answer.bytes.empty()) << answer.trace;
        EXPECT_FALSE(answer.close_connection);
    }
    model.Handle(ControlPacket(0x0004, 0x0042, 7));
    EXPECT_EQ(model.digital_out(), 0x0042);
}

TEST(FaultTest, DelayIsAttachedToEveryAnswer) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.delay_ms = 250; }));
    for (const Bytes& message : EveryKind()) {
        const Answer answer = model.Handle(message);
        EXPECT_FALSE(answer.bytes.empty());
        EXPECT_EQ(answer.delay_ms, 250u);
    }
}

TEST(FaultTest, ShortReportCutsOnlyTheReport) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.short_report = true; }));
    for (const Bytes& message : EveryKind()) {
        const size_t expected = message == ControlPacket(0) ? 6u : kAckSize;
        EXPECT_EQ(model.Handle(message).bytes.size(), expected);
    }
}

TEST(FaultTest, AckLimitCountsBlocksOfEachDownload) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.ack_limit = 3; }));
    for (int download = 0; download < 2; ++download) {
        const std::vector<Answer> answers = Download(model, Ramp(256, 0));
        ASSERT_EQ(answers.size(), 8u);
        for (size_t b = 0; b < answers.size(); ++b) {
            EXPECT_EQ(answers[b].bytes.empty(), b >= 3) << "block " << b + 1;
            // Every block not acknowledged shows in the shortest trace.
            EXPECT_EQ(answers[b].routine_block, b < 3) << "block " << b + 1;
        }
        EXPECT_EQ(answers[3].trace, "block 4 of 8: samples 96-127 (not acknowledged: limit 3)");
        // Headers and control packets are still answered.
        EXPECT_EQ(model.Handle(ControlPacket(0)).bytes.size(), kStatusReportSize);
    }
    model.set_faults(With([](Faults& f) { f.ack_limit = 0; }));
    EXPECT_TRUE(Download(model, Ramp(64, 0))[0].bytes.empty());
}

TEST(FaultTest, DropAfterHangsUpAfterAnsweringTheNthMessageOfEachConnection) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.drop_after = 2; }));
    for (int connection = 0; connection < 2; ++connection) {
        model.BeginConnection();
        const Answer first = model.Handle(ControlPacket(0));
        const Answer second = model.Handle(LengthHeader(0));
        EXPECT_FALSE(first.close_connection);
        EXPECT_TRUE(second.close_connection);
        EXPECT_EQ(second.bytes, Bytes{0});  // answered, then hung up
    }
}

// A host with two connections open at once: each hangs up after its own
// messages, whatever the other one sent or when it was opened.
TEST(FaultTest, DropAfterCountsEachConnectionOnItsOwn) {
    InstrumentModel model;
    model.set_faults(With([](Faults& f) { f.drop_after = 3; }));
    ConnectionCounters first;
    ConnectionCounters second;
    const struct {
        ConnectionCounters* on;
        bool hangs_up;
    } steps[] = {{&first, false},  {&first, false}, {&second, false},
                 {&second, false}, {&first, true},  {&second, true}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Answer answer =
            model.Handle(*steps[i].on, ControlPacket(0).data(), kCommandPacketSize);
        EXPECT_EQ(answer.close_connection, steps[i].hangs_up) << "step " << i;
        EXPECT_EQ(answer.bytes.size(), kStatusReportSize) << "step " << i;
    }
    // Neither touched the model's own connection.
    EXPECT_FALSE(model.Handle(ControlPacket(0)).close_connection);
}

TEST(FaultTest, StateSurvivesFromOneConnectionToTheNext) {
    InstrumentModel model;
    model.BeginConnection();
    model.Handle(ControlPacket(0x0004, 0x1234, 48));
    Download(model, Sine(2083, 1));
    model.BeginConnection();
    EXPECT_EQ(model.digital_out(), 0x1234);
    EXPECT_EQ(model.played_length(), 2083);
    EXPECT_NEAR(model.OutputFrequencyHz(), 100e6 / 48 / 2083, 1e-6);
}

// ---- Device order ------------------------------------------------------------------

// Names in the order the library numbers their sockets. Every pair must
// compare one way only, so the order is total and the same on every listing.
TEST(DeviceOrderTest, NamesSortByTheNumbersInThemThenBytewise) {
    const std::vector<std::string> ordered = {
        "",
        "-5",  // '-' lies below the digits
        "0", "00", "000", "1", "01", "7", "07", "007", "8", "10", "99999999999999999999",
        // Longer than any 64-bit number: compared by length, then digit by digit.
        "100000000000000000000", "000100000000000000000000", "123456789012345678901234567890",
        "123456789012345678901234567891",
        "A",  // above the digits
        "a1b2", "a1b02",
        "a01b2",  // zeros count at the first run where they differ
        "a1b10", "a2b1", "a10b0", "dds", "dds-1", "dds0", "dds1", "dds2", "dds7", "dds07", "dds7x",
        "dds07x", "dds9", "dds10", "dds11", "dds_", "ddsb",
        "\xff",  // bytes compare unsigned
    };
    for (size_t i = 0; i < ordered.size(); ++i) {
        EXPECT_FALSE(NaturalLess(ordered[i], ordered[i])) << ordered[i];
        for (size_t j = i + 1; j < ordered.size(); ++j) {
            EXPECT_TRUE(NaturalLess(ordered[i], ordered[j])) << ordered[i] << " < " << ordered[j];
            EXPECT_FALSE(NaturalLess(ordered[j], ordered[i])) << ordered[j] << " < " << ordered[i];
        }
    }
    std::vector<std::string> shuffled(ordered.rbegin(), ordered.rend());
    std::rotate(shuffled.begin(), shuffled.begin() + 17, shuffled.end());
    std::sort(shuffled.begin(), shuffled.end(), NaturalLess);
    EXPECT_EQ(shuffled, ordered);
}

}  // namespace
}  // namespace velmar::sim
