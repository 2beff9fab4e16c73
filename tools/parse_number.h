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
