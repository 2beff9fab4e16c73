// Conversations between the exported operations and a scripted instrument:
// what the instrument receives, what it answers, what the caller gets.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "VelmarDll.h"
#include "instrument_test.h"

namespace velmar::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- Discovery and the call frame ---------------------------------------

using DiscoveryTest = InstrumentTest;

TEST_F(DiscoveryTest, CountsEveryInterfaceButListsOnlyReadablePaths) {
    dds.paths = {"a", "b"};
    dds.interfaces = 3;  // the third one's path could not be read
    EXPECT_EQ(DDSSearch(), 3);
    EXPECT_EQ(DDSCheck(0), 1);
    EXPECT_EQ(DDSCheck(1), 1);
    EXPECT_EQ(DDSCheck(2), 0);
    EXPECT_EQ(dds.opened, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(dds.messages.empty()) << "checking sends nothing";
}

TEST_F(DiscoveryTest, IndicesOutsideTheListDoNotOpen) {
    EXPECT_EQ(SearchWith(2), 2);
    for (int32_t index :
         {-1, 2, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(DDSCheck(index), 0) << index;
    }
    EXPECT_TRUE(dds.opened.empty());
    // A second search replaces the list rather than adding to it.
    EXPECT_EQ(SearchWith(2), 2);
    EXPECT_EQ(DDSCheck(2), 0);
}

TEST_F(DiscoveryTest, AnInstrumentUnpluggedSinceTheSearchDoesNotOpen) {
    dds.unplugged.insert("dds0");
    EXPECT_EQ(DDSCheck(0), 0);
}

TEST_F(DiscoveryTest, AnEmptySetResetsTheShadowButAFailedSearchKeepsIt) {
    ASSERT_EQ(DDSSetDivNum(0, 9), 1);
    ASSERT_EQ(DDSSetDigitalOut(0, 0xBEEF), 1);

    dds.enumeration_possible = false;
    EXPECT_EQ(DDSSearch(), 0);
    EXPECT_EQ(DDSCheck(0), 0) << "the old list is gone";
    EXPECT_EQ(DDSGetCLK(), 20000000.0) << "the shadow is kept";

    dds.enumeration_possible = true;
    EXPECT_EQ(SearchWith(0), 0);
    EXPECT_EQ(DDSGetCLK(), 200000000.0) << "the shadow is reset";

    EXPECT_EQ(SearchWith(1), 1);
    ASSERT_EQ(DDSSetSingleWave(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 0, 0));
}

TEST_F(DiscoveryTest, TheOneShadowIsSentToWhicheverInstrumentIsAddressed) {
    ASSERT_EQ(SearchWith(2), 2);
    ASSERT_EQ(DDSSetDigitalOut(0, 0x00FF), 1);
    ASSERT_EQ(DDSSetSingleWave(1, 1), 1);
    EXPECT_EQ(dds.opened, (std::vector<std::string>{"dds0", "dds1"}));
    EXPECT_EQ(dds.messages.back(), ControlPacket(kSingleWaveBit, 0x00FF, 0));
}

// Every operation that takes an index, called so that it would send.
struct IndexedCall {
    const char* name;
    std::function<int32_t(int32_t)> call;
};

std::vector<IndexedCall> EveryIndexedCall() {
    static int32_t length = -7, periods = -7;
    static double reading = -7;
    static uint16_t input = 0x7777;
    static const uint16_t samples[3] = {1, 2, 3};
    return {
        {"Check", [](int32_t i) { return DDSCheck(i); }},
        {"SetFrequency", [](int32_t i) { return DDSSetFrequency(i, 1000, &length, &periods); }},
        {"SetDivNum", [](int32_t i) { return DDSSetDivNum(i, 9); }},
        {"Download", [](int32_t i) { return DDSDownload(i, samples, 3); }},
        {"GetMeasure", [](int32_t i) { return DDSGetMeasure(i, 1, &reading); }},
        {"ResetCounter", [](int32_t i) { return DDSResetCounter(i); }},
        {"SetSingleWave", [](int32_t i) { return DDSSetSingleWave(i, 1); }},
        {"SetTrigger", [](int32_t i) { return DDSSetTrigger(i, 1, 1); }},
        {"SetDIOMode", [](int32_t i) { return DDSSetDIOMode(i, 1); }},
        {"GetDigitalIn", [](int32_t i) { return DDSGetDigitalIn(i, &input); }},
        {"SetDigitalOut", [](int32_t i) { return DDSSetDigitalOut(i, 0x1234); }},
        {"SetPowerOnOutput", [](int32_t i) { return DDSSetPowerOnOutput(i, 0); }},
    };
}

TEST_F(DiscoveryTest, NoOperationWorksBeforeTheFirstSearch) {
    test_seam::ResetLibraryState();
    for (const IndexedCall& op : EveryIndexedCall()) EXPECT_EQ(op.call(0), 0) << op.name;
    EXPECT_TRUE(dds.opened.empty());
}

TEST_F(DiscoveryTest, AFailedOpenSendsNothingAndChangesNothing) {
    dds.unplugged.insert("dds0");
    for (const IndexedCall& op : EveryIndexedCall()) EXPECT_EQ(op.call(0), 0) << op.name;
    EXPECT_TRUE(dds.messages.empty());
    EXPECT_EQ(DDSGetDivNum(), 0);
    EXPECT_EQ(DDSGetCLK(), 200000000.0);

    // Out-arguments are untouched and the shadow is as the search left it.
    int32_t length = -7, periods = -7;
    double reading = -7;
    uint16_t input = 0x7777;
    EXPECT_EQ(DDSSetFrequency(0, 1000, &length, &periods), 0);
    EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 0);
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 0);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(periods, -7);
    EXPECT_EQ(reading, -7);
    EXPECT_EQ(input, 0x7777);
    dds.unplugged.clear();
    ASSERT_EQ(DDSSetDivNum(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 0, 0));
    EXPECT_EQ(DDSGetDivNum(), 0);
}

