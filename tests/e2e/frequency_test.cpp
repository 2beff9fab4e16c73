// Frequency planning and the clock divider, seen from the wire.
#include <climits>
#include <cmath>
#include <limits>

#include "e2e_fixture.h"

namespace velmar::e2e {
namespace {

using Frequency = E2eTest;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Plan {
    uint16_t divider;
    int32_t length;
    int32_t periods;
};

// The planning as written, period loop and all; every intermediate is a
// double (the suite is built without contraction into fused multiply-add).
Plan WrittenPlan(double f) {
    if (std::fabs(f) < 1.0 || std::isnan(f)) f = 1.0;
    const double p = 1.0 / f;
    Plan plan{};
    int64_t length = 0;
    if (f > 100000.0) {
        plan.divider = 0;
        const double x = 200000000.0 / f;
        int32_t m = 1;
        int32_t k = 2;
        while (k * x <= 4096.0) {
            ++m;
            ++k;
        }
        length = static_cast<int64_t>(m * x);
        plan.periods = m;
    } else {
        plan.divider = static_cast<uint16_t>(static_cast<int64_t>(p * 48828.125) & 0xFFFF);
        if (plan.divider == 0) {
            length = static_cast<int64_t>(p * 200000000.0);
        } else {
            length = static_cast<int64_t>((p * 100000000.0) / plan.divider);
        }
        plan.periods = 1;
    }
    plan.length = static_cast<int32_t>(length > 4096 ? 4096 : length);
    return plan;
}

struct FrequencyCase {
    double frequency;
    Plan plan;
};

void PrintTo(const FrequencyCase& c, std::ostream* os) {
    *os << c.frequency << " Hz";
}

class Planning : public E2eTest, public ::testing::WithParamInterface<FrequencyCase> {};

TEST_P(Planning, SendsTheDividerAndHandsBackLengthAndPeriods) {
    const FrequencyCase& c = GetParam();
    ServeOne();
    int32_t length = kUntouched, periods = kUntouched;
    ASSERT_EQ(lib_->SetFrequency(0, c.frequency, &length, &periods), 1);
    EXPECT_EQ(length, c.plan.length);
    EXPECT_EQ(periods, c.plan.periods);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(0, 0, c.plan.divider)}));
    EXPECT_EQ(lib_->GetDivNum(), c.plan.divider);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0 / (c.plan.divider + 1));
}

INSTANTIATE_TEST_SUITE_P(
    EdgeValues, Planning,
    ::testing::Values(FrequencyCase{1000.0, {48, 2083, 1}}, FrequencyCase{1.0, {48828, 2048, 1}},
                      FrequencyCase{0.5, {48828, 2048, 1}}, FrequencyCase{-0.5, {48828, 2048, 1}},
                      FrequencyCase{0.0, {48828, 2048, 1}}, FrequencyCase{kNaN, {48828, 2048, 1}},
                      FrequencyCase{-kNaN, {48828, 2048, 1}},
                      FrequencyCase{std::numeric_limits<double>::denorm_min(), {48828, 2048, 1}},
                      FrequencyCase{32000.0, {1, 3125, 1}}, FrequencyCase{48828.125, {1, 2048, 1}},
                      FrequencyCase{48828.126, {0, 4095, 1}}, FrequencyCase{100000.0, {0, 2000, 1}},
                      FrequencyCase{100001.0, {0, 3999, 2}}, FrequencyCase{1e6, {0, 4000, 20}},
                      FrequencyCase{3e6, {0, 4066, 61}}, FrequencyCase{5e7, {0, 4096, 1024}},
                      FrequencyCase{1e8, {0, 4096, 2048}},
                      FrequencyCase{19140625.0, {0, 4095, 392}},
                      FrequencyCase{1.5e8, {0, 4096, 3072}}, FrequencyCase{-1000.0, {65488, -1, 1}},
                      FrequencyCase{-100000.0, {0, -2000, 1}}, FrequencyCase{-kInf, {0, 0, 1}}));

