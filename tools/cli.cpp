#include "cli.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "VelmarDll.h"
#include "device/device_directory.h"
#include "ops/frequency_plan.h"
#include "parse_number.h"
#include "protocol/describe.h"
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

// Every exchange with the instrument is allowed this long (the library's
// limit); a call that failed sooner was not failed by a missing answer.
constexpr auto kAnswerLimit = std::chrono::milliseconds(1000);
// Downloads that take longer than this show their progress on a terminal.
constexpr auto kProgressAfter = std::chrono::seconds(1);

// Why the device directory holds no instrument, as far as the tool can see.
std::string EmptyDirectoryReason(const std::string& dir) {
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return "no instrument found: the device directory " + dir + " does not exist";
        return "no instrument found: the device directory " + dir +
               " cannot be read: " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) return "no instrument found: " + dir + " is not a directory";
    if (access(dir.c_str(), R_OK | X_OK) != 0) {
        return "no instrument found: the device directory " + dir +
               " cannot be read: " + std::strerror(errno);
    }
    return "no instrument found in " + dir;
}

// The library only says that an instrument did not open. The tool finds the
// reason itself by connecting to the instrument's socket as the library
// does, without waiting, and gives the system's word for what went wrong.
std::string OpenFailureReason(int device) {
    std::vector<std::string> paths;
    if (!ListDeviceSockets(DeviceDirectory(), &paths) || device >= static_cast<int>(paths.size()))
        return "it is gone from the device directory";
    const std::string& path = paths[static_cast<size_t>(device)];
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return path + ": the path is longer than a socket address allows (" +
               std::to_string(sizeof(address.sun_path) - 1) + " characters)";
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::string("no socket to reach it: ") + std::strerror(errno);
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int error = errno;
    close(fd);
    if (result == 0) return path + " accepts connections again: try once more";
    if (error == ECONNREFUSED) return path + ": connection refused: is velmar-dds-sim running?";
    if (error == EAGAIN) return path + ": it takes no more connections now (its queue is full)";
    return path + ": " + std::strerror(error);
}

}  // namespace