TEST_F(DiscoveryTest, EveryOperationSucceedsWhenEveryAnswerArrives) {
    for (const IndexedCall& op : EveryIndexedCall()) EXPECT_EQ(op.call(0), 1) << op.name;
    EXPECT_EQ(dds.reads_without_message, 0);
}

TEST_F(DiscoveryTest, EveryOperationThatWaitsForAnAnswerFailsWithoutOne) {
    const std::vector<std::pair<const char*, Answer>> misses = {
        {"silent", Answer::Silent()},
        {"read fails", Answer::ReadFails()},
        {"hangs up", Answer::HangUp()},
    };
    for (const auto& [how, miss] : misses) {
        dds.answer_for = [miss = miss](const Bytes&) { return miss; };
        for (const IndexedCall& op : EveryIndexedCall()) {
            if (std::string(op.name) == "Check") continue;
            dds.messages.clear();
            EXPECT_EQ(op.call(0), 0) << op.name << ", instrument " << how;
            EXPECT_FALSE(dds.messages.empty()) << op.name << ", instrument " << how;
        }
    }
}

TEST_F(DiscoveryTest, AMessageWhoseWriteWasRefusedIsNotWaitedFor) {
    for (const IndexedCall& op : EveryIndexedCall()) {
        if (std::string(op.name) == "Check") continue;
        for (size_t n = 0; n < 8; ++n) dds.script[dds.messages.size() + n] = Answer::WriteRefused();
        const int reads_before = dds.reads;
        EXPECT_EQ(op.call(0), 0) << op.name;
        EXPECT_EQ(dds.reads, reads_before) << op.name;
    }
}

// A late answer is remembered per device path: a driver may hand it to the
// next handle opened on the instrument, where it must not pass for the answer
// to a later message.
TEST_F(DiscoveryTest, ALateAnswerOnTheNextConnectionIsTakenByNoLaterCall) {
    dds.answers_outlive_close = true;
    dds.report = StatusReport::Make(0x1111, 0, 0);
    dds.script[0] = Answer::Late();
    uint16_t input = 0;
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 0);

    // A check sends nothing, so it proves nothing about the late answer.
    EXPECT_EQ(DDSCheck(0), 1);
    dds.report = StatusReport::Make(0x2222, 0, 0);
    for (int call = 1; call <= 2; ++call) {
        input = 0;
        EXPECT_EQ(DDSGetDigitalIn(0, &input), 1) << "call " << call;
        EXPECT_EQ(input, 0x2222) << "call " << call;
    }
    EXPECT_EQ(dds.dropped, 1) << "dropped once, before the first write after the miss";

    // A working path drops nothing: its next connection starts clean.
    dds.script[dds.messages.size()] = Answer::With({0x01});  // a stray, not a report
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 0);
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 1);
    EXPECT_EQ(dds.dropped, 1) << "the short answer was read, so nothing was left waiting";
}

