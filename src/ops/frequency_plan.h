// How a requested output frequency becomes a sample clock divider, a wave
// length and a number of periods. Pure arithmetic, shared by the library, the
// simulated instrument and the command-line tool.
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
double SampleClockForDivider(uint16_t divider);

}  // namespace velmar
