// The wire format in words: how a message or an answer reads to a person.
// One wording for everyone who shows the instrument's traffic: the library's
// trace, the simulated instrument's trace and the command-line tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ops/frequency_plan.h"
#include "protocol/protocol.h"

namespace velmar {

// "0x0018"
std::string Hex16(uint16_t word);

// "a0 18 00 00 00 30 00": at most `max_bytes` bytes, then " ..." if more.
std::string HexBytes(const uint8_t* data, size_t size, size_t max_bytes = 16);

// "word 0x0018 [trigger enable, trigger option]": a control word and the
// names of its bits.
std::string DescribeControlWord(uint16_t word);

// A message the host sends, as the instrument tells messages apart (by
// length, then code): "control: word 0x0000 [none] dio-out 0x0000 divider 48",
// "length: word 0x0822, 2083 samples", "sample block", "power-on: store
// waveform", ... An unknown message reads "unknown: N bytes".
std::string DescribeHostMessage(const uint8_t* data, size_t size);

// "report: digital in 0x1234, count 30001, period 4000"
std::string DescribeStatusReport(const StatusReport& report);

// Frequencies for people: "1000.16 Hz", to the hundredth from 0.01 Hz to
// below 1 GHz; beyond, engineering form ("1e-3 Hz", "10e12 Hz", "1e300 Hz").
std::string FormatHz(double hz);

// Clocks to four digits in a unit that suits them: "2.083 MHz".
std::string FormatClock(double hz);

// One warning line when a plan's samples are no faithful copy of the wave:
// more than half a period per sample plays an alias (named, with the highest
// frequency the divider can represent), fewer than four samples per period
// only a rough shape. Empty when the plan plays the wave as planned.
std::string DescribePlayback(const FrequencyPlan& plan);

}  // namespace velmar
