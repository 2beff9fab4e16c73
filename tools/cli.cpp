#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "device/device_directory.h"
#include "line_editor.h"
#include "ops/frequency_plan.h"
#include "parse_number.h"
#include "protocol/describe.h"
#include "sweep.h"
#include "velmar/dds.h"
#include "version.h"
#include "wave/wave.h"

namespace velmar::tool {

using namespace velmar::wave;

void UsageFail(const std::string& message) {
    throw CliError(kExitUsage, message);
}
void Fail(const std::string& message) {
    throw CliError(kExitFailed, message);
}

std::string Session::Name() const {
    return "instrument " + std::to_string(device);
}

namespace {

using Clock = std::chrono::steady_clock;

// The longest pause of `sleep` and `sweep --dwell`.
constexpr double kMaxSleepSeconds = 3600.0;

// Downloads that take longer than this show their progress on a terminal.
constexpr auto kProgressAfter = std::chrono::seconds(1);

constexpr const char* kStartHint =
    " (start velmar-dds-sim, or point VELMAR_DDS_DEVICE_DIR at the instruments)";

// What the calling thread's last failed library call met, in the library's
// words; its fixed name for `error` when it gave none.
std::string LibraryWords(int error) {
    const char* words = velmar_dds_last_message();
    return words != nullptr && *words != '\0' ? words : velmar_dds_strerror(error);
}

// Why `path` did not open, in the library's words, which name the path.
std::string OpenFailureLine(int error, const std::string& path) {
    const std::string words = LibraryWords(error);
    return words.find(path) != std::string::npos ? words : path + " does not open: " + words;
}

}  // namespace

void Session::Search() {
    velmar_dds_list* list = nullptr;
    search_result = velmar_dds_find(&list);
    searched = true;
    paths.clear();
    search_failure.clear();
    if (search_result < 0) {
        search_failure = LibraryWords(search_result);
        return;
    }
    for (size_t i = 0; i < velmar_dds_list_count(list); ++i)
        paths.push_back(velmar_dds_list_path(list, i));
    velmar_dds_list_free(list);
}

Instrument& Session::RequireInstrument() {
    if (!searched || device < 0 || device >= static_cast<int>(paths.size())) Search();
    if (search_result < 0) Fail("no instrument found: " + search_failure + kStartHint);
    const std::string dir = DeviceDirectory();
    if (paths.empty()) Fail("no instrument found in " + dir + kStartHint);
    const int found = static_cast<int>(paths.size());
    if (device < 0 || device >= found) {
        Fail("device index " + std::to_string(device) + " is out of range: " +
             std::to_string(found) + " instrument" + (found == 1 ? "" : "s") + " found in " + dir +
             " (indices 0 to " + std::to_string(found - 1) + ")");
    }
    const std::string& path = paths[static_cast<size_t>(device)];
    Instrument& instrument = open[path];
    if (!instrument.handle) {
        velmar_dds* handle = nullptr;
        const int opened = velmar_dds_open(path.c_str(), &handle);
        if (opened != VELMAR_DDS_OK) {
            open.erase(path);
            Fail(Name() + " could not be opened: " + LibraryWords(opened));
        }
        instrument.handle.reset(handle);
    }
    return instrument;
}

namespace {

// The arguments of one subcommand; each option or operand is taken out as it
// is read, so that whatever is left over is an error.
class Args {
  public:
    explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}

    bool Flag(const std::string& name) {
        const auto it = std::find(args_.begin(), args_.end(), name);
        if (it == args_.end()) return false;
        args_.erase(it);
        return true;
    }

    std::optional<std::string> Option(const std::string& name) {
        for (size_t i = 0; i < args_.size(); ++i) {
            if (args_[i] == name) {
                if (i + 1 >= args_.size()) UsageFail(name + " needs a value");
                std::string value = args_[i + 1];
                args_.erase(args_.begin() + static_cast<long>(i),
                            args_.begin() + static_cast<long>(i) + 2);
                return value;
            }
            if (args_[i].rfind(name + "=", 0) == 0) {
                std::string value = args_[i].substr(name.size() + 1);
                args_.erase(args_.begin() + static_cast<long>(i));
                return value;
            }
        }
        return std::nullopt;
    }

    std::string Operand(const std::string& what) {
        for (size_t i = 0; i < args_.size(); ++i) {
            // A lone "-5" is a (negative) number, not an option.
            const bool option =
                args_[i].size() > 1 && args_[i][0] == '-' &&
                !(std::isdigit(static_cast<unsigned char>(args_[i][1])) || args_[i][1] == '.');
            if (option) continue;
            std::string value = args_[i];
            args_.erase(args_.begin() + static_cast<long>(i));
            return value;
        }
        UsageFail("missing " + what);
    }

    bool Empty() const { return args_.empty(); }

    void Done() {
        if (!args_.empty()) UsageFail("unexpected '" + args_.front() + "'");
    }

  private:
    std::vector<std::string> args_;
};

// Hertz as SCPI writes them, the unit's case not mattering: "1000",
// "0.5", "12.5k", "1KHZ", "3 MHz", "1G". MHZ is mega, as in SCPI; a lone
// lowercase "m" is refused, since SCPI reads it as milli.
double ParseHz(Session& s, const std::string& text) {
    const std::optional<double> hz = ParseFrequency(text);
    const size_t unit = text.find_first_not_of("+-0123456789.eE \t");
    const std::string suffix = unit == std::string::npos ? "" : text.substr(unit);
    if (!hz && suffix == "m") {
        UsageFail("'" + text + "' is ambiguous: write " + text.substr(0, unit) + "M or " +
                  text.substr(0, unit) +
                  "MHz for megahertz; fractions of a hertz as decimals (0.001)");
    }
    if (!hz) {
        UsageFail("'" + text +
                  "' is not a frequency: give a positive number of hertz with HZ, KHZ, MHZ, GHZ, "
                  "k, M or G in any case (1000, 0.5, 12.5k, 3MHz, 1G)");
    }
    // SI's millihertz is written so, and means a million times less here.
    if (!suffix.empty() && suffix[0] == 'm') {
        s.Warn("note: '" + text + "' is " + FormatHz(*hz) +
               ": MHZ is megahertz in any case, as in SCPI (a millihertz is 0.001)");
    }
    return *hz;
}

double ParseDouble(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        UsageFail(option + " wants a number, not '" + text + "'");
    }
    return value;
}

