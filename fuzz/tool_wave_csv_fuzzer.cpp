// The command-line tool's wave files: one period of a wave as CSV text,
// parsed and then stretched over a planned length.
//
// Input: two bytes choose the DAC's bits and the wave's periods, the rest is
// the file's text.
//
// Invariants:
// - a refused file gets one line saying why;
// - an accepted one gives at least two finite values, and writing them out
//   again (17 digits, one per line) reads back the very same values;
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
    const std::string text = in.ConsumeRemainingBytesAsString();

    velmar::wave::WaveSettings settings;
    std::string error;
    if (!velmar::wave::ParseWaveTable(text, &settings.table, &error)) {
        CHECK(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    CHECK(settings.table.size() >= 2);
    std::string again;
    for (double value : settings.table) {
        CHECK(std::isfinite(value));
        char line[40];
        std::snprintf(line, sizeof(line), "%.17g\n", value);
        again += line;
    }
    std::vector<double> reread;
    CHECK(velmar::wave::ParseWaveTable(again, &reread, &error));
    CHECK(reread == settings.table);

    settings.shape = velmar::wave::Shape::kTable;
    settings.dac_bits = bits;
    const int length = 64 * periods + static_cast<int>(settings.table.size() % 64);
    const std::vector<uint16_t> samples = velmar::wave::ComputeSamples(settings, length, periods);
    CHECK(samples.size() == static_cast<size_t>(length));
    for (uint16_t sample : samples) CHECK(sample <= (1u << bits) - 1);
    return 0;
}
