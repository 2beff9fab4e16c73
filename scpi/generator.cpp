#include "generator.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "instrument.h"
#include "ops/frequency_plan.h"
#include "protocol/protocol.h"
#include "velmar/dds.h"

namespace velmar::scpi {

namespace {
constexpr const char* kConstantOutput = "constant output, no frequency";
}  // namespace

std::optional<QueuedError> PlaybackWarning(const velmar_dds_plan& plan, bool flat_samples) {
    if (flat_samples || plan.playback == VELMAR_DDS_PLAYS_CONSTANT) {
        return QueuedError(kSettingsConflict, kConstantOutput);
    }
    if (plan.playback == VELMAR_DDS_PLAYS_ALIAS) {
        return QueuedError(kSettingsConflict,
                           "aliased to " + FormatNumber(plan.produced_hz) + " Hz");
    }
    return std::nullopt;
}

namespace {

// The word of `width` bytes at `at` of a block, most significant byte first
// in NORMal order.
uint32_t BlockWord(const std::string& bytes, size_t at, size_t width, ByteOrder order) {
    uint32_t word = 0;
    for (size_t b = 0; b < width; ++b) {
        const size_t i = order == ByteOrder::kNormal ? at + b : at + width - 1 - b;
        word = word << 8 | static_cast<uint8_t>(bytes[i]);
    }
    return word;
}

}  // namespace

std::vector<uint16_t> DecodeSamples(const std::string& bytes, ByteOrder order) {
    std::vector<uint16_t> samples;
    samples.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<uint16_t>(BlockWord(bytes, i, 2, order)));
    }
    return samples;
}

double FullScaleVpp(const Instrument& instrument) {
    return instrument.options().full_scale_vpp;
}

