#include "ops/frequency_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/protocol.h"

// The plans are defined by double arithmetic rounded at every step. An x87
// build would carry 80-bit intermediates and give other lengths at the
// edges (32 kHz would plan 3124 samples instead of 3125): refuse to build so.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "frequency planning needs double-rounded arithmetic: build with -msse2 -mfpmath=sse"
#endif

namespace velmar {
namespace {

constexpr double kLowestFrequencyHz = 1.0;
// Up to here (inclusive) one period fills the memory through the divider;
// above it the full base clock plays several whole periods.
constexpr double kBranchFrequencyHz = 100000.0;
// BaseClock / WaveMemorySize: the divider step per second of period.
constexpr double kDividerPerSecond = 48828.125;
// The divided clock relation of the low branch: 100 MHz / d.
constexpr double kHalfBaseClockHz = 100000000.0;
constexpr double kMemoryBound = 4096.0;

// The largest whole number of periods m >= 1 such that m * X <= 4096 with the
// product rounded to double, or nothing if the count would not fit int32.
//
// The period-counting loop this replaces (m = 1, k = 2; while k * X <= 4096
// increase both) stops at the first k whose rounded product exceeds 4096.
// Rounding is monotonic, so k * X <= 4096 holds for every k up to some K and
// for none above it, and the loop ends with m = max(K, 1). K is found from
// the quotient and then settled by the very comparison the loop makes.
std::optional<int32_t> PeriodsThatFit(double samples_per_period) {
    constexpr int64_t kLoopCounterMax = std::numeric_limits<int32_t>::max();
    const double x = samples_per_period;
    // The loop's counter k must itself stay in range: once k = INT32_MAX
    // still fits, the loop could not end.
    if (!(x > 0.0) || static_cast<double>(kLoopCounterMax) * x <= kMemoryBound) return std::nullopt;
    const auto fits = [x](int64_t k) { return static_cast<double>(k) * x <= kMemoryBound; };
    int64_t k = static_cast<int64_t>(kMemoryBound / x);  // within a step or two of K
    if (k < 1) k = 1;
    if (k > kLoopCounterMax) k = kLoopCounterMax;
    while (k < kLoopCounterMax && fits(k + 1)) ++k;
    while (k > 1 && !fits(k)) --k;
    return static_cast<int32_t>(k);
}

}  // namespace

std::optional<FrequencyPlan> PlanFrequency(double frequency) {
    double f = frequency;
    if (std::isnan(f) || std::fabs(f) < kLowestFrequencyHz) f = kLowestFrequencyHz;
    // The reciprocal is formed first and then multiplied: the order decides
    // the last sample at the edges.
    const double p = 1.0 / f;
    FrequencyPlan plan;
    int64_t length = 0;
    if (f > kBranchFrequencyHz) {
        const double x = kBaseClockHz / f;  // samples per period at the full clock
        std::optional<int32_t> periods = PeriodsThatFit(x);
        if (!periods) return std::nullopt;
        plan.divider = 0;
        plan.periods = *periods;
        length = static_cast<int64_t>(static_cast<double>(*periods) * x);
    } else {
        // Keeps the low 16 bits: a negative frequency wraps into a large divider.
        plan.divider = static_cast<uint16_t>(static_cast<int64_t>(p * kDividerPerSecond));
        if (plan.divider == 0) {
            length = static_cast<int64_t>(p * kBaseClockHz);
        } else {
            length = static_cast<int64_t>((p * kHalfBaseClockHz) / plan.divider);
        }
        plan.periods = 1;
    }
    // Signed: negative lengths of negative frequencies are handed back as they are.
    if (length > kWaveMemorySize) length = kWaveMemorySize;
    plan.length = static_cast<int32_t>(length);
    return plan;
}

double SampleClockForDivider(uint16_t divider) {
    return kBaseClockHz / (static_cast<double>(divider) + 1.0);
}

double PlannedSampleClockHz(uint16_t divider) {
    return divider == 0 ? kBaseClockHz : kHalfBaseClockHz / divider;
}

double PlayedFrequencyHz(const FrequencyPlan& plan) {
    if (plan.length <= 0 || plan.periods <= 0) return 0.0;
    const int64_t beyond = plan.periods % plan.length;
    const int64_t folded = std::min<int64_t>(beyond, plan.length - beyond);
    return PlannedSampleClockHz(plan.divider) * static_cast<double>(folded) / plan.length;
}

double PlannedOutputHz(const FrequencyPlan& plan) {
    if (plan.length <= 0 || plan.periods <= 0) return 0.0;
    return PlannedSampleClockHz(plan.divider) * plan.periods / plan.length;
}

Playback PlaybackOf(const FrequencyPlan& plan) {
    if (PlayedFrequencyHz(plan) == 0.0) return Playback::kConstant;
    return 2 * static_cast<int64_t>(plan.periods) > plan.length ? Playback::kAlias
                                                                : Playback::kAsPlanned;
}

int32_t PaddedSampleCount(int32_t count) {
    return count % kDownloadGranule == 0 ? count
                                         : (count / kDownloadGranule + 1) * kDownloadGranule;
}

int32_t SampleBlocksFor(int32_t count) {
    return PaddedSampleCount(count) / static_cast<int32_t>(kSamplesPerBlock);
}

}  // namespace velmar
