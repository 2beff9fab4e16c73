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
#include "ops/frequency_plan.h"
#include "parse_number.h"
#include "protocol/describe.h"
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

    void Done() {
        if (!args_.empty()) UsageFail("unexpected '" + args_.front() + "'");
    }

  private:
    std::vector<std::string> args_;
};

// Hertz, with an optional k, M or G: "1000", "12.5k", "3M", "1G".
double ParseHz(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    const std::string suffix = end ? std::string(end) : "";
    if (suffix == "k" || suffix == "K" || suffix == "kHz") {
        value *= 1e3;
    } else if (suffix == "M" || suffix == "MHz") {
        value *= 1e6;
    } else if (suffix == "G" || suffix == "GHz") {
        value *= 1e9;
    } else if (!suffix.empty() && suffix != "Hz") {
        end = nullptr;
    }
    if (end == nullptr || end == text.c_str() || errno != 0 || !std::isfinite(value) ||
        value <= 0.0) {
        UsageFail("'" + text +
                  "' is not a frequency: give a positive number of hertz (1000, 12.5k, 3M, 1G)");
    }
    return value;
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
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    const velmar_dds_plan plan = Plan(hz);
    PrintPlan(s.out, plan);
    WarnAboutPlan(s, plan);
}

void CmdFreq(Session& s, Args& args) {
    WaveSettings settings;
    std::string wave_name = "sine";
    if (auto wave = args.Option("--wave")) {
        wave_name = *wave;
        if (auto shape = ShapeByName(*wave)) {
            settings.shape = *shape;
        } else {
            std::ifstream file(*wave);
            if (!file)
                UsageFail("--wave: '" + *wave +
                          "' is neither sine, square, triangle, sawtooth nor a readable CSV file");
            std::stringstream text;
            text << file.rdbuf();
            std::string error;
            if (!ParseWaveTable(text.str(), &settings.table, &error))
                UsageFail(*wave + ": " + error);
            settings.shape = Shape::kTable;
        }
    }
    if (auto a = args.Option("--amplitude")) settings.amplitude = ParseDouble("--amplitude", *a);
    if (auto o = args.Option("--offset")) settings.offset = ParseDouble("--offset", *o);
    if (auto b = args.Option("--bits")) {
        settings.dac_bits = static_cast<int>(ParseUnsigned("--bits", *b, 1, 16));
    }
    const bool allow_constant = args.Flag("--allow-constant");
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    // A plan that plays no wave at all is not what anyone asked for: it is
    // refused before anything is sent, unless asked for by name.
    const velmar_dds_plan planned = Plan(hz);
    if (planned.playback == VELMAR_DDS_PLAYS_CONSTANT && !allow_constant) {
        std::string why = DescribePlayback(CorePlan(planned));
        const std::string prefix = "warning: ";
        if (why.rfind(prefix, 0) == 0) why.erase(0, prefix.size());
        Fail(FormatHz(hz) + " plays no wave: " + why +
             "; nothing was sent (--allow-constant sends it anyway)");
    }
    Instrument& instrument = s.RequireInstrument();
    velmar_dds* handle = instrument.handle.get();

    velmar_dds_plan plan{};
    const auto set_start = Clock::now();
    Call(s, "the frequency setting", velmar_dds_set_frequency(handle, hz, &plan));
    // The download is one exchange per block and one for its header, each
    // about as long as the frequency setting's.
    const double exchange_s = std::chrono::duration<double>(Clock::now() - set_start).count();
    int clipped = 0;
    const std::vector<uint16_t> samples =
        ComputeSamples(settings, plan.length, plan.periods, &clipped);
    const int blocks = SampleBlocksFor(plan.length);
    {
        Progress progress(s.progress, s.err,
                          "downloading " + std::to_string(plan.length) + " samples in " +
                              std::to_string(blocks) + " blocks",
                          exchange_s * (blocks + 1));
        Call(s, "the waveform download", velmar_dds_download(handle, samples.data(), plan.length));
    }
    instrument.download = Download{plan.length, plan.periods, plan.divider};
    s.out << s.Name() << ": " << wave_name << ", " << plan.length << " samples holding "
          << plan.periods << " period" << (plan.periods == 1 ? "" : "s") << ", divider "
          << plan.divider << ", sample clock " << FormatClock(plan.sample_clock_hz) << "\n"
          << "produced " << Produced(plan) << " (error " << Ppm(plan) << ")\n";
    WarnAboutPlan(s, plan);
    if (clipped > 0) {
        s.Warn("warning: " + std::to_string(clipped) + " of " + std::to_string(plan.length) +
               " samples fall outside the DAC's range and are clipped (the wave times --amplitude "
               "plus --offset must stay within -1 to 1)");
    }
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
    s.out << "sample clock " << FormatClock(state.reported_clock_hz)
          << " (as the library reports it: 200 MHz / (divider + 1))\n"
          << "the instrument plays at " << FormatClock(state.sample_clock_hz) << " (divider "
          << state.divider << ", as last sent from this host)\n";
}

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
         "[--bits B] [--allow-constant]",
         "plans HZ, computes the wave for the plan and downloads it",
         "Plans HZ (1000, 12.5k, 3M, 1G), computes the wave for the planned length and periods,\n"
         "downloads it and prints the frequency actually produced and its error. Warns when\n"
         "the plan plays an alias (the frequency produced is then the alias) or only a rough\n"
         "shape, and when samples are clipped. A plan that puts every sample on the same\n"
         "phase plays a constant, no wave at all: it fails (exit 1) with nothing sent.\n"
         "  --wave       the shape (default sine), or a CSV file holding one period,\n"
         "               values from -1 to 1 separated by commas or white space\n"
         "  --amplitude  in units of full scale (default 1)\n"
         "  --offset     in units of full scale (default 0)\n"
         "  --bits       the DAC's resolution, 1 to 16: samples are offset binary from 0 to\n"
         "               2^B - 1 with mid-scale as zero (default 16)\n"
         "  --allow-constant  sends a plan that plays a constant all the same",
         CmdFreq},
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
        {"clock", "clock", "the sample clock of the instrument's kept state",
         "Prints the sample clock of the divider last sent to the instrument from this host,\n"
         "as the library reports it (200 MHz / (divider + 1), DDSGetCLK's relation) and as\n"
         "the instrument plays it. Sends nothing.",
         CmdClock},
        {"shell", "shell", "runs command lines from standard input in one process",
         "Reads commands from standard input, one command line per line (with + and --device\n"
         "as on the command line), and runs them in this one process on the same open\n"
         "instruments. Prompts when standard input is a terminal.\n"
         "Blank lines and lines starting with # are skipped; exit or end of input ends it.\n"
         "A failing line is reported and the shell goes on when it prompts; reading a\n"
         "script, it stops there with that line's exit status.",
         CmdShell},
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

