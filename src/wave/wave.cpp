#include "wave/wave.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace velmar::wave {
namespace {
// M_PI is POSIX, not C++17: mingw-w64 in strict mode has none.
constexpr double kPi = 3.14159265358979323846;

// Noise from -1 to 1, near Gaussian: the mean of four uniform draws of a
// 32-bit xorshift, spread to the full scale. Bounded, so it never clips, and
// the same on every target for a seed.
class NoiseSource {
  public:
    explicit NoiseSource(uint32_t seed) : state_(seed != 0 ? seed : 1) {}
    double Next() {
        double sum = 0.0;
        for (int i = 0; i < 4; ++i) {
            state_ ^= state_ << 13;
            state_ ^= state_ >> 17;
            state_ ^= state_ << 5;
            sum += static_cast<double>(state_) / 4294967295.0;
        }
        return sum / 2.0 - 1.0;
    }

  private:
    uint32_t state_;
};
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
            return phase < settings.duty ? 1.0 : -1.0;
        case Shape::kTriangle:
            // Starts at -1, peaks at +1 half way: rising and falling edges alike.
            return phase < 0.5 ? 4.0 * phase - 1.0 : 3.0 - 4.0 * phase;
        case Shape::kSawtooth: {
            const double rise = settings.symmetry;
            if (phase < rise) return 2.0 * phase / rise - 1.0;
            return 1.0 - 2.0 * (phase - rise) / (1.0 - rise);
        }
        case Shape::kPulse: {
            // High from the middle of the rising edge (at phase 0) to the
            // middle of the falling edge (at the width), with linear edges.
            const double half_edge = settings.edge / 2.0;
            const double width = settings.duty;
            if (half_edge <= 0.0) return phase < width ? 1.0 : -1.0;
            const auto ramp = [half_edge](double from_middle) {
                return std::clamp(from_middle / half_edge, -1.0, 1.0);
            };
            // The rising edge straddles phase 0: its first half ends the period.
            const double x = phase >= 1.0 - half_edge ? phase - 1.0 : phase;
            return std::min(ramp(x), ramp(width - x));
        }
        case Shape::kNoise:  // made by ComputeSamples, not a function of phase
        case Shape::kDc:
            return 0.0;
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
    NoiseSource noise(settings.seed);
    for (int i = 0; i < length; ++i) {
        // The phase is taken from the sample index exactly, so that the last
        // sample leads back into the first when the memory loops.
        const double cycles = static_cast<double>(i) * periods / length;
        const double phase = cycles - std::floor(cycles);
        const double wave =
            settings.shape == Shape::kNoise ? noise.Next() : WaveValue(settings, phase);
        const double value = settings.amplitude * wave + settings.offset;
        // A table of huge values can make the interpolation NaN (inf - inf):
        // such a point has no level, so it plays mid-scale.
        const double code =
            std::isnan(value) ? std::round(top / 2.0) : std::round((value + 1.0) * top / 2.0);
        if (clipped && (code < 0.0 || code > top)) ++*clipped;
        samples.push_back(static_cast<uint16_t>(std::clamp(code, 0.0, top)));
    }
    return samples;
}

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

size_t DecimalPrefix(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    for (; i < n && IsDigit(text[i]); ++i) ++digits;
    if (i < n && text[i] == '.') {
        for (++i; i < n && IsDigit(text[i]); ++i) ++digits;
    }
    if (digits == 0) return 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        size_t e = i + 1;
        if (e < n && (text[e] == '+' || text[e] == '-')) ++e;
        const size_t exponent = e;
        while (e < n && IsDigit(text[e])) ++e;
        // "1e" or "2e+" end at the number before them.
        if (e > exponent) i = e;
    }
    return i;
}

namespace {

constexpr char kForms[] = "one value a line, one row of values, or two columns (time, value)";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Spreadsheets quote names and sometimes numbers: "time","value".
std::string Unquoted(const std::string& field) {
    std::string trimmed = Trim(field);
    if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"')
        return trimmed.substr(1, trimmed.size() - 2);
    return trimmed;
}

// A line's fields: separated by commas where it has any, else by semicolons,
// else by runs of blanks.
std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    const char separator = line.find(',') != std::string::npos   ? ','
                           : line.find(';') != std::string::npos ? ';'
                                                                 : '\0';
    if (separator != '\0') {
        size_t at = 0;
        for (;;) {
            const size_t next = line.find(separator, at);
            fields.push_back(Unquoted(line.substr(at, next - at)));
            if (next == std::string::npos) break;
            at = next + 1;
        }
        return fields;
    }
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && IsBlank(line[at])) ++at;
        size_t end = at;
        while (end < line.size() && !IsBlank(line[end])) ++end;
        if (end > at) fields.push_back(Unquoted(line.substr(at, end - at)));
        at = end;
    }
    return fields;
}

