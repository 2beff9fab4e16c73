#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "VelmarDll.h"
#include "device/device_directory.h"
#include "ops/frequency_plan.h"
#include "parse_number.h"
#include "protocol/describe.h"
#include "wave.h"

namespace velmar::tool {

void UsageFail(const std::string& message) {
    throw CliError(kExitUsage, message);
}
void Fail(const std::string& message) {
    throw CliError(kExitFailed, message);
}

std::string Session::Name() const {
    return "instrument " + std::to_string(device);
}

void Session::RequireInstrument() {
    if (!searched) {
        found = DDSSearch();
        searched = true;
    }
    const std::string dir = DeviceDirectory();
    if (found <= 0) {
        Fail("no instrument found in " + dir +
             " (start velmar-dds-sim, or point VELMAR_DDS_DEVICE_DIR at the instruments)");
    }
    if (device < 0 || device >= found) {
        Fail("device index " + std::to_string(device) + " is out of range: " +
             std::to_string(found) + " instrument" + (found == 1 ? "" : "s") + " found in " + dir +
             " (indices 0 to " + std::to_string(found - 1) + ")");
    }
    if (DDSCheck(device) != 1) Fail(Name() + " in " + dir + " could not be opened");
}

std::string FormatHz(double hz) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.2f Hz", hz);
    return text;
}