unsigned long ParseUnsigned(const std::string& what, const std::string& text, unsigned long min,
                            unsigned long max) {
    const std::optional<unsigned long> value = ParseWholeNumber(text, max);
    if (!value || *value < min) {
        UsageFail(what + " must be a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + " (decimal or 0x...), not '" + text + "'");
    }
    return *value;
}

int ParseDevice(const std::string& text) {
    const std::optional<unsigned long> value = ParseWholeNumber(text, INT32_MAX);
    if (!value) {
        UsageFail("--device wants an instrument's index in the list (0 for the first), not '" +
                  text + "'");
    }
    return static_cast<int>(*value);
}

bool OnOff(const std::string& text, const char* on, const char* off) {
    if (text == on) return true;
    if (text == off) return false;
    UsageFail(std::string("say ") + on + " or " + off + ", not '" + text + "'");
}

std::string Bits16(uint16_t word) {
    std::string bits;
    for (int b = 15; b >= 0; --b) {
        bits += ((word >> b) & 1) ? '1' : '0';
        if (b % 4 == 0 && b > 0) bits += '_';
    }
    return bits;
}

// The plan for `hz`, as the library makes it.
velmar_dds_plan Plan(double hz) {
    velmar_dds_plan plan{};
    if (velmar_dds_plan_frequency(hz, &plan) != VELMAR_DDS_OK)
        UsageFail(FormatHz(hz) + " cannot be planned: it is far above what the instrument plays");
    return plan;
}

// The plan in the core's terms, for the wording every program shares.
FrequencyPlan CorePlan(const velmar_dds_plan& plan) {
    return FrequencyPlan{plan.divider, plan.length, plan.periods};
}

std::string Ppm(const velmar_dds_plan& plan) {
    char text[32];
    std::snprintf(text, sizeof(text), "%+.0f ppm",
                  (plan.produced_hz - plan.requested_hz) / plan.requested_hz * 1e6);
    return text;
}

// What really plays, and, when that is not the wave planned, what it is
// instead: the same as the warning says.
std::string Produced(const velmar_dds_plan& plan) {
    const std::string produced = FormatHz(plan.produced_hz);
    switch (plan.playback) {
        case VELMAR_DDS_PLAYS_ALIAS:
            return produced + ": plays an alias, not the planned " + FormatHz(plan.planned_hz);
        case VELMAR_DDS_PLAYS_CONSTANT:
            return produced + ": plays a constant, not the planned " + FormatHz(plan.planned_hz);
        default:
            return produced;
    }
}

// What the plan does not show by itself: a request below 1 Hz planned as
// 1 Hz, and a plan whose samples are no faithful copy of the wave.
void WarnAboutPlan(Session& s, const velmar_dds_plan& plan) {
    if (plan.requested_hz < 1.0)
        s.Warn("note: below 1 Hz the library plans 1 Hz: this is the plan for 1 Hz");
    const std::string playback = DescribePlayback(CorePlan(plan));
    if (!playback.empty()) s.Warn(playback);
}

void PrintPlan(std::ostream& out, const velmar_dds_plan& plan) {
    out << "requested     " << FormatHz(plan.requested_hz) << "\n"
        << "divider       " << plan.divider << "\n"
        << "length        " << plan.length << " samples\n"
        << "periods       " << plan.periods << "\n"
        << "sample clock  " << FormatClock(plan.sample_clock_hz) << "\n"
        << "produced      " << Produced(plan) << "\n"
        << "error         " << Ppm(plan) << "\n";
}

// Fails naming what went wrong when a library call did not succeed: the
// error code says what kind of failure it was, the library's words what
// exactly happened. `what` names the operation: "the measurement".
void Call(Session& s, const std::string& what, int result) {
    if (result == VELMAR_DDS_OK) return;
    const std::string words = LibraryWords(result);
    switch (result) {
        case VELMAR_DDS_ERROR_NO_INSTRUMENT:
        case VELMAR_DDS_ERROR_OPEN_FAILED:
            Fail(s.Name() + " could not be opened for " + what + ": " + words);
        case VELMAR_DDS_ERROR_TIMEOUT:
            Fail(s.Name() + " did not answer " + what + " in time: " + words);
        case VELMAR_DDS_ERROR_BAD_ANSWER:
            Fail(s.Name() + " answered " + what + " wrongly: " + words);
        case VELMAR_DDS_ERROR_DISCONNECTED:
            Fail(s.Name() + " hung up during " + what + ": " + words);
        case VELMAR_DDS_ERROR_WRITE_REFUSED:
            Fail(s.Name() + " could not be sent " + what + ": " + words);
        default:
            Fail(s.Name() + ": " + what + " failed: " + words);
    }
}

// Shows on a terminal how long a slow call has been running, with the time
// it should take when that can be told, once it has run for a second.
class Progress {
  public:
    Progress(bool enabled, std::ostream& err, std::string what, double expected_s)
        : err_(err), what_(std::move(what)), expected_s_(expected_s) {
        if (enabled) thread_ = std::thread([this] { Show(); });
    }
    ~Progress() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        if (shown_) err_ << "\r\033[K" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    void Show() {
        const auto start = Clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, kProgressAfter, [this] { return done_; })) return;
        do {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            char line[160];
            if (expected_s_ > elapsed) {
                std::snprintf(line, sizeof(line), "\r%s: %.0f s of about %.0f s (%.0f %%)\033[K",
                              what_.c_str(), elapsed, expected_s_, 100.0 * elapsed / expected_s_);
            } else {
                std::snprintf(line, sizeof(line), "\r%s: %.0f s\033[K", what_.c_str(), elapsed);
            }
            err_ << line << std::flush;
            shown_ = true;
        } while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; }));
    }

    std::ostream& err_;
    std::string what_;
    double expected_s_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool shown_ = false;
};

// ---- The subcommands --------------------------------------------------------

