#include "parse_number.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

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

}  // namespace velmar::tool