// ---- Output frequency and clock divider ---------------------------------

using FrequencyTest = InstrumentTest;

TEST_F(FrequencyTest, OneKilohertzSendsTheDividerAndHandsBackThePlan) {
    int32_t length = 0, periods = 0;
    EXPECT_EQ(DDSSetFrequency(0, 1000, &length, &periods), 1);
    EXPECT_EQ(length, 2083);
    EXPECT_EQ(periods, 1);
    EXPECT_EQ(dds.messages, (std::vector<Bytes>{ControlPacket(0, 0, 48)}));
    EXPECT_EQ(DDSGetDivNum(), 48);
    EXPECT_EQ(DDSGetCLK(), 200000000.0 / 49);
}

TEST_F(FrequencyTest, AnUnansweredSettingStillHandsBackAndKeepsThePlan) {
    dds.silent_from = 0;
    int32_t length = 0, periods = 0;
    EXPECT_EQ(DDSSetFrequency(0, 3e6, &length, &periods), 0);
    EXPECT_EQ(length, 4066);
    EXPECT_EQ(periods, 61);
    EXPECT_EQ(DDSSetFrequency(0, 1000, &length, &periods), 0);
    EXPECT_EQ(DDSGetDivNum(), 48);
    EXPECT_EQ(DDSGetCLK(), 200000000.0 / 49);
}

TEST_F(FrequencyTest, UnplannableFrequenciesAndMissingOutputsAreRefusedUntouched) {
    int32_t length = -7, periods = -7;
    for (double hz : {kInf, 1e300, 1e15}) {
        EXPECT_EQ(DDSSetFrequency(0, hz, &length, &periods), 0) << hz;
    }
    EXPECT_EQ(DDSSetFrequency(0, 1000, nullptr, &periods), 0);
    EXPECT_EQ(DDSSetFrequency(0, 1000, &length, nullptr), 0);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(periods, -7);
    EXPECT_TRUE(dds.opened.empty());
    EXPECT_EQ(DDSGetDivNum(), 0);
    EXPECT_EQ(DDSGetCLK(), 200000000.0);
}

TEST_F(FrequencyTest, LengthWinsWhenBothOutputsAreOneInteger) {
    int32_t both = 0;
    EXPECT_EQ(DDSSetFrequency(0, 1e6, &both, &both), 1);
    EXPECT_EQ(both, 4000);
}

TEST_F(FrequencyTest, NegativeFrequenciesKeepTheirWrappedDivider) {
    int32_t length = 0, periods = 0;
    EXPECT_EQ(DDSSetFrequency(0, -1000, &length, &periods), 1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(DDSGetDivNum(), 65488);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 0, 65488));
}

TEST_F(FrequencyTest, ADirectDividerMovesTheClockButNotTheRememberedDivider) {
    int32_t length = 0, periods = 0;
    ASSERT_EQ(DDSSetFrequency(0, 1000, &length, &periods), 1);
    EXPECT_EQ(DDSSetDivNum(0, 9), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 0, 9));
    EXPECT_EQ(DDSGetCLK(), 20000000.0);
    EXPECT_EQ(DDSGetDivNum(), 48);

    // Unanswered, the divider is still kept and restated.
    dds.silent_from = dds.messages.size();
    EXPECT_EQ(DDSSetDivNum(0, 3), 0);
    EXPECT_EQ(DDSGetCLK(), 50000000.0);

    // A search resets the divider but not the remembered one.
    SearchWith(1);
    EXPECT_EQ(DDSGetCLK(), 200000000.0);
    EXPECT_EQ(DDSGetDivNum(), 48);
}

// ---- Waveform download ----------------------------------------------------

using DownloadTest = InstrumentTest;

struct DownloadCase {
    int32_t count;
    uint16_t header_word;
    size_t blocks;
    uint16_t power_on_length;  // the padded count the power-on store then sends
};

class DownloadTable : public InstrumentTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadTable, PadsAnnouncesAndSendsWholeBlocks) {
    const DownloadCase c = GetParam();
    std::vector<uint16_t> samples(static_cast<size_t>(std::max(c.count, 1)));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(0x0100 * i + 7);
    EXPECT_EQ(DDSDownload(0, samples.data(), c.count), 1);