namespace {

constexpr int kMostSamples = kWaveMemorySize;
// A list of a named wave's points gets through the parser.
static_assert(kMostParameters >= kMostSamples + 1, "the parser refuses a list DATA:ARB takes");
constexpr Range kFrequencyRange{1.0, 100e6, 1000.0, true};  // up to half the base clock
constexpr double kLeastDuty = 0.01;                         // percent, of a square or pulse
constexpr double kMostDuty = 99.99;
constexpr Range kSquareDutyRange{kLeastDuty, kMostDuty, 50.0};
constexpr Range kPulseDutyRange{kLeastDuty, kMostDuty, 10.0};
constexpr Range kSymmetryRange{0.0, 100.0, 100.0};
constexpr Range kLoadRange{1.0, 10000.0, 50.0};
constexpr double kHighImpedance = 9.9e37;  // what OUTP:LOAD? answers for INF
constexpr double kDefaultVpp = 0.1;        // *RST's amplitude
constexpr double kLeastDbmVpp = 1e-3;      // the smallest amplitude dBm is given for
// A burst's periods each get at least this many samples: two would put a
// sine on its zero crossings.
constexpr int kLeastBurstSamples = 3;
constexpr int kMostBurstCycles = kMostSamples / kLeastBurstSamples;
constexpr Range kBurstCycleRange{1, kMostBurstCycles, 1};
// A burst further than this from its frequency says what it plays.
constexpr double kBurstTolerance = 1e-4;
constexpr size_t kMostNameLength = 40;
constexpr size_t kMostDisplayText = 80;
// Levels may reach the full scale but for rounding.
constexpr double kSlack = 1e-9;

// ---- The wave of the settings ----------------------------------------------

const std::vector<double>& BuiltInPoints() {
    static const std::vector<double> points = [] {
        std::vector<double> p;
        constexpr int kPoints = 1000;
        const double end = 1.0 - std::exp(-5.0);
        for (int i = 0; i < kPoints; ++i) {
            p.push_back(2.0 * (1.0 - std::exp(-5.0 * i / (kPoints - 1))) / end - 1.0);
        }
        return p;
    }();
    return points;
}

bool SameName(const std::string& a, const std::string& b) {
    return Upper(a) == Upper(b);
}

bool IsFlat(const std::vector<uint16_t>& s) {
    return std::adjacent_find(s.begin(), s.end(), std::not_equal_to<uint16_t>()) == s.end();
}

double FrequencyOr1k(const GeneratorSettings& g) {
    return g.frequency_hz.value_or(1000.0);
}

// The pulse's width as a part of the period at `hz`: the part it holds.
double PulseWidth(const PulseSettings& p, double hz) {
    return p.hold_width ? p.width_s * hz : p.duty_percent / 100.0;
}

wave::WaveSettings WaveOf(const GeneratorSettings& g, double hz) {
    wave::WaveSettings w;
    w.amplitude = g.amplitude;
    w.offset = g.offset;
    switch (g.function) {
        case Function::kSine:
            w.shape = wave::Shape::kSine;
            break;
        case Function::kSquare:
            w.shape = wave::Shape::kSquare;
            w.duty = g.square_duty_percent / 100.0;
            break;
        case Function::kRamp:
            w.shape = wave::Shape::kSawtooth;
            w.symmetry = g.ramp_symmetry_percent / 100.0;
            break;
        case Function::kTriangle:
            w.shape = wave::Shape::kTriangle;
            break;
        case Function::kPulse:
            w.shape = wave::Shape::kPulse;
            w.duty = PulseWidth(g.pulse, hz);
            w.edge = g.pulse.transition_s * hz;
            break;
        case Function::kNoise:
            w.shape = wave::Shape::kNoise;
            break;
        case Function::kDc:
            w.shape = wave::Shape::kDc;
            break;
        case Function::kUser:
            w.shape = wave::Shape::kTable;
            w.table = g.user_table;
            break;
        case Function::kArb:
            w.shape = wave::Shape::kTable;
            w.table = ArbPoints(g);
            break;
        case Function::kDac:
            // The samples as a wave from -1 to 1, for their rms: they play
            // as they are.
            w.shape = wave::Shape::kTable;
            for (uint16_t code : g.dac_samples) w.table.push_back(code / 32767.5 - 1.0);
            break;
    }
    return w;
}

// A sample clock at which `cycles` periods of `hz` fit the wave memory, and
// the samples they take: of the clocks from the fastest that fits down to
// half of it, the one whose sample count is nearest a whole number, so that
// the burst plays at the frequency asked for. False when none fits: the
// slowest clock still needs more than the memory, or the fastest gives
// fewer than kLeastBurstSamples a period.
bool PlanBurst(double hz, int cycles, uint16_t* divider, int32_t* length) {
    const double seconds = cycles / hz;
    uint16_t fastest = 0;
    if (PlannedSampleClockHz(0) * seconds > kMostSamples) {
        // 100 MHz / d: the smallest d whose samples fit.
        const double needed = std::ceil(PlannedSampleClockHz(1) * seconds / kMostSamples);
        if (needed > 65535.0) return false;
        fastest = static_cast<uint16_t>(std::max(1.0, needed));
    }
    // Half of 200 MHz (divider 0) is divider 1.
    const int slowest = std::min(65535, std::max(1, 2 * fastest));
    double best_error = 2.0;
    for (int d = fastest; d <= slowest; ++d) {
        const double exact = PlannedSampleClockHz(static_cast<uint16_t>(d)) * seconds;
        const double samples = std::round(exact);
        if (samples > kMostSamples || samples < kLeastBurstSamples * cycles) continue;
        const double error = std::fabs(samples - exact) / exact;
        if (error < best_error) {
            best_error = error;
            *divider = static_cast<uint16_t>(d);
            *length = static_cast<int32_t>(samples);
        }
    }
    return best_error <= 1.0;
}

// What the settings make the instrument play: the clock (a frequency's plan,
// a divider, or the divider as it is) and the wave memory's samples.
struct Realised {
    bool plays = false;  // false: nothing to play yet
    std::optional<double> plan_hz;
    std::optional<uint16_t> divider;  // with plan_hz, the plan's
    LoadedWave wave;
    std::optional<QueuedError> warning;
};

QueuedError Conflict(std::string why) {
    return QueuedError(kSettingsConflict, std::move(why));
}

QueuedError BurstDoesNotFit(int64_t cycles, double hz) {
    return Conflict(std::to_string(cycles) + " cycles of " + FormatNumber(hz) + " Hz do not fit " +
                    std::to_string(kMostSamples) + " samples at " +
                    std::to_string(kLeastBurstSamples) + " or more a period");
}

// A part of each period (a duty cycle, a pulse's width) must hold at least
// one sample, and leave one: else the wave is not the shape asked for.
std::optional<QueuedError> CheckPart(const char* what, double part, double samples_a_period) {
    if (part * samples_a_period >= 1.0 && (1.0 - part) * samples_a_period >= 1.0) {
        return std::nullopt;
    }
    return Conflict(std::string(what) + " of " + FormatNumber(part * 100.0) +
                    " % is less than a sample of the " + FormatNumber(samples_a_period) +
                    " in each period at this frequency");
}

// The points of a wave played as given, one sample each, `cycles` times.
std::optional<QueuedError> Repeat(const std::vector<uint16_t>& points, int cycles, Realised* out) {
    if (points.size() * static_cast<size_t>(cycles) > kMostSamples) {
        return Conflict("a burst of " + std::to_string(cycles) + " cycles of " +
                        std::to_string(points.size()) + " points does not fit " +
                        std::to_string(kMostSamples) + " samples");
    }
    for (int i = 0; i < cycles; ++i) {
        out->wave.samples.insert(out->wave.samples.end(), points.begin(), points.end());
    }
    out->wave.periods = cycles;
    out->wave.flat = IsFlat(out->wave.samples);
    out->plays = !points.empty();
    return std::nullopt;
}

// The -221 that says why the settings cannot play, or nothing and *out.
std::optional<QueuedError> Realise(const GeneratorSettings& g, bool burst, Realised* out) {
    *out = Realised{};
    const int cycles = burst ? g.burst_cycles : 1;
    if (g.function == Function::kDac) {
        // As given, at the divider now set.
        return Repeat(g.dac_samples, cycles, out);
    }
    if (g.function == Function::kArb && g.arb_by_rate) {
        // As given, at the divider of the rate asked for.
        const wave::WaveSettings w = WaveOf(g, 0.0);
        out->divider = g.arb_divider;
        return Repeat(wave::ComputeSamples(w, static_cast<int>(w.table.size()), 1), cycles, out);
    }
    if (!g.frequency_hz) return std::nullopt;
    const double hz = *g.frequency_hz;
    const wave::WaveSettings w = WaveOf(g, hz);
    const bool periodic = g.function != Function::kNoise && g.function != Function::kDc;
    if (burst && !periodic) return Conflict("no burst of noise or DC");
    velmar_dds_plan plan{};
    int32_t length = 0;
    if (burst) {
        uint16_t divider = 0;
        if (!PlanBurst(hz, cycles, &divider, &length)) return BurstDoesNotFit(cycles, hz);
        out->divider = divider;
        out->wave.periods = cycles;
    } else {
        if (velmar_dds_plan_frequency(hz, &plan) != VELMAR_DDS_OK) {
            return Conflict("no plan for " + FormatNumber(hz) + " Hz");
        }
        out->plan_hz = hz;
        out->divider = plan.divider;
        // Noise fills the whole memory: it repeats every 4096 samples.
        length = g.function == Function::kNoise ? kMostSamples : plan.length;
        out->wave.periods = plan.periods;
    }
    const double samples_a_period = static_cast<double>(length) / out->wave.periods;
    if (g.function == Function::kSquare) {
        if (auto conflict = CheckPart("a duty cycle", w.duty, samples_a_period)) return conflict;
    }
    if (g.function == Function::kPulse) {
        if (w.duty <= 0.0 || w.duty >= 1.0 || w.edge > std::min(w.duty, 1.0 - w.duty) + kSlack) {
            return Conflict("a pulse of " + FormatNumber(w.duty / hz) + " s with edges of " +
                            FormatNumber(g.pulse.transition_s) + " s does not fit a period of " +
                            FormatNumber(1.0 / hz) + " s");
        }
        if (auto conflict = CheckPart("a pulse width", w.duty, samples_a_period)) return conflict;
    }
    out->wave.samples = wave::ComputeSamples(w, length, out->wave.periods);
    out->wave.flat = IsFlat(out->wave.samples);
    out->plays = true;
    if (!periodic) return std::nullopt;
    if (!burst) {
        out->warning = PlaybackWarning(plan, out->wave.flat);
        return std::nullopt;
    }
    // A burst is played once: a constant one is no burst at all.
    if (out->wave.flat) return Conflict(kConstantOutput);
    const double played = PlannedSampleClockHz(*out->divider) * cycles / length;
    if (std::fabs(played - hz) > kBurstTolerance * hz) {
        out->warning = Conflict("the burst plays " + FormatNumber(played) + " Hz");
    }
    return std::nullopt;
}

// Sends the clock when the instrument's differs (or always, with `force`),
// then the samples: the wave's, or with the output off as many at 0 V. With
// nothing to play, the output off is still 0 V: one granule of it.
int Play(Instrument& instrument, const Realised& r, bool output_on, bool force_clock = false) {
    if (!r.plays && output_on) return 0;
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) return error;
    if (r.divider && (force_clock || state.divider != *r.divider)) {
        const int error = instrument.Run([&](velmar_dds* handle) {
            return r.plan_hz ? velmar_dds_set_frequency(handle, *r.plan_hz, nullptr)
                             : velmar_dds_set_divider(handle, *r.divider);
        });
        if (error != 0) return error;
    }
    std::vector<uint16_t> samples = r.wave.samples;
    if (!output_on) {
        wave::WaveSettings zero;
        zero.shape = wave::Shape::kDc;
        const int count = r.plays ? static_cast<int>(samples.size()) : 64;
        samples = wave::ComputeSamples(zero, count, 1);
    }
    const int count = static_cast<int>(samples.size());
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_download(handle, samples.data(), count); });
    // The granule of 0 V with nothing to play replaces whatever was loaded.
    if (error == 0) instrument.settings().loaded = r.wave;
    return error;
}