void Session::RequireInstrument() {
    if (!searched) {
        found = DDSSearch();
        searched = true;
    }
    const std::string dir = DeviceDirectory();
    if (found <= 0) {
        Fail(EmptyDirectoryReason(dir) +
             " (start velmar-dds-sim, or point VELMAR_DDS_DEVICE_DIR at the instruments)");
    }
    if (device < 0 || device >= found) {
        Fail("device index " + std::to_string(device) + " is out of range: " +
             std::to_string(found) + " instrument" + (found == 1 ? "" : "s") + " found in " + dir +
             " (indices 0 to " + std::to_string(found - 1) + ")");
    }
    if (DDSCheck(device) != 1) Fail(Name() + " could not be opened: " + OpenFailureReason(device));
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

struct PlanReport {
    FrequencyPlan plan;
    double clock_hz;
    double produced_hz;
    double error_ppm;
};

PlanReport Plan(double hz) {
    const std::optional<FrequencyPlan> plan = PlanFrequency(hz);
    if (!plan)
        UsageFail(FormatHz(hz) + " cannot be planned: it is far above what the instrument plays");
    PlanReport report{*plan, PlannedSampleClockHz(plan->divider), PlannedOutputHz(*plan), 0.0};
    report.error_ppm = (report.produced_hz - hz) / hz * 1e6;
    return report;
}

std::string Ppm(double ppm) {
    char text[32];
    std::snprintf(text, sizeof(text), "%+.0f ppm", ppm);
    return text;
}

// What the plan does not show by itself: a request below 1 Hz planned as
// 1 Hz, and a plan whose samples are no faithful copy of the wave.
void WarnAboutPlan(Session& s, double hz, const PlanReport& r) {
    if (hz < 1.0) s.Warn("note: below 1 Hz the library plans 1 Hz: this is the plan for 1 Hz");
    const std::string playback = DescribePlayback(r.plan);
    if (!playback.empty()) s.Warn(playback);
}

void PrintPlan(std::ostream& out, double hz, const PlanReport& r) {
    out << "requested     " << FormatHz(hz) << "\n"
        << "divider       " << r.plan.divider << "\n"
        << "length        " << r.plan.length << " samples\n"
        << "periods       " << r.plan.periods << "\n"
        << "sample clock  " << FormatClock(r.clock_hz) << "\n"
        << "produced      " << FormatHz(r.produced_hz) << "\n"
        << "error         " << Ppm(r.error_ppm) << "\n";
}

// Runs one library call and fails naming what went wrong when it returns 0.
// The library returns 0 alike for an answer missing, short or late; the time
// the call took tells them apart where it can: every wait for an answer that
// does not come lasts 1000 ms, so a call that failed sooner got an answer it
// could not use, or its instrument hung up. `one_exchange`: the call sends
// one message and waits for one answer.
void Call(Session& s, const std::string& what, bool one_exchange,
          const std::function<int32_t()>& call) {
    const auto start = Clock::now();
    if (call() == 1) return;
    const auto took = Clock::now() - start;
    if (took < kAnswerLimit) {
        if (DDSCheck(s.device) != 1)
            Fail(s.Name() + " could not be opened: " + OpenFailureReason(s.device));
        Fail(s.Name() + " answered the " + what + " short or hung up");
    }
    if (one_exchange) Fail(s.Name() + " did not answer the " + what + " within 1000 ms");
    Fail(s.Name() + " did not answer every message of the " + what +
         " (an answer was missing, short or late)");
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
    s.found = DDSSearch();
    s.searched = true;
    const std::string dir = DeviceDirectory();
    // A listing that finds nothing has still done its job.
    if (s.found <= 0) {
        std::string reason = EmptyDirectoryReason(dir);
        if (reason.rfind("no instrument found in ", 0) == 0) {
            s.out << "no instruments in " << dir << "\n";
        } else {
            s.out << "no instruments: " << reason.substr(reason.find(": ") + 2) << "\n";
        }
        return;
    }
    s.out << s.found << " instrument" << (s.found == 1 ? "" : "s") << " in " << dir << "\n";
    for (int i = 0; i < s.found; ++i) {
        if (DDSCheck(i) == 1) {
            s.out << "  " << i << "  opens\n";
        } else {
            s.out << "  " << i << "  does not open: " << OpenFailureReason(i) << "\n";
        }
    }
    s.out << "(opens: its socket takes a connection. Nothing is sent, so this does not show\n"
             " that the instrument answers; `velmar-dds dio-in` asks it for an answer.)\n";
}

void CmdPlan(Session& s, Args& args) {
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    const PlanReport report = Plan(hz);
    PrintPlan(s.out, hz, report);
    WarnAboutPlan(s, hz, report);
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
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    const PlanReport planned = Plan(hz);
    s.RequireInstrument();

    int32_t length = 0, periods = 0;
    const auto set_start = Clock::now();
    Call(s, "frequency setting", true,
         [&] { return DDSSetFrequency(s.device, hz, &length, &periods); });
    // The download is one exchange per block and one for its header, each
    // about as long as the frequency setting's.
    const double exchange_s = std::chrono::duration<double>(Clock::now() - set_start).count();
    int clipped = 0;
    const std::vector<uint16_t> samples = ComputeSamples(settings, length, periods, &clipped);
    const int blocks = SampleBlocksFor(length);
    {
        Progress progress(s.progress, s.err,
                          "downloading " + std::to_string(length) + " samples in " +
                              std::to_string(blocks) + " blocks",
                          exchange_s * (blocks + 1));
        Call(s, "waveform download", false,
             [&] { return DDSDownload(s.device, samples.data(), length); });
    }
    s.download = Download{length, periods, planned.plan.divider};
    s.out << s.Name() << ": " << wave_name << ", " << length << " samples holding " << periods
          << " period" << (periods == 1 ? "" : "s") << ", divider " << planned.plan.divider
          << ", sample clock " << FormatClock(planned.clock_hz) << "\n"
          << "produced " << FormatHz(planned.produced_hz) << " (error " << Ppm(planned.error_ppm)
          << ")\n";
    WarnAboutPlan(s, hz, planned);
    if (clipped > 0) {
        s.Warn("warning: " + std::to_string(clipped) + " of " + std::to_string(length) +
               " samples fall outside the DAC's range and are clipped (the wave times --amplitude "
               "plus --offset must stay within -1 to 1)");
    }
}

void CmdMeasure(Session& s, Args& args) {
    const bool counter = args.Flag("--counter");
    args.Done();
    s.RequireInstrument();
    double reading = 0.0;
    Call(s, "measurement", true,
         [&] { return DDSGetMeasure(s.device, counter ? 1 : 0, &reading); });
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
    s.RequireInstrument();
    Call(s, "counter reset", false, [&] { return DDSResetCounter(s.device); });
    s.out << "counter cleared\n";
}

void CmdSingle(Session& s, Args& args) {
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    s.RequireInstrument();
    Call(s, "single-wave setting", true, [&] { return DDSSetSingleWave(s.device, on ? 1 : 0); });
    s.out << "single-wave mode " << (on ? "on" : "off") << "\n";
}

void CmdTrigger(Session& s, Args& args) {
    const bool option = args.Flag("--option");
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    s.RequireInstrument();
    Call(s, "trigger setting", false,
         [&] { return DDSSetTrigger(s.device, on ? 1 : 0, option ? 1 : 0); });
    s.out << "trigger pulsed, then " << (on ? "armed" : "off")
          << (on ? (option ? " with the option" : " without the option") : "") << "\n";
}

void CmdDioMode(Session& s, Args& args) {
    const bool out = OnOff(args.Operand("in or out"), "out", "in");
    args.Done();
    s.RequireInstrument();
    Call(s, "digital I/O mode", true, [&] { return DDSSetDIOMode(s.device, out ? 1 : 0); });
    s.out << "digital I/O mode " << (out ? "out" : "in") << "\n";
}

void CmdDioIn(Session& s, Args& args) {
    args.Done();
    s.RequireInstrument();
    uint16_t word = 0;
    Call(s, "digital input read", true, [&] { return DDSGetDigitalIn(s.device, &word); });
    s.out << "digital in " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

void CmdDioOut(Session& s, Args& args) {
    const auto word = static_cast<uint16_t>(ParseUnsigned("WORD", args.Operand("WORD"), 0, 0xFFFF));
    args.Done();
    s.RequireInstrument();
    Call(s, "digital output", true, [&] { return DDSSetDigitalOut(s.device, word); });
    s.out << "digital out " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

// The waveform store ends with a length header that carries the padded count
// itself, not the count less one, so the instrument then plays one sample
// more than the padded wave; before any download in this process the library
// announces its whole memory.
void NotePowerOnWaveform(Session& s) {
    if (!s.download) {
        s.Warn(
            "note: no waveform was downloaded in this run, so the library announced the "
            "whole memory: the instrument now plays all " +
            std::to_string(kWaveMemorySize) +
            " samples it holds (store after a download: velmar-dds freq HZ + power-on "
            "waveform)");
        return;
    }
    const Download& d = *s.download;
    const int32_t played = std::min(PaddedSampleCount(d.length) + 1, kWaveMemorySize);
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
    s.RequireInstrument();
    Call(s, "power-on store", current,
         [&] { return DDSSetPowerOnOutput(s.device, current ? 1 : 0); });
    s.out << "power-on output stored: "
          << (current ? "the current control state" : "the loaded waveform") << "\n";
    if (!current) NotePowerOnWaveform(s);
}

void CmdDivider(Session& s, Args& args) {
    const auto divider =
        static_cast<uint16_t>(ParseUnsigned("N", args.Operand("divider N"), 0, 0xFFFF));
    args.Done();
    s.RequireInstrument();
    Call(s, "divider setting", true, [&] { return DDSSetDivNum(s.device, divider); });
    s.out << "divider " << divider << ": the instrument plays at "
          << FormatClock(PlannedSampleClockHz(divider)) << "\n";
}

void CmdClock(Session& s, Args& args) {
    args.Done();
    s.out << "sample clock " << FormatClock(DDSGetCLK())
          << " (as the library reports it: 200 MHz / (divider + 1))\n";
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
         "Lists the instruments in the device directory and whether each opens (its socket\n"
         "takes a connection; nothing is sent, so an instrument that opens may still not\n"
         "answer). Exits 0 with \"no instruments\" when there are none.",
         CmdList},
        {"freq",
         "freq HZ [--wave sine|square|triangle|sawtooth|FILE.csv] [--amplitude A] [--offset O] "
         "[--bits B]",
         "plans HZ, computes the wave for the plan and downloads it",
         "Plans HZ (1000, 12.5k, 3M, 1G), computes the wave for the planned length and periods,\n"
         "downloads it and prints the frequency actually produced and its error. Warns when\n"
         "the plan plays an alias or only a rough shape, and when samples are clipped.\n"
         "  --wave       the shape (default sine), or a CSV file holding one period,\n"
         "               values from -1 to 1 separated by commas or white space\n"
         "  --amplitude  in units of full scale (default 1)\n"
         "  --offset     in units of full scale (default 0)\n"
         "  --bits       the DAC's resolution, 1 to 16: samples are offset binary from 0 to\n"
         "               2^B - 1 with mid-scale as zero (default 16)",
         CmdFreq},
        {"plan", "plan HZ", "the plan for HZ, without an instrument",
         "Prints the plan for HZ without an instrument: divider, length, periods, the sample\n"
         "clock the instrument plays at, the frequency produced and its error in ppm. Warns\n"
         "when the plan plays an alias or only a rough shape, and below 1 Hz (planned as 1 Hz).",
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
        {"clock", "clock", "the sample clock as the library reports it",
         "Prints the sample clock as the library reports it (DDSGetCLK).", CmdClock},
        {"shell", "shell", "runs command lines from standard input in one process",
         "Reads commands from standard input, one command line per line (with + and --device\n"
         "as on the command line), and runs them in this one process, so that the control\n"
         "state carries from each to the next. Prompts when standard input is a terminal.\n"
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
           "Drives a Velmar DDS signal generator through libVelmarDll.\n\n"
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
           "One process, one control state: the library keeps the trigger and mode bits, the\n"
           "digital output word and the divider per process, and every command restates all of\n"
           "it. Each velmar-dds run starts from zero, so a setting made by one run is undone by\n"
           "the next: chain commands with + or run them in `velmar-dds shell`.\n\n"
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
                out << VersionText("velmar-dds", reinterpret_cast<const void*>(&DDSSearch));
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
