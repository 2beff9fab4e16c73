// The instrument's arithmetic: how a requested output frequency becomes a
// sample clock divider, a wave length and a number of periods, the clock a
// divider gives, and how a download is padded. Pure arithmetic, the one home
// of these facts for the library, the simulated instrument and the tools.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/protocol.h"

namespace velmar {

struct FrequencyPlan {
    uint16_t divider = 0;
    int32_t length = 0;   // samples the caller's wave should have
    int32_t periods = 0;  // whole signal periods those samples hold
};

// The plan for `frequency` hertz, or nothing when the frequency cannot be
// planned: +infinity, and finite frequencies so high (above about 1e14 Hz)
// that the period count would not fit a 32-bit signed integer.
//
// The arithmetic is IEEE double with every intermediate rounded to double and
// every conversion to an integer truncating toward zero; the build forbids
// fused multiply-add and x87 excess precision so that this holds on every
// target. Runs in constant time for every input.
std::optional<FrequencyPlan> PlanFrequency(double frequency);

// The sample clock the instrument reports for a divider: 200 MHz / (d + 1).
// This is what DDSGetCLK answers.
double SampleClockForDivider(uint16_t divider);

// The sample clock the plan assumes, and the instrument plays at: 200 MHz
// for divider 0, 100 MHz / d for any other divider. For d of 2 or more it
// differs from SampleClockForDivider (at 1 kHz, d = 48: 2.083 MHz here,
// 4.082 MHz there); both relations are the instrument's own.
double PlannedSampleClockHz(uint16_t divider);

// The frequency a plan really plays when its samples hold `periods` periods
// of a sampled wave looped over `length` samples. Up to half a period per
// sample this is the planned frequency; beyond, the instrument plays an alias:
// the periods folded back below half the sample clock (0 when every sample
// falls on the same phase). 0 for a plan that plays nothing.
double PlayedFrequencyHz(const FrequencyPlan& plan);

// The frequency a plan was made for: the sample clock times periods over
// length. 0 for a plan that plays nothing.
double PlannedOutputHz(const FrequencyPlan& plan);

// What a plan's samples play: the wave as planned, an alias (more than half
// a period per sample), or a constant (every sample on the same phase, or
// no samples at all).
enum class Playback { kAsPlanned = 0, kAlias = 1, kConstant = 2 };
Playback PlaybackOf(const FrequencyPlan& plan);

// A download's sample count rounded up to whole 64-sample granules (the
// instrument takes its memory in pairs of 64-byte blocks), and the number of
// 64-byte blocks that carry it. Counts from 0 to the memory size.
int32_t PaddedSampleCount(int32_t count);
int32_t SampleBlocksFor(int32_t count);

}  // namespace velmar