// The settings after `change`, realised and played, and kept only when they
// play: `change` returns 0 or the error of a refused parameter; a setting
// the instrument cannot play is -221, one it did not take the library's
// error, and either leaves the settings as they were. `burst` turns the
// burst on or off with the change; else it stays as the instrument has it.
template <typename Change>
Reply Apply(Instrument& instrument, Change&& change, std::optional<bool> burst = std::nullopt) {
    const GeneratorSettings& now = instrument.settings().generator;
    GeneratorSettings next = now;
    // A change says what is wrong as an error code, or with its reason.
    if (const QueuedError error = change(next); error.code != 0) return Reply{{}, {error}};
    if (now.function == Function::kDac && next.function == Function::kDac &&
        (next.frequency_hz != now.frequency_hz || next.amplitude != now.amplitude ||
         next.offset != now.offset)) {
        return Reply{{},
                     {Conflict("DATA:DAC samples play as they are: FUNC chooses a wave "
                               "that takes a frequency and levels")}};
    }
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) return Reply::Error(error);
    const bool was_burst = (state.control_word & kSingleWaveBit) != 0;
    const bool wanted_burst = burst.value_or(was_burst);
    Realised realised;
    if (auto conflict = Realise(next, wanted_burst, &realised)) return Reply{{}, {*conflict}};
    int error = 0;
    if (was_burst && !wanted_burst) {
        // Out of the burst before the memory holds the continuous wave.
        error = instrument.Run(
            [](velmar_dds* handle) { return velmar_dds_set_single_wave(handle, 0); });
    }
    if (error == 0) error = Play(instrument, realised, next.output_on);
    if (error == 0 && wanted_burst && !was_burst) {
        error = instrument.Run(
            [](velmar_dds* handle) { return velmar_dds_set_single_wave(handle, 1); });
    }
    if (error != 0) return Reply::Error(error);
    instrument.settings().generator = std::move(next);
    Reply reply;
    if (realised.warning) reply.errors.push_back(*realised.warning);
    return reply;
}

// A query of a number with a range: the value, or MIN, MAX or DEF of it.
Reply AnswerRange(const ProgramUnit& unit, const Range& range, double value) {
    if (unit.parameters.empty()) return Reply::Answer(FormatNr3(value));
    size_t choice = 0;
    if (const int error =
            ReadChoice(unit.parameters[0], {"MINimum", "MAXimum", "DEFault"}, &choice)) {
        return Reply::Error(error);
    }
    const double ends[] = {range.min, range.max, range.def};
    return Reply::Answer(FormatNr3(ends[choice]));
}

// ---- Levels ----------------------------------------------------------------

double Rms(double vpp, const GeneratorSettings& g) {
    return vpp / PeakToRms(g);
}

// The amplitude of `vpp` volts peak to peak in the settings' unit; dBm
// into the load.
double InUnit(double vpp, const GeneratorSettings& g) {
    switch (g.unit) {
        case AmplitudeUnit::kVpp:
            return vpp;
        case AmplitudeUnit::kVrms:
            return Rms(vpp, g);
        case AmplitudeUnit::kDbm: {
            const double rms = Rms(vpp, g);
            return 10.0 * std::log10(rms * rms / *g.load_ohms / 1e-3);
        }
    }
    return vpp;
}

double ToVpp(double value, const GeneratorSettings& g) {
    switch (g.unit) {
        case AmplitudeUnit::kVpp:
            return value;
        case AmplitudeUnit::kVrms:
            return value * PeakToRms(g);
        case AmplitudeUnit::kDbm:
            return std::sqrt(1e-3 * *g.load_ohms * std::pow(10.0, value / 10.0)) * PeakToRms(g);
    }
    return value;
}

struct Levels {
    double vpp;     // amplitude, peak to peak
    double offset;  // volts
    double high() const { return offset + vpp / 2.0; }
    double low() const { return offset - vpp / 2.0; }
};

Levels LevelsOf(const GeneratorSettings& g, double full_scale) {
    return {g.amplitude * full_scale, g.offset * full_scale / 2.0};
}

void SetLevels(GeneratorSettings& g, const Levels& levels, double full_scale) {
    g.amplitude = levels.vpp / full_scale;
    g.offset = 2.0 * levels.offset / full_scale;
}

Range AmplitudeRange(const GeneratorSettings& g, double full_scale) {
    const double most = (1.0 - std::fabs(g.offset)) * full_scale;
    const double least = g.unit == AmplitudeUnit::kDbm ? std::min(kLeastDbmVpp, most) : 0.0;
    return {InUnit(least, g), InUnit(most, g), InUnit(std::min(kDefaultVpp, most), g)};
}

Range OffsetRange(const GeneratorSettings& g, double full_scale) {
    const double most = (1.0 - g.amplitude) * full_scale / 2.0;
    return {-most, most, 0.0};
}