void CmdList(Session& s, Args& args) {
    args.Done();
    s.Search();
    const std::string dir = DeviceDirectory();
    // A listing that finds nothing has still done its job.
    if (s.search_result < 0) {
        s.out << "no instruments: " << s.search_failure << "\n";
        return;
    }
    if (s.paths.empty()) {
        s.out << "no instruments in " << dir << "\n";
        return;
    }
    const size_t found = s.paths.size();
    s.out << found << " instrument" << (found == 1 ? "" : "s") << " in " << dir << "\n";
    for (size_t i = 0; i < found; ++i) {
        const std::string& path = s.paths[i];
        s.out << "  " << i << "  ";
        Instrument& instrument = s.open[path];
        if (instrument.handle) {
            s.out << path << " opens\n";
            continue;
        }
        velmar_dds* handle = nullptr;
        const int opened = velmar_dds_open(path.c_str(), &handle);
        if (opened == VELMAR_DDS_OK) {
            // Kept open for the commands after it.
            instrument.handle.reset(handle);
            s.out << path << " opens\n";
        } else {
            s.open.erase(path);
            s.out << OpenFailureLine(opened, path) << "\n";
        }
    }
    s.out << "(opens: its socket takes a connection. Nothing is sent, so this does not show\n"
             " that the instrument answers; `velmar-dds dio-in` asks it for an answer.)\n";
}

void CmdPlan(Session& s, Args& args) {
    const double hz = ParseHz(s, args.Operand("frequency (HZ)"));
    args.Done();
    const velmar_dds_plan plan = Plan(hz);
    PrintPlan(s.out, plan);
    WarnAboutPlan(s, plan);
}

// The wave of `freq` and `sweep`, from their options.
struct WaveChoice {
    WaveSettings settings;
    std::string name = "sine";  // the shape, or the file
    std::string table;          // what the file held: "8 values in a row"
    bool clip = false;          // --clip: a wave beyond the DAC's range is meant
    bool codes = false;         // the file's values look like DAC codes (and --raw was not given)
};

WaveChoice ReadWaveChoice(Args& args) {
    WaveChoice choice;
    WaveSettings& settings = choice.settings;
    const std::optional<std::string> wave = args.Option("--wave");
    const std::optional<std::string> amplitude = args.Option("--amplitude");
    const std::optional<std::string> offset = args.Option("--offset");
    if (amplitude) settings.amplitude = ParseDouble("--amplitude", *amplitude);
    if (offset) settings.offset = ParseDouble("--offset", *offset);
    if (auto b = args.Option("--bits")) {
        settings.dac_bits = static_cast<int>(ParseUnsigned("--bits", *b, 1, 16));
    }
    const bool raw = args.Flag("--raw");
    choice.clip = args.Flag("--clip");
    if (raw && (amplitude || offset))
        UsageFail(
            "--raw plays the file's codes as they are: --amplitude and --offset do not apply");
    if (!wave) {
        if (raw) UsageFail("--raw needs a file of DAC codes: --wave FILE.csv");
        return choice;
    }
    choice.name = *wave;
    if (auto shape = ShapeByName(*wave)) {
        if (raw) UsageFail("--raw needs a file of DAC codes, not the shape " + *wave);
        settings.shape = *shape;
        return choice;
    }
    std::ifstream file(*wave);
    if (!file)
        UsageFail("--wave: '" + *wave +
                  "' is neither sine, square, triangle, sawtooth nor a readable CSV file");
    std::stringstream text;
    text << file.rdbuf();
    CsvWaveOptions options;
    options.raw = raw;
    options.clip = choice.clip;
    options.dac_bits = settings.dac_bits;
    CsvWave csv;
    std::string error;
    if (!ReadCsvWave(text.str(), options, &csv, &error)) UsageFail(*wave + ": " + error);
    choice.table = csv.description;
    choice.codes = csv.looks_like_codes;
    settings.shape = Shape::kTable;
    settings.table = std::move(csv.settings.table);
    return choice;
}

// The samples of the wave for `plan`; fails when some fall outside the
// DAC's range and --clip does not say that is meant. Sends nothing.
std::vector<uint16_t> SamplesFor(const WaveChoice& wave, const velmar_dds_plan& plan,
                                 int* clipped) {
    std::vector<uint16_t> samples;
    std::string what;
    if (!SamplesInRange(wave.settings, plan.length, plan.periods, wave.clip, &samples, clipped,
                        &what)) {
        Fail("the wave is clipped at " + FormatHz(plan.requested_hz) + ": " + what +
             " (the wave times --amplitude plus --offset must stay within -1 to 1); nothing was "
             "sent (--clip sends it clipped" +
             (wave.codes ? "; if " + wave.name + " holds DAC codes, --raw plays them as they are"
                         : std::string()) +
             ")");
    }
    return samples;
}

void NoteClipped(Session& s, int clipped, int32_t length) {
    if (clipped == 0) return;
    s.Warn("note: " + std::to_string(clipped) + " of " + std::to_string(length) +
           " samples fall outside the DAC's range and are clipped (--clip)");
}

// A plan that plays no wave at all is not what anyone asked for: it is
// refused before anything is sent, unless asked for by name.
void RefuseConstant(const velmar_dds_plan& planned, bool allow_constant) {
    if (planned.playback != VELMAR_DDS_PLAYS_CONSTANT || allow_constant) return;
    std::string why = DescribePlayback(CorePlan(planned));
    const std::string prefix = "warning: ";
    if (why.rfind(prefix, 0) == 0) why.erase(0, prefix.size());
    Fail(FormatHz(planned.requested_hz) + " plays no wave: " + why +
         "; nothing was sent (--allow-constant sends it anyway)");
}

