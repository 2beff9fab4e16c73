// velmar-dds as a user runs it: a separate process per command line, against
// a simulated instrument served on a thread of this test. What it prints,
// its exit code, and what the instrument received or now holds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

ToolRun Tool(const std::vector<std::string>& args) {
    ScratchDir scratch;
    const std::string out = scratch.File("out");
    const std::string err = scratch.File("err");
    std::vector<std::string> argv_text = {VELMAR_TOOL_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ToolRun run;
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
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

TEST(CliUsageTest, WrongCommandLinesExitTwoWithOneLine) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"bogus"}, "velmar-dds: unknown command 'bogus' (see velmar-dds --help)\n"},
        {{"freq"}, "velmar-dds: missing frequency (HZ) (see velmar-dds freq --help)\n"},
        {{"plan", "abc"},
         "velmar-dds: 'abc' is not a frequency: give a positive number of hertz (1000, 12.5k, 3M) "
         "(see "
         "velmar-dds plan --help)\n"},
        {{"plan", "-5"}, nullptr},
        {{"plan", "0"}, nullptr},
        {{"plan", "1e300"}, nullptr},
        {{"plan", "1000", "2000"}, "velmar-dds: unexpected '2000' (see velmar-dds plan --help)\n"},
        {{"freq", "1000", "--wave", "/nonexistent.csv"}, nullptr},
        {{"freq", "1000", "--amplitude"}, nullptr},
        {{"freq", "1000", "--bits", "17"}, nullptr},
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
        {{"--device", "x", "list"}, nullptr},
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
    EXPECT_NE(bare.out.find("usage: velmar-dds"), std::string::npos);
}

