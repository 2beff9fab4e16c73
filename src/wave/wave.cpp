#include "wave/wave.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace velmar::wave {
namespace {
// M_PI is POSIX, not C++17: mingw-w64 in strict mode has none.
constexpr double kPi = 3.14159265358979323846;
}  // namespace

std::optional<Shape> ShapeByName(const std::string& name) {
    if (name == "sine") return Shape::kSine;
    if (name == "square") return Shape::kSquare;
    if (name == "triangle") return Shape::kTriangle;
    if (name == "sawtooth") return Shape::kSawtooth;
    return std::nullopt;
}

double WaveValue(const WaveSettings& settings, double phase) {
    switch (settings.shape) {
        case Shape::kSine:
            return std::sin(2.0 * kPi * phase);
        case Shape::kSquare:
            return phase < 0.5 ? 1.0 : -1.0;
        case Shape::kTriangle:
            // Starts at -1, peaks at +1 half way: rising and falling edges alike.
            return phase < 0.5 ? 4.0 * phase - 1.0 : 3.0 - 4.0 * phase;
        case Shape::kSawtooth:
            return 2.0 * phase - 1.0;
        case Shape::kTable: {
            if (settings.table.empty()) return 0.0;
            const double position = phase * static_cast<double>(settings.table.size());
            const size_t i = static_cast<size_t>(position) % settings.table.size();
            const size_t next = (i + 1) % settings.table.size();
            const double fraction = position - std::floor(position);
            return settings.table[i] + (settings.table[next] - settings.table[i]) * fraction;
        }
    }
    return 0.0;
}

std::vector<uint16_t> ComputeSamples(const WaveSettings& settings, int length, int periods,
                                     int* clipped) {
    std::vector<uint16_t> samples;
    if (clipped) *clipped = 0;
    if (length <= 0) return samples;
    const int bits = std::clamp(settings.dac_bits, 1, 16);
    const double top = std::ldexp(1.0, bits) - 1.0;
    samples.reserve(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        // The phase is taken from the sample index exactly, so that the last
        // sample leads back into the first when the memory loops.
        const double cycles = static_cast<double>(i) * periods / length;
        const double phase = cycles - std::floor(cycles);
        const double value = settings.amplitude * WaveValue(settings, phase) + settings.offset;
        // A table of huge values can make the interpolation NaN (inf - inf):
        // such a point has no level, so it plays mid-scale.
        const double code =
            std::isnan(value) ? std::round(top / 2.0) : std::round((value + 1.0) * top / 2.0);
        if (clipped && (code < 0.0 || code > top)) ++*clipped;
        samples.push_back(static_cast<uint16_t>(std::clamp(code, 0.0, top)));
    }
    return samples;
}

bool ParseWaveTable(const std::string& text, std::vector<double>* values, std::string* error) {
    values->clear();
    std::istringstream lines(text);
    std::string line;
    int line_number = 0;
    while (std::getline(lines, line)) {
        ++line_number;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == ',' || c == ';' || c == '\r'; },
            ' ');
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            char* end = nullptr;
            const double value = std::strtod(field.c_str(), &end);
            if (end == field.c_str() || *end != '\0' || !std::isfinite(value)) {
                *error =
                    "line " + std::to_string(line_number) + ": '" + field + "' is not a number";
                return false;
            }
            values->push_back(value);
        }
    }
    if (values->size() < 2) {
        *error = "a wave table needs at least two values, found " + std::to_string(values->size());
        return false;
    }
    return true;
}

}  // namespace velmar::wave