void CmdFreq(Session& s, Args& args) {
    const WaveChoice wave = ReadWaveChoice(args);
    const bool allow_constant = args.Flag("--allow-constant");
    const double hz = ParseHz(s, args.Operand("frequency (HZ)"));
    args.Done();
    const velmar_dds_plan planned = Plan(hz);
    RefuseConstant(planned, allow_constant);
    // Computed from the library's plan before anything is sent: a wave that
    // would be clipped leaves the instrument as it was.
    int clipped = 0;
    const std::vector<uint16_t> samples = SamplesFor(wave, planned, &clipped);
    Instrument& instrument = s.RequireInstrument();
    velmar_dds* handle = instrument.handle.get();

    velmar_dds_plan plan{};
    const auto set_start = Clock::now();
    Call(s, "the frequency setting", velmar_dds_set_frequency(handle, hz, &plan));
    // The download is one exchange per block and one for its header, each
    // about as long as the frequency setting's.
    const double exchange_s = std::chrono::duration<double>(Clock::now() - set_start).count();
    const int blocks = SampleBlocksFor(plan.length);
    {
        Progress progress(s.progress, s.err,
                          "downloading " + std::to_string(plan.length) + " samples in " +
                              std::to_string(blocks) + " blocks",
                          exchange_s * (blocks + 1));
        Call(s, "the waveform download", velmar_dds_download(handle, samples.data(), plan.length));
    }
    instrument.download = Download{plan.length, plan.periods, plan.divider};
    s.out << s.Name() << ": " << wave.name << (wave.table.empty() ? "" : " (" + wave.table + ")")
          << ", " << plan.length << " samples holding " << plan.periods << " period"
          << (plan.periods == 1 ? "" : "s") << ", divider " << plan.divider << ", sample clock "
          << FormatClock(plan.sample_clock_hz) << "\n"
          << "produced " << Produced(plan) << " (error " << Ppm(plan) << ")\n";
    WarnAboutPlan(s, plan);
    NoteClipped(s, clipped, plan.length);
}

// How far the reading is from the frequency produced, in ppm; "" where
// nothing is produced to compare with.
std::string Deviation(double measured, double produced, const char* format, double shown) {
    if (!(produced > 0.0)) return "";
    double ppm = (measured - produced) / produced * 1e6;
    // A reading a hair below shows as 0, not -0: `shown` is half the last digit.
    if (std::fabs(ppm) < shown) ppm = 0.0;
    char text[32];
    std::snprintf(text, sizeof(text), format, ppm);
    return text;
}

void CmdSweep(Session& s, Args& args) {
    const WaveChoice wave = ReadWaveChoice(args);
    const bool allow_constant = args.Flag("--allow-constant");
    SweepRange range;
    if (auto n = args.Option("--steps")) {
        range.points = static_cast<int>(ParseUnsigned("--steps", *n, 2, kMaxSweepPoints));
    }
    if (auto step = args.Option("--step")) range.step = ParseHz(s, *step);
    range.log = args.Flag("--log");
    double dwell_s = 0.0;
    if (auto dwell = args.Option("--dwell")) {
        const std::optional<double> seconds = ParseSeconds(*dwell, kMaxSleepSeconds);
        if (!seconds) UsageFail("--dwell wants seconds from 0 to 3600, not '" + *dwell + "'");
        dwell_s = *seconds;
    }
    const bool measure = args.Flag("--measure");
    const bool csv = args.Flag("--csv");
    range.start = ParseHz(s, args.Operand("START (Hz)"));
    range.stop = ParseHz(s, args.Operand("STOP (Hz)"));
    args.Done();
    std::string error;
    const std::optional<std::vector<double>> frequencies = SweepFrequencies(range, &error);
    if (!frequencies) UsageFail(error);

    // Every point is planned and its wave computed before the first is sent.
    struct Point {
        velmar_dds_plan plan;
        std::vector<uint16_t> samples;
        int clipped = 0;
    };
    std::vector<Point> points;
    for (double hz : *frequencies) {
        Point point;
        point.plan = Plan(hz);
        RefuseConstant(point.plan, allow_constant);
        point.samples = SamplesFor(wave, point.plan, &point.clipped);
        points.push_back(std::move(point));
    }
    Instrument& instrument = s.RequireInstrument();
    velmar_dds* handle = instrument.handle.get();
    if (csv) {
        s.out << "requested_hz,produced_hz" << (measure ? ",measured_hz,deviation_ppm" : "")
              << "\n";
    } else {
        s.out << "  requested Hz   produced Hz" << (measure ? "   measured Hz   deviation" : "")
              << "\n";
    }
    int clipped = 0;
    int32_t clipped_of = 0;
    for (const Point& point : points) {
        velmar_dds_plan plan{};
        Call(s, "the frequency setting",
             velmar_dds_set_frequency(handle, point.plan.requested_hz, &plan));
        Call(s, "the waveform download",
             velmar_dds_download(handle, point.samples.data(), plan.length));
        instrument.download = Download{plan.length, plan.periods, plan.divider};
        clipped += point.clipped;
        clipped_of += plan.length;
        if (dwell_s > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(dwell_s));
        double measured = 0.0;
        if (measure) Call(s, "the measurement", velmar_dds_measure(handle, 0, &measured));
        char row[160];
        if (csv) {
            std::snprintf(row, sizeof(row), "%.6f,%.6f", plan.requested_hz, plan.produced_hz);
            s.out << row;
            if (measure) {
                std::snprintf(row, sizeof(row), ",%.6f,", measured);
                s.out << row << Deviation(measured, plan.produced_hz, "%.1f", 0.05);
            }
        } else {
            std::snprintf(row, sizeof(row), "%14.2f%14.2f", plan.requested_hz, plan.produced_hz);
            s.out << row;
            if (measure) {
                const std::string deviation =
                    Deviation(measured, plan.produced_hz, "%+.0f ppm", 0.5);
                std::snprintf(row, sizeof(row), "%14.2f%12s", measured,
                              deviation.empty() ? "-" : deviation.c_str());
                s.out << row;
            }
            if (plan.playback == VELMAR_DDS_PLAYS_ALIAS) s.out << "  (an alias)";
            if (plan.playback == VELMAR_DDS_PLAYS_CONSTANT) s.out << "  (a constant)";
        }
        s.out << "\n" << std::flush;
    }
    NoteClipped(s, clipped, clipped_of);
}

void CmdMeasure(Session& s, Args& args) {
    const bool counter = args.Flag("--counter");
    args.Done();
    double reading = 0.0;
    Call(s, "the measurement", velmar_dds_measure(s.Handle(), counter ? 1 : 0, &reading));
    if (counter) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.0f", reading);
        s.out << "counter " << text << "\n";
    } else {
        s.out << "frequency " << FormatHz(reading) << "\n";
    }
}