    ASSERT_EQ(dds.messages.size(), 1 + c.blocks);
    EXPECT_EQ(dds.messages[0], LengthHeader(c.header_word));
    std::vector<uint16_t> sent;
    for (size_t b = 1; b < dds.messages.size(); ++b) {
        ASSERT_EQ(dds.messages[b].size(), 64u);
        for (size_t i = 0; i < 64; i += 2) sent.push_back(LoadLe16(&dds.messages[b][i]));
    }
    for (size_t i = 0; i < sent.size(); ++i) {
        const size_t source = std::min<size_t>(i, static_cast<size_t>(c.count) - 1);
        ASSERT_EQ(sent[i], samples[source]) << "sample " << i;
    }

    dds.messages.clear();
    ASSERT_EQ(DDSSetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), LengthHeader(c.power_on_length));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, DownloadTable,
    ::testing::Values(DownloadCase{64, 63, 2, 64}, DownloadCase{65, 64, 4, 128},
                      DownloadCase{100, 99, 4, 128}, DownloadCase{4096, 4095, 128, 4096},
                      DownloadCase{1, 0, 2, 64}, DownloadCase{0, 0xFFFF, 0, 0}),
    [](const auto& info) { return "count" + std::to_string(info.param.count); });

TEST_F(DownloadTest, AMissingBlockAcknowledgementEndsTheDownload) {
    ASSERT_EQ(DDSSetSingleWave(0, 1), 1);
    std::vector<uint16_t> samples(256, 0x1111);
    dds.messages.clear();
    dds.silent_from = 4;  // header and three blocks acknowledged
    EXPECT_EQ(DDSDownload(0, samples.data(), 256), 0);
    EXPECT_EQ(dds.messages.size(), 5u) << "nothing after the unacknowledged block";

    // The control word is back and the length of the last complete download kept.
    dds.silent_from = SIZE_MAX;
    ASSERT_EQ(DDSSetPowerOnOutput(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), LengthHeader(4095));
    ASSERT_EQ(DDSSetDIOMode(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(kSingleWaveBit, 0, 0));
}

TEST_F(DownloadTest, AnUnacknowledgedHeaderSendsNoBlock) {
    ASSERT_EQ(DDSSetTrigger(0, 1, 0), 1);
    dds.messages.clear();
    std::vector<uint16_t> samples(64, 3);
    dds.script[0] = Answer::Silent();
    EXPECT_EQ(DDSDownload(0, samples.data(), 64), 0);
    EXPECT_EQ(dds.messages.size(), 1u);
    ASSERT_EQ(DDSSetDigitalOut(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(kTriggerEnableBit, 0, 0));
}

TEST_F(DownloadTest, CountsOutsideTheMemoryAndMissingSamplesAreRefused) {
    std::vector<uint16_t> samples(4097, 1);
    EXPECT_EQ(DDSDownload(0, samples.data(), -1), 0);
    EXPECT_EQ(DDSDownload(0, samples.data(), std::numeric_limits<int32_t>::min()), 0);
    EXPECT_EQ(DDSDownload(0, samples.data(), 4097), 0);
    EXPECT_EQ(DDSDownload(0, nullptr, 1), 0);
    EXPECT_TRUE(dds.opened.empty());
    EXPECT_EQ(DDSDownload(0, nullptr, 0), 1) << "an empty wave needs no samples";
}

// ---- Measurement and counter ----------------------------------------------

struct MeasureCase {
    int32_t mode;
    uint32_t count;
    uint32_t period;
    double reading;
    bool measure_bit;
};

class MeasureTable : public InstrumentTest, public ::testing::WithParamInterface<MeasureCase> {};

TEST_P(MeasureTable, ConvertsTheReport) {
    const MeasureCase c = GetParam();
    dds.report = StatusReport::Make(0, c.count, c.period);
    double reading = -1;
    // A count with no period gives no frequency: 0, and nothing written.
    const bool is_reading = !std::isinf(c.reading);
    EXPECT_EQ(DDSGetMeasure(0, c.mode, &reading), is_reading ? 1 : 0);
    EXPECT_EQ(reading, is_reading ? c.reading : -1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(c.measure_bit ? kMeasureModeBit : 0, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Reports, MeasureTable,
    ::testing::Values(MeasureCase{0, 0, 4000, 0.0, false},
                      MeasureCase{0, 30000, 4000, 50000.0, false},
                      MeasureCase{0, 30001, 1, 60002.0, false}, MeasureCase{1, 5, 0, 10.0, true},
                      MeasureCase{2, 5, 0, 10.0, false}, MeasureCase{-1, 5, 0, 10.0, false},
                      MeasureCase{1, 0x80000001u, 0, 2.0, true},  // the doubling wraps in 32 bits
                      MeasureCase{0, 1, 0, kInf, false},
                      MeasureCase{0, 1, 0xFFFFFFFFu, 200000000.0 / 4294967295.0, false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

using MeasureTest = InstrumentTest;

TEST_F(MeasureTest, AReadingComesOnlyFromAWholeReportOfThisCall) {
    dds.report = StatusReport::Make(0, 30001, 0);
    double reading = -1;
    ASSERT_EQ(DDSGetMeasure(0, 0, &reading), 1);
    ASSERT_EQ(reading, 60002.0);

    const std::vector<Answer> failures = {
        Answer::Silent(), Answer::ReadFails(), Answer::With({0x01}),
        Answer::With(Bytes(9, 0xEE)),  // one byte short of a report
        Answer::With({})};
    for (const Answer& failure : failures) {
        dds.script[dds.messages.size()] = failure;
        reading = -1;
        EXPECT_EQ(DDSGetMeasure(0, 0, &reading), 0);
        EXPECT_EQ(reading, -1);
    }
    EXPECT_EQ(DDSGetMeasure(0, 0, nullptr), 0);
    EXPECT_EQ(dds.messages.size(), 1 + failures.size()) << "a missing reading sends nothing";
}

TEST_F(MeasureTest, TheCounterResetIsAOneShotBit) {
    EXPECT_EQ(DDSResetCounter(0), 1);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{kCounterResetBit, 0}));

    // Unanswered, the bit is still dropped from the shadow.
    dds.messages.clear();
    dds.script[0] = Answer::Silent();
    EXPECT_EQ(DDSResetCounter(0), 0);
    EXPECT_EQ(dds.messages.size(), 1u);
    ASSERT_EQ(DDSSetDigitalOut(0, 5), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 5, 0));

    dds.messages.clear();
    dds.script.clear();
    dds.script[1] = Answer::Silent();
    EXPECT_EQ(DDSResetCounter(0), 0);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{kCounterResetBit, 0}));
}

// ---- Output modes, trigger and digital I/O ---------------------------------

using ModesTest = InstrumentTest;

TEST_F(ModesTest, SettersChangeOnlyTheirOwnFieldAndRestateTheRest) {
    EXPECT_EQ(DDSSetSingleWave(0, 5), 1);
    EXPECT_EQ(DDSSetDIOMode(0, -3), 1);
    EXPECT_EQ(DDSSetDigitalOut(0, 0xA55A), 1);
    EXPECT_EQ(DDSSetSingleWave(0, 0), 1);
    EXPECT_EQ(
        dds.messages,
        (std::vector<Bytes>{ControlPacket(0x0004, 0, 0), ControlPacket(0x0104, 0, 0),
                            ControlPacket(0x0104, 0xA55A, 0), ControlPacket(0x0100, 0xA55A, 0)}));
}

TEST_F(ModesTest, AnUnansweredSetterFailsButKeepsItsChange) {
    dds.silent_from = 0;
    EXPECT_EQ(DDSSetSingleWave(0, 1), 0);
    EXPECT_EQ(DDSSetDIOMode(0, 1), 0);
    EXPECT_EQ(DDSSetDigitalOut(0, 0x00F0), 0);
    dds.silent_from = SIZE_MAX;
    ASSERT_EQ(DDSSetDivNum(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0x0104, 0x00F0, 0));
}

TEST_F(ModesTest, TheTriggerPulsesFor100MsBeforeItsSetting) {
    EXPECT_EQ(DDSSetTrigger(0, 1, 1), 1);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{0x0020, 0x0000, 0x0018}));
    EXPECT_EQ(dds.sleeps, (std::vector<uint32_t>{100}));

    // Disabling keeps the option.
    dds.messages.clear();
    EXPECT_EQ(DDSSetTrigger(0, 0, 0), 1);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{0x0038, 0x0018, 0x0008}));
}

