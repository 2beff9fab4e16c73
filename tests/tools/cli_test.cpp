// velmar-dds as a user runs it: a separate process per command line, against
// a simulated instrument served on a thread of this test. What it prints,
// its exit code, and what the instrument received or now holds.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VelmarDll.h"
#include "child_process.h"
#include "running_sim.h"

extern char** environ;

namespace velmar::simtest {
namespace {

using sim::InstrumentModel;
using sim::ServerOptions;
using Lines = std::vector<std::string>;

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

using proctest::Exists;
using proctest::ReadFile;
// A scratch directory whose files go with it.
using ScratchDir = proctest::TempDir;

// Runs the tool with `input` on its standard input.
ToolRun Tool(const std::vector<std::string>& args, const std::string& input = "") {
    ScratchDir scratch;
    const std::string in = scratch.File("in");
    std::ofstream(in) << input;
    proctest::ChildProcess tool(scratch, "tool", VELMAR_TOOL_BINARY, args, in);
    ToolRun run;
    run.exit_code = tool.Join();
    run.out = tool.out();
    run.err = tool.err();
    return run;
}

// Runs the tool on a terminal (a pseudo-terminal as its standard input,
// output and error), types `input` and returns all that the terminal showed.
std::string ToolOnTerminal(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv_text = {VELMAR_TOOL_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (!input.empty() && write(terminal, input.data(), input.size()) < 0) return "";
    std::string text;
    char buffer[256];
    ssize_t got;
    // Ends with EIO once the tool has exited and closed its side.
    while ((got = read(terminal, buffer, sizeof(buffer))) > 0) text.append(buffer, got);
    close(terminal);
    waitpid(pid, nullptr, 0);
    return text;
}

// The tool keeps each instrument's state on the host between runs; every
// run of this suite keeps it in a directory of the suite's own, never among
// the user's records.
class StateDirectory : public ::testing::Environment {
  public:
    static const std::string& path() { return path_; }

    void SetUp() override {
        char pattern[] = "/tmp/velmar-cli-state-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        path_ = pattern;
        setenv("VELMAR_DDS_STATE_DIR", path_.c_str(), 1);
    }
    void TearDown() override {
        for (const std::string& name : Records()) unlink((path_ + "/" + name).c_str());
        rmdir(path_.c_str());
    }

    // The names of the records kept there.
    static std::vector<std::string> Records() {
        std::vector<std::string> names;
        DIR* dir = opendir(path_.c_str());
        if (dir == nullptr) return names;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
        return names;
    }

  private:
    static std::string path_;
};
std::string StateDirectory::path_;
[[maybe_unused]] ::testing::Environment* const kStateDirectory =
    ::testing::AddGlobalTestEnvironment(new StateDirectory);

ServerOptions Instruments(int count) {
    ServerOptions options;
    options.count = count;
    return options;
}

// How often `part` stands in `text`.
size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

ServerOptions Bench() {
    ServerOptions options;
    options.digital_in = 0x5A3C;
    return options;
}

// ---- No instrument needed ---------------------------------------------------------

TEST(CliPlanTest, PlanForOneKilohertz) {
    setenv("VELMAR_DDS_DEVICE_DIR", "/nonexistent/velmar-dds", 1);
    const ToolRun run = Tool({"plan", "1000"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out,
              "requested     1000.00 Hz\n"
              "divider       48\n"
              "length        2083 samples\n"
              "periods       1\n"
              "sample clock  2.083 MHz\n"
              "produced      1000.16 Hz\n"
              "error         +160 ppm\n");
    EXPECT_EQ(run.err, "");
}

TEST(CliPlanTest, FrequencySuffixesAndTheHighBranch) {
    const struct {
        const char* hz;
        const char* lines;
    } cases[] = {
        {"3M",
         "periods       61\nsample clock  200 MHz\nproduced      3000491.88 Hz\nerror         +164 "
         "ppm\n"},
        {"12.5k", "divider       3\nlength        2666 samples\n"},
        {"100000", "divider       0\nlength        2000 samples\n"},
        {"48828.125Hz",
         "divider       1\nlength        2048 samples\nperiods       1\nsample clock  100 MHz\n"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool({"plan", c.hz});
        EXPECT_EQ(run.exit_code, 0) << c.hz << run.err;
        EXPECT_NE(run.out.find(c.lines), std::string::npos) << c.hz << "\n" << run.out;
    }
}

// Units as SCPI writes them, in any case: MHZ is mega, a lone "m" is
// refused, fractions of a hertz are decimals.
TEST(CliPlanTest, FrequencyUnitsAsScpiWritesThem) {
    setenv("VELMAR_DDS_DEVICE_DIR", "/nonexistent/velmar-dds", 1);
    const struct {
        const char* hz;
        const char* requested;  // the plan's first line; nullptr: refused (exit 2)
        const char* err;        // found on standard error ("" for nothing at all)
    } cases[] = {
        {"1KHZ", "requested     1000.00 Hz\n", ""},
        {"1kHz", "requested     1000.00 Hz\n", ""},
        {"1khz", "requested     1000.00 Hz\n", ""},
        {"2.5K", "requested     2500.00 Hz\n", ""},
        {"1000HZ", "requested     1000.00 Hz\n", ""},
        {"1000hz", "requested     1000.00 Hz\n", ""},
        {"3MHZ", "requested     3000000.00 Hz\n", ""},
        {"3M", "requested     3000000.00 Hz\n", ""},
        {"1.5 MHz", "requested     1500000.00 Hz\n", ""},
        {"1GHZ", "requested     1e9 Hz\n", "plays a constant, not 1e9 Hz"},
        {"0.001g", "requested     1000000.00 Hz\n", ""},
        {"12.5e3", "requested     12500.00 Hz\n", ""},
        {"+440", "requested     440.00 Hz\n", ""},
        {"0.5", "requested     0.50 Hz\n", "below 1 Hz the library plans 1 Hz"},
        // SCPI's MHZ is mega whatever its case; said so when it looks like SI's millihertz.
        {"1mHz", "requested     1000000.00 Hz\n",
         "velmar-dds: note: '1mHz' is 1000000.00 Hz: MHZ is megahertz in any case, as in SCPI (a "
         "millihertz is 0.001)\n"},
        {"2mhz", "requested     2000000.00 Hz\n", "MHZ is megahertz in any case"},
        // A lone "m" is milli to SCPI and mega to a bench user.
        {"3m", nullptr,
         "velmar-dds: '3m' is ambiguous: write 3M or 3MHz for megahertz; fractions of a hertz "
         "as decimals (0.001) (see velmar-dds plan --help)\n"},
        {"1mA", nullptr, "is not a frequency"},
        {"1 ", nullptr, "is not a frequency"},
        {" 1k", nullptr, "is not a frequency"},
        {"1kk", nullptr, "is not a frequency"},
        {"1e", nullptr, "is not a frequency"},
        {"0x10", nullptr, "is not a frequency"},
        {"inf", nullptr, "is not a frequency"},
        {"nan", nullptr, "is not a frequency"},
        {"1e400", nullptr, "is not a frequency"},
        {"1/2", nullptr, "is not a frequency"},
        {"-1kHz", nullptr, "is not a frequency"},
        {"0MHz", nullptr, "is not a frequency"},
        {"1THz", nullptr, "is not a frequency"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool({"plan", c.hz});
        EXPECT_EQ(run.exit_code, c.requested ? 0 : 2) << c.hz << run.err;
        if (c.requested) {
            EXPECT_EQ(run.out.rfind(c.requested, 0), 0u) << c.hz << "\n" << run.out;
        }
        if (*c.err == '\0') {
            EXPECT_EQ(run.err, "") << c.hz;
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << c.hz << "\n" << run.err;
        }
    }
}

TEST(CliUsageTest, WrongCommandLinesExitTwoWithOneLine) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"bogus"}, "velmar-dds: unknown command 'bogus' (see velmar-dds --help)\n"},
        {{"freq"}, "velmar-dds: missing frequency (HZ) (see velmar-dds freq --help)\n"},
        {{"plan", "abc"},
         "velmar-dds: 'abc' is not a frequency: give a positive number of hertz with HZ, KHZ, MHZ, "
         "GHZ, k, M or G in any case (1000, 0.5, 12.5k, 3MHz, 1G) (see velmar-dds plan --help)\n"},
        {{"plan", "-5"}, nullptr},
        {{"plan", "0"}, nullptr},
        {{"plan", "1e300"},
         "velmar-dds: 1e300 Hz cannot be planned: it is far above what the instrument plays (see "
         "velmar-dds plan --help)\n"},
        {{"plan", "1000", "2000"}, "velmar-dds: unexpected '2000' (see velmar-dds plan --help)\n"},
        {{"freq", "1000", "--wave", "/nonexistent.csv"}, nullptr},
        {{"freq", "1000", "--amplitude"}, nullptr},
        {{"freq", "1000", "--bits", "0"},
         "velmar-dds: --bits must be a whole number from 1 to 16 (decimal or 0x...), not '0' (see "
         "velmar-dds freq --help)\n"},
        {{"freq", "1000", "--bits", "40"},
         "velmar-dds: --bits must be a whole number from 1 to 16 (decimal or 0x...), not '40' (see "
         "velmar-dds freq --help)\n"},
        {{"dio-out", "0x10000"}, nullptr},
        {{"dio-out", "-1"}, nullptr},
        {{"dio-out", "0x0x10"}, nullptr},  // strtoul alone would take a second 0x
        {{"single", "maybe"},
         "velmar-dds: say on or off, not 'maybe' (see velmar-dds single --help)\n"},
        {{"dio-mode", "on"}, nullptr},
        {{"power-on", "now"}, nullptr},
        {{"divider", "65536"}, nullptr},
        {{"list", "+"}, "velmar-dds: a '+' needs a command on each side\n"},
        {{"--device"}, nullptr},
        {{"--device", "x", "list"},
         "velmar-dds: --device wants an instrument's index in the list (0 for the first), not "
         "'x'\n"},
        {{"--device", "4294967296", "list"}, nullptr},
        {{"list", "+", "--device", "1"}, "velmar-dds: a '+' needs a command on each side\n"},
        {{"--bogus", "list"}, "velmar-dds: unknown option '--bogus' (see velmar-dds --help)\n"},
        {{"shell", "+", "list"},
         "velmar-dds: shell runs alone, not inside a chain or another shell\n"},
        {{"freq", "1000", "--raw"},
         "velmar-dds: --raw needs a file of DAC codes: --wave FILE.csv (see velmar-dds freq "
         "--help)\n"},
        {{"freq", "1000", "--raw", "--wave", "square"},
         "velmar-dds: --raw needs a file of DAC codes, not the shape square (see velmar-dds freq "
         "--help)\n"},
        {{"freq", "1000", "--raw", "--wave", "codes.csv", "--amplitude", "0.5"},
         "velmar-dds: --raw plays the file's codes as they are: --amplitude and --offset do not "
         "apply (see velmar-dds freq --help)\n"},
        {{"sweep", "1k"}, "velmar-dds: missing STOP (Hz) (see velmar-dds sweep --help)\n"},
        {{"sweep", "1k", "10k", "--steps", "1"},
         "velmar-dds: --steps must be a whole number from 2 to 1000 (decimal or 0x...), not '1' "
         "(see velmar-dds sweep --help)\n"},
        {{"sweep", "1k", "10k", "--steps", "5", "--step", "1k"},
         "velmar-dds: give the number of points or the step, not both (see velmar-dds sweep "
         "--help)\n"},
        {{"sweep", "1k", "10k", "--step", "1k", "--log"},
         "velmar-dds: a log sweep is given in points, not in a step of hertz (see velmar-dds "
         "sweep --help)\n"},
        {{"sweep", "1", "10k", "--step", "1"},
         "velmar-dds: a step of 1 Hz from 1 to 10000 Hz gives more than 1000 points (see "
         "velmar-dds sweep --help)\n"},
        {{"sweep", "1k", "10k", "--dwell", "-1"},
         "velmar-dds: --dwell wants seconds from 0 to 3600, not '-1' (see velmar-dds sweep "
         "--help)\n"},
        {{"sweep", "1k", "10k", "--dwell", "1e9"}, nullptr},
        {{"sleep"}, "velmar-dds: missing SECONDS (see velmar-dds sleep --help)\n"},
        {{"sleep", "soon"},
         "velmar-dds: SECONDS must be a number from 0 to 3600, not 'soon' (see velmar-dds sleep "
         "--help)\n"},
        {{"sleep", "3601"}, nullptr},
        {{"sleep", "1", "2"}, "velmar-dds: unexpected '2' (see velmar-dds sleep --help)\n"},
        {{"help", "bogus"}, "velmar-dds: unknown command 'bogus' (see velmar-dds help --help)\n"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 2) << c.args[0] << " " << run.err;
        if (c.message) {
            EXPECT_EQ(run.err, c.message);
        } else {
            EXPECT_EQ(run.err.rfind("velmar-dds: ", 0), 0u) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
        EXPECT_EQ(run.out, "");
    }
    const ToolRun bare = Tool({});
    EXPECT_EQ(bare.exit_code, 2);
    EXPECT_NE(bare.out.find("Usage: velmar-dds"), std::string::npos);
}

TEST(CliPlanTest, WarnsWhereThePlanIsNotWhatPlays) {
    setenv("VELMAR_DDS_DEVICE_DIR", "/nonexistent/velmar-dds", 1);
    const struct {
        const char* hz;
        const char* line;  // one line of the plan
        const char* err;   // the warning or note, whole
    } cases[] = {
        {"1e13", "requested     10e12 Hz\n",
         "velmar-dds: warning: more than half a period per sample (204800000 periods in 4096 "
         "samples) puts every sample on the same phase: the instrument plays a constant, not 10e12 "
         "Hz (the highest this divider can represent is 100 MHz)\n"},
        {"150M", "periods       3072\n",
         "velmar-dds: warning: more than half a period per sample (3072 periods in 4096 samples): "
         "the instrument plays an alias at 50000000.00 Hz, not 150000000.00 Hz (the highest this "
         "divider can represent is 100 MHz)\n"},
        {"100M", "periods       2048\n",
         "velmar-dds: warning: 2 samples per period, the highest frequency this divider can "
         "represent: the wave is only a rough shape (a sine can come out flat)\n"},
        {"60M", "periods       1228\n",
         "velmar-dds: warning: only 3.33 samples per period (1228 periods in 4093 samples): the "
         "wave is only a rough shape\n"},
        {"45M", "periods       921\n", ""},
        // What is produced agrees with the warning: the alias, or nothing.
        {"150M", "produced      50000000.00 Hz: plays an alias, not the planned 150000000.00 Hz\n",
         "velmar-dds: warning: more than half a period per sample (3072 periods in 4096 samples): "
         "the instrument plays an alias at 50000000.00 Hz, not 150000000.00 Hz (the highest this "
         "divider can represent is 100 MHz)\n"},
        {"1e14",
         "produced      0.00 Hz: plays a constant, not the planned 100e12 Hz\nerror"
         "         -1000000 ppm\n",
         "velmar-dds: warning: more than half a period per sample (2048000000 periods in 4096 "
         "samples) puts every sample on the same phase: the instrument plays a constant, not "
         "100e12 "
         "Hz (the highest this divider can represent is 100 MHz)\n"},
        {"0.5", "produced      1.00 Hz\n",
         "velmar-dds: note: below 1 Hz the library plans 1 Hz: this is the plan for 1 Hz\n"},
        {"1e-3", "requested     1e-3 Hz\n",
         "velmar-dds: note: below 1 Hz the library plans 1 Hz: this is the plan for 1 Hz\n"},
        {"1G", "requested     1e9 Hz\n",
         "velmar-dds: warning: more than half a period per sample (20480 periods in 4096 samples) "
         "puts every sample on the same phase: the instrument plays a constant, not 1e9 Hz (the "
         "highest this divider can represent is 100 MHz)\n"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool({"plan", c.hz});
        EXPECT_EQ(run.exit_code, 0) << c.hz;
        EXPECT_NE(run.out.find(c.line), std::string::npos) << c.hz << "\n" << run.out;
        EXPECT_EQ(run.err, c.err) << c.hz;
    }
}

TEST(CliUsageTest, VersionNamesTheLibraryInUse) {
    const ToolRun run = Tool({"--version"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(
        run.out.rfind(std::string("velmar-dds ") + VELMAR_DLL_VERSION_STRING + "\nrevision ", 0),
        0u)
        << run.out;
    // The session library of this build, loaded through the tool's own link.
    EXPECT_NE(run.out.find("\nlibrary " VELMAR_LIBRARY_DIR "/libvelmardds.so"), std::string::npos)
        << run.out;
}

TEST(CliUsageTest, EveryCommandHasHelp) {
    const ToolRun overview = Tool({"--help"});
    ASSERT_EQ(overview.exit_code, 0);
    for (const char* command : {"list", "freq", "sweep", "plan", "measure", "counter-reset",
                                "single", "trigger", "dio-mode", "dio-in", "dio-out", "power-on",
                                "divider", "clock", "shell", "help", "sleep", "demo"}) {
        EXPECT_NE(overview.out.find(std::string("\n  ") + command), std::string::npos) << command;
        const ToolRun help = Tool({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("Usage: velmar-dds [--device N] ") + command, 0), 0u)
            << help.out;
        // `help COMMAND` says the same.
        EXPECT_EQ(Tool({"help", command}).out, help.out) << command;
    }
    // `help` alone, as `--help`: the whole overview, units and all.
    EXPECT_EQ(Tool({"help"}).out, overview.out);
    EXPECT_NE(overview.out.find("HZ, KHZ, MHZ\n(megahertz, as in SCPI) or GHZ"), std::string::npos)
        << overview.out;
}

// ---- Each subcommand against the simulated instrument ------------------------------

TEST(CliTest, ListShowsTheInstruments) {
    RunningSim sim(Instruments(2));
    const ToolRun run = Tool({"list"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.rfind("2 instruments in " + sim.dir() + "\n  0  " + sim.dir() +
                                "/dds0 opens\n  1  " + sim.dir() +
                                "/dds1 opens\n"
                                "(opens: its socket takes a connection. Nothing is sent, so this "
                                "does not show\n that the instrument answers;",
                            0),
              0u)
        << run.out;
    EXPECT_TRUE(sim.TakeTrace().empty());  // opening sends nothing
}

TEST(CliTest, FreqDownloadsThePlannedSine) {
    RunningSim sim;
    const ToolRun run = Tool({"freq", "1000"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(
        run.out,
        "instrument 0: sine, 2083 samples holding 1 period, divider 48, sample clock 2.083 MHz\n"
        "produced 1000.16 Hz (error +160 ppm)\n");
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.played_length(), 2083);
        EXPECT_EQ(model.divider(), 48);
        EXPECT_EQ(model.CyclesPerLoop(), 1);
        const auto wave = model.PlayedWave();
        EXPECT_EQ(*std::max_element(wave.begin(), wave.end()), 65535);
        EXPECT_EQ(*std::min_element(wave.begin(), wave.end()), 0);
    });
}

TEST(CliTest, FreqShapesScaleAndWaveTables) {
    RunningSim sim;
    ScratchDir scratch;
    const std::string csv = scratch.File("wave.csv");
    std::ofstream(csv) << "# two bumps\n0, 1, 0, -1, 0, 0.5, 0, -0.5\n";
    const struct {
        std::vector<std::string> args;
        int high, low, tolerance;
        int cycles_per_period;
    } cases[] = {
        {{"freq", "1M", "--wave", "square", "--amplitude", "0.5", "--offset", "0.25"},
         57343,
         24576,
         0,
         1},
        {{"freq", "20k", "--wave", "triangle", "--bits", "12"}, 4095, 0, 0, 1},
        // The ramp's last sample falls one step short of the top.
        {{"freq", "20k", "--wave", "sawtooth", "--amplitude=0.5"}, 49138, 16384, 0, 1},
        // The table's peaks fall between samples of the 2222-sample wave.
        {{"freq", "5000", "--wave", csv}, 65535, 0, 100, 2},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        sim.server().WithInstrument(0, [&](InstrumentModel& model) {
            const auto wave = model.PlayedWave();
            EXPECT_NEAR(*std::max_element(wave.begin(), wave.end()), c.high, c.tolerance)
                << c.args[3];
            EXPECT_NEAR(*std::min_element(wave.begin(), wave.end()), c.low, c.tolerance)
                << c.args[3];
            const int periods = c.args[1] == "1M" ? 20 : 1;
            EXPECT_EQ(model.CyclesPerLoop(), periods * c.cycles_per_period) << c.args[3];
        });
    }
}

TEST(CliTest, FreqWarnsOfAliasesAndClippingAndTheMeterAgrees) {
    RunningSim sim;
    ScratchDir scratch;
    const std::string csv = scratch.File("loud.csv");
    std::ofstream(csv) << "0, 1.25, 0, -1.25\n";
    const struct {
        std::vector<std::string> args;
        const char* measured;  // what the meter then reads
        const char* warning;   // found in the warnings
    } cases[] = {
        // The meter counts the cycles the samples really hold: the alias.
        {{"freq", "150M"}, "frequency 50000000.00 Hz\n", "plays an alias at 50000000.00 Hz"},
        {{"freq", "1e13", "--allow-constant"}, "frequency 0.00 Hz\n", "plays a constant"},
        // Clipped only where --clip says that is meant.
        {{"freq", "1000", "--wave", "square", "--offset", "0.5", "--clip"},
         "frequency 1000.16 Hz\n",
         "velmar-dds: note: 1042 of 2083 samples fall outside the DAC's range and are clipped "
         "(--clip)\n"},
        {{"freq", "1000", "--wave", csv, "--clip"},
         "frequency 1000.16 Hz\n",
         "samples fall outside"},
    };
    for (auto c : cases) {
        c.args.insert(c.args.end(), {"+", "measure"});
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 0) << c.args[1] << run.err;
        EXPECT_NE(run.out.find(c.measured), std::string::npos) << c.args[1] << "\n" << run.out;
        EXPECT_NE(run.err.find(c.warning), std::string::npos) << c.args[1] << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

// A wave beyond the DAC's range is refused with nothing sent, unless --clip
// says it is meant; a file of DAC codes plays as it is with --raw.
TEST(CliTest, ClippedWavesAreRefusedUnlessAskedForAndCodesPlayRaw) {
    RunningSim sim;
    const std::string codes = std::string(VELMAR_CSV_CASES) + "/codes_12_bits.csv";
    const std::string time_code = std::string(VELMAR_CSV_CASES) + "/time_code.csv";
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string err;  // found on standard error
        int high, low;    // of the played wave, when it played
    } cases[] = {
        {{"freq", "1000", "--wave", "square", "--offset", "0.5"},
         1,
         "velmar-dds: the wave is clipped at 1000.00 Hz: 1042 of 2083 samples fall outside the "
         "DAC's range (the wave times --amplitude plus --offset must stay within -1 to 1); "
         "nothing was sent (--clip sends it clipped)\n",
         0,
         0},
        {{"freq", "1000", "--amplitude", "1.01"}, 1, "samples fall outside the DAC's range", 0, 0},
        // Full scale exactly is no clipping.
        {{"freq", "1000", "--wave", "square", "--amplitude", "0.5", "--offset", "0.5"},
         0,
         "",
         65535,
         32768},
        // Codes read as a wave: all but the zero clip, and the tool says what to do.
        {{"freq", "1000", "--wave", codes, "--bits", "12"},
         1,
         "fall outside the DAC's range (the wave times --amplitude plus --offset must stay within "
         "-1 to 1); nothing was sent (--clip sends it clipped; if " +
             codes + " holds DAC codes, --raw plays them as they are)\n",
         0,
         0},
        {{"freq", "1000", "--wave", codes, "--bits", "12", "--clip"},
         0,
         "samples fall outside the DAC's range and are clipped (--clip)",
         4095,
         2048},
        // Stretched over the period: the first sample is the first code, the
        // others lie between the codes (-1: not checked).
        {{"freq", "1000", "--wave", codes, "--bits", "12", "--raw"}, 0, "", -1, 0},
        {{"freq", "1000", "--wave", time_code, "--raw"}, 0, "", -1, 0},
        {{"freq", "1000", "--wave", codes, "--raw", "--bits", "10"},
         2,
         "velmar-dds: " + codes +
             ": line 2: '1024' is not a DAC code of 10 bits (a whole number from 0 to 1023) (see "
             "velmar-dds freq --help)\n",
         0,
         0},
    };
    for (const auto& c : cases) {
        sim.TakeTrace();
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[3] << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.args[3] << "\n" << run.err;
        if (c.exit_code != 0) {
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(sim.TakeTrace().empty()) << c.args[3];  // nothing was sent
            continue;
        }
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "");
        }
        sim.server().WithInstrument(0, [&](InstrumentModel& model) {
            const auto wave = model.PlayedWave();
            if (c.high >= 0) {
                EXPECT_EQ(*std::max_element(wave.begin(), wave.end()), c.high) << c.args[3];
            } else {
                EXPECT_EQ(wave[0], c.low) << c.args[3];
            }
            EXPECT_EQ(*std::min_element(wave.begin(), wave.end()), c.low) << c.args[3];
        });
    }
    // As many codes as the plan has samples (100 kHz: 2000 in one period)
    // play unchanged.
    ScratchDir scratch;
    const std::string exact = scratch.File("codes.csv");
    std::vector<uint16_t> written;
    {
        std::ofstream file(exact);
        file << "code\n";
        for (unsigned i = 0; i < 2000; ++i) {
            written.push_back(static_cast<uint16_t>((i * 7919u) % 4096u));
            file << written.back() << "\n";
        }
    }
    const ToolRun run = Tool({"freq", "100k", "--wave", exact, "--raw", "--bits", "12"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(
        run.out.find("(2000 values, one a line after a header line, DAC codes), 2000 samples"),
        std::string::npos)
        << run.out;
    sim.server().WithInstrument(
        0, [&](InstrumentModel& model) { EXPECT_EQ(model.PlayedWave(), written); });
}

// The CSV forms people have, read as tests/data/csv/cases.txt says (the
// readers' own suites hold both to it); here what the tool says of them.
TEST(CliTest, FreqReadsTheCsvFormsPeopleHave) {
    RunningSim sim;
    const std::string folder = VELMAR_CSV_CASES;
    const struct {
        const char* file;
        int exit_code;
        std::string out;  // found on standard output
        std::string err;  // the whole of standard error
    } cases[] = {
        {"one_value_a_line.csv", 0, "one_value_a_line.csv (8 values, one a line), 2083 samples",
         ""},
        {"one_row.csv", 0, "one_row.csv (4 values in a row), 2083 samples", ""},
        {"time_value_header.csv", 0,
         "time_value_header.csv (4 values from the second of two columns (time, value) after a "
         "header line), 2083 samples",
         ""},
        {"time_value_spreadsheet.csv", 0, "(4 values from the second of two columns", ""},
        {"time_uneven.csv", 2, "",
         "velmar-dds: " + folder +
             "/time_uneven.csv: line 2: the time steps by 1 where it steps by 1.125 on average: "
             "the first column must increase in even steps (within 1 %) (see velmar-dds freq "
             "--help)\n"},
        {"three_columns.csv", 2, "",
         "velmar-dds: " + folder +
             "/three_columns.csv: line 1: 3 columns: a wave file holds one value a line, one row "
             "of values, or two columns (time, value) (see velmar-dds freq --help)\n"},
        {"mixed_columns.csv", 2, "", "line 3: 2 fields where line 1 has 1"},
        {"not_a_number.csv", 2, "", "line 3: 'abc' is not a number"},
    };
    for (const auto& c : cases) {
        sim.TakeTrace();
        const ToolRun run = Tool({"freq", "1000", "--wave", folder + "/" + c.file});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.file << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << c.file << "\n" << run.out;
        if (c.exit_code == 0) {
            EXPECT_EQ(run.err, c.err) << c.file;
            continue;
        }
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.file << "\n" << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(sim.TakeTrace().empty()) << c.file;
    }
}

TEST(CliTest, SlowDownloadShowsItsProgressOnATerminal) {
    ServerOptions options;
    options.faults.delay_ms = 30;  // 67 exchanges: about 2 s
    RunningSim sim(options);
    const std::string screen = ToolOnTerminal({"freq", "1000"});
    // The seconds shown depend on how loaded the machine is.
    const size_t shown = screen.find("\rdownloading 2083 samples in 66 blocks: ");
    ASSERT_NE(shown, std::string::npos) << screen;
    // The line is wiped before the result is printed.
    const size_t wiped = screen.find("\r\033[K", shown + 1);
    const size_t result = screen.find("instrument 0: sine, 2083 samples");
    EXPECT_LT(wiped, result) << screen;
    EXPECT_NE(result, std::string::npos) << screen;
}

TEST(CliTest, SettingsCarryWithinOneRunAndToTheNext) {
    RunningSim sim;
    const size_t records = StateDirectory::Records().size();
    // One process: the divider of the plan is restated by the measurement.
    ToolRun run = Tool({"freq", "1000", "+", "measure"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("frequency 1000.16 Hz\n"), std::string::npos) << run.out;
    // A new process starts from the state the last one sent: its measurement
    // restates divider 48, not 0 (which would play the 2083 samples at
    // 200 MHz: 96014 Hz).
    sim.TakeTrace();
    run = Tool({"measure"});
    EXPECT_EQ(run.out, "frequency 1000.16 Hz\n");
    EXPECT_EQ(sim.TakeTrace(),
              Lines{"dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48"});
    // Kept in the suite's own directory: one record for the one instrument.
    EXPECT_EQ(StateDirectory::Records().size(), records + 1);
}

// What `freq` says is produced is what plays: a new run's meter reads it.
TEST(CliTest, FreqSaysWhatReallyPlays) {
    RunningSim sim;
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out;
        std::string err;       // found in what it says on standard error
        const char* measured;  // by the next run
    } cases[] = {
        {{"freq", "1000"},
         0,
         "instrument 0: sine, 2083 samples holding 1 period, divider 48, sample clock 2.083 MHz\n"
         "produced 1000.16 Hz (error +160 ppm)\n",
         "",
         "frequency 1000.16 Hz\n"},
        {{"freq", "150M"},
         0,
         "instrument 0: sine, 4096 samples holding 3072 periods, divider 0, sample clock 200 MHz\n"
         "produced 50000000.00 Hz: plays an alias, not the planned 150000000.00 Hz (error -666667 "
         "ppm)\n",
         "the instrument plays an alias at 50000000.00 Hz, not 150000000.00 Hz",
         "frequency 50000000.00 Hz\n"},
        // No wave at all: refused with nothing sent, so the alias still plays.
        {{"freq", "1e14"},
         1,
         "",
         "velmar-dds: 100e12 Hz plays no wave: more than half a period per sample (2048000000 "
         "periods in 4096 samples) puts every sample on the same phase: the instrument plays a "
         "constant, not 100e12 Hz (the highest this divider can represent is 100 MHz); nothing was "
         "sent (--allow-constant sends it anyway)\n",
         "frequency 50000000.00 Hz\n"},
        {{"freq", "1e14", "--allow-constant"},
         0,
         "instrument 0: sine, 4096 samples holding 2048000000 periods, divider 0, sample clock "
         "200 MHz\nproduced 0.00 Hz: plays a constant, not the planned 100e12 Hz (error -1000000 "
         "ppm)\n",
         "the instrument plays a constant, not 100e12 Hz",
         "frequency 0.00 Hz\n"},
    };
    for (const auto& c : cases) {
        sim.TakeTrace();
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1] << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.err.empty() ? 0 : 1)
            << run.err;
        if (c.exit_code != 0) {
            EXPECT_TRUE(sim.TakeTrace().empty()) << c.args[1];
        }
        EXPECT_EQ(Tool({"measure"}).out, c.measured) << c.args[1];
    }
}

// ---- The sweep -----------------------------------------------------------------------

// The table's rows after its heading, each split into its words (at commas
// for CSV).
std::vector<Lines> TableRows(const std::string& out, char separator = ' ') {
    std::vector<Lines> rows;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        Lines words;
        std::istringstream fields(line);
        for (std::string word; std::getline(fields, word, separator);)
            if (!word.empty()) words.push_back(word);
        rows.push_back(words);
    }
    return rows;
}

// Each frequency played, and what the meter then reads agrees with what is
// produced.
TEST(CliSweepTest, TheMeterAgreesWithEveryFrequencyProduced) {
    RunningSim sim;
    const ToolRun run = Tool({"sweep", "1k", "10k", "--steps", "10", "--measure"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("  requested Hz   produced Hz   measured Hz   deviation\n", 0), 0u)
        << run.out;
    const std::vector<Lines> rows = TableRows(run.out);
    ASSERT_EQ(rows.size(), 10u) << run.out;
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 5u) << run.out;  // ... +12 ppm
        const double requested = std::stod(rows[i][0]);
        const double produced = std::stod(rows[i][1]);
        const double measured = std::stod(rows[i][2]);
        EXPECT_EQ(requested, 1000.0 * static_cast<double>(i + 1));
        EXPECT_NEAR(produced, requested, requested * 1e-3) << i;
        EXPECT_NEAR(measured, produced, produced * 1e-3) << i;
        EXPECT_LE(std::abs(std::stod(rows[i][3])), 1000.0) << rows[i][3];
        EXPECT_EQ(rows[i][4], "ppm");
    }
    // Each frequency: the divider, the download (its header and blocks),
    // the measurement.
    Lines kinds;
    for (const std::string& line : sim.TakeTrace()) {
        const std::string kind = line.substr(6, 5);
        if (kind != "block" || kinds.back() != "block") kinds.push_back(kind);
    }
    Lines expected;
    for (int i = 0; i < 10; ++i)
        expected.insert(expected.end(), {"contr", "lengt", "block", "contr"});
    EXPECT_EQ(kinds, expected);
}

TEST(CliSweepTest, PointsStepsCsvAndRefusals) {
    RunningSim sim;
    const struct {
        std::vector<std::string> args;
        int exit_code;
        char separator;
        Lines requested;  // the first column
        size_t columns;
        const char* heading;  // or the error, when it fails
    } cases[] = {
        {{"sweep", "10k", "1k", "--step", "3k"},
         0,
         ' ',
         {"10000.00", "7000.00", "4000.00", "1000.00"},
         2,
         "  requested Hz   produced Hz\n"},
        {{"sweep", "1KHZ", "1MHZ", "--steps", "4", "--log"},
         0,
         ' ',
         {"1000.00", "10000.00", "100000.00", "1000000.00"},
         2,
         "  requested Hz   produced Hz\n"},
        {{"sweep", "1k", "4k", "--steps", "4", "--csv", "--measure"},
         0,
         ',',
         {"1000.000000", "2000.000000", "3000.000000", "4000.000000"},
         4,
         "requested_hz,produced_hz,measured_hz,deviation_ppm\n"},
        {{"sweep", "1k", "2k", "--csv"},
         0,
         ',',
         {"1000.000000", "1111.111111", "1222.222222", "1333.333333", "1444.444444", "1555.555556",
          "1666.666667", "1777.777778", "1888.888889", "2000.000000"},
         2,
         "requested_hz,produced_hz\n"},
        // What plays instead is marked.
        {{"sweep", "150M", "200M", "--steps", "2", "--allow-constant"},
         0,
         ' ',
         {"150000000.00", "200000000.00"},
         4,
         "  requested Hz   produced Hz\n"},
        // Refused whole, with nothing sent.
        {{"sweep", "150M", "200M", "--steps", "2"},
         1,
         ' ',
         {},
         0,
         "velmar-dds: 200000000.00 Hz plays no wave: "},
        {{"sweep", "1k", "2k", "--wave", "square", "--offset", "0.5"},
         1,
         ' ',
         {},
         0,
         "velmar-dds: the wave is clipped at 1000.00 Hz: 1042 of 2083 samples fall outside"},
    };
    for (const auto& c : cases) {
        sim.TakeTrace();
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1] << run.err;
        if (c.exit_code != 0) {
            EXPECT_EQ(run.err.rfind(c.heading, 0), 0u) << run.err;
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(sim.TakeTrace().empty());
            continue;
        }
        EXPECT_EQ(run.out.rfind(c.heading, 0), 0u) << run.out;
        const std::vector<Lines> rows = TableRows(run.out, c.separator);
        ASSERT_EQ(rows.size(), c.requested.size()) << run.out;
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].size(), c.columns) << run.out;
            EXPECT_EQ(rows[i][0], c.requested[i]) << run.out;
        }
    }
    const ToolRun marked = Tool({"sweep", "150M", "200M", "--steps", "2", "--allow-constant"});
    EXPECT_NE(marked.out.find("50000000.00  (an alias)\n"), std::string::npos) << marked.out;
    EXPECT_NE(marked.out.find("0.00  (a constant)\n"), std::string::npos) << marked.out;
    // The dwell is waited after each frequency.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Tool({"sweep", "1k", "2k", "--steps", "2", "--dwell", "0.25"}).exit_code, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(CliTest, CounterCountsSinceReset) {
    static std::atomic<double> now_s{10.0};
    ServerOptions options;
    options.input_hz = 1000.0;
    options.clock = [] { return now_s.load(); };
    RunningSim sim(options);
    ToolRun run = Tool({"counter-reset"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "counter cleared\n");
    EXPECT_EQ(sim.TakeTrace(),
              (Lines{"dds0: control: word 0x0002 [counter reset] dio-out 0x0000 divider 0",
                     "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 0"}));
    now_s = 12.5;
    run = Tool({"measure", "--counter"});
    EXPECT_EQ(run.out, "counter 2500\n");
    run = Tool({"measure"});
    EXPECT_EQ(run.out, "frequency 1000.00 Hz\n");
}