TEST(CliUsageTest, EveryCommandHasHelp) {
    const ToolRun overview = Tool({"--help"});
    ASSERT_EQ(overview.exit_code, 0);
    for (const char* command :
         {"list", "freq", "plan", "measure", "counter-reset", "single", "trigger", "dio-mode",
          "dio-in", "dio-out", "power-on", "divider", "clock", "demo"}) {
        EXPECT_NE(overview.out.find(std::string("\n  ") + command), std::string::npos) << command;
        const ToolRun help = Tool({command, "--help"});
        EXPECT_EQ(help.exit_code, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: velmar-dds [--device N] ") + command, 0), 0u)
            << help.out;
    }
}

// ---- Each subcommand against the simulated instrument ------------------------------

TEST(CliTest, ListShowsTheInstruments) {
    ServerOptions options;
    options.count = 2;
    RunningSim sim(options);
    const ToolRun run = Tool({"list"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "2 instruments in " + sim.dir() + "\n  0  opens\n  1  opens\n");
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

TEST(CliTest, SettingsCarryWithinOneRunButNotToTheNext) {
    RunningSim sim;
    // One process: the divider of the plan is restated by the measurement.
    ToolRun run = Tool({"freq", "1000", "+", "measure"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("frequency 1000.16 Hz\n"), std::string::npos) << run.out;
    // A new process starts from a zero control state: its measurement sends
    // divider 0, so the same 2083 samples now play at 200 MHz (96015 Hz, read
    // from the count to 2 Hz).
    run = Tool({"measure"});
    EXPECT_EQ(run.out, "frequency 96014.00 Hz\n");
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
         "control: word 0x0000 [none] dio-out 0x0000 divider 0"},
        {{"dio-mode", "out"},
         "digital I/O mode out\n",
         "control: word 0x0100 [dio mode] dio-out 0x0000 divider 0"},
        {{"dio-mode", "in"},
         "digital I/O mode in\n",
         "control: word 0x0000 [none] dio-out 0x0000 divider 0"},
        {{"dio-out", "0x1234"},
         "digital out 0x1234 (0001_0010_0011_0100)\n",
         "control: word 0x0000 [none] dio-out 0x1234 divider 0"},
        {{"dio-in"},
         "digital in 0x5A3C (0101_1010_0011_1100)\n",
         "control: word 0x0000 [none] dio-out 0x0000 divider 0"},
        {{"divider", "9"},
         "divider 9: the instrument plays at 11.11 MHz\n",
         "control: word 0x0000 [none] dio-out 0x0000 divider 9"},
        {{"dio-out", "4660", "+", "single", "on"},
         "digital out 0x1234 (0001_0010_0011_0100)\nsingle-wave mode on\n",
         "control: word 0x0004 [single wave] dio-out 0x1234 divider 0"},
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
    // Before any download in this process the library sends 4095.
    EXPECT_EQ(sim.TakeTrace().back(), "dds0: length: word 0x0FFF, 4096 samples in 128 blocks");

    run = Tool({"divider", "5", "+", "power-on", "current", "+", "clock"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("power-on output stored: the current control state\n"),
              std::string::npos);
    EXPECT_NE(run.out.find(
                  "sample clock 33.33 MHz (as the library reports it: 200 MHz / (divider + 1))\n"),
              std::string::npos)
        << run.out;
    sim.server().WithInstrument(0, [](InstrumentModel& model) {
        EXPECT_EQ(model.power_on().kind, sim::PowerOnSetting::Kind::kControlState);
        EXPECT_EQ(model.power_on().divider, 5);
    });
}

TEST(CliTest, DeviceOptionPicksTheInstrument) {
    ServerOptions options;
    options.count = 2;
    RunningSim sim(options);
    const ToolRun run = Tool({"--device", "1", "dio-out", "7"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(sim.TakeTrace(), Lines{"dds1: control: word 0x0000 [none] dio-out 0x0007 divider 0"});
}

// ---- Failures name what failed ---------------------------------------------------------

TEST(CliFailureTest, NoInstrumentAndIndexOutOfRange) {
    ScratchDir empty;
    setenv("VELMAR_DDS_DEVICE_DIR", empty.path().c_str(), 1);
    for (const auto& args : {Lines{"dio-in"}, Lines{"list"}, Lines{"freq", "1000"}}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err.rfind("velmar-dds: no instrument found in " + empty.path(), 0), 0u)
            << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    }
    unsetenv("VELMAR_DDS_DEVICE_DIR");

    RunningSim sim;
    const ToolRun run = Tool({"--device", "3", "dio-in"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "velmar-dds: device index 3 is out of range: 1 instrument found in " +
                           sim.dir() + " (indices 0 to 0)\n");
}

TEST(CliFailureTest, InstrumentThatCannotBeOpened) {
    ServerOptions options;
    options.refuse = true;
    RunningSim sim(options);
    const ToolRun run = Tool({"single", "on"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "velmar-dds: instrument 0 in " + sim.dir() + " could not be opened\n");
    const ToolRun list = Tool({"list"});
    EXPECT_EQ(list.exit_code, 0);
    EXPECT_EQ(list.out, "1 instrument in " + sim.dir() + "\n  0  does not open\n");
}

TEST(CliFailureTest, InstrumentThatDoesNotAnswer) {
    const struct {
        void (*fault)(ServerOptions&);
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {[](ServerOptions& o) { o.faults.silent = true; },
         {"single", "on"},
         "velmar-dds: instrument 0 did not answer the single-wave setting\n"},
        {[](ServerOptions& o) { o.faults.ack_limit = 0; },
         {"freq", "1000"},
         "velmar-dds: instrument 0 did not acknowledge the waveform download\n"},
        {[](ServerOptions& o) { o.faults.drop_after = 1; },
         {"counter-reset"},
         "velmar-dds: instrument 0 did not answer the counter reset\n"},
        {[](ServerOptions& o) { o.faults.short_report = true; },
         {"measure"},
         "velmar-dds: instrument 0 did not answer the measurement\n"},
        {[](ServerOptions& o) { o.faults.short_report = true; },
         {"dio-in"},
         "velmar-dds: instrument 0 did not answer the digital input read\n"},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        c.fault(options);
        RunningSim sim(options);
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 1) << c.args[0];
        EXPECT_EQ(run.err, c.message);
    }
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