void CmdCounterReset(Session& s, Args& args) {
    args.Done();
    Call(s, "the counter reset", velmar_dds_reset_counter(s.Handle()));
    s.out << "counter cleared\n";
}

void CmdSingle(Session& s, Args& args) {
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    Call(s, "the single-wave setting", velmar_dds_set_single_wave(s.Handle(), on ? 1 : 0));
    s.out << "single-wave mode " << (on ? "on" : "off") << "\n";
}

void CmdTrigger(Session& s, Args& args) {
    const bool option = args.Flag("--option");
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    Call(s, "the trigger setting", velmar_dds_set_trigger(s.Handle(), on ? 1 : 0, option ? 1 : 0));
    s.out << "trigger pulsed, then " << (on ? "armed" : "off")
          << (on ? (option ? " with the option" : " without the option") : "") << "\n";
}

void CmdDioMode(Session& s, Args& args) {
    const bool out = OnOff(args.Operand("in or out"), "out", "in");
    args.Done();
    Call(s, "the digital I/O mode", velmar_dds_set_dio_mode(s.Handle(), out ? 1 : 0));
    s.out << "digital I/O mode " << (out ? "out" : "in") << "\n";
}

void CmdDioIn(Session& s, Args& args) {
    args.Done();
    uint16_t word = 0;
    Call(s, "the digital input read", velmar_dds_get_digital_in(s.Handle(), &word));
    s.out << "digital in " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

void CmdDioOut(Session& s, Args& args) {
    const auto word = static_cast<uint16_t>(ParseUnsigned("WORD", args.Operand("WORD"), 0, 0xFFFF));
    args.Done();
    Call(s, "the digital output", velmar_dds_set_digital_out(s.Handle(), word));
    s.out << "digital out " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

// The waveform store ends with a length header that carries the padded count
// itself, not the count less one, so the instrument then plays one sample
// more than the padded wave. Before any download the host knows of, the
// library announces the whole memory: its initial length, 4095, is no
// padded count (those are whole granules).
void NotePowerOnWaveform(Session& s, const velmar_dds_state& state) {
    const Instrument& instrument = s.RequireInstrument();
    const int32_t played = std::min(state.last_wave_length + 1, kWaveMemorySize);
    if (state.last_wave_length % kDownloadGranule != 0) {
        s.Warn(
            "note: no waveform download of this instrument is known, so the library announced "
            "the whole memory: the instrument now plays all " +
            std::to_string(kWaveMemorySize) +
            " samples it holds (store after a download: velmar-dds freq HZ + power-on "
            "waveform)");
        return;
    }
    if (!instrument.download) {
        // Downloaded by an earlier run: only its padded count is kept.
        s.Warn("note: the stored sequence announces the padded count of the last download (" +
               std::to_string(state.last_wave_length) + " samples), so the instrument now plays " +
               std::to_string(played) +
               (played > state.last_wave_length ? ", one sample more" : "") +
               " (store in the run that downloads to be told the frequency it plays)");
        return;
    }
    const Download& d = *instrument.download;
    if (played == d.length) return;
    const double clock = PlannedSampleClockHz(d.divider);
    s.Warn("note: the stored sequence announces the padded count, so the instrument now plays " +
           std::to_string(played) + " samples where " + std::to_string(d.length) +
           " were downloaded: " + FormatHz(clock * d.periods / played) + " instead of " +
           FormatHz(clock * d.periods / d.length));
}

void CmdPowerOn(Session& s, Args& args) {
    const bool current = OnOff(args.Operand("current or waveform"), "current", "waveform");
    args.Done();
    velmar_dds* handle = s.Handle();
    Call(s, "the power-on store", velmar_dds_set_power_on_output(handle, current ? 1 : 0));
    s.out << "power-on output stored: "
          << (current ? "the current control state" : "the loaded waveform") << "\n";
    velmar_dds_state state{};
    if (!current && velmar_dds_get_state(handle, &state) == VELMAR_DDS_OK)
        NotePowerOnWaveform(s, state);
}

void CmdDivider(Session& s, Args& args) {
    const auto divider =
        static_cast<uint16_t>(ParseUnsigned("N", args.Operand("divider N"), 0, 0xFFFF));
    args.Done();
    Call(s, "the divider setting", velmar_dds_set_divider(s.Handle(), divider));
    s.out << "divider " << divider << ": the instrument plays at "
          << FormatClock(PlannedSampleClockHz(divider)) << "\n";
}

void CmdClock(Session& s, Args& args) {
    args.Done();
    velmar_dds_state state{};
    Call(s, "the state", velmar_dds_get_state(s.Handle(), &state));
    // The clock that plays comes first; DDSGetCLK's relation is only named as
    // that function's answer, since above divider 1 it is not the clock.
    s.out << "sample clock " << FormatClock(state.sample_clock_hz) << " (divider " << state.divider
          << ", as last sent from this host)\n"
          << "DDSGetCLK reports " << FormatClock(state.reported_clock_hz)
          << " (its relation, 200 MHz / (divider + 1)"
          << (state.reported_clock_hz == state.sample_clock_hz
                  ? ", agrees for this divider)\n"
                  : ", is not the clock that plays)\n");
}

void CmdSleep(Session& s, Args& args) {
    const std::string text = args.Operand("SECONDS");
    args.Done();
    const std::optional<double> seconds = ParseSeconds(text, kMaxSleepSeconds);
    if (!seconds) UsageFail("SECONDS must be a number from 0 to 3600, not '" + text + "'");
    s.out << std::flush;
    std::this_thread::sleep_for(std::chrono::duration<double>(*seconds));
}

void CmdHelp(Session& s, Args& args);

void CmdDemo(Session& s, Args& args);
void CmdShell(Session& s, Args& args);

struct Command {
    const char* name;
    const char* synopsis;
    const char* summary;  // one line for the overview
    const char* help;
    std::function<void(Session&, Args&)> run;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"list", "list", "the instruments in the device directory, and whether each opens",
         "Lists the instruments in the device directory, each with its --device index and\n"
         "path, and whether it opens (its socket takes a connection; nothing is sent, so an\n"
         "instrument that opens may still not answer), or the library's words for why not.\n"
         "Exits 0 with \"no instruments\" when there are none.",
         CmdList},
        {"freq",
         "freq HZ [--wave sine|square|triangle|sawtooth|FILE.csv] [--amplitude A] [--offset O] "
         "[--bits B] [--raw] [--clip] [--allow-constant]",
         "plans HZ, computes the wave for the plan and downloads it",
         "Plans HZ (1000, 0.5, 12.5k, 1KHZ, 3MHz, 1G), computes the wave for the planned\n"
         "length and periods, downloads it and prints the frequency actually produced and\n"
         "its error. Warns when the plan plays an alias (the frequency produced is then the\n"
         "alias) or only a rough shape. Fails (exit 1) with nothing sent when the plan puts\n"
         "every sample on the same phase (a constant, no wave at all), and when samples\n"
         "would fall outside the DAC's range, unless --allow-constant or --clip says so.\n"
         "  --wave       the shape (default sine), or a CSV file holding one period: one value\n"
         "               a line, one row of values, or two columns time,value (the second is\n"
         "               the wave, the time evenly spaced within 1 %), with or without a\n"
         "               header line; fields separated by commas, semicolons or blanks;\n"
         "               values from -1 to 1. Anything else is refused naming its line\n"
         "  --amplitude  in units of full scale (default 1)\n"
         "  --offset     in units of full scale (default 0)\n"
         "  --bits       the DAC's resolution, 1 to 16: samples are offset binary from 0 to\n"
         "               2^B - 1 with mid-scale as zero (default 16)\n"
         "  --raw        the file holds DAC codes, whole numbers from 0 to 2^B - 1, played as\n"
         "               they are (stretched over the period like any wave)\n"
         "  --clip       clips a wave beyond the DAC's range instead of refusing it\n"
         "  --allow-constant  sends a plan that plays a constant all the same",
         CmdFreq},
        {"sweep",
         "sweep START STOP [--steps N | --step F] [--log] [--dwell S] [--measure] [--csv] "
         "[--wave W] [--amplitude A] [--offset O] [--bits B] [--raw] [--clip] "
         "[--allow-constant]",
         "plays frequencies from START to STOP, a table of each",
         "Plays the frequencies from START to STOP (START above STOP sweeps down) one after\n"
         "the other, and prints a table: each frequency requested, the frequency produced\n"
         "and, with --measure, the one the meter reads and how far it is from the one\n"
         "produced. Every point is planned and its wave computed before the first is sent.\n"
         "  --steps N    N frequencies, START and STOP included (2 to 1000, default 10)\n"
         "  --step F     START, START + F, ... up to STOP (F in hertz, with a unit if you like)\n"
         "  --log        the frequencies evenly spaced on a log scale (with --steps)\n"
         "  --dwell S    waits S seconds (0.25, up to 3600) after each frequency is loaded\n"
         "  --measure    reads the frequency meter at each frequency\n"
         "  --csv        the table as CSV: requested_hz,produced_hz[,measured_hz,deviation_ppm]\n"
         "The wave options are those of freq.",
         CmdSweep},
        {"plan", "plan HZ", "the plan for HZ, without an instrument",
         "Prints the plan for HZ without an instrument: divider, length, periods, the sample\n"
         "clock the instrument plays at, the frequency produced (an alias folded below half\n"
         "the sample clock, 0 for a constant) and its error in ppm. Warns when the plan plays\n"
         "an alias, a constant or only a rough shape, and below 1 Hz (planned as 1 Hz).",
         CmdPlan},
        {"measure", "measure [--counter]", "reads the frequency meter or the counter",
         "Reads the frequency meter (hertz), or with --counter the counter reading\n"
         "(twice the instrument's count: the input cycles since counter-reset).",
         CmdMeasure},
        {"counter-reset", "counter-reset", "clears the event counter", "Clears the event counter.",
         CmdCounterReset},
        {"single", "single on|off", "single-wave mode on or off", "Single-wave mode on or off.",
         CmdSingle},
        {"trigger", "trigger on|off [--option]",
         "a trigger pulse, then arms or disarms the trigger",
         "Sends a 100 ms trigger pulse, then arms (on, with the option bit if --option)\n"
         "or disarms (off) the trigger.",
         CmdTrigger},
        {"dio-mode", "dio-mode in|out", "the digital I/O mode bit",
         "Sets the digital I/O mode bit (out sets it).", CmdDioMode},
        {"dio-in", "dio-in", "reads the digital input port", "Reads the 16-bit digital input port.",
         CmdDioIn},
        {"dio-out", "dio-out WORD", "drives WORD on the digital output port",
         "Drives WORD (decimal, a leading zero too, or 0x...) on the 16-bit digital output port.",
         CmdDioOut},
        {"power-on", "power-on current|waveform", "stores what the instrument produces at power-on",
         "Stores what the instrument produces at power-on: the current control state, or\n"
         "the loaded waveform. The waveform store announces the padded sample count, so the\n"
         "instrument then plays one sample more than the padded wave: the tool says so.",
         CmdPowerOn},
        {"divider", "divider N", "sets the sample clock divider",
         "Sets the sample clock divider (0 to 65535).", CmdDivider},
        {"clock", "clock", "the sample clock the instrument plays at",
         "Prints the sample clock the instrument plays at for the divider last sent to it\n"
         "from this host, then what DDSGetCLK reports for that divider (its relation,\n"
         "200 MHz / (divider + 1), which above divider 1 is not the clock that plays).\n"
         "Sends nothing.",
         CmdClock},
        {"shell", "shell", "runs command lines from standard input in one process",
         "Reads commands from standard input, one command line per line (with + and --device\n"
         "as on the command line), and runs them in this one process on the same open\n"
         "instruments. At a terminal it prompts, and lines can be edited and recalled with\n"
         "the arrow keys and Tab completes command names and options (when built with\n"
         "libedit); elsewhere (a pipe, a file) lines are read as they come.\n"
         "Blank lines and lines starting with # are skipped; exit, quit or end of input ends\n"
         "it; help lists the commands. A failing line is reported and the shell goes on when\n"
         "it prompts; reading a script, it stops there with that line's exit status.",
         CmdShell},
        {"help", "help [COMMAND]", "the commands, or what COMMAND does",
         "Lists the commands, or prints what COMMAND does (as COMMAND --help).", CmdHelp},
        {"sleep", "sleep SECONDS", "waits SECONDS (0.5, up to 3600)",
         "Waits SECONDS, a decimal number from 0 to 3600: between the lines of a script or\n"
         "the commands of a chain (freq 1k + sleep 0.5 + measure).",
         CmdSleep},
        {"demo", "demo [--svg FILE]", "a typical session on a simulated instrument", kDemoHelp,
         CmdDemo},
    };
    return commands;
}