TEST_F(Frequency, DDSGetCLKGivesTheFullClockAfterLoadAndHalfItForDividerOne) {
    ServeOne();
    EXPECT_EQ(lib_->GetCLK(), 200000000.0);
    int32_t length = 0, periods = 0;
    ASSERT_EQ(lib_->SetFrequency(0, 48828.125, &length, &periods), 1);
    EXPECT_EQ(lib_->GetCLK(), 100000000.0);
}

// Every frequency of a log sweep and the neighbours one ulp away from the
// edge values plan exactly as the written loop does.
TEST_F(Frequency, PlansAgreeWithTheWrittenLoopOverASweep) {
    ServeOne();
    std::vector<double> frequencies;
    for (int i = 0; i <= 360; ++i)
        frequencies.push_back(std::pow(10.0, i / 40.0));  // 1 Hz to 1 GHz
    for (double edge : {1.0, 1000.0, 32000.0, 48828.125, 100000.0, 100001.0, 3e6, 5e7, 1e8,
                        19140625.0, 1.5e8, 1e12}) {
        for (double f : {edge, -edge}) {
            frequencies.push_back(std::nextafter(f, -kInf));
            frequencies.push_back(f);
            frequencies.push_back(std::nextafter(f, kInf));
        }
    }
    std::vector<Bytes> packets;
    for (double f : frequencies) {
        const Plan want = WrittenPlan(f);
        int32_t length = kUntouched, periods = kUntouched;
        ASSERT_EQ(lib_->SetFrequency(0, f, &length, &periods), 1) << f;
        EXPECT_EQ(length, want.length) << std::hexfloat << f;
        EXPECT_EQ(periods, want.periods) << std::hexfloat << f;
        EXPECT_EQ(lib_->GetDivNum(), want.divider) << std::hexfloat << f;
        packets.push_back(ControlPacket(0, 0, want.divider));
    }
    EXPECT_EQ(Sent(), packets);
}

// Beyond a sweep the written loop takes too long; its end is then found from
// its own condition, k * X <= 4096.0, by searching around 4096 / X.
Plan WrittenPlanOfAHighFrequency(double f) {
    const double x = 200000000.0 / f;
    const auto fits = [x](int64_t k) { return static_cast<double>(k) * x <= 4096.0; };
    int64_t k = static_cast<int64_t>(4096.0 / x);
    while (fits(k + 1)) ++k;
    while (!fits(k)) --k;
    const int64_t length = static_cast<int64_t>(static_cast<double>(k) * x);
    return {0, static_cast<int32_t>(length > 4096 ? 4096 : length), static_cast<int32_t>(k)};
}

// The period count stays below 2^31 up to about 1.0486e14 Hz.
TEST_F(Frequency, VeryHighFrequenciesBelowTheLimitAreStillPlanned) {
    ServeOne();
    for (double f : {1e13, 5e13, 1e14, 1.04e14, 1.0475e14}) {
        const Plan want = WrittenPlanOfAHighFrequency(f);
        ASSERT_LT(want.periods, INT32_MAX);
        int32_t length = kUntouched, periods = kUntouched;
        ASSERT_EQ(lib_->SetFrequency(0, f, &length, &periods), 1) << f;
        EXPECT_EQ(length, want.length) << f;
        EXPECT_EQ(periods, want.periods) << f;
    }
}

class RefusedFrequency : public E2eTest, public ::testing::WithParamInterface<double> {};

TEST_P(RefusedFrequency, ReturnsZeroBeforeOpeningWithNothingWrittenOrChanged) {
    ServeOne();
    int32_t length = kUntouched, periods = kUntouched;
    ASSERT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 1);
    length = periods = kUntouched;
    const auto start = Clock::now();
    EXPECT_EQ(lib_->SetFrequency(0, GetParam(), &length, &periods), 0);
    EXPECT_LT(MsSince(start), 200.0) << "refusing must not plan for ages";
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(periods, kUntouched);
    EXPECT_EQ(lib_->GetDivNum(), 48);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0 / 49);
    peer_.Settle();
    EXPECT_EQ(peer_.Connections(kDds).size(), 1u) << "the device was opened";
}