// A level command: the value read with its range, then the levels it sets.
template <typename SetLevel>
Reply ChangeLevel(Instrument& instrument, const ProgramUnit& unit,
                  Range (*range_of)(const GeneratorSettings&, double), SetLevel set) {
    const double full_scale = FullScaleVpp(instrument);
    return Apply(instrument, [&](GeneratorSettings& g) {
        double value = 0.0;
        const Range range = range_of(g, full_scale);
        // Rounding must not refuse the very value MAX names, nor keep more
        // than it.
        const double slack = kSlack * std::max(1.0, std::fabs(range.max) + std::fabs(range.min));
        Range loose = range;
        loose.max += slack;
        loose.min -= slack;
        if (const int error = ReadNumber(unit.parameters[0], loose, &value); error != 0) {
            return error;
        }
        value = std::clamp(value, range.min, range.max);
        Levels levels = LevelsOf(g, full_scale);
        set(g, levels, value);
        levels.vpp = std::max(0.0, levels.vpp);
        if (levels.vpp / full_scale + 2.0 * std::fabs(levels.offset) / full_scale > 1.0 + kSlack) {
            return static_cast<int>(kDataOutOfRange);
        }
        SetLevels(g, levels, full_scale);
        return 0;
    });
}

// A level query: the value in volts (or the amplitude's unit), or the
// range's MIN, MAX or DEF.
Reply QueryLevel(const Instrument& instrument, const ProgramUnit& unit,
                 Range (*range_of)(const GeneratorSettings&, double),
                 double (*value_of)(const GeneratorSettings&, const Levels&)) {
    const GeneratorSettings& g = instrument.settings().generator;
    const double full_scale = FullScaleVpp(instrument);
    return AnswerRange(unit, range_of(g, full_scale), value_of(g, LevelsOf(g, full_scale)));
}

Range HighRange(const GeneratorSettings& g, double full_scale) {
    return {LevelsOf(g, full_scale).low(), full_scale / 2.0, full_scale / 2.0};
}
Range LowRange(const GeneratorSettings& g, double full_scale) {
    return {-full_scale / 2.0, LevelsOf(g, full_scale).high(), -full_scale / 2.0};
}

// ---- Parameters of the named waves -----------------------------------------

int ReadName(const Parameter& parameter, std::string* name) {
    if (parameter.kind != Parameter::Kind::kCharacter &&
        parameter.kind != Parameter::Kind::kString) {
        return kDataTypeError;
    }
    const std::string& text = parameter.text;
    const bool word = !text.empty() && text.size() <= kMostNameLength &&
                      std::isalpha(static_cast<unsigned char>(text[0])) &&
                      std::all_of(text.begin(), text.end(), [](char c) {
                          return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                      });
    if (!word) return kIllegalParameterValue;
    *name = text;
    return 0;
}

// The points after the name: numbers in `range`, or one block of IEEE
// floats (DATA:ARB) or signed 16-bit words (DATA:ARB:DAC) in the
// connection's byte order. Kept divided by `range.max`: -1 to 1.
int ReadPoints(const std::vector<Parameter>& p, const Range& range, bool dac, ByteOrder order,
               std::vector<double>* points) {
    if (p.size() == 2 && p[1].kind == Parameter::Kind::kBlock) {
        const std::string& bytes = p[1].text;
        const size_t width = dac ? 2 : 4;
        if (bytes.size() % width != 0) return kInvalidBlockData;
        for (size_t i = 0; i < bytes.size(); i += width) {
            const uint32_t word = BlockWord(bytes, i, width, order);
            float real = 0.0f;
            std::memcpy(&real, &word, sizeof(real));
            const double value = dac ? static_cast<int16_t>(static_cast<uint16_t>(word)) : real;
            if (!(value >= range.min && value <= range.max)) return kDataOutOfRange;
            points->push_back(value / range.max);
        }
    } else {
        for (size_t i = 1; i < p.size(); ++i) {
            double value = 0.0;
            if (const int error = ReadNumber(p[i], range, &value); error != 0) return error;
            points->push_back(value / range.max);
        }
    }
    if (points->size() < 2 || points->size() > static_cast<size_t>(kMostSamples)) {
        return kDataOutOfRange;
    }
    return 0;
}

// Chooses the wave FUNC ARB plays.
void Choose(GeneratorSettings& g, const NamedWave* wave) {
    g.arb_name = wave != nullptr ? wave->name : kBuiltInWave;
    g.arb_points = wave != nullptr ? wave->values : std::vector<double>();
}

NamedWave* FindWave(std::vector<NamedWave>& waves, const std::string& name) {
    for (NamedWave& wave : waves) {
        if (SameName(wave.name, name)) return &wave;
    }
    return nullptr;
}

Reply StoreNamedWave(Instrument& instrument, ByteOrder order, const ProgramUnit& unit, bool dac) {
    const std::vector<Parameter>& p = unit.parameters;
    if (p.size() < 2) return Reply::Error(kMissingParameter);
    NamedWave wave;
    if (const int error = ReadName(p[0], &wave.name); error != 0) return Reply::Error(error);
    if (SameName(wave.name, kBuiltInWave)) return Reply::Error(kIllegalParameterValue);
    const Range range = dac ? Range{-32767.0, 32767.0, 0.0} : Range{-1.0, 1.0, 0.0};
    if (const int error = ReadPoints(p, range, dac, order, &wave.values); error != 0) {
        return Reply::Error(error);
    }
    std::vector<NamedWave>& waves = instrument.settings().named_waves;
    NamedWave* kept = FindWave(waves, wave.name);
    if (kept == nullptr && waves.size() >= kMostNamedWaves) return Reply::Error(kArbMemoryFull);
    // The wave chosen for ARB takes its new points and plays them; refused,
    // it is not kept either.
    Reply reply;
    if (SameName(instrument.settings().generator.arb_name, wave.name)) {
        reply = Apply(instrument, [&](GeneratorSettings& g) {
            Choose(g, &wave);
            return 0;
        });
        if (instrument.settings().generator.arb_points != wave.values) return reply;
    }
    if (kept != nullptr) {
        *kept = std::move(wave);
    } else {
        waves.push_back(std::move(wave));
    }
    return reply;
}

// ---- Choices as the manuals name them --------------------------------------

