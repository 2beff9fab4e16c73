// The tool's waveforms, their sample scale, wave tables from CSV, and the plot.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "svg_plot.h"
#include "sweep.h"
#include "wave/wave.h"

namespace velmar::tool {
namespace {

using namespace velmar::wave;

struct ShapeCase {
    Shape shape;
    double phase;
    double value;
    double duty = 0.5;
    double symmetry = 1.0;
    double edge = 0.0;
};

TEST(WaveTest, ShapesAtTheirCorners) {
    const ShapeCase cases[] = {
        {Shape::kSine, 0.0, 0.0},
        {Shape::kSine, 0.25, 1.0},
        {Shape::kSine, 0.75, -1.0},
        {Shape::kSquare, 0.0, 1.0},
        {Shape::kSquare, 0.4999, 1.0},
        {Shape::kSquare, 0.5, -1.0},
        {Shape::kTriangle, 0.0, -1.0},
        {Shape::kTriangle, 0.25, 0.0},
        {Shape::kTriangle, 0.5, 1.0},
        {Shape::kTriangle, 0.75, 0.0},
        {Shape::kSawtooth, 0.0, -1.0},
        {Shape::kSawtooth, 0.5, 0.0},
        {Shape::kSawtooth, 0.999, 0.998},
        // Duty, symmetry and the pulse's edges.
        {Shape::kSquare, 0.2499, 1.0, 0.25},
        {Shape::kSquare, 0.25, -1.0, 0.25},
        {Shape::kSawtooth, 0.0, 1.0, 0.5, 0.0},
        {Shape::kSawtooth, 0.5, 0.0, 0.5, 0.0},
        {Shape::kSawtooth, 0.25, 1.0, 0.5, 0.25},
        {Shape::kSawtooth, 0.625, 0.0, 0.5, 0.25},
        {Shape::kSawtooth, 0.25, 0.0, 0.5, 0.5},
        {Shape::kPulse, 0.0, 1.0, 0.2},
        {Shape::kPulse, 0.1999, 1.0, 0.2},
        {Shape::kPulse, 0.2, -1.0, 0.2},
        {Shape::kPulse, 0.99, -1.0, 0.2},
        {Shape::kPulse, 0.0, 0.0, 0.2, 1.0, 0.1},  // half way up the rising edge
        {Shape::kPulse, 0.975, -0.5, 0.2, 1.0, 0.1},
        {Shape::kPulse, 0.1, 1.0, 0.2, 1.0, 0.1},
        {Shape::kPulse, 0.2, 0.0, 0.2, 1.0, 0.1},  // half way down the falling edge
        {Shape::kPulse, 0.225, -0.5, 0.2, 1.0, 0.1},
        {Shape::kPulse, 0.5, -1.0, 0.2, 1.0, 0.1},
        {Shape::kDc, 0.3, 0.0},
    };
    for (const ShapeCase& c : cases) {
        WaveSettings settings;
        settings.shape = c.shape;
        settings.duty = c.duty;
        settings.symmetry = c.symmetry;
        settings.edge = c.edge;
        EXPECT_NEAR(WaveValue(settings, c.phase), c.value, 1e-9)
            << "shape " << static_cast<int>(c.shape) << " phase " << c.phase;
    }
}

TEST(WaveTest, NoiseIsBoundedRepeatableAndNearGaussian) {
    WaveSettings settings;
    settings.shape = Shape::kNoise;
    settings.amplitude = 1.0;
    const std::vector<uint16_t> noise = ComputeSamples(settings, 4096, 1);
    EXPECT_EQ(noise, ComputeSamples(settings, 4096, 7));  // periods do not matter
    settings.seed = 2;
    EXPECT_NE(noise, ComputeSamples(settings, 4096, 1));
    double sum = 0.0;
    double squares = 0.0;
    for (uint16_t code : noise) {
        const double value = code / 32767.5 - 1.0;
        sum += value;
        squares += value * value;
    }
    // The mean of four uniform draws on -1..1 has a deviation of 1/sqrt(12).
    EXPECT_NEAR(sum / 4096, 0.0, 0.02);
    EXPECT_NEAR(std::sqrt(squares / 4096), 1.0 / std::sqrt(12.0), 0.02);
    EXPECT_GT(*std::max_element(noise.begin(), noise.end()), 52000);
    EXPECT_LT(*std::min_element(noise.begin(), noise.end()), 13500);
}

TEST(WaveTest, TableIsInterpolatedAndWraps) {
    WaveSettings settings;
    settings.shape = Shape::kTable;
    settings.table = {0.0, 1.0, 0.0, -1.0};
    const double cases[][2] = {{0.0, 0.0}, {0.125, 0.5}, {0.25, 1.0}, {0.625, -0.5}, {0.875, -0.5}};
    for (const auto& c : cases) EXPECT_NEAR(WaveValue(settings, c[0]), c[1], 1e-12) << c[0];
}

TEST(WaveTest, NamesOfShapes) {
    EXPECT_EQ(ShapeByName("sine"), Shape::kSine);
    EXPECT_EQ(ShapeByName("square"), Shape::kSquare);
    EXPECT_EQ(ShapeByName("triangle"), Shape::kTriangle);
    EXPECT_EQ(ShapeByName("sawtooth"), Shape::kSawtooth);
    EXPECT_EQ(ShapeByName("Sine"), std::nullopt);
    EXPECT_EQ(ShapeByName("wave.csv"), std::nullopt);
}

TEST(SampleScaleTest, FullScaleSixteenBitsIsOffsetBinary) {
    WaveSettings settings;
    settings.shape = Shape::kSquare;
    const std::vector<uint16_t> samples = ComputeSamples(settings, 4, 1);
    EXPECT_EQ(samples, (std::vector<uint16_t>{65535, 65535, 0, 0}));
    settings.shape = Shape::kTriangle;  // -1, 0, 1, 0
    EXPECT_EQ(ComputeSamples(settings, 4, 1), (std::vector<uint16_t>{0, 32768, 65535, 32768}));
}

TEST(SampleScaleTest, AmplitudeOffsetBitsAndClipping) {
    const struct {
        double amplitude, offset;
        int bits;
        uint16_t high, low;  // the square's two levels
    } cases[] = {
        {0.5, 0.0, 16, 49151, 16384}, {0.5, 0.25, 16, 57343, 24576}, {1.0, 0.5, 16, 65535, 16384},
        {2.0, 0.0, 16, 65535, 0},     {1.0, 0.0, 12, 4095, 0},       {0.5, 0.0, 12, 3071, 1024},
        {1.0, -3.0, 16, 0, 0},        {0.0, 0.0, 8, 128, 128},
    };
    // A table of huge values interpolates to inf - inf at its points: such a
    // sample has no level and plays mid-scale.
    WaveSettings huge;
    huge.shape = Shape::kTable;
    huge.table = {1e308, -1e308};
    EXPECT_EQ(ComputeSamples(huge, 2, 1), (std::vector<uint16_t>{32768, 32768}));
    for (const auto& c : cases) {
        WaveSettings settings;
        settings.shape = Shape::kSquare;
        settings.amplitude = c.amplitude;
        settings.offset = c.offset;
        settings.dac_bits = c.bits;
        const std::vector<uint16_t> samples = ComputeSamples(settings, 2, 1);
        EXPECT_EQ(samples[0], c.high) << c.amplitude << " " << c.offset << " " << c.bits;
        EXPECT_EQ(samples[1], c.low) << c.amplitude << " " << c.offset << " " << c.bits;
    }
}

TEST(SampleScaleTest, LengthAndPeriodsAsPlanned) {
    WaveSettings settings;
    for (const auto& [length, periods] :
         std::vector<std::pair<int, int>>{{2083, 1}, {4000, 20}, {4066, 61}}) {
        const std::vector<uint16_t> samples = ComputeSamples(settings, length, periods);
        ASSERT_EQ(samples.size(), static_cast<size_t>(length));
        // Rises through mid-scale once per period, the wrap included.
        int rises = 0;
        for (int i = 0; i < length; ++i) {
            const int next = (i + 1) % length;
            rises += samples[i] < 32768 && samples[next] >= 32768;
        }
        EXPECT_EQ(rises, periods) << length;
    }
    EXPECT_TRUE(ComputeSamples(settings, 0, 1).empty());
    EXPECT_TRUE(ComputeSamples(settings, -1, 1).empty());
}

// The table the Python package is held to as well: one case a line,
// "shape length periods amplitude offset bits | samples | clipped".
TEST(SampleScaleTest, SamplesOfTheSharedTable) {
    std::ifstream file(VELMAR_WAVE_SAMPLES);
    ASSERT_TRUE(file) << VELMAR_WAVE_SAMPLES;
    std::string line;
    int cases = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string shape, bar;
        int length = 0, periods = 0;
        WaveSettings settings;
        fields >> shape >> length >> periods >> settings.amplitude >> settings.offset >>
            settings.dac_bits >> bar;
        ASSERT_EQ(bar, "|") << line.substr(0, 60);
        if (shape.rfind("table:", 0) == 0) {
            std::string error;
            ASSERT_TRUE(ParseWaveTable(shape.substr(6), &settings.table, &error)) << error;
            settings.shape = Shape::kTable;
        } else {
            ASSERT_TRUE(ShapeByName(shape).has_value()) << shape;
            settings.shape = *ShapeByName(shape);
        }
        std::vector<uint16_t> expected;
        for (unsigned sample = 0; fields >> sample;)
            expected.push_back(static_cast<uint16_t>(sample));
        fields.clear();
        int expected_clipped = -1;
        fields >> bar >> expected_clipped;
        ASSERT_EQ(bar, "|") << line.substr(0, 60);
        int clipped = -1;
        EXPECT_EQ(ComputeSamples(settings, length, periods, &clipped), expected)
            << line.substr(0, 60);
        EXPECT_EQ(clipped, expected_clipped) << line.substr(0, 60);
        ++cases;
    }
    EXPECT_GE(cases, 20);
}

TEST(WaveTableTest, ParsesNumbersInAnyCsvLayout) {
    const struct {
        const char* text;
        std::vector<double> values;
    } cases[] = {
        {"0,1,0,-1\n", {0, 1, 0, -1}},         {"# one period\n0.5\n-0.5\n", {0.5, -0.5}},
        {"0; 0.25 ;0.5\r\n", {0, 0.25, 0.5}},  {"1e-1\n\t-2E-1\n\n+.5\n3.\n", {0.1, -0.2, 0.5, 3}},
        {"  # indented comment\n1,2", {1, 2}}, {"\"0.5\",\"-0.5\"\n", {0.5, -0.5}},
    };
    for (const auto& c : cases) {
        std::vector<double> values;
        std::string error;
        EXPECT_TRUE(ParseWaveTable(c.text, &values, &error)) << c.text << ": " << error;
        EXPECT_EQ(values, c.values) << c.text;
    }
}

TEST(WaveTableTest, RefusesWhatIsNotAWave) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "a wave table needs at least two values, found 0"},
        {"0.5\n", "a wave table needs at least two values, found 1"},
        {"0,1\nvalue,2\n", "line 2: 'value' is not a number"},
        {"0,1x\n", "line 1: '1x' is not a number"},
        {"0,nan\n", "line 1: 'nan' is not a number"},
        {"0,inf\n", "line 1: 'inf' is not a number"},
        // Rows of different widths: no one knows which value belongs where.
        {"0; 0.25 ;0.5\r\n1e-1\t-2E-1\n\n",
         "line 1: 3 columns: a wave file holds one value a line, one row of values, or two "
         "columns (time, value)"},
        {"0,1e400\n", "line 1: '1e400' is not a number"},
        {"0,1e\n", "line 1: '1e' is not a number"},
        {"0, nan\n", "line 1: 'nan' is not a number"},
        {"0,.\n", "line 1: '.' is not a number"},
        {"0,1 2\n", "line 1: '1 2' is not a number"},
    };
    for (const auto& c : cases) {
        std::vector<double> values;
        std::string error;
        EXPECT_FALSE(ParseWaveTable(c.text, &values, &error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

struct SharedCase {
    std::string line;
    std::string asked;     // before " | "
    std::string expected;  // after it
};

// The cases of a table the Python package's suite reads too: each line that
// is neither blank nor a comment.
std::vector<SharedCase> SharedCases(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::vector<SharedCase> cases;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t bar = line.find(" | ");
        EXPECT_NE(bar, std::string::npos) << line;
        if (bar == std::string::npos) continue;
        cases.push_back({line, line.substr(0, bar), line.substr(bar + 3)});
    }
    return cases;
}

// The files of tests/data/csv as cases.txt says they read, the Python
// package held to the same: "FILE [raw BITS] | VALUES", "| codes CODES" or
// "| ! MESSAGE".
TEST(WaveTableTest, TheSharedFilesReadAsThePackageReadsThem) {
    const std::string folder = VELMAR_CSV_CASES;
    int count = 0;
    for (const auto& [line, asked, expected] : SharedCases(folder + "/cases.txt")) {
        std::istringstream head(asked);
        std::string name, raw;
        WaveTableOptions options;
        head >> name >> raw >> options.dac_bits;
        options.raw = raw == "raw";
        std::ifstream file(folder + "/" + name, std::ios::binary);
        ASSERT_TRUE(file) << name;
        std::stringstream text;
        text << file.rdbuf();
        WaveTable table;
        std::string error;
        const bool read = ReadWaveTable(text.str(), options, &table, &error);
        if (expected.rfind("! ", 0) == 0) {
            EXPECT_FALSE(read) << line;
            EXPECT_EQ(error, expected.substr(2)) << line;
        } else {
            ASSERT_TRUE(read) << line << ": " << error;
            std::istringstream numbers(expected);
            std::vector<double> values;
            std::string word;
            const bool codes = expected.rfind("codes ", 0) == 0;
            if (codes) numbers >> word;
            const double top = std::ldexp(1.0, options.dac_bits) - 1.0;
            for (double v; numbers >> v;) values.push_back(codes ? 2.0 * v / top - 1.0 : v);
            EXPECT_EQ(table.values, values) << line;
            if (codes) {
                // Played as they are: each code comes back from the full scale.
                WaveSettings settings;
                settings.shape = Shape::kTable;
                settings.table = table.values;
                settings.dac_bits = options.dac_bits;
                const int n = static_cast<int>(values.size());
                std::vector<uint16_t> played = ComputeSamples(settings, n, 1);
                std::istringstream again(expected.substr(6));
                for (int i = 0; i < n; ++i) {
                    unsigned code = 0;
                    again >> code;
                    EXPECT_EQ(played[static_cast<size_t>(i)], code) << line;
                }
            }
        }
        ++count;
    }
    EXPECT_GE(count, 25);
}

TEST(WaveTableTest, TheFormIsToldAndCodesAreNoticed) {
    const struct {
        const char* text;
        const char* description;
        bool codes;
    } cases[] = {
        {"0\n1\n", "2 values, one a line", false},
        {"0,1,0,-1\n", "4 values in a row", false},
        {"time,value\n0,0\n1,1\n2,0\n",
         "3 values from the second of two columns (time, value) "
         "after a header line",
         false},
        {"0\n1024\n4095\n", "3 values, one a line", true},
        {"0\n1\n", "2 values, one a line", false},  // a wave from 0 to 1, not codes
        {"0\n2.5\n", "2 values, one a line", false},
    };
    for (const auto& c : cases) {
        WaveTable table;
        std::string error;
        ASSERT_TRUE(ReadWaveTable(c.text, WaveTableOptions{}, &table, &error)) << error;
        EXPECT_EQ(DescribeWaveTable(table), c.description) << c.text;
        EXPECT_EQ(LooksLikeDacCodes(table.values), c.codes) << c.text;
    }
}

// ---- The sweep's frequencies ----------------------------------------------------------

// tests/data/sweep_points.txt, which the Python package is held to as well:
// "START STOP steps=N|step=F [log] | FREQUENCIES".
TEST(SweepTest, TheFrequenciesOfTheSharedTable) {
    int count = 0;
    for (const auto& [line, asked, expected] : SharedCases(VELMAR_SWEEP_POINTS)) {
        std::istringstream head(asked);
        SweepRange range;
        head >> range.start >> range.stop;
        for (std::string word; head >> word;) {
            if (word == "log") range.log = true;
            if (word.rfind("steps=", 0) == 0) range.points = std::stoi(word.substr(6));
            if (word.rfind("step=", 0) == 0) range.step = std::stod(word.substr(5));
        }
        std::string error;
        const auto frequencies = SweepFrequencies(range, &error);
        if (expected.rfind("! ", 0) == 0) {
            EXPECT_FALSE(frequencies) << line;
            continue;
        }
        ASSERT_TRUE(frequencies) << line << ": " << error;
        std::istringstream numbers(expected);
        std::vector<double> want;
        for (double f; numbers >> f;) want.push_back(f);
        ASSERT_EQ(frequencies->size(), want.size()) << line;
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_NEAR((*frequencies)[i], want[i], want[i] * 1e-12) << line << " #" << i;
        ++count;
    }
    EXPECT_GE(count, 6);
}

TEST(SweepTest, RangesThatAskForNoneOrTooMany) {
    const struct {
        SweepRange range;
        const char* error;
    } cases[] = {
        {{1e3, 1e4, 1, std::nullopt, false}, "a sweep has from 2 to 1000 points, not 1"},
        {{1e3, 1e4, 1001, std::nullopt, false}, "a sweep has from 2 to 1000 points, not 1001"},
        {{1e3, 1e4, 10, 1e3, false}, "give the number of points or the step, not both"},
        {{1e3, 1e4, std::nullopt, 1e3, true},
         "a log sweep is given in points, not in a step of hertz"},
        {{1, 1e4, std::nullopt, 1, false},
         "a step of 1 Hz from 1 to 10000 Hz gives more than "
         "1000 points"},
        {{1, 2, std::nullopt, 0, false}, "the step must be a positive number of hertz"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(SweepFrequencies(c.range, &error));
        EXPECT_EQ(error, c.error);
    }
}

// ---- The plot ---------------------------------------------------------------------

std::vector<std::pair<double, double>> PolylinePoints(const std::string& svg) {
    std::smatch match;
    std::vector<std::pair<double, double>> points;
    if (!std::regex_search(svg, match, std::regex("<polyline[^>]* points=\"([^\"]*)\"")))
        return points;
    std::istringstream text(match[1].str());
    std::string pair;
    while (text >> pair) {
        const size_t comma = pair.find(',');
        points.emplace_back(std::stod(pair.substr(0, comma)), std::stod(pair.substr(comma + 1)));
    }
    return points;
}

TEST(PlotTest, AxesAreLabelledInRealUnits) {
    WavePlot plot;
    plot.title = "1 kHz <sine> & more";
    plot.loop = ComputeSamples(WaveSettings{}, 2083, 1);
    plot.sample_clock_hz = 100e6 / 48;
    plot.loops = 3;
    const std::string svg = RenderWavePlot(plot);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find(">time (ms)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">sample value (DAC code, 16 bits)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">1 kHz &lt;sine&gt; &amp; more</text>"), std::string::npos);
    // Time ticks every 0.5 ms over the 3 ms of three loops.
    for (const char* tick : {">0.0<", ">0.5<", ">2.5<"}) {
        EXPECT_NE(svg.find(tick), std::string::npos) << tick;
    }
    EXPECT_EQ(svg.find(">3.5<"), std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}

TEST(PlotTest, ValueTicksAreRoundCodesWithinTheDacRange) {
    const struct {
        int bits;
        std::vector<std::string> ticks;
    } cases[] = {
        {16, {"0", "20000", "40000", "60000"}},
        {12, {"0", "2000", "4000"}},
        {8, {"0", "100", "200"}},
        {1, {"0", "1"}},
    };
    for (const auto& c : cases) {
        WavePlot plot;
        plot.loop = {0, 1};
        plot.sample_clock_hz = 1e6;
        plot.dac_bits = c.bits;
        const std::string svg = RenderWavePlot(plot);
        std::smatch match;
        std::regex label("<text x=\"82\" y=\"[0-9.]+\">([0-9]+)</text>");
        std::vector<std::string> ticks;
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), label);
             it != std::sregex_iterator(); ++it) {
            ticks.push_back((*it)[1].str());
        }
        EXPECT_EQ(ticks, c.ticks) << c.bits << " bits";
    }
}

