// velmar-dds-scpi: each instrument as a SCPI raw-socket instrument,
// instrument i on port 5025 + i, until SIGINT or SIGTERM (Ctrl-C on Windows).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "command_table.h"
#include "net_util.h"
#include "parse_number.h"
#include "server.h"
#include "velmar/dds.h"
#include "version.h"
#include "wave/wave.h"

namespace {

const char kUsage[] =
    "usage: velmar-dds-scpi [--listen ADDR]... [--port PORT]\n"
    "                       [--instruments N | --device N[,M...]...] [--allow CIDR]...\n"
    "                       [--max-clients N] [--idle-timeout SECONDS]\n"
    "                       [--write-timeout SECONDS] [--full-scale-vpp V]\n"
    "                       [--serial N=TEXT]... [--http PORT|any] [--http-read-only]\n"
    "                       [--vxi11-port PORT | --no-vxi11]\n"
    "                       [--instrument-address N=ADDR]... [--no-advertise]\n"
    "                       [--verbose]\n"
    "  or:  velmar-dds-scpi --help | --version\n"
    "\n"
    "Serves each instrument as a SCPI raw-socket instrument: instrument i on TCP\n"
    "port PORT + i (default 5025 + i). Each instrument has a session of its own and\n"
    "is served while another one is waiting for answers. The server looks for\n"
    "instruments again every 2 seconds, and at once when a client comes to the port\n"
    "of one that is not there: an instrument that comes later is served on its port,\n"
    "and one that is not there answers -241 until it is.\n"
    "\n"
    "  --listen ADDR        listen on ADDR (repeatable; default 127.0.0.1 and ::1).\n"
    "                       --listen 0.0.0.0 exposes the instruments to the network.\n"
    "  --port PORT          the port of instrument 0 (0: any free port each, logged);\n"
    "                       every instrument's port must be at most 65535\n"
    "  --instruments N      serve instruments 0 .. N-1, found or not (default: as\n"
    "                       many as the search at start finds, at least 1)\n"
    "  --device N[,M...]    serve these instruments only, found or not (repeatable)\n"
    "  --allow CIDR         accept only peers in CIDR, e.g. 192.168.1.0/24 or ::1\n"
    "                       (repeatable; default: any peer that reaches the address)\n"
    "  --max-clients N      connections at once, over all instruments (default 16).\n"
    "                       One peer address holds more than half of them only while\n"
    "                       no other peer wants one: then its newest is closed.\n"
    "  --idle-timeout S     close a connection that has sent no whole message and\n"
    "                       taken no answer for S seconds (default 600; 0: never)\n"
    "  --write-timeout S    close a connection that has not taken its answers within\n"
    "                       S seconds (default 30; 0: never)\n"
    "  --http PORT|any      the front panel, a web page per instrument, on PORT of\n"
    "                       the same --listen addresses under the same --allow\n"
    "                       (default 8080; 0: no front panel; any: a free port,\n"
    "                       logged). It answers only requests addressed to this\n"
    "                       machine's names or addresses (Host), and takes changes\n"
    "                       only from its own pages (Origin and a token made at\n"
    "                       each start)\n"
    "  --http-read-only     the front panel shows everything and changes nothing;\n"
    "                       the SCPI ports stay writable to every peer that\n"
    "                       reaches them\n"
    "  --full-scale-vpp V   the peak-to-peak volts at the output when the samples\n"
    "                       span the whole 16-bit range (default 1); the instrument\n"
    "                       does not report its analog range, so say it once here\n"
    "  --serial N=TEXT      *IDN?'s serial field for instrument N (repeatable;\n"
    "                       default: the device's name, such as dds0)\n"
    "  --vxi11-port PORT    VXI-11, VISA's TCPIP::host::instN::INSTR (instrument N;\n"
    "                       TCPIP::host::INSTR is inst0), on PORT of the same\n"
    "                       --listen addresses under the same --allow (default 0:\n"
    "                       any free port, logged). Clients find it through the\n"
    "                       portmapper: the server registers with rpcbind when it\n"
    "                       runs, else answers on port 111 itself when it may\n"
    "                       bind it (lxi discover needs --listen 0.0.0.0)\n"
    "  --instrument-address N=ADDR\n"
    "                       instrument N also stands alone at ADDR, an address of\n"
    "                       this host that --listen covers: there inst0 is\n"
    "                       instrument N (TCPIP::ADDR::INSTR), and lxi discover's\n"
    "                       broadcast finds it at ADDR where the server answers\n"
    "                       port 111 itself (repeatable)\n"
    "  --no-vxi11           no VXI-11 and no portmapper\n"
    "  --no-advertise       do not advertise the instruments over mDNS/DNS-SD\n"
    "                       (_scpi-raw._tcp, _lxi._tcp, _vxi-11._tcp, _http._tcp:\n"
    "                       with avahi-daemon, when listening beyond loopback)\n"
    "  --verbose            log every command with its answer and errors\n"
    "\n"
    "Whole numbers are decimal, or hexadecimal after 0x. A message is at most\n"
    "1 MiB; a block declared longer closes its connection.\n"
    "\n"
    "A raw SCPI socket has no authentication: anyone who reaches the port drives\n"
    "the instrument, and so does whoever reaches the front panel's port with a web\n"
    "browser or the VXI-11 port with VISA. Keep them on loopback, on a lab\n"
    "network, or behind --allow.\n";

// One line, as the other programs say it.
[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "velmar-dds-scpi: %s (see velmar-dds-scpi --help)\n", message.c_str());
    std::exit(2);
}