INSTANTIATE_TEST_SUITE_P(Unplannable, RefusedFrequency,
                         ::testing::Values(kInf, 1e300, std::numeric_limits<double>::max(), 1e15,
                                           2e14, 1.0497e14));

TEST_F(Frequency, WhenBothOutArgumentsAreOneIntegerTheLengthWins) {
    ServeOne();
    int32_t both = kUntouched;
    ASSERT_EQ(lib_->SetFrequency(0, 1e6, &both, &both), 1);
    EXPECT_EQ(both, 4000);
}

TEST_F(Frequency, AnUnansweredFrequencyStillHandsBackThePlanAndKeepsTheDivider) {
    ServeOne();
    peer_.Script(kDds, {Reply::With({1, 2, 3})});  // a report cut short
    int32_t length = kUntouched, periods = kUntouched;
    EXPECT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 0);
    EXPECT_EQ(length, 2083);
    EXPECT_EQ(periods, 1);
    EXPECT_EQ(lib_->GetDivNum(), 48);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0 / 49);
    ASSERT_EQ(lib_->SetDigitalOut(0, 0), 1);
    EXPECT_EQ(LastControlPacket(), ControlPacket(0, 0, 48));
}

class NullOutArgument : public E2eTest, public ::testing::WithParamInterface<int> {};

TEST_P(NullOutArgument, SetFrequencyReturnsZeroWithNothingSentOrWritten) {
    ServeOne();
    int32_t other = kUntouched;
    int32_t* length = GetParam() == 0 ? nullptr : &other;
    int32_t* periods = GetParam() == 0 ? &other : nullptr;
    EXPECT_EQ(lib_->SetFrequency(0, 1000.0, length, periods), 0);
    EXPECT_EQ(other, kUntouched);
    EXPECT_TRUE(Sent().empty());
}

INSTANTIATE_TEST_SUITE_P(LengthOrPeriods, NullOutArgument, ::testing::Values(0, 1));

TEST_F(Frequency, SetDivNumSendsTheDividerButDDSGetDivNumKeepsThePlannedOne) {
    ServeOne();
    ASSERT_EQ(lib_->SetDivNum(0, 9), 1);
    EXPECT_EQ(lib_->GetCLK(), 20000000.0);
    EXPECT_EQ(lib_->GetDivNum(), 0) << "nothing was planned yet";
    int32_t length = 0, periods = 0;
    ASSERT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 1);
    ASSERT_EQ(lib_->SetDivNum(0, 0xFFFF), 1);
    EXPECT_EQ(lib_->GetDivNum(), 48);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0 / 65536);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{ControlPacket(0, 0, 9), ControlPacket(0, 0, 48),
                                          ControlPacket(0, 0, 0xFFFF)}));
}

TEST_F(Frequency, AnUnansweredDividerIsKeptForTheNextPacket) {
    ServeOne();
    peer_.Script(kDds, {Reply::HangUp()});
    EXPECT_EQ(lib_->SetDivNum(0, 9), 0);
    EXPECT_EQ(lib_->GetCLK(), 20000000.0);
    ASSERT_EQ(lib_->SetSingleWave(0, 0), 1);
    EXPECT_EQ(LastControlPacket(), ControlPacket(0, 0, 9));
}

TEST_F(Frequency, ASearchResetsTheDividerButNotTheLastPlannedOne) {
    ServeOne();
    int32_t length = 0, periods = 0;
    ASSERT_EQ(lib_->SetFrequency(0, 1000.0, &length, &periods), 1);
    ASSERT_EQ(lib_->Search(), 1);
    EXPECT_EQ(lib_->GetCLK(), 200000000.0);
    EXPECT_EQ(lib_->GetDivNum(), 48);
}

}  // namespace
}  // namespace velmar::e2e