struct FunctionName {
    Function function;
    const char* answer;
};
// In the order of SetFunction's choices.
constexpr FunctionName kFunctions[] = {
    {Function::kSine, "SIN"},     {Function::kSquare, "SQU"}, {Function::kRamp, "RAMP"},
    {Function::kTriangle, "TRI"}, {Function::kPulse, "PULS"}, {Function::kNoise, "NOIS"},
    {Function::kDc, "DC"},        {Function::kUser, "USER"},  {Function::kArb, "ARB"},
    {Function::kDac, "DAC"},
};

// FREQ and PULS:PER: the frequency of every function; an arbitrary wave is
// then stretched over its plan.
void SetHertz(GeneratorSettings& g, double hz) {
    g.frequency_hz = hz;
    g.arb_by_rate = false;
}

}  // namespace

const std::vector<double>& ArbPoints(const GeneratorSettings& settings) {
    return settings.arb_points.empty() ? BuiltInPoints() : settings.arb_points;
}

double PeakToRms(const GeneratorSettings& settings) {
    wave::WaveSettings w = WaveOf(settings, FrequencyOr1k(settings));
    w.amplitude = 1.0;
    w.offset = 0.0;
    double squares = 0.0;
    size_t count = 0;
    if (w.shape == wave::Shape::kNoise) {
        for (uint16_t code : wave::ComputeSamples(w, kMostSamples, 1)) {
            const double value = code / 32767.5 - 1.0;
            squares += value * value;
            ++count;
        }
    } else if (w.shape == wave::Shape::kTable) {
        for (double value : w.table) squares += value * value;
        count = w.table.size();
    } else {
        for (int i = 0; i < kMostSamples; ++i) {
            const double value = wave::WaveValue(w, (i + 0.5) / kMostSamples);
            squares += value * value;
        }
        count = kMostSamples;
    }
    const double rms = count > 0 ? std::sqrt(squares / static_cast<double>(count)) : 0.0;
    // Amplitude is peak to peak of the full -1..1 span: 2 over the rms.
    if (rms < 1e-6) return 2.0 * std::sqrt(2.0);
    return 2.0 / rms;
}

// ---- *RST ------------------------------------------------------------------

Reply ResetInstrument(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    InstrumentSettings& s = instrument.settings();
    velmar_dds_state state{};
    int error = instrument.State(&state);
    // Each setter sends the whole control state with its own part changed:
    // what is set is cleared one by one.
    auto step = [&](bool needed, auto&& action) {
        if (error == 0 && needed) error = action();
    };
    auto send = [&](auto&& call) { return [&instrument, call] { return instrument.Run(call); }; };
    const uint16_t word = state.control_word;
    // Only enabling the trigger changes its option bit.
    step(word & kTriggerOptionBit,
         send([](velmar_dds* h) { return velmar_dds_set_trigger(h, 1, 0); }));
    step(word & (kTriggerEnableBit | kTriggerOptionBit),
         send([](velmar_dds* h) { return velmar_dds_set_trigger(h, 0, 0); }));
    step(word & kSingleWaveBit,
         send([](velmar_dds* h) { return velmar_dds_set_single_wave(h, 0); }));
    step(word & kDioModeBit, send([](velmar_dds* h) { return velmar_dds_set_dio_mode(h, 0); }));
    step(state.digital_out != 0,
         send([](velmar_dds* h) { return velmar_dds_set_digital_out(h, 0); }));
    double reading = 0.0;
    step(word & kMeasureModeBit, [&] {
        return instrument.Run([&](velmar_dds* h) {
            const int result = velmar_dds_measure(h, 0, &reading);
            return result == VELMAR_DDS_ERROR_NOT_A_READING ? VELMAR_DDS_OK : result;
        });
    });
    // The generators' defaults: 1 kHz sine, 100 mVpp, 0 V, output off. The
    // named waves stay; the built-in one is chosen.
    GeneratorSettings defaults;
    defaults.frequency_hz = 1000.0;
    defaults.amplitude = std::min(1.0, kDefaultVpp / FullScaleVpp(instrument));
    defaults.output_on = false;
    s.generator = std::move(defaults);
    s.trigger_option = false;
    Reply reply;
    reply.reset_format = true;
    if (error == 0) {
        Realised realised;
        Realise(s.generator, false, &realised);
        error = Play(instrument, realised, false, true);
    }
    if (error != 0) reply.errors.push_back(error);
    return reply;
}

// ---- Frequency and function ------------------------------------------------

Reply SetFrequency(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        double hz = 0.0;
        if (const int error = ReadNumber(unit.parameters[0], kFrequencyRange, &hz)) return error;
        SetHertz(g, hz);
        return 0;
    });
}

Reply QueryFrequency(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const InstrumentSettings& s = instrument.settings();
    if (!unit.parameters.empty() || s.generator.function == Function::kNoise ||
        s.generator.function == Function::kDc) {
        // Noise and DC have no frequency of their own: the setting's.
        return AnswerRange(unit, kFrequencyRange, s.generator.frequency_hz.value_or(std::nan("")));
    }
    if (s.loaded.samples.empty()) return Reply::Answer(kNotANumber);  // nothing loaded yet
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) {
        return Reply{std::string(kNotANumber), {error}};
    }
    if (s.loaded.flat) return Reply::Answer(FormatNr3(0.0));
    // What the loaded samples play at the divider now set, folded below half
    // the sample clock as the instrument folds it: right after FREQ, the
    // plan's produced frequency.
    const FrequencyPlan loaded{state.divider, static_cast<int32_t>(s.loaded.samples.size()),
                               s.loaded.periods};
    return Reply::Answer(FormatNr3(PlayedFrequencyHz(loaded)));
}

Reply SetFunction(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        size_t choice = 0;
        if (const int error = ReadChoice(unit.parameters[0],
                                         {"SINusoid", "SQUare", "RAMP", "TRIangle", "PULSe",
                                          "NOISe", "DC", "USER", "ARBitrary", "DAC"},
                                         &choice)) {
            return error;
        }
        const Function function = kFunctions[choice].function;
        // USER and DAC play what DATA:USER and DATA:DAC gave: nothing yet.
        if ((function == Function::kUser && g.user_table.empty()) ||
            (function == Function::kDac && g.dac_samples.empty())) {
            return static_cast<int>(kIllegalParameterValue);
        }
        g.function = function;
        return 0;
    });
}