void CmdDemo(Session& s, Args& args) {
    std::vector<std::string> rest;
    if (auto svg = args.Option("--svg")) rest = {"--svg", *svg};
    args.Done();
    RunDemo(s, rest);
}

void PrintCommands(std::ostream& out) {
    for (const Command& c : Commands()) {
        std::string name = c.name;
        name.resize(std::max<size_t>(name.size() + 2, 15), ' ');
        out << "  " << name << c.summary << "\n";
    }
}

constexpr char kUnitsHelp[] =
    "Frequencies are hertz with a unit as SCPI writes it, in any case: HZ, KHZ, MHZ\n"
    "(megahertz, as in SCPI) or GHZ, or a bare k, M or G (1000, 12.5k, 1KHZ, 3MHz, 1G).\n"
    "A lone lowercase m is refused (SCPI reads it as milli); fractions of a hertz are\n"
    "written as decimals (0.5).\n";

void PrintHelp(std::ostream& out) {
    out << "Usage: velmar-dds [--device N] [--trace] COMMAND [ARGS] [+ COMMAND [ARGS] ...]\n"
           "  or:  velmar-dds COMMAND --help\n"
           "  or:  velmar-dds --version\n\n"
           "Drives a Velmar DDS signal generator through libvelmardds.\n\n"
           "Commands (velmar-dds COMMAND --help tells more):\n";
    PrintCommands(out);
    out << "\nOptions:\n"
           "  --device N   the instrument to use, by index in the list (default 0); before\n"
           "               the first command for the whole line, inside a command for that\n"
           "               command only\n"
           "  --trace      the library's trace on standard error (VELMAR_DDS_TRACE=stderr)\n"
           "  +            runs the next command in the same process\n\n"
        << kUnitsHelp
        << "\nThe state is kept between runs: every command restates the instrument's control\n"
           "state (trigger and mode bits, digital output word, divider), and the host keeps\n"
           "what was last sent to each instrument in $VELMAR_DDS_STATE_DIR (else\n"
           "$XDG_RUNTIME_DIR/velmar-dds-state, else /tmp/velmar-dds-state-<uid>), so each run\n"
           "starts from what the last one sent: velmar-dds freq 1000, then velmar-dds measure\n"
           "reads 1000.16 Hz. The host does not see the instrument being switched off and on:\n"
           "after a power cycle it still believes the old state until a command sends it\n"
           "again.\n\n"
           "Instruments are the sockets in $VELMAR_DDS_DEVICE_DIR (else\n"
           "$XDG_RUNTIME_DIR/velmar-dds, else /tmp/velmar-dds-<uid>); velmar-dds-sim serves\n"
           "simulated ones there. Whole numbers are decimal (a leading zero too) or 0x...\n"
           "Exit status: 0 done, 1 failed, 2 wrong command line.\n";
}