std::string FormatClock(double hz) {
    const char* unit = "Hz";
    double value = hz;
    if (std::fabs(hz) >= 1e6) {
        value = hz / 1e6;
        unit = "MHz";
    } else if (std::fabs(hz) >= 1e3) {
        value = hz / 1e3;
        unit = "kHz";
    }
    char text[48];
    std::snprintf(text, sizeof(text), "%.4g %s", value, unit);
    return text;
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

// Hertz, with an optional k or M: "1000", "12.5k", "3M".
double ParseHz(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    const std::string suffix = end ? std::string(end) : "";
    if (suffix == "k" || suffix == "K" || suffix == "kHz") {
        value *= 1e3;
    } else if (suffix == "M" || suffix == "MHz") {
        value *= 1e6;
    } else if (!suffix.empty() && suffix != "Hz") {
        end = nullptr;
    }
    if (end == nullptr || end == text.c_str() || errno != 0 || !std::isfinite(value) ||
        value <= 0.0) {
        UsageFail("'" + text +
                  "' is not a frequency: give a positive number of hertz (1000, 12.5k, 3M)");
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

unsigned long ParseUnsigned(const std::string& what, const std::string& text, unsigned long max) {
    const std::optional<unsigned long> value = ParseWholeNumber(text, max);
    if (!value) {
        UsageFail(what + " must be a whole number from 0 to " + std::to_string(max) +
                  " (decimal or 0x...), not '" + text + "'");
    }
    return *value;
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
    PlanReport report{*plan, PlannedSampleClockHz(plan->divider), 0.0, 0.0};
    report.produced_hz = report.clock_hz * plan->periods / plan->length;
    report.error_ppm = (report.produced_hz - hz) / hz * 1e6;
    return report;
}

std::string Ppm(double ppm) {
    char text[32];
    std::snprintf(text, sizeof(text), "%+.0f ppm", ppm);
    return text;
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

// ---- The subcommands --------------------------------------------------------

void CmdList(Session& s, Args& args) {
    args.Done();
    s.found = DDSSearch();
    s.searched = true;
    const std::string dir = DeviceDirectory();
    if (s.found <= 0) Fail("no instrument found in " + dir);
    s.out << s.found << " instrument" << (s.found == 1 ? "" : "s") << " in " << dir << "\n";
    for (int i = 0; i < s.found; ++i) {
        s.out << "  " << i << "  " << (DDSCheck(i) == 1 ? "opens" : "does not open") << "\n";
    }
}

void CmdPlan(Session& s, Args& args) {
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    PrintPlan(s.out, hz, Plan(hz));
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
        settings.dac_bits = static_cast<int>(ParseUnsigned("--bits", *b, 16));
        if (settings.dac_bits == 0) UsageFail("--bits must be from 1 to 16");
    }
    const double hz = ParseHz(args.Operand("frequency (HZ)"));
    args.Done();
    const PlanReport planned = Plan(hz);
    s.RequireInstrument();

    int32_t length = 0, periods = 0;
    if (DDSSetFrequency(s.device, hz, &length, &periods) != 1) {
        Fail(s.Name() + " did not answer the frequency setting");
    }
    const std::vector<uint16_t> samples = ComputeSamples(settings, length, periods);
    if (DDSDownload(s.device, samples.data(), length) != 1) {
        Fail(s.Name() + " did not acknowledge the waveform download");
    }
    s.out << s.Name() << ": " << wave_name << ", " << length << " samples holding " << periods
          << " period" << (periods == 1 ? "" : "s") << ", divider " << planned.plan.divider
          << ", sample clock " << FormatClock(planned.clock_hz) << "\n"
          << "produced " << FormatHz(planned.produced_hz) << " (error " << Ppm(planned.error_ppm)
          << ")\n";
}

void CmdMeasure(Session& s, Args& args) {
    const bool counter = args.Flag("--counter");
    args.Done();
    s.RequireInstrument();
    double reading = 0.0;
    if (DDSGetMeasure(s.device, counter ? 1 : 0, &reading) != 1) {
        Fail(s.Name() + " did not answer the measurement");
    }
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
    if (DDSResetCounter(s.device) != 1) Fail(s.Name() + " did not answer the counter reset");
    s.out << "counter cleared\n";
}

void CmdSingle(Session& s, Args& args) {
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    s.RequireInstrument();
    if (DDSSetSingleWave(s.device, on ? 1 : 0) != 1)
        Fail(s.Name() + " did not answer the single-wave setting");
    s.out << "single-wave mode " << (on ? "on" : "off") << "\n";
}

void CmdTrigger(Session& s, Args& args) {
    const bool option = args.Flag("--option");
    const bool on = OnOff(args.Operand("on or off"), "on", "off");
    args.Done();
    s.RequireInstrument();
    if (DDSSetTrigger(s.device, on ? 1 : 0, option ? 1 : 0) != 1) {
        Fail(s.Name() + " did not answer the trigger setting");
    }
    s.out << "trigger pulsed, then " << (on ? "armed" : "off")
          << (on ? (option ? " with the option" : " without the option") : "") << "\n";
}

void CmdDioMode(Session& s, Args& args) {
    const bool out = OnOff(args.Operand("in or out"), "out", "in");
    args.Done();
    s.RequireInstrument();
    if (DDSSetDIOMode(s.device, out ? 1 : 0) != 1)
        Fail(s.Name() + " did not answer the digital I/O mode");
    s.out << "digital I/O mode " << (out ? "out" : "in") << "\n";
}

void CmdDioIn(Session& s, Args& args) {
    args.Done();
    s.RequireInstrument();
    uint16_t word = 0;
    if (DDSGetDigitalIn(s.device, &word) != 1)
        Fail(s.Name() + " did not answer the digital input read");
    s.out << "digital in " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

void CmdDioOut(Session& s, Args& args) {
    const auto word = static_cast<uint16_t>(ParseUnsigned("WORD", args.Operand("WORD"), 0xFFFF));
    args.Done();
    s.RequireInstrument();
    if (DDSSetDigitalOut(s.device, word) != 1)
        Fail(s.Name() + " did not answer the digital output");
    s.out << "digital out " << Hex16(word) << " (" << Bits16(word) << ")\n";
}

void CmdPowerOn(Session& s, Args& args) {
    const bool current = OnOff(args.Operand("current or waveform"), "current", "waveform");
    args.Done();
    s.RequireInstrument();
    if (DDSSetPowerOnOutput(s.device, current ? 1 : 0) != 1) {
        Fail(s.Name() + " did not acknowledge the power-on store");
    }
    s.out << "power-on output stored: "
          << (current ? "the current control state" : "the loaded waveform") << "\n";
}

void CmdDivider(Session& s, Args& args) {
    const auto divider =
        static_cast<uint16_t>(ParseUnsigned("N", args.Operand("divider N"), 0xFFFF));
    args.Done();
    s.RequireInstrument();
    if (DDSSetDivNum(s.device, divider) != 1)
        Fail(s.Name() + " did not answer the divider setting");
    s.out << "divider " << divider << ": the instrument plays at "
          << FormatClock(PlannedSampleClockHz(divider)) << "\n";
}

void CmdClock(Session& s, Args& args) {
    args.Done();
    s.out << "sample clock " << FormatClock(DDSGetCLK())
          << " (as the library reports it: 200 MHz / (divider + 1))\n";
}

void CmdDemo(Session& s, Args& args);

struct Command {
    const char* name;
    const char* synopsis;
    const char* help;
    std::function<void(Session&, Args&)> run;
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"list", "list", "Lists the instruments in the device directory and whether each opens.",
         CmdList},
        {"freq",
         "freq HZ [--wave sine|square|triangle|sawtooth|FILE.csv] [--amplitude A] [--offset O] "
         "[--bits B]",
         "Plans HZ (1000, 12.5k, 3M), computes the wave for the planned length and periods,\n"
         "downloads it and prints the frequency actually produced and its error.\n"
         "  --wave       the shape (default sine), or a CSV file holding one period,\n"
         "               values from -1 to 1 separated by commas or white space\n"
         "  --amplitude  in units of full scale (default 1)\n"
         "  --offset     in units of full scale (default 0)\n"
         "  --bits       the DAC's resolution: samples are offset binary from 0 to\n"
         "               2^B - 1 with mid-scale as zero (default 16)",
         CmdFreq},
        {"plan", "plan HZ",
         "Prints the plan for HZ without an instrument: divider, length, periods, the sample\n"
         "clock the instrument plays at, the frequency produced and its error in ppm.",
         CmdPlan},
        {"measure", "measure [--counter]",
         "Reads the frequency meter (hertz), or with --counter the counter reading\n"
         "(twice the instrument's count: the input cycles since counter-reset).",
         CmdMeasure},
        {"counter-reset", "counter-reset", "Clears the event counter.", CmdCounterReset},
        {"single", "single on|off", "Single-wave mode on or off.", CmdSingle},
        {"trigger", "trigger on|off [--option]",
         "Sends a 100 ms trigger pulse, then arms (on, with the option bit if --option)\n"
         "or disarms (off) the trigger.",
         CmdTrigger},
        {"dio-mode", "dio-mode in|out", "Sets the digital I/O mode bit (out sets it).", CmdDioMode},
        {"dio-in", "dio-in", "Reads the 16-bit digital input port.", CmdDioIn},
        {"dio-out", "dio-out WORD",
         "Drives WORD (decimal or 0x...) on the 16-bit digital output port.", CmdDioOut},
        {"power-on", "power-on current|waveform",
         "Stores what the instrument produces at power-on: the current control state, or\n"
         "the loaded waveform.",
         CmdPowerOn},
        {"divider", "divider N", "Sets the sample clock divider (0 to 65535).", CmdDivider},
        {"clock", "clock", "Prints the sample clock as the library reports it (DDSGetCLK).",
         CmdClock},
        {"demo", "demo [--svg FILE]", kDemoHelp, CmdDemo},
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
    out << "usage: velmar-dds [--device N] COMMAND [ARGS] [+ COMMAND [ARGS] ...]\n"
           "       velmar-dds COMMAND --help\n\n"
           "Drives a Velmar DDS signal generator through libVelmarDll.\n\n"
           "commands:\n";
    for (const Command& c : Commands()) out << "  " << c.synopsis << "\n";
    out << "\n"
           "  --device N   the instrument to use, by index in the list (default 0)\n"
           "  +            runs the next command in the same process: the library keeps the\n"
           "               control state (trigger, modes, digital output, divider) per process\n"
           "               and every command restates all of it, starting from zero\n\n"
           "Instruments are the sockets in $VELMAR_DDS_DEVICE_DIR (else\n"
           "$XDG_RUNTIME_DIR/velmar-dds, else /tmp/velmar-dds-<uid>); velmar-dds-sim serves\n"
           "simulated ones there. Exit status: 0 done, 1 failed, 2 wrong command line.\n";
}

}  // namespace

int RunCli(const std::vector<std::string>& all_args, std::ostream& out, std::ostream& err) {
    try {
        Session session{out};
        std::vector<std::string> args;
        for (size_t i = 0; i < all_args.size(); ++i) {
            if (all_args[i] == "--device") {
                if (i + 1 >= all_args.size()) UsageFail("--device needs an index");
                session.device =
                    static_cast<int>(ParseUnsigned("--device", all_args[++i], 1u << 30));
            } else {
                args.push_back(all_args[i]);
            }
        }
        if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
            PrintHelp(out);
            return args.empty() ? kExitUsage : kExitOk;
        }
        std::vector<std::vector<std::string>> steps(1);
        for (const std::string& arg : args) {
            if (arg == "+") {
                steps.emplace_back();
            } else {
                steps.back().push_back(arg);
            }
        }
        // Every command is known before the first one runs.
        const auto& commands = Commands();
        std::vector<const Command*> chosen;
        for (const auto& step : steps) {
            if (step.empty()) UsageFail("a '+' needs a command on each side");
            const auto command = std::find_if(commands.begin(), commands.end(),
                                              [&](const Command& c) { return step[0] == c.name; });
            if (command == commands.end()) {
                UsageFail("unknown command '" + step[0] + "' (see velmar-dds --help)");
            }
            chosen.push_back(&*command);
        }
        for (size_t i = 0; i < steps.size(); ++i) {
            const auto& step = steps[i];
            const Command* command = chosen[i];
            Args rest(std::vector<std::string>(step.begin() + 1, step.end()));
            if (rest.Flag("--help") || rest.Flag("-h")) {
                out << "usage: velmar-dds [--device N] " << command->synopsis << "\n\n"
                    << command->help << "\n";
                continue;
            }
            try {
                command->run(session, rest);
            } catch (const CliError& e) {
                if (e.exit_code() != kExitUsage) throw;
                UsageFail(std::string(e.what()) + " (see velmar-dds " + command->name + " --help)");
            }
        }
        return kExitOk;
    } catch (const CliError& e) {
        err << "velmar-dds: " << e.what() << "\n";
        return e.exit_code();
    }
}

}  // namespace velmar::tool
