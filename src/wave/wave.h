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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmar::wave {

// kNoise is pseudo-random samples over the whole length, whatever the
// periods; kDc is no wave at all, the offset alone.
enum class Shape { kSine, kSquare, kTriangle, kSawtooth, kTable, kPulse, kNoise, kDc };

constexpr int kDefaultDacBits = 16;

struct WaveSettings {
    Shape shape = Shape::kSine;
    std::vector<double> table;  // kTable: one period, values in units of full scale
    double amplitude = 1.0;
    double offset = 0.0;
    int dac_bits = kDefaultDacBits;
    // kSquare: the part of the period at +1. kPulse: the width between the
    // half-level points of the edges, as a part of the period.
    double duty = 0.5;
    // kSawtooth: the part of the period spent rising; 1 rises and drops
    // back, 0 drops and rises back, 0.5 is the triangle.
    double symmetry = 1.0;
    // kPulse: the time of each edge, as a part of the period.
    double edge = 0.0;
    // kNoise: the noise's seed; the same seed gives the same samples.
    uint32_t seed = 1;
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

// The length of the decimal number that `text` starts with, as people write
// one: an optional sign, digits with an optional point, an optional
// exponent; 0 when it starts with none. strtod alone would also take hex,
// "inf", "nan" and leading blanks, which neither a wave file nor a
// frequency on a command line means. Shared with the tools' numbers.
size_t DecimalPrefix(const std::string& text);

// How a wave file holds its values.
enum class TableForm {
    kColumn,     // one value a line
    kRow,        // one line of values
    kTimeValue,  // two columns, time and value: the second is the wave
};

struct WaveTableOptions {
    // The values are DAC codes, whole numbers from 0 to 2^dac_bits - 1, to be
    // played as they are. They are given back on the full scale, where
    // ComputeSamples turns each into its code again.
    bool raw = false;
    int dac_bits = kDefaultDacBits;
};

struct WaveTable {
    std::vector<double> values;  // one period, in units of full scale
    TableForm form = TableForm::kColumn;
    bool header = false;  // a first line of names was passed over
};

// A time column may stray this far (relative) from its mean step.
constexpr double kTimeStepTolerance = 0.01;

// Reads one period of a wave from CSV text in the forms people have: one
// value a line; a single row of values; or two columns, time and value, the
// time evenly spaced (within kTimeStepTolerance of its mean step). Fields
// are separated by commas, else semicolons, else blanks, and may be quoted;
// a first line of names (no field a number) is a header; blank lines and
// lines starting with '#' are passed over. Anything else is refused as
// ambiguous: three or more columns on several lines, lines of different
// widths, a field that is no decimal number. False with one line in *error,
// naming the line, when the text is refused or holds fewer than two values.
bool ReadWaveTable(const std::string& text, const WaveTableOptions& options, WaveTable* table,
                   std::string* error);

// The values of ReadWaveTable without options.
bool ParseWaveTable(const std::string& text, std::vector<double>* values, std::string* error);

// "8 values, one a line", "8 values in a row", "8 values from the second of
// two columns (time, value)", each with " after a header line" if it had one.
std::string DescribeWaveTable(const WaveTable& table);

// Whether the values look like DAC codes rather than a wave on the full
// scale: all whole, none negative, some above 1.
bool LooksLikeDacCodes(const std::vector<double>& values);

// A CSV wave file as the programs take it (the tool's --wave FILE.csv, the
// front panel's upload), with what each may be told: `raw` (--raw), the
// values are DAC codes played as they are; `clip` (--clip), a wave beyond
// the DAC's range is meant and is clipped rather than refused.
struct CsvWaveOptions {
    bool raw = false;
    bool clip = false;
    int dac_bits = kDefaultDacBits;
};

struct CsvWave {
    WaveSettings settings;    // kTable, one period of the file, on dac_bits
    std::string description;  // DescribeWaveTable's, with ", DAC codes" when raw
    // Read without raw, the values look like DAC codes: raw is likely meant.
    bool looks_like_codes = false;
};

// Reads a CSV wave file as ReadWaveTable does, with the options. False with
// one line in *error when the file is refused.
bool ReadCsvWave(const std::string& text, const CsvWaveOptions& options, CsvWave* wave,
                 std::string* error);

// ComputeSamples, refusing a wave beyond the DAC's range unless `clip`:
// then false with "N of L samples fall outside the DAC's range" in *error.
// *clipped is how many are clipped either way.
bool SamplesInRange(const WaveSettings& settings, int length, int periods, bool clip,
                    std::vector<uint16_t>* samples, int* clipped, std::string* error);

}  // namespace velmar::wave