TEST_F(ModesTest, AnUnansweredPulseEndsAtOnceAndLeavesNoPulseBitBehind) {
    dds.script[0] = Answer::Silent();
    EXPECT_EQ(DDSSetTrigger(0, 1, 0), 0);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{0x0020, 0x0010}));
    EXPECT_TRUE(dds.sleeps.empty());

    // The final setting unanswered: the pulse ran, the result is still 0.
    dds.messages.clear();
    dds.script = {{2, Answer::Silent()}};
    EXPECT_EQ(DDSSetTrigger(0, 0, 0), 0);
    EXPECT_EQ(dds.ControlWords(), (std::vector<uint16_t>{0x0030, 0x0010, 0x0000}));
}

TEST_F(ModesTest, TheDigitalInputComesFromTheFirstTwoReportBytes) {
    dds.report = StatusReport::Make(0xC3A5, 0xFFFFFFFF, 0xFFFFFFFF);
    uint16_t input = 0;
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 1);
    EXPECT_EQ(input, 0xC3A5);
    EXPECT_EQ(dds.messages.back(), ControlPacket(0, 0, 0));

    dds.script[dds.messages.size()] = Answer::With(Bytes(5, 0));
    input = 0x1111;
    EXPECT_EQ(DDSGetDigitalIn(0, &input), 0);
    EXPECT_EQ(input, 0x1111);
    EXPECT_EQ(DDSGetDigitalIn(0, nullptr), 0);
    EXPECT_EQ(dds.messages.size(), 2u);
}

