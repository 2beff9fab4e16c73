#include "sweep.h"

#include <cmath>
#include <cstdio>

namespace velmar::tool {

std::optional<std::vector<double>> SweepFrequencies(const SweepRange& range, std::string* error) {
    if (range.points && range.step) {
        *error = "give the number of points or the step, not both";
        return std::nullopt;
    }
    if (range.log && range.step) {
        *error = "a log sweep is given in points, not in a step of hertz";
        return std::nullopt;
    }
    std::vector<double> frequencies;
    if (range.step) {
        const double step = *range.step;
        if (!(step > 0.0)) {
            *error = "the step must be a positive number of hertz";
            return std::nullopt;
        }
        const double span = std::fabs(range.stop - range.start);
        // A step that divides the span reaches STOP despite rounding: 0.3 / 0.1.
        const double steps = std::floor(span / step + 1e-9);
        if (!(steps + 1 <= kMaxSweepPoints)) {
            char text[160];
            std::snprintf(text, sizeof(text),
                          "a step of %.6g Hz from %.6g to %.6g Hz gives more than %d points", step,
                          range.start, range.stop, kMaxSweepPoints);
            *error = text;
            return std::nullopt;
        }
        const int direction = range.stop >= range.start ? 1 : -1;
        for (int i = 0; i <= static_cast<int>(steps); ++i)
            frequencies.push_back(range.start + direction * i * step);
        return frequencies;
    }
    const int points = range.points.value_or(kDefaultSweepPoints);
    if (points < 2 || points > kMaxSweepPoints) {
        *error = "a sweep has from 2 to " + std::to_string(kMaxSweepPoints) + " points, not " +
                 std::to_string(points);
        return std::nullopt;
    }
    for (int i = 0; i < points - 1; ++i) {
        const double fraction = static_cast<double>(i) / (points - 1);
        frequencies.push_back(range.log
                                  ? range.start * std::pow(range.stop / range.start, fraction)
                                  : range.start + (range.stop - range.start) * i / (points - 1));
    }
    // The last is STOP itself, not STOP give or take the rounding.
    frequencies.push_back(range.stop);
    return frequencies;
}

}  // namespace velmar::tool