Reply QueryFunction(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    for (const FunctionName& name : kFunctions) {
        if (name.function == instrument.settings().generator.function) {
            return Reply::Answer(name.answer);
        }
    }
    return Reply::Answer("SIN");
}

// ---- Levels ----------------------------------------------------------------

Reply SetAmplitude(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return ChangeLevel(instrument, unit, AmplitudeRange,
                       [](const GeneratorSettings& g, Levels& levels, double value) {
                           levels.vpp = ToVpp(value, g);
                       });
}
Reply QueryAmplitude(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return QueryLevel(instrument, unit, AmplitudeRange,
                      [](const GeneratorSettings& g, const Levels& l) { return InUnit(l.vpp, g); });
}

Reply SetOffset(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return ChangeLevel(
        instrument, unit, OffsetRange,
        [](const GeneratorSettings&, Levels& levels, double value) { levels.offset = value; });
}
Reply QueryOffset(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return QueryLevel(instrument, unit, OffsetRange,
                      [](const GeneratorSettings&, const Levels& l) { return l.offset; });
}

Reply SetHigh(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return ChangeLevel(instrument, unit, HighRange,
                       [](const GeneratorSettings&, Levels& levels, double value) {
                           const double low = levels.low();
                           levels = {value - low, (value + low) / 2.0};
                       });
}
Reply QueryHigh(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return QueryLevel(instrument, unit, HighRange,
                      [](const GeneratorSettings&, const Levels& l) { return l.high(); });
}

Reply SetLow(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return ChangeLevel(instrument, unit, LowRange,
                       [](const GeneratorSettings&, Levels& levels, double value) {
                           const double high = levels.high();
                           levels = {high - value, (high + value) / 2.0};
                       });
}
Reply QueryLow(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return QueryLevel(instrument, unit, LowRange,
                      [](const GeneratorSettings&, const Levels& l) { return l.low(); });
}

Reply SetUnit(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"VPP", "VRMS", "DBM"}, &choice)) {
        return Reply::Error(error);
    }
    GeneratorSettings& g = instrument.settings().generator;
    const auto wanted = static_cast<AmplitudeUnit>(choice);
    if (wanted == AmplitudeUnit::kDbm && !g.load_ohms) {
        return Reply{{}, {Conflict("dBm needs a load: OUTP:LOAD is INF")}};
    }
    if (wanted == AmplitudeUnit::kDbm && g.amplitude * FullScaleVpp(instrument) < kLeastDbmVpp) {
        return Reply{{}, {Conflict("no dBm below 1 mVpp")}};
    }
    g.unit = wanted;
    return Reply::Done();
}
Reply QueryUnit(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    static const char* const kNames[] = {"VPP", "VRMS", "DBM"};
    return Reply::Answer(kNames[static_cast<int>(instrument.settings().generator.unit)]);
}

Reply SetLoad(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    GeneratorSettings& g = instrument.settings().generator;
    const Parameter& p = unit.parameters[0];
    if (p.kind == Parameter::Kind::kCharacter && MatchesMnemonic(p.text, "INFinity")) {
        if (g.unit == AmplitudeUnit::kDbm) {
            return Reply{{}, {Conflict("dBm needs a load: VOLT:UNIT is DBM")}};
        }
        g.load_ohms.reset();
        return Reply::Done();
    }
    double ohms = 0.0;
    if (const int error = ReadNumber(p, kLoadRange, &ohms); error != 0) return Reply::Error(error);
    g.load_ohms = ohms;
    return Reply::Done();
}
Reply QueryLoad(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return AnswerRange(unit, kLoadRange,
                       instrument.settings().generator.load_ohms.value_or(kHighImpedance));
}

// ---- The shapes' own settings ----------------------------------------------

Reply SetSquareDuty(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        return ReadNumber(unit.parameters[0], kSquareDutyRange, &g.square_duty_percent);
    });
}
Reply QuerySquareDuty(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return AnswerRange(unit, kSquareDutyRange, instrument.settings().generator.square_duty_percent);
}

Reply SetRampSymmetry(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        return ReadNumber(unit.parameters[0], kSymmetryRange, &g.ramp_symmetry_percent);
    });
}
Reply QueryRampSymmetry(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return AnswerRange(unit, kSymmetryRange, instrument.settings().generator.ramp_symmetry_percent);
}

namespace {
const Range kPeriodRange{1.0 / kFrequencyRange.max, 1.0 / kFrequencyRange.min, 1e-3};
const Range kWidthRange{5e-9, 1.0, 100e-6};
const Range kTransitionRange{0.0, 1.0, 5e-9};
}  // namespace

Reply SetPulsePeriod(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        double seconds = 0.0;
        if (const int error = ReadNumber(unit.parameters[0], kPeriodRange, &seconds)) {
            return error;
        }
        SetHertz(g, 1.0 / seconds);
        return 0;
    });
}
Reply QueryPulsePeriod(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return AnswerRange(unit, kPeriodRange, 1.0 / FrequencyOr1k(instrument.settings().generator));
}

// The width and the duty cycle are two views of one pulse: the one HOLD
// names is kept, and the other follows the period.
Reply SetPulseWidth(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        double seconds = 0.0;
        if (const int error = ReadNumber(unit.parameters[0], kWidthRange, &seconds)) return error;
        g.pulse.width_s = seconds;
        g.pulse.duty_percent = seconds * FrequencyOr1k(g) * 100.0;
        return 0;
    });
}
Reply QueryPulseWidth(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const GeneratorSettings& g = instrument.settings().generator;
    return AnswerRange(unit, kWidthRange, PulseWidth(g.pulse, FrequencyOr1k(g)) / FrequencyOr1k(g));
}

Reply SetPulseDuty(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        double percent = 0.0;
        if (const int error = ReadNumber(unit.parameters[0], kPulseDutyRange, &percent)) {
            return error;
        }
        g.pulse.duty_percent = percent;
        g.pulse.width_s = percent / 100.0 / FrequencyOr1k(g);
        return 0;
    });
}
Reply QueryPulseDuty(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const GeneratorSettings& g = instrument.settings().generator;
    return AnswerRange(unit, kPulseDutyRange, PulseWidth(g.pulse, FrequencyOr1k(g)) * 100.0);
}

