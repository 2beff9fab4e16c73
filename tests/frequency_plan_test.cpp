// Frequency planning: the published plans, and proof that the constant-time
// period count equals the period-counting loop it replaces.

#include "ops/frequency_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace velmar {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct PlanCase {
    double hz;
    int divider;
    int length;
    int periods;
};

class PlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTable, GivesThePublishedPlan) {
    const PlanCase c = GetParam();
    const std::optional<FrequencyPlan> plan = PlanFrequency(c.hz);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->divider, c.divider);
    EXPECT_EQ(plan->length, c.length);
    EXPECT_EQ(plan->periods, c.periods);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, PlanTable,
    ::testing::Values(PlanCase{1000, 48, 2083, 1}, PlanCase{1, 48828, 2048, 1},
                      PlanCase{0.5, 48828, 2048, 1}, PlanCase{-0.25, 48828, 2048, 1},
                      PlanCase{0.0, 48828, 2048, 1}, PlanCase{std::nan(""), 48828, 2048, 1},
                      PlanCase{32000, 1, 3125, 1},  // wider intermediates would give 3124
                      PlanCase{48828.125, 1, 2048, 1}, PlanCase{48828.126, 0, 4095, 1},
                      PlanCase{100000, 0, 2000, 1},  // the branch point belongs to the low branch
                      PlanCase{100001, 0, 3999, 2}, PlanCase{1e6, 0, 4000, 20},
                      PlanCase{3e6, 0, 4066, 61},
                      PlanCase{5e7, 0, 4096, 1024},  // 1024 * X is exactly 4096 and keeps counting
                      PlanCase{1e8, 0, 4096, 2048},
                      PlanCase{19140625, 0, 4095, 392},  // wider intermediates would give 4096
                      PlanCase{1.5e8, 0, 4096, 3072},    // 3072 * X rounds to exactly 4096
                      PlanCase{-1000, 65488, -1, 1},     // the divider wraps in 16 bits
                      PlanCase{-100000, 0, -2000, 1}, PlanCase{-kInf, 0, 0, 1},
                      PlanCase{-1e300, 0, 0, 1}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(PlanRefusal, FrequenciesWhosePeriodLoopCannotEndAreRefused) {
    for (double hz : {kInf, 1e300, std::numeric_limits<double>::max(), 1e15, 2e14}) {
        EXPECT_FALSE(PlanFrequency(hz).has_value()) << hz;
    }
    // The last frequencies whose period count still fits: m stays below 2^31 - 1.
    const std::optional<FrequencyPlan> high = PlanFrequency(1e14);
    ASSERT_TRUE(high.has_value());
    EXPECT_GE(high->periods, 2047999990);
    EXPECT_LE(high->periods, 2048000010);
    EXPECT_LE(high->length, 4096);
}

// The period-counting loop exactly as the instrument's planning states it,
// with 64-bit counters so that the reference itself cannot overflow.
std::optional<FrequencyPlan> PlanByLoop(double f) {
    if (std::isnan(f) || std::fabs(f) < 1.0) f = 1.0;
    const double p = 1.0 / f;
    FrequencyPlan plan;
    int64_t length;
    if (f > 100000) {
        const double x = 200000000.0 / f;
        int64_t m = 1, k = 2;
        while (static_cast<double>(k) * x <= 4096.0) {
            ++m;
            ++k;
            if (k > std::numeric_limits<int32_t>::max()) return std::nullopt;
        }
        length = static_cast<int64_t>(static_cast<double>(m) * x);
        plan.periods = static_cast<int32_t>(m);
    } else {
        plan.divider = static_cast<uint16_t>(static_cast<int64_t>(p * 48828.125));
        length = plan.divider == 0 ? static_cast<int64_t>(p * 200000000.0)
                                   : static_cast<int64_t>((p * 100000000.0) / plan.divider);
        plan.periods = 1;
    }
    plan.length = static_cast<int32_t>(std::min<int64_t>(length, 4096));
    return plan;
}

void ExpectSameAsLoop(double hz) {
    const std::optional<FrequencyPlan> fast = PlanFrequency(hz);
    const std::optional<FrequencyPlan> loop = PlanByLoop(hz);
    ASSERT_TRUE(fast && loop) << hz;
    ASSERT_EQ(fast->divider, loop->divider) << hz;
    ASSERT_EQ(fast->length, loop->length) << hz;
    ASSERT_EQ(fast->periods, loop->periods) << hz;
}

TEST(PlanIdentity, ConstantTimeCountEqualsTheLoopOverADenseLogSweep) {
    // 1 Hz to 1 GHz, 20000 points per decade.
    constexpr int kPerDecade = 20000;
    for (int i = 0; i <= 9 * kPerDecade; ++i) {
        ExpectSameAsLoop(std::pow(10.0, static_cast<double>(i) / kPerDecade));
    }
}

TEST(PlanIdentity, ConstantTimeCountEqualsTheLoopAtEveryEdgeAndItsNeighbours) {
    std::vector<double> edges = {1,   32000, 48828.125, 48828.126, 100000,   100001,
                                 1e6, 3e6,   5e7,       1e8,       19140625, 1.5e8,
                                 2e8, 4e8,   1e9,       -1000,     -100000,  0.999999};
    // The frequencies at which the period count steps, 200 MHz * m / 4096:
    // every one up to 200 MHz, a spread of them up to 1 GHz.
    for (int m = 2; m <= 4096 * 5; m += m < 4096 ? 1 : 13)
        edges.push_back(200000000.0 * m / 4096.0);
    for (double hz : edges) {
        double below = hz, above = hz;
        for (int step = 0; step < 3; ++step) {
            ExpectSameAsLoop(below);
            ExpectSameAsLoop(above);
            below = std::nextafter(below, -kInf);
            above = std::nextafter(above, kInf);
        }
    }
}

TEST(SampleClock, FollowsTheDividerPlusOneRelation) {
    EXPECT_EQ(SampleClockForDivider(0), 200000000.0);
    EXPECT_EQ(SampleClockForDivider(1), 100000000.0);
    EXPECT_EQ(SampleClockForDivider(9), 20000000.0);
    EXPECT_EQ(SampleClockForDivider(48), 200000000.0 / 49);
    EXPECT_EQ(SampleClockForDivider(65535), 200000000.0 / 65536);
}

// What a looped wave of `periods` periods in `length` samples really plays:
// beyond half a period per sample the periods fold back below half the clock.
TEST(PlayedFrequency, FoldsPeriodsBeyondHalfTheSampleClock) {
    const struct {
        FrequencyPlan plan;
        double played_hz;
    } cases[] = {
        {{48, 2083, 1}, 100000000.0 / 48 / 2083},  // 1 kHz: as planned
        {{0, 4096, 2048}, 100000000.0},            // two samples per period: the limit
        {{0, 4096, 3072}, 50000000.0},             // 150 MHz plays 50 MHz
        {{0, 4096, 4095}, 200000000.0 / 4096},     // one period short of every sample
        {{0, 4096, 204800000}, 0.0},               // every sample on the same phase
        {{0, 0, 1}, 0.0},                          // nothing plays
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(PlayedFrequencyHz(c.plan), c.played_hz) << c.plan.periods;
    }
    EXPECT_DOUBLE_EQ(PlannedOutputHz({0, 4096, 3072}), 150000000.0);
}

}  // namespace
}  // namespace velmar
