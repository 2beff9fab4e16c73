// Measurement, counter, output modes, trigger and digital I/O.
#include <climits>
#include <cmath>
#include <limits>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

using Measurement = E2eTest;
using Modes = E2eTest;

struct MeasureCase {
    int32_t mode;
    uint32_t count;
    uint32_t period;
    double reading;
};

void PrintTo(const MeasureCase& c, std::ostream* os) {
    *os << "mode " << c.mode << " count " << c.count << " period " << c.period;
}

class Measure : public E2eTest, public ::testing::WithParamInterface<MeasureCase> {};

TEST_P(Measure, ConvertsTheReportAndSendsTheModeBitForModeOneOnly) {
    const MeasureCase& c = GetParam();
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0xFFFF, c.count, c.period));
    double reading = kUntouched;
    // A count with no period gives no frequency: 0, and nothing written.
    const bool is_reading = !std::isinf(c.reading);
    ASSERT_EQ(lib_->GetMeasure(0, c.mode, &reading), is_reading ? 1 : 0);
    EXPECT_EQ(reading, is_reading ? c.reading : kUntouched);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(c.mode == 1 ? kMeasureMode : 0, 0, 0)}));
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Readings, Measure,
    ::testing::Values(MeasureCase{0, 0, 4000, 0.0}, MeasureCase{0, 30000, 4000, 50000.0},
                      MeasureCase{0, 30001, 4000, 60002.0}, MeasureCase{0, 30001, 0, 60002.0},
                      MeasureCase{0, 30001, 1, 60002.0}, MeasureCase{1, 5, 0, 10.0},
                      MeasureCase{2, 5, 0, 10.0}, MeasureCase{-1, 5, 7, 10.0},
                      MeasureCase{INT32_MIN, 5, 7, 10.0}, MeasureCase{1, 0, 9, 0.0},
                      MeasureCase{1, 0x80000000u, 0, 0.0}, MeasureCase{1, 0x80000001u, 0, 2.0},
                      MeasureCase{2, 0xFFFFFFFFu, 0, 4294967294.0},
                      MeasureCase{0, 0xFFFFFFFFu, 0, 4294967294.0}, MeasureCase{0, 1, 0, kInf},
                      MeasureCase{0, 30000, 0, kInf}, MeasureCase{0, 1, 1, 200000000.0},
                      MeasureCase{0, 1, 3, 200000000.0 / 3},
                      MeasureCase{0, 1, 0xFFFFFFFFu, 200000000.0 / 4294967295.0}));

TEST_F(Measurement, TheLargestPeriodReadsAboutFiveHundredthsOfAHertz) {
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0, 1, 0xFFFFFFFFu));
    double reading = 0;
    ASSERT_EQ(lib_->GetMeasure(0, 0, &reading), 1);
    EXPECT_NEAR(reading, 0.0466, 0.0001);
}

TEST_F(Measurement, TheReportIsReadLittleEndianFieldByField) {
    ServeOne();
    peer_.SetReport(kDds, {0x34, 0x12, 0x31, 0x75, 0x00, 0x00, 0xA0, 0x0F, 0x00, 0x00});
    double reading = 0;
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetMeasure(0, 0, &reading), 1);
    EXPECT_EQ(reading, 60002.0);
    ASSERT_EQ(lib_->GetMeasure(0, 1, &reading), 1);
    EXPECT_EQ(reading, 60002.0);
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 4660);
    peer_.SetReport(kDds, {0xFF, 0x80, 0x30, 0x75, 0x00, 0x00, 0xA0, 0x0F, 0x00, 0x00});
    ASSERT_EQ(lib_->GetMeasure(0, 0, &reading), 1);
    EXPECT_EQ(reading, 50000.0);
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    EXPECT_EQ(in, 0x80FF);
}

TEST_F(Measurement, TheMeasureModeBitStaysUntilTheNextMeasureOrSearch) {
    ServeOne();
    double reading = 0;
    ASSERT_EQ(lib_->GetMeasure(0, 1, &reading), 1);
    EXPECT_EQ(ShadowControlWord(), kMeasureMode);
    ASSERT_EQ(lib_->GetMeasure(0, 3, &reading), 1);
    EXPECT_EQ(ShadowControlWord(), 0);
    ASSERT_EQ(lib_->GetMeasure(0, 1, &reading), 1);
    ASSERT_EQ(lib_->Search(), 1);
    EXPECT_EQ(ShadowControlWord(), 0);
    EXPECT_EQ(LastControlPacket(), ControlPacket(0, 0, 0));
}