void PrintCommandHelp(std::ostream& out, const Command& command) {
    out << "Usage: velmar-dds [--device N] " << command.synopsis << "\n\n" << command.help << "\n";
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : Commands())
        if (name == c.name) return &c;
    return nullptr;
}

void CmdHelp(Session& s, Args& args) {
    std::optional<std::string> name;
    if (!args.Empty()) name = args.Operand("COMMAND");
    args.Done();
    if (name) {
        const Command* command = FindCommand(*name);
        if (command == nullptr) UsageFail("unknown command '" + *name + "'");
        PrintCommandHelp(s.out, *command);
        return;
    }
    if (!s.in_shell) {
        PrintHelp(s.out);
        return;
    }
    s.out << "Commands (help COMMAND tells more):\n";
    PrintCommands(s.out);
    s.out << "\nA line is a command line as after velmar-dds: --device N and + as there.\n"
             "exit or quit ends the shell, and # starts a comment."
          << (HasLineEditing() ? " Tab completes commands and options." : "") << "\n\n"
          << kUnitsHelp;
}

std::vector<std::string> SplitWords(const std::string& line);

// What Tab offers for `word` at a terminal, given the line before it: the
// command names where a command starts (the line's start, or after a +),
// else the options of the step's command, and the words its synopsis offers
// (on|off, sine|square|...). Nothing where a file name is more likely.
std::vector<std::string> CompleteWord(const std::string& before, const std::string& word) {
    std::vector<std::string> step;
    try {
        for (const std::string& w : SplitWords(before)) {
            if (w == "+") {
                step.clear();
            } else {
                step.push_back(w);
            }
        }
    } catch (const CliError&) {
        return {};  // inside quotes
    }
    size_t at = 0;
    while (at < step.size() && step[at] == "--device") at += 2;
    if (at > step.size()) return {};  // the index of --device
    std::vector<std::string> offered;
    const Command* command = at < step.size() ? FindCommand(step[at]) : nullptr;
    if (at == step.size()) {
        for (const Command& c : Commands()) offered.push_back(c.name);
        offered.insert(offered.end(), {"exit", "quit", "--device"});
    } else if (command != nullptr) {
        std::istringstream synopsis(command->synopsis);
        for (std::string w; synopsis >> w;) {
            w.erase(std::remove_if(w.begin(), w.end(), [](char c) { return c == '[' || c == ']'; }),
                    w.end());
            if (w.rfind("--", 0) == 0) {
                offered.push_back(w);
                continue;
            }
            if (w.find('|') == std::string::npos) continue;
            std::istringstream choices(w);
            for (std::string choice; std::getline(choices, choice, '|');) {
                const bool lower = std::all_of(choice.begin(), choice.end(), [](char c) {
                    return (c >= 'a' && c <= 'z') || c == '-';
                });
                if (lower && !choice.empty()) offered.push_back(choice);
            }
        }
        offered.insert(offered.end(), {"--device", "--help", "+"});
    }
    std::vector<std::string> matches;
    for (const std::string& w : offered) {
        if (w.rfind(word, 0) == 0 && std::find(matches.begin(), matches.end(), w) == matches.end())
            matches.push_back(w);
    }
    return matches;
}

