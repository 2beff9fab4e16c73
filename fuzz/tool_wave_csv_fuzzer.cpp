// The command-line tool's wave files: one period of a wave as CSV text in
// the forms people have (one value a line, a row, time and value columns),
// parsed and then stretched over a planned length.
//
// Input: three bytes choose the DAC's bits, the wave's periods and whether
// the values are DAC codes (--raw); the rest is the file's text.
//
// Invariants:
// - a refused file gets one line saying why, naming the line where it can;
// - an accepted one gives at least two finite values, and writing them out
//   again (17 digits, one per line) reads back the very same values;
// - read as DAC codes, each value is a code of the DAC on the full scale,
//   and the samples of as many as were read are those codes;
// - the samples computed from it fill the planned length and stay within the
//   DAC's range.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "wave/wave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int bits = in.ConsumeIntegralInRange<int>(1, 16);
    const int periods = in.ConsumeIntegralInRange<int>(1, 64);
    const bool raw = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();

    velmar::wave::WaveTableOptions options;
    options.raw = raw;
    options.dac_bits = bits;
    velmar::wave::WaveTable table;
    std::string error;
    if (!velmar::wave::ReadWaveTable(text, options, &table, &error)) {
        CHECK(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    CHECK(table.values.size() >= 2);
    const double top = std::ldexp(1.0, bits) - 1.0;
    std::string again;
    std::vector<uint16_t> codes;
    for (double value : table.values) {
        CHECK(std::isfinite(value));
        char line[40];
        if (raw) {
            const double code = (value + 1.0) * top / 2.0;
            CHECK(std::round(code) >= 0.0 && std::round(code) <= top);
            CHECK(2.0 * std::round(code) / top - 1.0 == value);
            codes.push_back(static_cast<uint16_t>(std::round(code)));
            std::snprintf(line, sizeof(line), "%u\n", codes.back());
        } else {
            std::snprintf(line, sizeof(line), "%.17g\n", value);
        }
        again += line;
    }
    velmar::wave::WaveTable reread;
    CHECK(velmar::wave::ReadWaveTable(again, options, &reread, &error));
    CHECK(reread.values == table.values);

    velmar::wave::WaveSettings settings;
    settings.shape = velmar::wave::Shape::kTable;
    settings.table = table.values;
    settings.dac_bits = bits;
    if (raw) {
        const int n = static_cast<int>(codes.size());
        CHECK(velmar::wave::ComputeSamples(settings, n, 1) == codes);
    }
    const int length = 64 * periods + static_cast<int>(settings.table.size() % 64);
    const std::vector<uint16_t> samples = velmar::wave::ComputeSamples(settings, length, periods);
    CHECK(samples.size() == static_cast<size_t>(length));
    for (uint16_t sample : samples) CHECK(sample <= (1u << bits) - 1);
    return 0;
}