// Short or missing answers leave the reading alone.
class UnansweredRead : public E2eTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(UnansweredRead, LeavesTheOutArgumentAloneAndReturnsZero) {
    ServeOne();
    peer_.SetReport(kDds, StatusReport(0x1234, 40000, 5));
    double reading = 0;
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetMeasure(0, 0, &reading), 1);  // a good report first
    peer_.Script(kDds, {Reply::With(GetParam()), Reply::With(GetParam())});
    reading = kUntouched;
    in = kUntouched;
    EXPECT_EQ(lib_->GetMeasure(0, 0, &reading), 0);
    EXPECT_EQ(reading, kUntouched);
    EXPECT_EQ(lib_->GetDigitalIn(0, &in), 0);
    EXPECT_EQ(in, kUntouched);
}

INSTANTIATE_TEST_SUITE_P(ShortReports, UnansweredRead,
                         ::testing::Values(Bytes{}, Bytes{0x34}, Bytes{0x34, 0x12},
                                           Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));

TEST_F(Measurement, NullReadingOrInputWordReturnsZeroWithNothingSent) {
    ServeOne();
    EXPECT_EQ(lib_->GetMeasure(0, 0, nullptr), 0);
    EXPECT_EQ(lib_->GetDigitalIn(0, nullptr), 0);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(Measurement, ResetCounterPulsesTheResetBitOverTwoPackets) {
    ServeOne();
    ASSERT_EQ(lib_->SetDigitalOut(0, 0x00FF), 1);
    ASSERT_EQ(lib_->ResetCounter(0), 1);
    EXPECT_EQ(ShadowControlWord(), 0);
    EXPECT_EQ(Sent(),
              (std::vector<Bytes>{ControlPacket(0, 0xFF, 0), ControlPacket(kCounterReset, 0xFF, 0),
                                  ControlPacket(0, 0xFF, 0), ControlPacket(0, 0xFF, 0)}));
}

TEST_F(Measurement, AFailedFirstResetExchangeDoesNotLeaveTheResetBitSet) {
    ServeOne();
    peer_.Script(kDds, {Reply::HangUp()});
    EXPECT_EQ(lib_->ResetCounter(0), 0);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(kCounterReset, 0, 0)}));
    EXPECT_EQ(ShadowControlWord(), 0);
}

TEST_F(Measurement, AFailedSecondResetExchangeReturnsZero) {
    ServeOne();
    peer_.Script(kDds, {Reply::Normal(), Reply::With({0})});
    EXPECT_EQ(lib_->ResetCounter(0), 0);
    EXPECT_EQ(Sent(),
              (std::vector<Bytes>{ControlPacket(kCounterReset, 0, 0), ControlPacket(0, 0, 0)}));
    EXPECT_EQ(ShadowControlWord(), 0);
}

// Setters of one control bit: any non-zero argument sets it.
struct BitCase {
    const char* name;
    int32_t (*set)(Library&, int32_t);
    uint16_t bit;
};

void PrintTo(const BitCase& c, std::ostream* os) {
    *os << c.name;
}

class ControlBit : public E2eTest, public ::testing::WithParamInterface<BitCase> {};

TEST_P(ControlBit, AnyNonZeroArgumentSetsTheBitAndZeroClearsIt) {
    const BitCase& c = GetParam();
    ServeOne();
    ASSERT_EQ(lib_->SetDigitalOut(0, 0x0102), 1);
    for (int32_t arg : {1, 5, -1, INT32_MIN, 0, 0}) {
        ASSERT_EQ(c.set(*lib_, arg), 1) << arg;
        EXPECT_EQ(LastControlPacket(), ControlPacket(arg != 0 ? c.bit : 0, 0x0102, 0)) << arg;
    }
}

TEST_P(ControlBit, AnUnansweredSetterReturnsZeroButKeepsTheBit) {
    const BitCase& c = GetParam();
    ServeOne();
    peer_.Script(kDds, {Reply::With({})});
    EXPECT_EQ(c.set(*lib_, 1), 0);
    EXPECT_EQ(ShadowControlWord(), c.bit);
}

INSTANTIATE_TEST_SUITE_P(
    Setters, ControlBit,
    ::testing::Values(BitCase{"single wave",
                              [](Library& l, int32_t a) { return l.SetSingleWave(0, a); },
                              kSingleWave},
                      BitCase{"digital I/O mode",
                              [](Library& l, int32_t a) { return l.SetDIOMode(0, a); }, kDioMode}));