Reply SetPulseHold(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"WIDTh", "DCYCle"}, &choice)) {
        return Reply::Error(error);
    }
    instrument.settings().generator.pulse.hold_width = choice == 0;
    return Reply::Done();
}
Reply QueryPulseHold(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(instrument.settings().generator.pulse.hold_width ? "WIDT" : "DCYC");
}

Reply SetPulseTransition(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        return ReadNumber(unit.parameters[0], kTransitionRange, &g.pulse.transition_s);
    });
}
Reply QueryPulseTransition(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return AnswerRange(unit, kTransitionRange, instrument.settings().generator.pulse.transition_s);
}

// ---- Waves given point by point --------------------------------------------

Reply LoadUserShape(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    if (unit.parameters.size() < 2 || unit.parameters.size() > static_cast<size_t>(kMostSamples)) {
        return Reply::Error(kDataOutOfRange);
    }
    std::vector<double> table;
    for (const Parameter& parameter : unit.parameters) {
        double value = 0.0;
        if (const int error = ReadNumber(parameter, {-1.0, 1.0, 0.0}, &value); error != 0) {
            return Reply::Error(error);
        }
        table.push_back(value);
    }
    return Apply(instrument, [&](GeneratorSettings& g) {
        g.user_table = std::move(table);
        return 0;
    });
}
Reply QueryUserPoints(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(instrument.settings().generator.user_table.size()));
}

Reply LoadDac(Instrument& instrument, ByteOrder order, const ProgramUnit& unit) {
    std::vector<uint16_t> samples;
    const std::vector<Parameter>& p = unit.parameters;
    if (p.size() == 1 && p[0].kind == Parameter::Kind::kBlock) {
        if (p[0].text.size() % 2 != 0) return Reply::Error(kInvalidBlockData);
        samples = DecodeSamples(p[0].text, order);
    } else {
        if (p.size() > static_cast<size_t>(kMostSamples)) return Reply::Error(kDataOutOfRange);
        for (const Parameter& parameter : p) {
            int64_t value = 0;
            if (const int error = ReadInteger(parameter, {0, 65535, 0}, &value); error != 0) {
                return Reply::Error(error);
            }
            samples.push_back(static_cast<uint16_t>(value));
        }
    }
    if (samples.empty() || samples.size() > static_cast<size_t>(kMostSamples)) {
        return Reply::Error(kDataOutOfRange);
    }
    // The memory now holds these samples, at the divider now set.
    return Apply(instrument, [&](GeneratorSettings& g) {
        g.function = Function::kDac;
        g.dac_samples = std::move(samples);
        return 0;
    });
}
Reply QueryDac(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    std::string answer;
    for (uint16_t sample : instrument.settings().loaded.samples) {
        if (!answer.empty()) answer += ',';
        answer += std::to_string(sample);
    }
    return Reply::Answer(answer.empty() ? "0" : answer);
}
Reply QueryDacPoints(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(instrument.settings().loaded.samples.size()));
}
Reply QueryDacPeriods(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(instrument.settings().loaded.periods));
}

// ---- Named waves -----------------------------------------------------------

Reply ClearNamedWaves(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    // The built-in wave is chosen again, and plays if ARB does.
    Reply reply = Apply(instrument, [](GeneratorSettings& g) {
        Choose(g, nullptr);
        return 0;
    });
    if (instrument.settings().generator.arb_points.empty()) {
        instrument.settings().named_waves.clear();
    }
    return reply;
}
Reply QueryNamedWaves(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    std::string answer = std::string("\"") + kBuiltInWave + "\"";
    for (const NamedWave& wave : instrument.settings().named_waves) {
        answer += ",\"" + wave.name + "\"";
    }
    return Reply::Answer(answer);
}
Reply LoadNamedWave(Instrument& instrument, ByteOrder order, const ProgramUnit& unit) {
    return StoreNamedWave(instrument, order, unit, false);
}
Reply LoadNamedDacWave(Instrument& instrument, ByteOrder order, const ProgramUnit& unit) {
    return StoreNamedWave(instrument, order, unit, true);
}

Reply SelectNamedWave(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    std::string name;
    if (const int error = ReadName(unit.parameters[0], &name); error != 0) {
        return Reply::Error(error);
    }
    const NamedWave* wave = FindWave(instrument.settings().named_waves, name);
    if (wave == nullptr && !SameName(name, kBuiltInWave)) return Reply::Error(kArbNotFound);
    return Apply(instrument, [&](GeneratorSettings& g) {
        Choose(g, wave);
        return 0;
    });
}
Reply QueryNamedWave(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer("\"" + instrument.settings().generator.arb_name + "\"");
}
Reply QueryNamedWavePoints(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(ArbPoints(instrument.settings().generator).size()));
}

namespace {
const Range kRateRange{PlannedSampleClockHz(65535), PlannedSampleClockHz(0), 40e3};

// The divider whose clock is nearest `rate`.
uint16_t NearestDivider(double rate) {
    if (rate >= (PlannedSampleClockHz(0) + PlannedSampleClockHz(1)) / 2.0) return 0;
    const double d = std::clamp(std::floor(PlannedSampleClockHz(1) / rate), 1.0, 65535.0);
    const auto below = static_cast<uint16_t>(d);  // clock at or above the rate
    const uint16_t above = below < 65535 ? static_cast<uint16_t>(below + 1) : below;
    return std::fabs(PlannedSampleClockHz(below) - rate) <=
                   std::fabs(PlannedSampleClockHz(above) - rate)
               ? below
               : above;
}
}  // namespace

Reply SetArbRate(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        double rate = 0.0;
        if (const int error = ReadNumber(unit.parameters[0], kRateRange, &rate)) return error;
        g.arb_divider = NearestDivider(rate);
        g.arb_by_rate = true;
        return 0;
    });
}
Reply QueryArbRate(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const GeneratorSettings& g = instrument.settings().generator;
    if (!unit.parameters.empty() || g.function != Function::kArb || g.arb_by_rate) {
        return AnswerRange(unit, kRateRange, PlannedSampleClockHz(g.arb_divider));
    }
    // Stretched over a frequency's plan: the plan's clock.
    return QuerySampleRate(instrument, ByteOrder::kNormal, unit);
}

Reply QuerySampleRate(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) {
        return Reply{std::string(kNotANumber), {error}};
    }
    return Reply::Answer(FormatNr3(state.sample_clock_hz));
}