// One command line: `--device N` and the other options before the first
// command apply to all of it; a chain of commands separated by "+", each
// with its own arguments, `--device` among them for that command only.
void RunLine(Session& session, const std::vector<std::string>& args, bool in_shell);

// Splits a line of the shell into words: white space separates them, and
// single or double quotes keep a word with spaces together.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            in_word = true;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote != 0) UsageFail(std::string("unmatched ") + quote);
    if (in_word) words.push_back(word);
    return words;
}

void CmdShell(Session& s, Args& args) {
    args.Done();
    s.in_shell = true;
    // Only a person at a terminal is prompted and edits lines; a script on a
    // pipe or in a file is read as it comes.
    std::unique_ptr<LineEditor> editor;
    if (s.interactive) editor = TerminalEditor(s.in, s.out, CompleteWord);
    int number = 0;
    for (;;) {
        std::string line;
        if (editor) {
            std::optional<std::string> typed = editor->Read("velmar-dds> ");
            if (!typed) break;
            line = std::move(*typed);
        } else if (!std::getline(s.in, line)) {
            break;
        }
        ++number;
        try {
            const std::vector<std::string> words = SplitWords(line);
            if (words.empty() || words[0][0] == '#') continue;
            if (words.size() == 1 && (words[0] == "exit" || words[0] == "quit")) break;
            RunLine(s, words, true);
        } catch (const CliError& e) {
            if (!s.interactive) {
                throw CliError(e.exit_code(), "line " + std::to_string(number) + ": " + e.what());
            }
            s.out << std::flush;
            s.err << "velmar-dds: " << e.what() << "\n";
        }
    }
    if (s.interactive) s.out << "\n";
}

void RunLine(Session& session, const std::vector<std::string>& all_args, bool in_shell) {
    int line_device = session.chain_device;
    size_t first = 0;
    if (in_shell && !all_args.empty() && all_args[0] == "--device") {
        if (all_args.size() < 2) UsageFail("--device needs an index");
        line_device = ParseDevice(all_args[1]);
        first = 2;
    }
    std::vector<std::vector<std::string>> steps(1);
    for (size_t i = first; i < all_args.size(); ++i) {
        if (all_args[i] == "+") {
            steps.emplace_back();
        } else {
            steps.back().push_back(all_args[i]);
        }
    }
    // Every command is known before the first one runs. A step's own
    // `--device N` may come before its command or among its arguments.
    const auto& commands = Commands();
    std::vector<const Command*> chosen;
    for (auto& step : steps) {
        size_t lead = 0;  // words of the `--device N` options before the command
        while (lead + 1 < step.size() && step[lead] == "--device") lead += 2;
        if (lead > 0 && lead < step.size()) {
            std::rotate(step.begin(), step.begin() + static_cast<long>(lead), step.end());
        }
        if (step.empty() || step[0] == "--device") UsageFail("a '+' needs a command on each side");
        const auto command = std::find_if(commands.begin(), commands.end(),
                                          [&](const Command& c) { return step[0] == c.name; });
        if (command == commands.end()) {
            UsageFail("unknown command '" + step[0] +
                      (in_shell ? "' (type help)" : "' (see velmar-dds --help)"));
        }
        if (std::string(command->name) == "shell" && (in_shell || steps.size() > 1))
            UsageFail("shell runs alone, not inside a chain or another shell");
        chosen.push_back(&*command);
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto& step = steps[i];
        const Command* command = chosen[i];
        Args rest(std::vector<std::string>(step.begin() + 1, step.end()));
        if (rest.Flag("--help") || rest.Flag("-h")) {
            PrintCommandHelp(session.out, *command);
            continue;
        }
        try {
            const std::optional<std::string> own = rest.Option("--device");
            session.device = own ? ParseDevice(*own) : line_device;
            command->run(session, rest);
        } catch (const CliError& e) {
            // The shell's lines were worded by the commands they ran.
            if (e.exit_code() != kExitUsage || std::string(command->name) == "shell") throw;
            UsageFail(std::string(e.what()) + " (see velmar-dds " + command->name + " --help)");
        }
    }
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err, bool interactive, bool progress) {
    Session session(out, err, in);
    session.interactive = interactive;
    session.progress = progress;
    try {
        // The options before the first command.
        size_t i = 0;
        for (; i < args.size(); ++i) {
            if (args[i] == "--device") {
                if (i + 1 >= args.size()) UsageFail("--device needs an index");
                session.chain_device = ParseDevice(args[++i]);
            } else if (args[i] == "--trace") {
                // The library reads its trace setting again at every search.
                setenv("VELMAR_DDS_TRACE", "stderr", 1);
            } else if (args[i] == "--version") {
                out << VersionText("velmar-dds",
                                   reinterpret_cast<const void*>(&velmar_dds_version));
                return kExitOk;
            } else if (args[i] == "--help" || args[i] == "-h") {
                PrintHelp(out);
                return kExitOk;
            } else if (args[i].rfind("--", 0) == 0) {
                UsageFail("unknown option '" + args[i] + "' (see velmar-dds --help)");
            } else {
                break;
            }
        }
        if (i == args.size()) {
            PrintHelp(out);
            return kExitUsage;
        }
        RunLine(session, std::vector<std::string>(args.begin() + static_cast<long>(i), args.end()),
                false);
        return kExitOk;
    } catch (const CliError& e) {
        err << "velmar-dds: " << e.what() << "\n";
        return e.exit_code();
    }
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::istringstream nothing;
    return RunCli(args, nothing, out, err);
}

}  // namespace velmar::tool