TEST(CliTest, ModeAndPortCommandsSendTheirBits) {
    RunningSim sim(Bench());
    // Each run starts from the state the run before it left: disarming the
    // trigger keeps its option bit, and every row after carries it.
    const struct {
        std::vector<std::string> args;
        const char* out;
        const char* last_trace;
    } cases[] = {
        {{"single", "on"},
         "single-wave mode on\n",
         "control: word 0x0004 [single wave] dio-out 0x0000 divider 0"},
        {{"single", "off"},
         "single-wave mode off\n",
         "control: word 0x0000 [none] dio-out 0x0000 divider 0"},
        {{"trigger", "on", "--option"},
         "trigger pulsed, then armed with the option\n",
         "control: word 0x0018 [trigger enable, trigger option] dio-out 0x0000 divider 0"},
        {{"trigger", "off"},
         "trigger pulsed, then off\n",
         "control: word 0x0008 [trigger option] dio-out 0x0000 divider 0"},
        {{"dio-mode", "out"},
         "digital I/O mode out\n",
         "control: word 0x0108 [trigger option, dio mode] dio-out 0x0000 divider 0"},
        {{"dio-mode", "in"},
         "digital I/O mode in\n",
         "control: word 0x0008 [trigger option] dio-out 0x0000 divider 0"},
        {{"dio-out", "0x1234"},
         "digital out 0x1234 (0001_0010_0011_0100)\n",
         "control: word 0x0008 [trigger option] dio-out 0x1234 divider 0"},
        {{"dio-in"},
         "digital in 0x5A3C (0101_1010_0011_1100)\n",
         "control: word 0x0008 [trigger option] dio-out 0x1234 divider 0"},
        {{"divider", "9"},
         "divider 9: the instrument plays at 11.11 MHz\n",
         "control: word 0x0008 [trigger option] dio-out 0x1234 divider 9"},
        // A leading zero is decimal, never octal.
        {{"dio-out", "0100"},
         "digital out 0x0064 (0000_0000_0110_0100)\n",
         "control: word 0x0008 [trigger option] dio-out 0x0064 divider 9"},
        {{"dio-out", "08"},
         "digital out 0x0008 (0000_0000_0000_1000)\n",
         "control: word 0x0008 [trigger option] dio-out 0x0008 divider 9"},
        {{"divider", "010"},
         "divider 10: the instrument plays at 10 MHz\n",
         "control: word 0x0008 [trigger option] dio-out 0x0008 divider 10"},
        {{"dio-out", "4660", "+", "single", "on"},
         "digital out 0x1234 (0001_0010_0011_0100)\nsingle-wave mode on\n",
         "control: word 0x000C [single wave, trigger option] dio-out 0x1234 divider 10"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 0) << c.args[0] << run.err;
        EXPECT_EQ(run.out, c.out);
        const Lines trace = sim.TakeTrace();
        ASSERT_FALSE(trace.empty()) << c.args[0];
        EXPECT_EQ(trace.back(), std::string("dds0: ") + c.last_trace);
    }
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.trigger_pulses(), 2u);
        EXPECT_EQ(model.digital_out(), 0x1234);
    });
}