// ---- Power-on output -----------------------------------------------------

using PowerOnTest = InstrumentTest;

TEST_F(PowerOnTest, ModeOneStoresTheCurrentControlState) {
    int32_t length = 0, periods = 0;
    ASSERT_EQ(DDSSetFrequency(0, 1000, &length, &periods), 1);
    ASSERT_EQ(DDSSetSingleWave(0, 1), 1);
    dds.messages.clear();
    const int reads_before = dds.reads;
    EXPECT_EQ(DDSSetPowerOnOutput(0, 1), 1);
    EXPECT_EQ(dds.messages, (std::vector<Bytes>{{0xA2, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00}}));
    EXPECT_EQ(dds.reads - reads_before, 1) << "one acknowledgement";
}

TEST_F(PowerOnTest, OtherModesStoreTheWaveformAndRestoreTheControlWord) {
    ASSERT_EQ(DDSSetDIOMode(0, 1), 1);
    for (int32_t mode : {0, 2, -1}) {
        dds.messages.clear();
        EXPECT_EQ(DDSSetPowerOnOutput(0, mode), 1) << mode;
        EXPECT_EQ(dds.messages,
                  (std::vector<Bytes>{LengthHeader(0xFFFF), {0xA2}, LengthHeader(4095)}))
            << mode;
    }
    ASSERT_EQ(DDSSetSingleWave(0, 0), 1);
    EXPECT_EQ(dds.messages.back(), ControlPacket(kDioModeBit, 0, 0));
}

TEST_F(PowerOnTest, AMissingAcknowledgementStillSendsTheWholeSequence) {
    dds.script[1] = Answer::Silent();
    EXPECT_EQ(DDSSetPowerOnOutput(0, 0), 0);
    EXPECT_EQ(dds.messages.size(), 3u);
    dds.silent_from = dds.messages.size();
    EXPECT_EQ(DDSSetPowerOnOutput(0, 1), 0);
}

// ---- Threads ----------------------------------------------------------------

using ThreadsTest = InstrumentTest;

TEST_F(ThreadsTest, CallsFromFourThreadsAreSerialised) {
    constexpr int kThreads = 4, kCalls = 500;
    dds.report = StatusReport::Make(0x0F0F, 0, 0);
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kCalls; ++i) {
                uint16_t input = 0;
                int32_t length = 0, periods = 0;
                failures[t] += DDSSetDigitalOut(0, static_cast<uint16_t>(t)) != 1;
                failures[t] += DDSGetDigitalIn(0, &input) != 1 || input != 0x0F0F;
                failures[t] += DDSSetFrequency(0, 1000.0 * (t + 1), &length, &periods) != 1;
                failures[t] += DDSGetCLK() <= 0;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    EXPECT_EQ(dds.messages.size(), static_cast<size_t>(kThreads * kCalls * 3));
    EXPECT_EQ(dds.reads_without_message, 0);
}

}  // namespace
}  // namespace velmar::testing
