// velmar-dds-scpi: each attached instrument as a SCPI raw-socket instrument,
// instrument i on port 5025 + i, until SIGINT or SIGTERM (Ctrl-C on Windows).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "server.h"

namespace {

const char kUsage[] =
    "usage: velmar-dds-scpi [--listen ADDR]... [--port PORT] [--device N]...\n"
    "                       [--allow CIDR]... [--max-clients N] [--verbose]\n"
    "\n"
    "Serves each instrument the library finds as a SCPI raw-socket instrument:\n"
    "instrument i on TCP port PORT + i (default 5025 + i). Each instrument has a\n"
    "session of its own and is served while another one is waiting for answers.\n"
    "\n"
    "  --listen ADDR      listen on ADDR (repeatable; default 127.0.0.1 and ::1).\n"
    "                     --listen 0.0.0.0 exposes the instruments to the network.\n"
    "  --port PORT        the port of instrument 0 (0: any free port, logged)\n"
    "  --device N[,M...]  serve these instruments only (repeatable; default: all found)\n"
    "  --allow CIDR       accept only peers in CIDR, e.g. 192.168.1.0/24 or ::1\n"
    "                     (repeatable; default: any peer that reaches the address)\n"
    "  --max-clients N    connections at once, over all instruments (default 16)\n"
    "  --verbose          log every command with its answer and errors\n"
    "\n"
    "A raw SCPI socket has no authentication: anyone who reaches the port drives\n"
    "the instrument. Keep it on loopback, on a lab network, or behind --allow.\n";

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "velmar-dds-scpi: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

unsigned long ParseUnsigned(const std::string& option, const std::string& text, unsigned long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || text.empty() || *end != '\0' || text[0] == '-' || value > max) {
        UsageError(option + " wants a whole number up to " + std::to_string(max) + ", not '" +
                   text + "'");
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    velmar::scpi::ServerOptions options;
    bool listen_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--listen") {
            if (!listen_given) options.listen.clear();
            listen_given = true;
            options.listen.push_back(value());
        } else if (arg == "--port") {
            options.port = static_cast<uint16_t>(ParseUnsigned(arg, value(), 65535));
        } else if (arg == "--device") {
            // Repeated, or a list: --device 0,2
            const std::string list = value();
            size_t start = 0;
            while (true) {
                const size_t comma = list.find(',', start);
                options.devices.push_back(
                    static_cast<int>(ParseUnsigned(arg, list.substr(start, comma - start), 255)));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (arg == "--allow") {
            const std::string text = value();
            const auto range = velmar::scpi::AddressRange::Parse(text);
            if (!range) UsageError("--allow: '" + text + "' is not an address or CIDR range");
            options.allow.push_back(*range);
        } else if (arg == "--max-clients") {
            options.max_clients = ParseUnsigned(arg, value(), 100000);
            if (options.max_clients == 0) UsageError("--max-clients must be at least 1");
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            UsageError("unknown argument '" + arg + "'");
        }
    }
    velmar::scpi::Server server(options, std::cerr);
    std::string error;
    if (!server.Start(&error)) {
        std::cerr << "velmar-dds-scpi: " << error << "\n";
        return 1;
    }
    server.Run();
    return 0;
}