// A field that is a decimal number, whole.
std::optional<double> DecimalNumber(const std::string& field) {
    if (field.empty() || DecimalPrefix(field) != field.size()) return std::nullopt;
    const double value = std::strtod(field.c_str(), nullptr);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::string Line(int number) {
    return "line " + std::to_string(number) + ": ";
}

std::string Count(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string Short(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

struct Row {
    int line;
    std::vector<std::string> fields;
};

}  // namespace

bool ReadWaveTable(const std::string& text, const WaveTableOptions& options, WaveTable* table,
                   std::string* error) {
    *table = WaveTable{};
    std::vector<Row> rows;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        // The byte order mark that spreadsheets write at the start of UTF-8.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        rows.push_back(Row{number, SplitFields(trimmed)});
    }
    const auto too_few = [&](size_t found) {
        *error = "a wave table needs at least two values, found " + std::to_string(found);
        return false;
    };
    if (rows.empty()) return too_few(0);
    const Row& first = rows.front();
    table->header = std::none_of(first.fields.begin(), first.fields.end(),
                                 [](const std::string& f) { return DecimalNumber(f).has_value(); });
    std::optional<Row> header;
    if (table->header) {
        header = first;
        rows.erase(rows.begin());
        if (rows.empty()) return too_few(0);
    }
    const size_t columns = rows.front().fields.size();
    if (header && header->fields.size() != columns) {
        *error = Line(rows.front().line) + Count(columns, "field") + " where the header (line " +
                 std::to_string(header->line) + ") has " + std::to_string(header->fields.size());
        return false;
    }
    if (!header && rows.size() == 1) {
        table->form = TableForm::kRow;
    } else if (columns == 1) {
        table->form = TableForm::kColumn;
    } else if (columns == 2) {
        table->form = TableForm::kTimeValue;
    } else {
        *error =
            Line(rows.front().line) + Count(columns, "column") + ": a wave file holds " + kForms;
        return false;
    }
    const double top = std::ldexp(1.0, std::clamp(options.dac_bits, 1, 16)) - 1.0;
    std::vector<double> times;
    std::vector<int> value_lines;
    for (const Row& row : rows) {
        if (row.fields.size() != columns) {
            *error = Line(row.line) + Count(row.fields.size(), "field") + " where line " +
                     std::to_string(rows.front().line) + " has " + std::to_string(columns) +
                     ": a wave file holds " + kForms;
            return false;
        }
        for (size_t i = 0; i < row.fields.size(); ++i) {
            const std::string& field = row.fields[i];
            const std::optional<double> value = DecimalNumber(field);
            if (!value) {
                *error =
                    Line(row.line) + (field.empty() ? "field " + std::to_string(i + 1) + " is empty"
                                                    : "'" + field + "' is not a number");
                return false;
            }
            if (table->form == TableForm::kTimeValue && i == 0) {
                times.push_back(*value);
                continue;
            }
            double wave_value = *value;
            if (options.raw) {
                if (*value != std::floor(*value) || *value < 0.0 || *value > top) {
                    *error = Line(row.line) + "'" + field + "' is not a DAC code of " +
                             std::to_string(options.dac_bits) + " bits (a whole number from 0 to " +
                             Short(top) + ")";
                    return false;
                }
                wave_value = 2.0 * *value / top - 1.0;
            }
            table->values.push_back(wave_value);
            value_lines.push_back(row.line);
        }
    }
    if (times.size() >= 2) {
        const double mean = (times.back() - times.front()) / static_cast<double>(times.size() - 1);
        for (size_t i = 1; i < times.size(); ++i) {
            const double step = times[i] - times[i - 1];
            if (!(step > 0.0)) {
                *error = Line(value_lines[i]) + "the time does not increase (" + Short(times[i]) +
                         " after " + Short(times[i - 1]) +
                         "): the first column must increase in even steps";
                return false;
            }
            if (!(std::fabs(step - mean) <= kTimeStepTolerance * mean)) {
                *error = Line(value_lines[i]) + "the time steps by " + Short(step) +
                         " where it steps by " + Short(mean) +
                         " on average: the first column must increase in even steps (within 1 %)";
                return false;
            }
        }
    }
    if (table->values.size() < 2) return too_few(table->values.size());
    return true;
}

bool ParseWaveTable(const std::string& text, std::vector<double>* values, std::string* error) {
    WaveTable table;
    const bool read = ReadWaveTable(text, WaveTableOptions{}, &table, error);
    *values = std::move(table.values);
    return read;
}

std::string DescribeWaveTable(const WaveTable& table) {
    std::string text = Count(table.values.size(), "value");
    switch (table.form) {
        case TableForm::kColumn:
            text += ", one a line";
            break;
        case TableForm::kRow:
            text += " in a row";
            break;
        case TableForm::kTimeValue:
            text += " from the second of two columns (time, value)";
            break;
    }
    return table.header ? text + " after a header line" : text;
}

bool LooksLikeDacCodes(const std::vector<double>& values) {
    bool above_one = false;
    for (double v : values) {
        if (!std::isfinite(v) || v < 0.0 || v != std::floor(v)) return false;
        above_one = above_one || v > 1.0;
    }
    return above_one;
}

bool ReadCsvWave(const std::string& text, const CsvWaveOptions& options, CsvWave* wave,
                 std::string* error) {
    WaveTableOptions table_options;
    table_options.raw = options.raw;
    table_options.dac_bits = options.dac_bits;
    WaveTable table;
    if (!ReadWaveTable(text, table_options, &table, error)) return false;
    wave->description = DescribeWaveTable(table) + (options.raw ? ", DAC codes" : "");
    wave->looks_like_codes = !options.raw && LooksLikeDacCodes(table.values);
    wave->settings = WaveSettings{};
    wave->settings.shape = Shape::kTable;
    wave->settings.dac_bits = options.dac_bits;
    wave->settings.table = std::move(table.values);
    return true;
}

bool SamplesInRange(const WaveSettings& settings, int length, int periods, bool clip,
                    std::vector<uint16_t>* samples, int* clipped, std::string* error) {
    *samples = ComputeSamples(settings, length, periods, clipped);
    if (*clipped == 0 || clip) return true;
    *error = std::to_string(*clipped) + " of " + std::to_string(length) +
             " samples fall outside the DAC's range";
    return false;
}

}  // namespace velmar::wave
