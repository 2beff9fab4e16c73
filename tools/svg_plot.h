// A plot of a waveform as the instrument plays it, as a self-contained SVG
// file that any browser shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmar::tool {

struct WavePlot {
    std::string title;
    std::vector<uint16_t> loop;  // one loop of the played samples
    double sample_clock_hz = 0.0;
    int loops = 1;      // how many loops to draw one after the other
    int dac_bits = 16;  // the value axis runs from 0 to 2^bits - 1
};

// The SVG text: time on the horizontal axis in real units (from the sample
// clock), sample value on the vertical one, both labelled, with grid lines.
std::string RenderWavePlot(const WavePlot& plot);

// Writes RenderWavePlot(plot) to `path`. False with one line in *error.
bool WriteWavePlot(const std::string& path, const WavePlot& plot, std::string* error);

}  // namespace velmar::tool
