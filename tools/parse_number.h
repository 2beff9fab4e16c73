// Whole numbers as the command-line programs take them (velmar-dds and
// velmar-dds-sim): decimal, or hexadecimal after 0x. A leading zero is still
// decimal: a bench user who writes 0100 means one hundred, not octal 64.
#pragma once

#include <optional>
#include <string>

namespace velmar::tool {

// The value of `text`, or nothing when it is not a whole number from 0 to
// `max` in one of those forms (no sign, no space, nothing after it).
std::optional<unsigned long> ParseWholeNumber(const std::string& text, unsigned long max);

}  // namespace velmar::tool

namespace velmar::tool {

// A frequency as SCPI writes one, the unit's case not mattering: a decimal
// number of hertz (0.5 for half a hertz) followed, after optional blanks, by
// nothing, HZ, KHZ, MHZ (mega, as in SCPI: there is no millihertz) or GHZ,
// or by a bare K, M or G. A lone lowercase "m" is refused: SCPI reads it as
// milli, a bench user as mega. Nothing when `text` is not such a frequency,
// or not a finite positive one.
std::optional<double> ParseFrequency(const std::string& text);

// Seconds: a decimal number from 0 to `max`. Nothing for anything else.
std::optional<double> ParseSeconds(const std::string& text, double max);

}  // namespace velmar::tool
