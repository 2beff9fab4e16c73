// The waveforms the programs around the library compute for the instrument
// (the command-line tool, the SCPI server), and the scale that turns them
// into samples.
//
// The library sends samples to the waveform memory unchanged and does not
// know the instrument's DAC range, so these programs fix one: samples are offset
// binary on a DAC of `bits` bits (default 16), 0 the most negative output,
// 2^bits - 1 the most positive, mid-scale zero. A wave value runs from -1 to
// 1 in units of full scale; amplitude scales it and offset shifts it (both in
// units of full scale too) before the conversion, and what falls outside the
// DAC's range is clipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmar::wave {

enum class Shape { kSine, kSquare, kTriangle, kSawtooth, kTable };

constexpr int kDefaultDacBits = 16;

struct WaveSettings {
    Shape shape = Shape::kSine;
    std::vector<double> table;  // kTable: one period, values in units of full scale
    double amplitude = 1.0;
    double offset = 0.0;
    int dac_bits = kDefaultDacBits;
};

// "sine", "square", "triangle", "sawtooth"; nothing for any other name.
std::optional<Shape> ShapeByName(const std::string& name);

// The value of one period of the shape at `phase` (0 <= phase < 1), from -1
// to 1. A table is read with linear interpolation, wrapping at its end.
double WaveValue(const WaveSettings& settings, double phase);

// `length` samples holding `periods` whole periods of the wave. With
// `clipped`, also how many samples fell outside the DAC's range.
std::vector<uint16_t> ComputeSamples(const WaveSettings& settings, int length, int periods,
                                     int* clipped = nullptr);

// Reads one period of a wave from CSV text: numbers separated by commas,
// semicolons or white space, one or more per line; lines starting with '#'
// are comments. False with one line in *error when a field is not a finite
// number or fewer than two values are given.
bool ParseWaveTable(const std::string& text, std::vector<double>* values, std::string* error);

}  // namespace velmar::wave
