// velmar-dds-sim: simulated instruments on the sockets of a device directory,
// served until SIGINT or SIGTERM, then removed. SIGHUP power-cycles them.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/device_directory.h"
#include "parse_number.h"
#include "sim_server.h"
#include "version.h"

namespace {

const char kUsage[] =
    "Usage: velmar-dds-sim [--dir DIR] [--count N] [--trace[=all]] [--digital-in WORD]\n"
    "                      [--input-hz F] [--silent[=LIST]] [--delay-ms MS[:LIST]]\n"
    "                      [--ack-limit N[:LIST]] [--short-report[=LIST]]\n"
    "                      [--drop-after N[:LIST]] [--refuse[=LIST]]\n"
    "  or:  velmar-dds-sim --help | --version\n"
    "\n"
    "Serves N simulated instruments (default 1) on the sockets dds0 .. dds<N-1> in DIR\n"
    "(default: the library's device directory, $VELMAR_DDS_DEVICE_DIR, else\n"
    "$XDG_RUNTIME_DIR/velmar-dds, else /tmp/velmar-dds-<uid>) until SIGINT or SIGTERM,\n"
    "then removes them. SIGHUP power-cycles the instruments. Each instrument serves at\n"
    "most 16 connections at a time; further ones wait until one closes. No answer is\n"
    "dropped: a host that does not read its answers is not read until it does.\n"
    "Whole numbers are decimal (a leading zero too) or hexadecimal after 0x.\n"
    "\n"
    "Options:\n"
    "  --dir DIR              where the sockets go (default above)\n"
    "  --count N              the number of instruments (default 1, at most 64)\n"
    "  --trace                print each message received, decoded, one line each; of\n"
    "                         a download, the length header and the block that\n"
    "                         completes it\n"
    "  --trace=all            the same with every sample block\n"
    "  --digital-in WORD      the word on the digital input port (decimal or 0x...)\n"
    "  --input-hz F           feed the frequency meter an external signal of F Hz\n"
    "                         instead of the generator's own output (0: no signal)\n"
    "\n"
    "Faults, each on every instrument, or with a LIST of instrument indices separated\n"
    "by commas only on those: --silent=1 silences dds1, --delay-ms 1500:0,2 (or\n"
    "--delay-ms=1500:0,2) delays dds0 and dds2. Where two options set one fault of\n"
    "one instrument, the later one counts.\n"
    "  --silent[=LIST]        never answer\n"
    "  --delay-ms MS[:LIST]   answer every message MS milliseconds late\n"
    "  --ack-limit N[:LIST]   acknowledge only the first N blocks of each download\n"
    "  --short-report[=LIST]  answer control packets with 6 bytes instead of 10\n"
    "  --drop-after N[:LIST]  hang up each connection after answering N messages,\n"
    "                         counted for each connection on its own\n"
    "  --refuse[=LIST]        accept no connection (the socket exists, opening fails)\n";

static_assert(velmar::sim::SimServer::kMaxConnectionsPerInstrument == 16,
              "the usage text states the connection cap");

velmar::sim::SimServer* g_server = nullptr;

extern "C" void OnSignal(int signal_number) {
    if (g_server == nullptr) return;
    if (signal_number == SIGHUP) {
        g_server->RequestPowerCycle();
    } else {
        g_server->Stop();
    }
}

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "velmar-dds-sim: %s (see velmar-dds-sim --help)\n", message.c_str());
    std::exit(2);
}

unsigned long ParseUnsigned(const std::string& option, const std::string& text, unsigned long max) {
    const std::optional<unsigned long> value = velmar::tool::ParseWholeNumber(text, max);
    if (!value) {
        UsageError(option + " wants a whole number up to " + std::to_string(max) +
                   " (decimal or 0x...), not '" + text + "'");
    }
    return *value;
}

using velmar::sim::InstrumentFaults;

// A fault option as given: what it sets, on which instruments (none listed:
// on every one).
struct FaultOption {
    std::string name;
    std::vector<int> instruments;
    std::function<void(InstrumentFaults&)> apply;
};

struct FlagFault {
    const char* name;
    void (*set)(InstrumentFaults&);
};

const FlagFault kFlagFaults[] = {
    {"--silent", [](InstrumentFaults& f) { f.faults.silent = true; }},
    {"--short-report", [](InstrumentFaults& f) { f.faults.short_report = true; }},
    {"--refuse", [](InstrumentFaults& f) { f.refuse = true; }},
};

struct ValuedFault {
    const char* name;
    unsigned long max;
    void (*set)(InstrumentFaults&, uint32_t);
};

const ValuedFault kValuedFaults[] = {
    {"--delay-ms", 600000, [](InstrumentFaults& f, uint32_t v) { f.faults.delay_ms = v; }},
    {"--ack-limit", 1u << 20, [](InstrumentFaults& f, uint32_t v) { f.faults.ack_limit = v; }},
    {"--drop-after", 1u << 20, [](InstrumentFaults& f, uint32_t v) { f.faults.drop_after = v; }},
};

// "0,2": the instruments an option is for. Whether each exists is known once
// --count is read, which may come later.
std::vector<int> ParseInstruments(const std::string& option, const std::string& list) {
    std::vector<int> instruments;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::optional<unsigned long> index = velmar::tool::ParseWholeNumber(
            list.substr(start, comma - start), velmar::sim::SimServer::kMaxInstruments - 1);
        if (!index) {
            UsageError(option + " wants instrument indices from 0 to " +
                       std::to_string(velmar::sim::SimServer::kMaxInstruments - 1) +
                       " separated by commas, not '" + list + "'");
        }
        instruments.push_back(static_cast<int>(*index));
        if (comma == std::string::npos) return instruments;
        start = comma + 1;
    }
}

