#include "parse_number.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "wave/wave.h"

namespace velmar::tool {

std::optional<unsigned long> ParseWholeNumber(const std::string& text, unsigned long max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    // strtoul would take a sign, leading space or a second 0x itself; only
    // digits of the base pass.
    const auto digit = [hex](char c) {
        const auto u = static_cast<unsigned char>(c);
        return hex ? std::isxdigit(u) != 0 : std::isdigit(u) != 0;
    };
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), digit)) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
    return value;
}

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::optional<double> ParseFrequency(const std::string& text) {
    const size_t length = velmar::wave::DecimalPrefix(text);
    if (length == 0) return std::nullopt;
    size_t unit_at = length;
    while (unit_at < text.size() && (text[unit_at] == ' ' || text[unit_at] == '\t')) ++unit_at;
    const std::string unit = text.substr(unit_at);
    if (unit == "m") return std::nullopt;
    static const struct {
        const char* name;
        double scale;
    } kUnits[] = {{"", 1.0},  {"HZ", 1.0},  {"K", 1e3}, {"KHZ", 1e3},
                  {"M", 1e6}, {"MHZ", 1e6}, {"G", 1e9}, {"GHZ", 1e9}};
    const std::string upper = Upper(unit);
    for (const auto& u : kUnits) {
        if (upper != u.name) continue;
        // A blank with no unit after it is a stray, not a separator.
        if (unit.empty() && unit_at != length) return std::nullopt;
        const double value = std::strtod(text.substr(0, length).c_str(), nullptr) * u.scale;
        if (!std::isfinite(value) || value <= 0.0) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<double> ParseSeconds(const std::string& text, double max) {
    const size_t length = velmar::wave::DecimalPrefix(text);
    if (length == 0 || length != text.size()) return std::nullopt;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!(value >= 0.0 && value <= max)) return std::nullopt;
    return value;
}

}  // namespace velmar::tool