// ---- Output ----------------------------------------------------------------

Reply SetOutput(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) {
        return ReadBoolean(unit.parameters[0], &g.output_on);
    });
}
Reply QueryOutput(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(instrument.settings().generator.output_on ? "1" : "0");
}

// The instrument has no trigger output: off is all it can be.
Reply SetTriggerOutput(Instrument&, ByteOrder, const ProgramUnit& unit) {
    bool on = false;
    if (const int error = ReadBoolean(unit.parameters[0], &on); error != 0) {
        return Reply::Error(error);
    }
    return on ? Reply{{}, {Conflict("no trigger output")}} : Reply::Done();
}
Reply QueryTriggerOutput(Instrument&, ByteOrder, const ProgramUnit&) {
    return Reply::Answer("0");
}

// ---- Burst and trigger -----------------------------------------------------

Reply SetBurst(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    bool on = false;
    if (const int error = ReadBoolean(unit.parameters[0], &on); error != 0) {
        return Reply::Error(error);
    }
    return Apply(
        instrument, [](GeneratorSettings&) { return 0; }, on);
}
Reply QueryBurst(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) {
        return Reply{std::string(kNotANumber), {error}};
    }
    return Reply::Answer((state.control_word & kSingleWaveBit) != 0 ? "1" : "0");
}

Reply SetBurstCycles(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return Apply(instrument, [&](GeneratorSettings& g) -> QueuedError {
        int64_t cycles = 0;
        const Parameter& count = unit.parameters[0];
        if (const int error = ReadInteger(count, kBurstCycleRange, &cycles)) {
            // More cycles than any burst fits is a conflict, as a count
            // that does not fit this frequency is.
            if (error != kDataOutOfRange || !(count.number > kMostBurstCycles)) return error;
            return Conflict("a burst holds at most " + std::to_string(kMostBurstCycles) +
                            " cycles, " + std::to_string(kLeastBurstSamples) + " samples each");
        }
        // Whether the burst is on or not: a count the memory cannot hold at
        // this frequency is refused when it is given.
        uint16_t divider = 0;
        int32_t length = 0;
        if (g.frequency_hz &&
            !PlanBurst(*g.frequency_hz, static_cast<int>(cycles), &divider, &length)) {
            return BurstDoesNotFit(cycles, *g.frequency_hz);
        }
        g.burst_cycles = static_cast<int>(cycles);
        return 0;
    });
}
Reply QueryBurstCycles(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    if (!unit.parameters.empty()) {
        return AnswerRange(unit, kBurstCycleRange, 0.0);  // MIN, MAX or DEF, in NR3 as ranges are
    }
    return Reply::Answer(std::to_string(instrument.settings().generator.burst_cycles));
}

Reply SetBurstMode(Instrument&, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"TRIGgered", "GATed"}, &choice)) {
        return Reply::Error(error);
    }
    return choice == 0 ? Reply::Done() : Reply{{}, {Conflict("no gated burst")}};
}
Reply QueryBurstMode(Instrument&, ByteOrder, const ProgramUnit&) {
    return Reply::Answer("TRIG");
}

// IMM is the trigger off; BUS and EXT both turn it on, after its pulse.
Reply SetTriggerSource(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error =
            ReadChoice(unit.parameters[0], {"IMMediate", "EXTernal", "BUS"}, &choice)) {
        return Reply::Error(error);
    }
    const auto source = static_cast<TriggerSource>(choice);
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) return Reply::Error(error);
    const bool on = source != TriggerSource::kImmediate;
    if (on) instrument.settings().generator.armed_source = source;
    if (on == ((state.control_word & kTriggerEnableBit) != 0)) return Reply::Done();
    const int option = instrument.settings().trigger_option ? 1 : 0;
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_set_trigger(handle, on ? 1 : 0, option); });
    return error != 0 ? Reply::Error(error) : Reply::Done();
}
Reply QueryTriggerSource(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) {
        return Reply{std::string(kNotANumber), {error}};
    }
    if ((state.control_word & kTriggerEnableBit) == 0) return Reply::Answer("IMM");
    return Reply::Answer(
        instrument.settings().generator.armed_source == TriggerSource::kBus ? "BUS" : "EXT");
}

// *TRG, TRIG and INIT: the trigger pulse, with the trigger left as it is.
Reply TriggerNow(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    velmar_dds_state state{};
    if (const int error = instrument.State(&state); error != 0) return Reply::Error(error);
    const int on = (state.control_word & kTriggerEnableBit) != 0 ? 1 : 0;
    const int option = instrument.settings().trigger_option ? 1 : 0;
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_set_trigger(handle, on, option); });
    return error != 0 ? Reply::Error(error) : Reply::Done();
}

// ---- Parts the instrument does not have ------------------------------------

Reply Beep(Instrument&, ByteOrder, const ProgramUnit&) {
    return Reply::Done();  // no beeper
}
Reply SetBeeper(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const int error = ReadBoolean(unit.parameters[0], &instrument.settings().generator.beeper);
    return error != 0 ? Reply::Error(error) : Reply::Done();
}
Reply QueryBeeper(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(instrument.settings().generator.beeper ? "1" : "0");
}

Reply SetRemoteState(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"LOCal", "REMote", "RWLock"}, &choice)) {
        return Reply::Error(error);
    }
    static const char* const kStates[] = {"LOC", "REM", "RWL"};
    instrument.settings().generator.remote_state = kStates[choice];
    return Reply::Done();
}
Reply QueryRemoteState(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(instrument.settings().generator.remote_state);
}

Reply SetDisplayText(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    const Parameter& p = unit.parameters[0];
    if (p.kind != Parameter::Kind::kString) return Reply::Error(kDataTypeError);
    if (p.text.size() > kMostDisplayText) return Reply::Error(kDataOutOfRange);
    instrument.settings().generator.display_text = p.text;
    return Reply::Done();
}
Reply QueryDisplayText(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    // A string answer: its quotes doubled.
    std::string answer = "\"";
    for (char c : instrument.settings().generator.display_text) {
        answer += c;
        if (c == '"') answer += c;
    }
    return Reply::Answer(answer + "\"");
}
Reply ClearDisplayText(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    instrument.settings().generator.display_text.clear();
    return Reply::Done();
}

}  // namespace velmar::scpi