TEST(PlotTest, EverySampleIsHeldForOneClockPeriodInsideThePlotArea) {
    WavePlot plot;
    plot.loop = {0, 65535, 32768, 16384};
    plot.sample_clock_hz = 1e6;  // 4 us per loop
    plot.loops = 2;
    const std::string svg = RenderWavePlot(plot);
    EXPECT_NE(svg.find(">time (\xC2\xB5s)</text>"), std::string::npos);
    const auto points = PolylinePoints(svg);
    ASSERT_EQ(points.size(), 16u);  // 8 samples, a start and an end each
    for (size_t i = 0; i + 1 < points.size(); i += 2) {
        EXPECT_EQ(points[i].second, points[i + 1].second);  // held level
        EXPECT_LT(points[i].first, points[i + 1].first);
        if (i + 2 < points.size()) {
            EXPECT_EQ(points[i + 1].first, points[i + 2].first);  // no gap
        }
    }
    EXPECT_EQ(points.front().first, 90.0);  // the time axis starts at the left edge
    EXPECT_EQ(points.back().first, 870.0);  // and ends at the right one
    const auto [low, high] = std::minmax_element(
        points.begin(), points.end(), [](auto a, auto b) { return a.second < b.second; });
    EXPECT_EQ(low->second, 50.0);                    // 65535 at the top
    EXPECT_EQ(high->second, 370.0);                  // 0 at the bottom
    EXPECT_EQ(points[4].second, points[12].second);  // the second loop repeats the first
}

TEST(PlotTest, WriteFailsWithAMessageForAnUnwritablePath) {
    WavePlot plot;
    plot.loop = {1, 2};
    plot.sample_clock_hz = 1.0;
    std::string error;
    EXPECT_FALSE(WriteWavePlot("/nonexistent-dir/plot.svg", plot, &error));
    EXPECT_EQ(error.rfind("cannot write /nonexistent-dir/plot.svg", 0), 0u) << error;
}

}  // namespace
}  // namespace velmar::tool