void PrintHelp(std::ostream& out) {
    out << "Usage: velmar-dds [--device N] [--trace] COMMAND [ARGS] [+ COMMAND [ARGS] ...]\n"
           "  or:  velmar-dds COMMAND --help\n"
           "  or:  velmar-dds --version\n\n"
           "Drives a Velmar DDS signal generator through libvelmardds.\n\n"
           "Commands (velmar-dds COMMAND --help tells more):\n";
    for (const Command& c : Commands()) {
        std::string name = c.name;
        name.resize(std::max<size_t>(name.size() + 2, 15), ' ');
        out << "  " << name << c.summary << "\n";
    }
    out << "\nOptions:\n"
           "  --device N   the instrument to use, by index in the list (default 0); before\n"
           "               the first command for the whole line, inside a command for that\n"
           "               command only\n"
           "  --trace      the library's trace on standard error (VELMAR_DDS_TRACE=stderr)\n"
           "  +            runs the next command in the same process\n\n"
           "The state is kept between runs: every command restates the instrument's control\n"
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
    std::string line;
    int number = 0;
    for (;;) {
        if (s.interactive) s.out << "velmar-dds> " << std::flush;
        if (!std::getline(s.in, line)) break;
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
            UsageFail("unknown command '" + step[0] + "' (see velmar-dds --help)");
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
            session.out << "Usage: velmar-dds [--device N] " << command->synopsis << "\n\n"
                        << command->help << "\n";
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
            } else if (args[i] == "--help" || args[i] == "-h" || args[i] == "help") {
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