TEST_F(Modes, TheDigitalOutputWordGoesLowByteFirstAndStays) {
    ServeOne();
    ASSERT_EQ(lib_->SetDigitalOut(0, 0xA55A), 1);
    EXPECT_EQ(LastControlPacket(), (Bytes{0xA0, 0, 0, 0x5A, 0xA5, 0, 0}));
    peer_.Script(kDds, {Reply::HangUp()});
    EXPECT_EQ(lib_->SetDigitalOut(0, 0x0001), 0);
    ASSERT_EQ(lib_->SetSingleWave(0, 0), 1);
    EXPECT_EQ(LastControlPacket(), ControlPacket(0, 0x0001, 0));
}

TEST_F(Modes, AllFieldsOfTheControlPacketTogether) {
    ServeOne();
    int32_t length = 0, periods = 0;
    ASSERT_EQ(lib_->SetSingleWave(0, 1), 1);
    ASSERT_EQ(lib_->SetDIOMode(0, 1), 1);
    ASSERT_EQ(lib_->SetDigitalOut(0, 258), 1);
    ASSERT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 1);
    EXPECT_EQ(LastControlPacket(), (Bytes{0xA0, 0x04, 0x01, 0x02, 0x01, 0x30, 0x00}));
    ASSERT_EQ(lib_->Search(), 1);
    uint16_t in = 0;
    ASSERT_EQ(lib_->GetDigitalIn(0, &in), 1);
    EXPECT_EQ(LastControlPacket(), (Bytes{0xA0, 0, 0, 0, 0, 0, 0}));
}

// The trigger: a pulse of 0x0020 held for 100 ms, then the trigger bits.
TEST_F(Modes, TriggerPulsesForAHundredMillisecondsThenSetsTheTriggerBits) {
    ServeOne();
    const auto start = Clock::now();
    ASSERT_EQ(lib_->SetTrigger(0, 1, 1), 1);
    EXPECT_GE(MsSince(start), 100.0);
    peer_.Settle();
    const auto sent = peer_.TimedMessages(kDds);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, ControlPacket(kTriggerPulse, 0, 0));
    EXPECT_EQ(sent[1].bytes, ControlPacket(0, 0, 0));
    EXPECT_EQ(sent[2].bytes, ControlPacket(kTriggerEnable | kTriggerOption, 0, 0));
    const double pulse_ms =
        std::chrono::duration<double, std::milli>(sent[1].at - sent[0].at).count();
    EXPECT_GE(pulse_ms, 100.0);
    EXPECT_LT(pulse_ms, 600.0);
}

struct TriggerCase {
    int32_t enable, option;
    uint16_t word;  // after a first SetTrigger(1, 1)
};

class Trigger : public E2eTest, public ::testing::WithParamInterface<TriggerCase> {};

TEST_P(Trigger, DisablingKeepsTheOptionAndEnablingSetsItFromTheArgument) {
    const TriggerCase& c = GetParam();
    ServeOne();
    ASSERT_EQ(lib_->SetTrigger(0, 1, 1), 1);
    ASSERT_EQ(lib_->SetTrigger(0, c.enable, c.option), 1);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[3], ControlPacket(kTriggerPulse | kTriggerEnable | kTriggerOption, 0, 0));
    EXPECT_EQ(sent[4], ControlPacket(kTriggerEnable | kTriggerOption, 0, 0));
    EXPECT_EQ(sent[5], ControlPacket(c.word, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(AfterEnableWithOption, Trigger,
                         ::testing::Values(TriggerCase{0, 0, kTriggerOption},
                                           TriggerCase{0, 1, kTriggerOption},
                                           TriggerCase{1, 0, kTriggerEnable},
                                           TriggerCase{7, -3, kTriggerEnable | kTriggerOption}));

// Which of the three exchanges goes unanswered.
class TriggerUnanswered : public E2eTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(TriggerUnanswered, StillSendsTheFinalSettingButReturnsZero) {
    const size_t failing = GetParam();
    ServeOne();
    std::vector<Reply> script(3, Reply::Normal());
    script[failing] = Reply::With({0, 0});
    peer_.Script(kDds, script);
    EXPECT_EQ(lib_->SetTrigger(0, 1, 0), 0);
    const auto sent = Sent();
    std::vector<Bytes> want{ControlPacket(kTriggerPulse, 0, 0)};
    if (failing != 0) want.push_back(ControlPacket(0, 0, 0));  // a failed pulse ends at once
    want.push_back(ControlPacket(kTriggerEnable, 0, 0));
    EXPECT_EQ(sent, want);
    EXPECT_EQ(ShadowControlWord(), kTriggerEnable) << "the pulse bit stuck";
}

INSTANTIATE_TEST_SUITE_P(EachExchange, TriggerUnanswered, ::testing::Values(0u, 1u, 2u));

}  // namespace
}  // namespace velmar::e2e
