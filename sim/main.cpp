// velmar-dds-sim: simulated instruments on the sockets of a device directory,
// served until SIGINT or SIGTERM, then removed. SIGHUP power-cycles them.

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "device/device_directory.h"
#include "parse_number.h"
#include "sim_server.h"
#include "version.h"

namespace {

const char kUsage[] =
    "Usage: velmar-dds-sim [--dir DIR] [--count N] [--trace[=all]] [--digital-in WORD]\n"
    "                      [--input-hz F] [--silent] [--delay-ms MS] [--ack-limit N]\n"
    "                      [--short-report] [--drop-after N] [--refuse]\n"
    "  or:  velmar-dds-sim --help | --version\n"
    "\n"
    "Serves N simulated instruments (default 1) on the sockets dds0 .. dds<N-1> in DIR\n"
    "(default: the library's device directory, $VELMAR_DDS_DEVICE_DIR, else\n"
    "$XDG_RUNTIME_DIR/velmar-dds, else /tmp/velmar-dds-<uid>) until SIGINT or SIGTERM,\n"
    "then removes them. SIGHUP power-cycles the instruments. Each instrument serves at\n"
    "most 16 connections at a time; further ones wait until one closes.\n"
    "Whole numbers are decimal (a leading zero too) or hexadecimal after 0x.\n"
    "\n"
    "Options:\n"
    "  --dir DIR          where the sockets go (default above)\n"
    "  --count N          the number of instruments (default 1, at most 64)\n"
    "  --trace            print each message received, decoded, one line each; of a\n"
    "                     download, the length header and the block that completes it\n"
    "  --trace=all        the same with every sample block\n"
    "  --digital-in WORD  the word on the digital input port (decimal or 0x...)\n"
    "  --input-hz F       feed the frequency meter an external signal of F Hz\n"
    "                     instead of the generator's own output (0: no signal)\n"
    "\n"
    "Faults:\n"
    "  --silent           never answer\n"
    "  --delay-ms MS      answer every message MS milliseconds late\n"
    "  --ack-limit N      acknowledge only the first N blocks of each download\n"
    "  --short-report     answer control packets with 6 bytes instead of 10\n"
    "  --drop-after N     hang up each connection after answering N messages\n"
    "  --refuse           accept no connection (the sockets exist, opening fails)\n";

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

unsigned long ParseUnsigned(const char* option, const char* text, unsigned long max) {
    const std::optional<unsigned long> value = velmar::tool::ParseWholeNumber(text, max);
    if (!value) {
        UsageError(std::string(option) + " wants a whole number up to " + std::to_string(max) +
                   " (decimal or 0x...), not '" + text + "'");
    }
    return *value;
}

}  // namespace

int main(int argc, char** argv) {
    velmar::sim::ServerOptions options;
    options.dir = velmar::DeviceDirectory();
    bool trace = false;
    bool trace_all = false;
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
                ParseUnsigned("--count", value(), velmar::sim::SimServer::kMaxInstruments));
            if (options.count == 0) UsageError("--count must be at least 1");
        } else if (arg == "--version") {
            std::fputs(velmar::tool::VersionText("velmar-dds-sim", nullptr).c_str(), stdout);
            return 0;
        } else if (arg == "--trace" || arg == "--trace=all") {
            trace = true;
            trace_all = arg == "--trace=all";
        } else if (arg == "--digital-in") {
            options.digital_in =
                static_cast<uint16_t>(ParseUnsigned("--digital-in", value(), 0xFFFF));
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
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--delay-ms") {
            options.faults.delay_ms =
                static_cast<uint32_t>(ParseUnsigned("--delay-ms", value(), 600000));
        } else if (arg == "--ack-limit") {
            options.faults.ack_limit =
                static_cast<uint32_t>(ParseUnsigned("--ack-limit", value(), 1u << 20));
        } else if (arg == "--short-report") {
            options.faults.short_report = true;
        } else if (arg == "--drop-after") {
            options.faults.drop_after =
                static_cast<uint32_t>(ParseUnsigned("--drop-after", value(), 1u << 20));
        } else if (arg == "--refuse") {
            options.refuse = true;
        } else {
            UsageError("unknown option '" + arg + "'");
        }
    }
    if (options.dir.empty()) UsageError("--dir must not be empty");
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
                 options.refuse ? ", refusing connections" : "");
    server.Run();
    g_server = nullptr;
    server.Shutdown();
    std::fprintf(stderr, "velmar-dds-sim: stopped, sockets removed\n");
    return 0;
}
