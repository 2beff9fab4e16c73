// The frequencies of `velmar-dds sweep`, worked out as the Python package's
// Generator.sweep works them out (tests/data/sweep_points.txt holds both to
// the same ones).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmar::tool {

constexpr int kDefaultSweepPoints = 10;
constexpr int kMaxSweepPoints = 1000;

struct SweepRange {
    double start = 0.0;          // Hz, positive
    double stop = 0.0;           // Hz, positive; below start for a downward sweep
    std::optional<int> points;   // this many, both ends included (default 10)
    std::optional<double> step;  // or START, START + STEP, ... up to STOP
    bool log = false;            // points evenly spaced on a log scale
};

// The frequencies from start to stop; nothing, with the reason in *error,
// when the range asks for none or for more than kMaxSweepPoints, or for a
// log scale in steps of hertz.
std::optional<std::vector<double>> SweepFrequencies(const SweepRange& range, std::string* error);

}  // namespace velmar::tool
