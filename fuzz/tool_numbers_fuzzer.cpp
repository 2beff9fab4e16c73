// The numbers the command-line programs take: whole numbers (decimal, or
// hexadecimal after 0x) for ports, dividers and the simulator's options, and
// frequencies with a unit as SCPI writes it (1000, 12.5k, 1KHZ, 3 MHz) for
// `velmar-dds plan`.
//
// Input: the first byte chooses the largest whole number allowed; the rest
// is the text.
//
// Invariants:
// - a whole number is taken exactly when it is digits only (or 0x and hex
//   digits only) and at most the largest allowed, and then has the value
//   those digits say, worked out here on its own;
// - a frequency taken is positive and finite; the unit's case does not
//   matter (but for a lone "m", which is refused); a bare number followed by
//   k is a thousand times the number;
// - `plan TEXT` needs no instrument: it plans (exit 0) or refuses the text
//   (exit 2), and what it writes on standard error is messages of its own;
// - the frequency a plan says is produced is one the instrument can play: from
//   0 (a constant) to half the fastest sample clock, 100 MHz, whatever was
//   asked for.

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "cli.h"
#include "parse_number.h"

namespace {

std::optional<unsigned long> WholeNumber(const std::string& text, unsigned long max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) return std::nullopt;
    unsigned long value = 0;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        if (!(hex ? std::isxdigit(u) : std::isdigit(u))) return std::nullopt;
        const unsigned long digit = std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
        const unsigned long base = hex ? 16 : 10;
        if (digit > max || value > (max - digit) / base) return std::nullopt;  // past max
        value = value * base + digit;
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static constexpr unsigned long kMaxima[] = {0, 1, 15, 0xFFFF, 1ul << 20, 1ul << 30, ~0ul};
    const unsigned long max = kMaxima[in.ConsumeIntegralInRange<size_t>(0, 6)];
    const std::string text = in.ConsumeRemainingBytesAsString();

    CHECK(velmar::tool::ParseWholeNumber(text, max) == WholeNumber(text, max));

    const std::optional<double> hz = velmar::tool::ParseFrequency(text);
    CHECK(!hz || (std::isfinite(*hz) && *hz > 0.0));
    if (!text.empty() && std::tolower(static_cast<unsigned char>(text.back())) != 'm') {
        std::string upper = text, lower = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        CHECK(velmar::tool::ParseFrequency(upper) == hz);
        CHECK(velmar::tool::ParseFrequency(lower) == hz);
    }
    if (hz && text.find_first_not_of("+-.0123456789eE") == std::string::npos) {
        const std::optional<double> kilo = velmar::tool::ParseFrequency(text + "k");
        CHECK(std::isfinite(*hz * 1e3) ? kilo == *hz * 1e3 : !kilo);
    }

    std::ostringstream out, err;
    const int code = velmar::tool::RunCli({"plan", text}, out, err);
    CHECK(code == velmar::tool::kExitOk || code == velmar::tool::kExitUsage);
    CHECK(code != velmar::tool::kExitOk || !out.str().empty());
    CHECK(code != velmar::tool::kExitUsage || !err.str().empty());
    // One message, which quotes the text as given (line breaks and all).
    const std::string said = err.str();
    CHECK(said.empty() || (said.rfind("velmar-dds: ", 0) == 0 && said.back() == '\n'));
    // A plan (not the help that `plan --help` or `plan -h` prints).
    const std::string printed = out.str();
    if (code == velmar::tool::kExitOk && printed.rfind("requested ", 0) == 0) {
        const std::string label = "\nproduced      ";
        const size_t at = printed.find(label);
        CHECK(at != std::string::npos);
        // "1000.16 Hz", "50000000.00 Hz: plays an alias, ...", "0.00 Hz: plays a constant, ..."
        const char* number = printed.c_str() + at + label.size();
        char* end = nullptr;
        const double produced = std::strtod(number, &end);
        CHECK(end != number && std::string(end).rfind(" Hz", 0) == 0);
        CHECK(produced >= 0.0 && produced <= 100e6);
    }
    return 0;
}