TEST(CliTest, PowerOnAndClock) {
    RunningSim sim;
    ToolRun run = Tool({"power-on", "waveform"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "power-on output stored: the loaded waveform\n");
    // Before any download the host knows of, the library sends 4095.
    EXPECT_EQ(sim.TakeTrace().back(), "dds0: length: word 0x0FFF, 4096 samples in 128 blocks");
    EXPECT_EQ(run.err,
              "velmar-dds: note: no waveform download of this instrument is known, so the library "
              "announced the whole memory: the instrument now plays all 4096 samples it holds "
              "(store after a download: velmar-dds freq HZ + power-on waveform)\n");
    // After a download the sequence announces the padded count: one sample more plays.
    run = Tool({"freq", "1000", "+", "power-on", "waveform", "+", "measure"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err,
              "velmar-dds: note: the stored sequence announces the padded count, so the instrument "
              "now plays 2113 samples where 2083 were downloaded: 985.96 Hz instead of 1000.16 "
              "Hz\n");
    EXPECT_NE(run.out.find("frequency 985.9"), std::string::npos) << run.out;
    // A later run knows the download's padded count from the kept state only.
    run = Tool({"power-on", "waveform"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(sim.TakeTrace().back(), "dds0: length: word 0x0840, 2113 samples in 68 blocks");
    EXPECT_EQ(run.err,
              "velmar-dds: note: the stored sequence announces the padded count of the last "
              "download (2112 samples), so the instrument now plays 2113, one sample more (store "
              "in the run that downloads to be told the frequency it plays)\n");

    run = Tool({"divider", "5", "+", "power-on", "current", "+", "clock"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("power-on output stored: the current control state\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("sample clock 20 MHz (divider 5, as last sent from this host)\n"
                           "DDSGetCLK reports 33.33 MHz (its relation, 200 MHz / (divider + 1), is "
                           "not the clock that plays)\n"),
              std::string::npos)
        << run.out;
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.power_on().kind, sim::PowerOnSetting::Kind::kControlState);
        EXPECT_EQ(model.power_on().divider, 5);
    });
}

// The instruments a run addressed, in order, each once per stretch of messages.
Lines Addressed(const Lines& trace) {
    Lines names;
    for (const std::string& line : trace) {
        const std::string name = line.substr(0, line.find(':'));
        if (names.empty() || names.back() != name) names.push_back(name);
    }
    return names;
}

TEST(CliTest, TraceTurnsOnTheLibrarysTraceForTheRun) {
    RunningSim sim;
    unsetenv("VELMAR_DDS_TRACE");
    const ToolRun run = Tool({"--trace", "dio-in"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "digital in 0x0000 (0000_0000_0000_0000)\n");
    EXPECT_EQ(run.err.rfind(std::string("VelmarDll ") + VELMAR_DLL_VERSION_STRING +
                                ": trace on (VELMAR_DDS_TRACE=stderr)\n",
                            0),
              0u)
        << run.err;
    EXPECT_NE(run.err.find("velmar_dds_get_digital_in = ok"), std::string::npos) << run.err;
    EXPECT_EQ(Tool({"dio-in"}).err, "");  // only for the run that asked
}

TEST(CliTest, DeviceBeforeTheFirstCommandIsForTheChainInsideAStepForThatStep) {
    RunningSim sim(Instruments(2));
    const struct {
        std::vector<std::string> args;
        Lines addressed;
    } cases[] = {
        {{"--device", "1", "dio-out", "7"}, {"dds1"}},
        {{"freq", "1000", "+", "--device", "1", "measure"}, {"dds0", "dds1"}},
        {{"--device", "1", "freq", "2k", "+", "measure", "+", "--device", "0", "measure"},
         {"dds1", "dds0"}},
        {{"dio-in", "--device", "1", "+", "dio-in"}, {"dds1", "dds0"}},
        {{"--device", "1", "dio-in", "+", "dio-in", "--device=0", "+", "dio-in"},
         {"dds1", "dds0", "dds1"}},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(Addressed(sim.TakeTrace()), c.addressed) << c.args[0] << " " << c.args[1];
    }
}

TEST(CliTest, ShellRunsLinesInOneProcess) {
    RunningSim sim(Instruments(2));
    const struct {
        const char* input;
        int exit_code;
        const char* out;  // found in the output
        const char* err;
        Lines addressed;
    } cases[] = {
        // The divider of the first line is still there for the second.
        {"freq 1000\nmeasure\n", 0, "frequency 1000.16 Hz\n", "", {"dds0"}},
        {"# a comment\n\n  --device 1 dio-in + dio-in\ndio-in\n",
         0,
         "digital in",
         "",
         {"dds1", "dds0"}},
        {"dio-out 0x10 + --device 1 dio-in\n", 0, "digital out 0x0010", "", {"dds0", "dds1"}},
        // Reading a script, the first failing line ends it with its status.
        {"dio-in\nbogus\ndio-in\n",
         2,
         "digital in",
         "velmar-dds: line 2: unknown command 'bogus' (type help)\n",
         {"dds0"}},
        {"--device 5 dio-in\ndio-in\n",
         1,
         "",
         "velmar-dds: line 1: device index 5 is out of range: 2 instruments found in ",
         {}},
        {"dio-in 'unclosed\n", 2, "", "velmar-dds: line 1: unmatched '\n", {}},
        {"exit\ndio-in\n", 0, "", "", {}},
        // help lists the commands, or tells of one; sleep waits between lines.
        {"help\n", 0, "Commands (help COMMAND tells more):\n  list  ", "", {}},
        {"help\n", 0, "exit or quit ends the shell", "", {}},
        {"help sweep\n", 0, "Usage: velmar-dds [--device N] sweep START STOP", "", {}},
        {"sleep 0.05\ndio-in + sleep 0 + --device 1 dio-in\n",
         0,
         "digital in",
         "",
         {"dds0", "dds1"}},
        {"sleep x\n",
         2,
         "",
         "velmar-dds: line 1: SECONDS must be a number from 0 to 3600, not 'x' (see velmar-dds "
         "sleep --help)\n",
         {}},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool({"shell"}, c.input);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.input << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << c.input << run.out;
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << c.input << run.err;
        EXPECT_EQ(Addressed(sim.TakeTrace()), c.addressed) << c.input;
    }
    // On a terminal it prompts, and a failing line does not end it.
    const std::string screen = ToolOnTerminal({"shell"}, "bogus\ndio-in\nexit\n");
    EXPECT_NE(screen.find("velmar-dds> "), std::string::npos) << screen;
    EXPECT_NE(screen.find("velmar-dds: unknown command 'bogus'"), std::string::npos) << screen;
    EXPECT_NE(screen.find("digital in 0x0000"), std::string::npos) << screen;
    sim.TakeTrace();
    // No prompt when the input is not a terminal.
    EXPECT_EQ(Tool({"shell"}, "dio-in\n").out, "digital in 0x0000 (0000_0000_0000_0000)\n");
}

// At a terminal the shell edits lines (libedit): Tab completes command
// names and options, Ctrl-P recalls the line before, Ctrl-B and Ctrl-E move
// along the line.
TEST(CliTest, ShellAtATerminalCompletesEditsAndRecalls) {
#if !VELMAR_TOOL_LIBEDIT
    GTEST_SKIP() << "velmar-dds is built without libedit";
#endif
    RunningSim sim(Bench());
    setenv("TERM", "vt100", 1);
    const struct {
        const char* typed;
        const char* shown;  // what then shows
        size_t times;
    } cases[] = {
        {"dio-i\t\n", "digital in 0x5A3C", 1},
        {"measure --cou\t\n", "counter 0", 1},
        {"single o\tf\t\n", "single-wave mode off", 1},
        {"dio-out 9\n\x10\n", "digital out 0x0009", 2},
        {"dio-ot\x02u\x05 3\n", "digital out 0x0003", 1},
        {"dio-out 2 + dio-i\t\n", "digital in 0x5A3C", 1},
        {"dio-out 2 + dio-i\t\n", "digital out 0x0002", 1},
    };
    for (const auto& c : cases) {
        const std::string screen = ToolOnTerminal({"shell"}, std::string(c.typed) + "exit\n");
        EXPECT_EQ(Occurrences(screen, c.shown), c.times) << c.typed << "\n" << screen;
        EXPECT_EQ(screen.find("velmar-dds: "), std::string::npos) << c.typed << "\n" << screen;
    }
    unsetenv("TERM");
}

TEST(CliTest, AChainOpensEachInstrumentOnce) {
    RunningSim sim(Instruments(2));
    const ToolRun run = Tool({"--trace", "list", "+", "dio-in", "+", "--device", "1", "dio-in", "+",
                              "dio-out", "5", "+", "--device", "1", "measure", "+", "clock"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Occurrences(run.err, " velmar_dds_open(path "), 2u) << run.err;
    EXPECT_EQ(Occurrences(run.err, " velmar_dds_find("), 1u) << run.err;
    EXPECT_EQ(Addressed(sim.TakeTrace()), (Lines{"dds0", "dds1", "dds0", "dds1"}));
}

// ---- The state kept between runs --------------------------------------------------------

// Each run starts from the control state the last run sent to that
// instrument: the rows run one after the other against the same two
// instruments, each run a new process.
TEST(CliStateTest, ANewRunStartsFromTheStateTheLastOneSent) {
    RunningSim sim(Instruments(2));
    const struct {
        std::vector<std::string> first;
        std::vector<std::string> then;
        const char* out;  // of the second run
        Lines trace;      // what the second run sent
    } cases[] = {
        {{"freq", "1000"},
         {"measure"},
         "frequency 1000.16 Hz\n",
         {"dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48"}},
        {{"dio-out", "0x1234"},
         {"single", "on"},
         "single-wave mode on\n",
         {"dds0: control: word 0x0004 [single wave] dio-out 0x1234 divider 48"}},
        {{"dio-mode", "out"},
         {"dio-in"},
         "digital in 0x0000 (0000_0000_0000_0000)\n",
         {"dds0: control: word 0x0104 [single wave, dio mode] dio-out 0x1234 divider 48"}},
        // Sends nothing: it reports what the host kept.
        {{"divider", "5"},
         {"clock"},
         "sample clock 20 MHz (divider 5, as last sent from this host)\n"
         "DDSGetCLK reports 33.33 MHz (its relation, 200 MHz / (divider + 1), is not the clock "
         "that plays)\n",
         {}},
        // One record per instrument: the second keeps its own.
        {{"--device", "1", "dio-out", "7"},
         {"--device", "1", "single", "off"},
         "single-wave mode off\n",
         {"dds1: control: word 0x0000 [none] dio-out 0x0007 divider 0"}},
        {{"--device", "1", "divider", "9"},
         {"dio-in"},
         "digital in 0x0000 (0000_0000_0000_0000)\n",
         {"dds0: control: word 0x0104 [single wave, dio mode] dio-out 0x1234 divider 5"}},
    };
    for (const auto& c : cases) {
        ToolRun run = Tool(c.first);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        sim.TakeTrace();
        run = Tool(c.then);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(sim.TakeTrace(), c.trace) << c.then[0];
    }
}

// The host does not see a power cycle: it believes the state it last sent
// until a command sends it again, and the wave is gone all the same.
TEST(CliStateTest, APowerCycleTheHostDoesNotSee) {
    RunningSim sim;
    ASSERT_EQ(Tool({"freq", "1000"}).exit_code, 0);
    sim.server().RequestPowerCycle();
    bool cycled = false;
    for (int i = 0; i < 200 && !cycled; ++i) {
        sim.server().WithInstrument(0, [&](InstrumentModel& model) {
            cycled = model.divider() == 0 && model.played_length() == 0;
        });
        if (!cycled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(cycled);
    sim.TakeTrace();
    EXPECT_EQ(
        Tool({"clock"}).out.rfind("sample clock 2.083 MHz (divider 48, as last sent from this "
                                  "host)\n",
                                  0),
        0u);
    const ToolRun run = Tool({"measure"});
    EXPECT_EQ(run.out, "frequency 0.00 Hz\n");
    EXPECT_EQ(sim.TakeTrace(),
              Lines{"dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48"});
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.divider(), 48);
        EXPECT_EQ(model.played_length(), 0);
    });
}

// As a user does it: velmar-dds-sim --trace in one terminal, two runs of the
// tool in another.
TEST(CliStateTest, TheSimulatorsTraceShowsTheNextRunRestatingTheDivider) {
    ScratchDir scratch;
    proctest::ChildProcess sim(scratch, "sim", VELMAR_SIM_BINARY,
                               {"--dir", scratch.devices(), "--trace"});
    ASSERT_TRUE(sim.WaitForSocket(scratch.devices() + "/dds0"));
    setenv("VELMAR_DDS_DEVICE_DIR", scratch.devices().c_str(), 1);
    const ToolRun set = Tool({"freq", "1000"});
    const ToolRun read = Tool({"measure"});
    unsetenv("VELMAR_DDS_DEVICE_DIR");
    EXPECT_EQ(sim.Signal(SIGTERM), 0);
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(read.out, "frequency 1000.16 Hz\n") << read.err;
    std::istringstream trace(sim.out());
    Lines control;
    for (std::string line; std::getline(trace, line);)
        if (line.rfind("dds0: control: ", 0) == 0) control.push_back(line);
    // The frequency setting, then the measurement of the second run.
    EXPECT_EQ(control, Lines(2, "dds0: control: word 0x0000 [none] dio-out 0x0000 divider 48"))
        << sim.out();
}

// ---- Failures name what failed ---------------------------------------------------------

TEST(CliFailureTest, NoInstrumentSaysWhyAndAListingOfNoneSucceeds) {
    ScratchDir scratch;
    const std::string missing = scratch.path() + "/missing";
    const struct {
        const char* device_dir;  // nullptr: unset
        std::string shown_dir;   // the directory the tool names
        std::string listing;     // what list prints
        std::string failure;     // how a command that needs an instrument fails
    } cases[] = {
        {scratch.path().c_str(), scratch.path(), "no instruments in " + scratch.path() + "\n",
         "velmar-dds: no instrument found in " + scratch.path()},
        // The library's words for a search that could not be made.
        {missing.c_str(), missing,
         "no instruments: could not search directory " + missing + ": No such file or directory\n",
         "velmar-dds: no instrument found: could not search directory " + missing +
             ": No such file or directory"},
        // An empty variable counts as unset: the next place is looked at.
        {"", scratch.path() + "/velmar-dds",
         "no instruments: could not search directory " + scratch.path() +
             "/velmar-dds: No such file or directory\n",
         "velmar-dds: no instrument found: could not search directory " + scratch.path() +
             "/velmar-dds: No such file or directory"},
    };
    setenv("XDG_RUNTIME_DIR", scratch.path().c_str(), 1);
    for (const auto& c : cases) {
        setenv("VELMAR_DDS_DEVICE_DIR", c.device_dir, 1);
        const ToolRun list = Tool({"list"});
        EXPECT_EQ(list.exit_code, 0) << c.shown_dir;
        EXPECT_EQ(list.out, c.listing);
        for (const auto& args : {Lines{"dio-in"}, Lines{"freq", "1000"}}) {
            const ToolRun run = Tool(args);
            EXPECT_EQ(run.exit_code, 1);
            EXPECT_EQ(run.err, c.failure +
                                   " (start velmar-dds-sim, or point VELMAR_DDS_DEVICE_DIR "
                                   "at the instruments)\n");
        }
    }
    unsetenv("VELMAR_DDS_DEVICE_DIR");
    unsetenv("XDG_RUNTIME_DIR");

    RunningSim sim;
    const ToolRun run = Tool({"--device", "3", "dio-in"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "velmar-dds: device index 3 is out of range: 1 instrument found in " +
                           sim.dir() + " (indices 0 to 0)\n");
}

TEST(CliFailureTest, InstrumentThatCannotBeOpenedWithTheSystemsReason) {
    ServerOptions options;
    options.refuse = true;
    RunningSim sim(options);
    const std::string reason = sim.dir() + "/dds0 did not open: Connection refused";
    const ToolRun run = Tool({"single", "on"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "velmar-dds: instrument 0 could not be opened: " + reason + "\n");
    const ToolRun list = Tool({"list"});
    EXPECT_EQ(list.exit_code, 0);
    EXPECT_EQ(list.out.rfind("1 instrument in " + sim.dir() + "\n  0  " + reason + "\n", 0), 0u)
        << list.out;
}

// The error code says what kind of failure it was, the library's words what
// exactly happened; how long the call took says nothing.
TEST(CliFailureTest, InstrumentThatDoesNotAnswerOrAnswersShort) {
    const struct {
        void (*fault)(ServerOptions&);
        std::vector<std::string> args;
        const char* message;  // the whole line, or its start where the system picks the words
    } cases[] = {
        // Silent.
        {[](ServerOptions& o) { o.faults.silent = true; },
         {"single", "on"},
         "velmar-dds: instrument 0 did not answer the single-wave setting in time: no answer "
         "within 1000 ms to the control packet\n"},
        {[](ServerOptions& o) { o.faults.delay_ms = 1100; },
         {"dio-in"},
         "velmar-dds: instrument 0 did not answer the digital input read in time: no answer "
         "within 1000 ms to the control packet\n"},
        {[](ServerOptions& o) { o.faults.ack_limit = 0; },
         {"freq", "1000"},
         "velmar-dds: instrument 0 did not answer the waveform download in time: no answer "
         "within 1000 ms to a sample block\n"},
        // Hung up: before taking the next message or without answering it.
        {[](ServerOptions& o) { o.faults.drop_after = 1; },
         {"counter-reset"},
         "velmar-dds: instrument 0 hung up during the counter reset: the instrument hung up "},
        {[](ServerOptions& o) { o.faults.drop_after = 1; },
         {"freq", "1000"},
         "velmar-dds: instrument 0 hung up during the waveform download: the instrument hung up "},
        // A short report.
        {[](ServerOptions& o) { o.faults.short_report = true; },
         {"measure"},
         "velmar-dds: instrument 0 answered the measurement wrongly: a short answer to the "
         "control packet: 6 of 10 bytes (00 00 00 00 00 00)\n"},
        {[](ServerOptions& o) { o.faults.short_report = true; },
         {"dio-in"},
         "velmar-dds: instrument 0 answered the digital input read wrongly: a short answer to the "
         "control packet: 6 of 10 bytes (00 00 00 00 00 00)\n"},
        // Refused: the socket is there, nobody takes the connection.
        {[](ServerOptions& o) { o.refuse = true; },
         {"freq", "1000"},
         "velmar-dds: instrument 0 could not be opened: "},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        c.fault(options);
        RunningSim sim(options);
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 1) << c.args[0];
        EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// The handle stays open through the shell's lines: after a hang-up the next
// command opens the instrument again.
TEST(CliFailureTest, AfterAHangUpTheNextCommandReopens) {
    ServerOptions options;
    options.faults.drop_after = 1;
    RunningSim sim(options);
    const std::string screen = ToolOnTerminal({"shell"}, "dio-in\ndio-in\ndio-in\nexit\n");
    EXPECT_NE(screen.find("velmar-dds: instrument 0 hung up during the digital input read: "),
              std::string::npos)
        << screen;
    EXPECT_EQ(Occurrences(screen, "digital in 0x0000"), 2u) << screen;
}

// ---- The demo ----------------------------------------------------------------------------

TEST(CliDemoTest, RunsToCompletionAndCleansUp) {
    ScratchDir scratch;
    setenv("VELMAR_DDS_DEVICE_DIR", (scratch.path() + "/none").c_str(), 1);
    const std::string svg = scratch.File("plot.svg");
    const ToolRun run = Tool({"demo", "--svg", svg});
    unsetenv("VELMAR_DDS_DEVICE_DIR");
    ASSERT_EQ(run.exit_code, 0) << run.err << run.out;
    EXPECT_EQ(run.err, "");
    for (const char* step :
         {"1. Find the instrument", "2. Set 1 kHz", "3. Download a sine of 2083 samples",
          "4. Read the frequency back", "5. Set and read the digital ports", "6. Arm the trigger",
          "7. Store the power-on output"}) {
        EXPECT_NE(run.out.find(step), std::string::npos) << step;
    }
    EXPECT_NE(run.out.find("DDSGetMeasure(0, mode 0) = 1: 1000.16 Hz"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("in 0x5A3C"), std::string::npos);
    EXPECT_NE(
        run.out.find(
            "     control: word 0x0110 [trigger enable, dio mode] dio-out 0x00A5 divider 48\n"),
        std::string::npos);
    EXPECT_NE(run.out.find("     power-on: store waveform, 2083 samples, divider 48\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("plot of the played waveform (3 periods): " + svg + "\n"),
              std::string::npos);

    // The simulated instrument's directory is gone.
    const std::string marker = "simulated instrument: ";
    const size_t at = run.out.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string socket =
        run.out.substr(at + marker.size(), run.out.find(',', at) - at - marker.size());
    EXPECT_EQ(socket.substr(socket.size() - 13), "/devices/dds0");
    EXPECT_FALSE(Exists(socket));
    EXPECT_FALSE(Exists(socket.substr(0, socket.size() - 13)));

    const std::string plot = ReadFile(svg);
    EXPECT_NE(plot.find(">time (ms)</text>"), std::string::npos);
    EXPECT_NE(plot.find("2083 samples at 2.083 MHz = 1000.16 Hz"), std::string::npos);
}

TEST(CliDemoTest, LeavesARealInstrumentAlone) {
    RunningSim sim;  // stands for an instrument already on the bench
    ScratchDir scratch;
    const ToolRun run = Tool({"demo", "--svg", scratch.File("plot.svg")});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("(1 instrument in " + sim.dir() + " left alone)"), std::string::npos)
        << run.out;
    EXPECT_TRUE(sim.TakeTrace().empty());
    EXPECT_EQ(std::string(getenv("VELMAR_DDS_DEVICE_DIR")), sim.dir());
}

}  // namespace
}  // namespace velmar::simtest