unsigned long WholeNumber(const std::string& option, const std::string& text, unsigned long max) {
    const std::optional<unsigned long> value = velmar::tool::ParseWholeNumber(text, max);
    if (!value) {
        UsageError(option + " wants a whole number from 0 to " + std::to_string(max) + ", not '" +
                   text + "'");
    }
    return *value;
}

// A limit of seconds, up to a year.
std::chrono::seconds Limit(const std::string& option, const std::string& text) {
    return std::chrono::seconds(WholeNumber(option, text, 366UL * 24 * 3600));
}

}  // namespace

// The command table as the manual writes it, for --help and the man page
// made from it: a query's row ends in "?".
void PrintCommands() {
    std::fputs("\nCommands (capitals: the short form; [ ]: optional):\n", stdout);
    std::string line = " ";
    for (const velmar::scpi::Command& command : velmar::scpi::CommandTable()) {
        std::string entry = std::string(" ") + command.pattern +
                            (command.form == velmar::scpi::Form::kQuery ||
                                     command.form == velmar::scpi::Form::kQueryRange
                                 ? "?"
                                 : "");
        if (line.size() + entry.size() > 79) {
            std::fputs((line + "\n").c_str(), stdout);
            line = " ";
        }
        line += entry;
    }
    std::fputs((line + "\n").c_str(), stdout);
}

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
            PrintCommands();
            return 0;
        } else if (arg == "--version") {
            std::fputs(velmar::tool::VersionText("velmar-dds-scpi",
                                                 reinterpret_cast<const void*>(&velmar_dds_version))
                           .c_str(),
                       stdout);
            return 0;
        } else if (arg == "--listen") {
            if (!listen_given) options.listen.clear();
            listen_given = true;
            options.listen.push_back(value());
        } else if (arg == "--port") {
            options.port = static_cast<uint16_t>(WholeNumber(arg, value(), 65535));
        } else if (arg == "--instruments") {
            options.instruments = static_cast<int>(WholeNumber(arg, value(), 256));
            if (options.instruments == 0) UsageError("--instruments must be at least 1");
        } else if (arg == "--device") {
            // Repeated, or a list: --device 0,2
            const std::string list = value();
            size_t start = 0;
            while (true) {
                const size_t comma = list.find(',', start);
                options.devices.push_back(
                    static_cast<int>(WholeNumber(arg, list.substr(start, comma - start), 255)));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (arg == "--allow") {
            const std::string text = value();
            const auto range = velmar::scpi::AddressRange::Parse(text);
            if (!range) UsageError("--allow: '" + text + "' is not an address or CIDR range");
            options.allow.push_back(*range);
        } else if (arg == "--max-clients") {
            options.max_clients = WholeNumber(arg, value(), 100000);
            if (options.max_clients == 0) UsageError("--max-clients must be at least 1");
        } else if (arg == "--idle-timeout") {
            options.idle_timeout = Limit(arg, value());
        } else if (arg == "--write-timeout") {
            options.write_timeout = Limit(arg, value());
        } else if (arg == "--http") {
            const std::string text = value();
            options.http_any_port = text == "any";
            options.http_port =
                options.http_any_port ? 0 : static_cast<uint16_t>(WholeNumber(arg, text, 65535));
        } else if (arg == "--http-read-only") {
            options.http_read_only = true;
        } else if (arg == "--full-scale-vpp") {
            const std::string text = value();
            const size_t digits = velmar::wave::DecimalPrefix(text);
            const double volts = digits == text.size() ? std::strtod(text.c_str(), nullptr) : 0.0;
            if (!(volts > 0.0 && volts <= 1000.0)) {
                UsageError("--full-scale-vpp wants volts above 0 and at most 1000, not '" + text +
                           "'");
            }
            options.full_scale_vpp = volts;
        } else if (arg == "--serial") {
            const std::string text = value();
            const size_t equals = text.find('=');
            if (equals == std::string::npos)
                UsageError("--serial wants N=TEXT, not '" + text + "'");
            const std::string serial = text.substr(equals + 1);
            if (serial.empty() || serial.size() > 32 ||
                serial.find_first_of(",;\"'\n\r") != std::string::npos) {
                UsageError("--serial: '" + serial +
                           "' must be 1 to 32 characters with no comma, semicolon or quote");
            }
            options.serials[static_cast<int>(WholeNumber(arg, text.substr(0, equals), 255))] =
                serial;
        } else if (arg == "--vxi11-port") {
            options.vxi11_port = static_cast<uint16_t>(WholeNumber(arg, value(), 65535));
        } else if (arg == "--instrument-address") {
            const std::string text = value();
            const size_t equals = text.find('=');
            boost::system::error_code ec;
            const auto address = boost::asio::ip::make_address(text.substr(equals + 1), ec);
            if (equals == std::string::npos || ec || address.is_unspecified() ||
                address.is_multicast()) {
                UsageError(
                    "--instrument-address wants N=ADDR with ADDR one address of this host, "
                    "not '" +
                    text + "'");
            }
            const int index = static_cast<int>(WholeNumber(arg, text.substr(0, equals), 255));
            if (options.own_addresses.count(index) != 0) {
                UsageError("--instrument-address: instrument " + std::to_string(index) +
                           " has an address already");
            }
            for (const auto& [other, taken] : options.own_addresses) {
                if (taken == address) {
                    UsageError("--instrument-address: " + address.to_string() + " is instrument " +
                               std::to_string(other) + "'s already");
                }
            }
            options.own_addresses[index] = address;
        } else if (arg == "--no-vxi11") {
            options.vxi11 = false;
        } else if (arg == "--no-advertise") {
            options.advertise = false;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            UsageError("unknown argument '" + arg + "'");
        }
    }
    if (options.instruments != 0 && !options.devices.empty()) {
        UsageError("--instruments and --device both say which instruments: give one");
    }
    for (const auto& [index, address] : options.own_addresses) {
        const bool served = options.devices.empty()
                                ? options.instruments == 0 || index < options.instruments
                                : std::find(options.devices.begin(), options.devices.end(),
                                            index) != options.devices.end();
        if (!served) {
            UsageError("--instrument-address: instrument " + std::to_string(index) +
                       " is not served (--instruments, --device)");
        }
        if (!velmar::scpi::ListenCovers(options.listen, address)) {
            UsageError("--instrument-address " + address.to_string() +
                       " is not among the --listen addresses (add --listen " + address.to_string() +
                       ", or 0.0.0.0 / ::)");
        }
    }
    velmar::scpi::Server server(options, std::cerr);
    std::string error;
    if (!server.Start(&error)) {
        std::cerr << "velmar-dds-scpi: " << error << "\n";
        return 1;
    }
    if (server.Run() == velmar::scpi::RunEnd::kCallsAbandoned) {
        // A library call still waits on an instrument: the process ends
        // without it, its log complete to the last line.
        std::cerr.flush();
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