// The fault option `arg` (taking its value from `value` when it is not
// joined by '='), or nothing when `arg` is no fault option.
template <typename NextValue>
std::optional<FaultOption> ParseFault(const std::string& arg, NextValue&& value) {
    for (const FlagFault& flag : kFlagFaults) {
        const std::string name = flag.name;
        if (arg == name) return FaultOption{name, {}, flag.set};
        if (arg.rfind(name + "=", 0) == 0)
            return FaultOption{name, ParseInstruments(name, arg.substr(name.size() + 1)), flag.set};
    }
    for (const ValuedFault& valued : kValuedFaults) {
        const std::string name = valued.name;
        std::string text;
        if (arg == name) {
            text = value();
        } else if (arg.rfind(name + "=", 0) == 0) {
            text = arg.substr(name.size() + 1);
        } else {
            continue;
        }
        const size_t colon = text.find(':');
        const auto number =
            static_cast<uint32_t>(ParseUnsigned(name, text.substr(0, colon), valued.max));
        const auto set = valued.set;
        return FaultOption{name,
                           colon == std::string::npos
                               ? std::vector<int>{}
                               : ParseInstruments(name, text.substr(colon + 1)),
                           [set, number](InstrumentFaults& f) { set(f, number); }};
    }
    return std::nullopt;
}

// Every instrument's faults, the options applied in the order given.
std::map<int, InstrumentFaults> FaultsByInstrument(const std::vector<FaultOption>& options,
                                                   int count) {
    for (const FaultOption& option : options) {
        for (int index : option.instruments) {
            if (index >= count) {
                UsageError(option.name + " names instrument " + std::to_string(index) +
                           ", but there are " + std::to_string(count) + " (--count)");
            }
        }
    }
    std::map<int, InstrumentFaults> faults;
    for (int i = 0; i < count; ++i) {
        for (const FaultOption& option : options) {
            const auto& listed = option.instruments;
            if (listed.empty() || std::find(listed.begin(), listed.end(), i) != listed.end())
                option.apply(faults[i]);
        }
    }
    return faults;
}

// ", refusing connections" and on which instruments, if any refuse.
std::string RefusingNote(const std::map<int, InstrumentFaults>& faults, int count) {
    std::string refusing;
    int refusing_count = 0;
    for (const auto& instrument : faults) {
        if (!instrument.second.refuse) continue;
        refusing += (refusing.empty() ? " on dds" : ", dds") + std::to_string(instrument.first);
        ++refusing_count;
    }
    if (refusing_count == 0) return "";
    return ", refusing connections" + (refusing_count == count ? std::string() : refusing);
}

}  // namespace

int main(int argc, char** argv) {
    velmar::sim::ServerOptions options;
    options.dir = velmar::DeviceDirectory();
    bool trace = false;
    bool trace_all = false;
    std::vector<FaultOption> fault_options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--dir") {
            options.dir = value();
        } else if (arg == "--count") {
            options.count = static_cast<int>(
                ParseUnsigned(arg, value(), velmar::sim::SimServer::kMaxInstruments));
            if (options.count == 0) UsageError("--count must be at least 1");
        } else if (arg == "--version") {
            std::fputs(velmar::tool::VersionText("velmar-dds-sim", nullptr).c_str(), stdout);
            return 0;
        } else if (arg == "--trace" || arg == "--trace=all") {
            trace = true;
            trace_all = arg == "--trace=all";
        } else if (arg == "--digital-in") {
            options.digital_in = static_cast<uint16_t>(ParseUnsigned(arg, value(), 0xFFFF));
        } else if (arg == "--input-hz") {
            const char* text = value();
            char* end = nullptr;
            const double hz = std::strtod(text, &end);
            if (end == text || *end != '\0' || !std::isfinite(hz) || hz < 0.0) {
                UsageError(std::string("--input-hz wants a frequency in hertz, not '") + text +
                           "'");
            }
            if (!velmar::sim::InstrumentModel::MeterCanCount(hz)) {
                char range[96];
                std::snprintf(range, sizeof(range), "from %.4g Hz to %.10g Hz, or 0 for no signal",
                              velmar::sim::InstrumentModel::kLowestCountableHz,
                              velmar::sim::InstrumentModel::kHighestCountableHz);
                UsageError(std::string("--input-hz ") + text +
                           " is beyond what the meter counts: give a frequency " + range);
            }
            options.input_hz = hz;
        } else if (std::optional<FaultOption> fault = ParseFault(arg, value)) {
            fault_options.push_back(std::move(*fault));
        } else {
            UsageError("unknown option '" + arg + "'");
        }
    }
    if (options.dir.empty()) UsageError("--dir must not be empty");
    options.own_faults = FaultsByInstrument(fault_options, options.count);
    options.trace_every_block = trace_all;
    if (trace) {
        options.trace = [](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
    }

    velmar::sim::SimServer server(options);
    // Handlers first: a signal that comes while the sockets are being made
    // still stops the server, which then removes them.
    g_server = &server;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!server.Start(&error)) {
        g_server = nullptr;
        std::fprintf(stderr, "velmar-dds-sim: %s\n", error.c_str());
        return 1;
    }

    std::fprintf(stderr, "velmar-dds-sim: serving %d instrument%s in %s%s (stop with Ctrl-C)\n",
                 options.count, options.count == 1 ? "" : "s", options.dir.c_str(),
                 RefusingNote(options.own_faults, options.count).c_str());
    server.Run();
    g_server = nullptr;
    server.Shutdown();
    std::fprintf(stderr, "velmar-dds-sim: stopped, sockets removed\n");
    return 0;
}
