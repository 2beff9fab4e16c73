// `velmar-dds demo`: the typical session, run against a simulated instrument
// served on a thread of this process in a temporary device directory. A demo
// never touches a real instrument: storing the power-on output would change
// what it does at its next start. Whatever happens, the thread, the sockets
// and the directory are gone when the demo returns.

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "VelmarDll.h"
#include "cli.h"
#include "device/device_directory.h"
#include "ops/frequency_plan.h"
#include "protocol/describe.h"
#include "sim_server.h"
#include "svg_plot.h"
#include "wave/wave.h"

namespace velmar::tool {

using namespace velmar::wave;

const char kDemoHelp[] =
    "Runs a typical session against a simulated instrument in a temporary device\n"
    "directory (real instruments are left alone): find it, set 1 kHz, download a sine,\n"
    "read the frequency back, set and read the digital ports, arm the trigger, store the\n"
    "power-on output. Shows each step, its result and the messages the instrument\n"
    "received, writes an SVG plot of the waveform as the instrument plays it (default\n"
    "./velmar-dds-demo.svg) and prints its path. Then removes the simulated instrument.";

namespace {

constexpr uint16_t kDemoDigitalIn = 0x5A3C;
constexpr uint16_t kDemoDigitalOut = 0x00A5;
constexpr double kDemoHz = 1000.0;
constexpr int kPlotPeriods = 3;
// Block lines shown at each end of a download; the rest are counted.
constexpr size_t kBlockLinesShown = 2;

// The simulated instrument of the demo and everything it needs, undone in
// reverse order by the destructor.
class DemoInstrument {
  public:
    DemoInstrument() {
        char pattern[] = "/tmp/velmar-dds-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            Fail("cannot create a temporary directory for the simulated instrument");
        root_ = pattern;
        sim::ServerOptions options;
        options.dir = root_ + "/devices";
        options.digital_in = kDemoDigitalIn;
        options.trace = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            // "dds0: control: ..." -> "control: ..."
            const size_t colon = line.find(": ");
            trace_.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
        };
        server_ = std::make_unique<sim::SimServer>(options);
        std::string error;
        if (!server_->Start(&error)) {
            rmdir(root_.c_str());
            Fail("cannot start the simulated instrument: " + error);
        }
        thread_ = std::thread([this] { server_->Run(); });
        if (const char* old = std::getenv("VELMAR_DDS_DEVICE_DIR")) saved_env_ = old;
        setenv("VELMAR_DDS_DEVICE_DIR", options.dir.c_str(), 1);
    }

    ~DemoInstrument() {
        server_->Stop();
        thread_.join();
        server_.reset();  // removes the sockets and the device directory
        rmdir(root_.c_str());
        if (saved_env_) {
            setenv("VELMAR_DDS_DEVICE_DIR", saved_env_->c_str(), 1);
        } else {
            unsetenv("VELMAR_DDS_DEVICE_DIR");
        }
    }

    DemoInstrument(const DemoInstrument&) = delete;
    DemoInstrument& operator=(const DemoInstrument&) = delete;

    const std::string& root() const { return root_; }
    std::string socket() const { return root_ + "/devices/dds0"; }
    sim::SimServer& server() { return *server_; }

    std::vector<std::string> TakeTrace() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(trace_, {});
    }

  private:
    std::string root_;
    std::unique_ptr<sim::SimServer> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> trace_;
    std::optional<std::string> saved_env_;
};

void ShowReceived(std::ostream& out, const std::vector<std::string>& lines) {
    if (lines.empty()) {
        out << "   the instrument received nothing\n";
        return;
    }
    out << "   the instrument received:\n";
    size_t blocks = 0;
    for (const std::string& line : lines) blocks += line.rfind("block ", 0) == 0 ? 1 : 0;
    size_t block = 0;
    for (const std::string& line : lines) {
        if (line.rfind("block ", 0) == 0) {
            ++block;
            if (block > kBlockLinesShown && block + kBlockLinesShown <= blocks) {
                if (block == kBlockLinesShown + 1) {
                    out << "     ... " << blocks - 2 * kBlockLinesShown << " more blocks ...\n";
                }
                continue;
            }
        }
        out << "     " << line << "\n";
    }
}

void Check(int32_t result, const std::string& call) {
    if (result != 1) Fail("demo: " + call + " returned 0");
}

std::string AbsolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

void RunDemo(Session& session, std::vector<std::string> args) {
    std::string svg_path = "velmar-dds-demo.svg";
    if (args.size() == 2 && args[0] == "--svg") svg_path = args[1];
    std::ostream& out = session.out;

    out << "velmar-dds demo: a typical session, on a simulated instrument\n";
    const int real = DDSSearch();
    if (real > 0) {
        out << "(" << real << " instrument" << (real == 1 ? "" : "s") << " in " << DeviceDirectory()
            << " left alone)\n";
    }
    std::optional<DemoInstrument> instrument;
    instrument.emplace();
    DemoInstrument& sim = *instrument;
    out << "simulated instrument: " << sim.socket() << ", served on a thread of this process\n\n";

    out << "1. Find the instrument\n";
    const int found = DDSSearch();
    if (found != 1)
        Fail("demo: DDSSearch found " + std::to_string(found) +
             " instruments, not the simulated one");
    Check(DDSCheck(0), "DDSCheck(0)");
    out << "   DDSSearch() = 1 instrument; DDSCheck(0) = 1, it opens\n";
    ShowReceived(out, sim.TakeTrace());

    out << "\n2. Set 1 kHz\n";
    int32_t length = 0, periods = 0;
    Check(DDSSetFrequency(0, kDemoHz, &length, &periods), "DDSSetFrequency(0, 1000 Hz)");
    const uint16_t divider = static_cast<uint16_t>(DDSGetDivNum());
    const double clock = PlannedSampleClockHz(divider);
    const double produced = clock * periods / length;
    out << "   DDSSetFrequency(0, 1000 Hz) = 1: divider " << divider << ", length " << length
        << " samples, " << periods << " period" << (periods == 1 ? "" : "s") << "\n"
        << "   the instrument plays " << length << " samples at " << FormatClock(clock) << ": "
        << FormatHz(produced) << "\n";
    ShowReceived(out, sim.TakeTrace());

    out << "\n3. Download a sine of " << length << " samples\n";
    const WaveSettings sine;
    const std::vector<uint16_t> samples = ComputeSamples(sine, length, periods);
    Check(DDSDownload(0, samples.data(), length), "DDSDownload");
    out << "   DDSDownload(0, " << length << " samples) = 1, padded to a multiple of 64 samples\n";
    ShowReceived(out, sim.TakeTrace());
    WavePlot plot;
    int cycles = 0;
    sim.server().WithInstrument(0, [&](sim::InstrumentModel& model) {
        plot.loop = model.PlayedWave();
        plot.sample_clock_hz = model.SampleClockHz();
        cycles = model.CyclesPerLoop();
    });

    out << "\n4. Read the frequency back\n";
    double reading = 0.0;
    Check(DDSGetMeasure(0, 0, &reading), "DDSGetMeasure(0, 0)");
    const double difference_ppm = (reading - produced) / produced * 1e6;
    char ppm[32];
    std::snprintf(ppm, sizeof(ppm), "%+.0f ppm", difference_ppm);
    out << "   DDSGetMeasure(0, mode 0) = 1: " << FormatHz(reading) << " (" << ppm
        << " from the planned " << FormatHz(produced) << ")\n";
    ShowReceived(out, sim.TakeTrace());

    out << "\n5. Set and read the digital ports\n";
    Check(DDSSetDIOMode(0, 1), "DDSSetDIOMode(0, 1)");
    Check(DDSSetDigitalOut(0, kDemoDigitalOut), "DDSSetDigitalOut");
    uint16_t in = 0;
    Check(DDSGetDigitalIn(0, &in), "DDSGetDigitalIn");
    char ports[96];
    std::snprintf(ports, sizeof(ports), "out 0x%04X, in 0x%04X", kDemoDigitalOut, in);
    out << "   DDSSetDIOMode(0, 1) = 1; DDSSetDigitalOut = 1; DDSGetDigitalIn = 1: " << ports
        << "\n";
    ShowReceived(out, sim.TakeTrace());

    out << "\n6. Arm the trigger\n";
    const auto start = std::chrono::steady_clock::now();
    Check(DDSSetTrigger(0, 1, 0), "DDSSetTrigger(0, 1, 0)");
    const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    out << "   DDSSetTrigger(0, enable 1, option 0) = 1 in " << took_ms
        << " ms: a 100 ms pulse, then the trigger armed\n";
    ShowReceived(out, sim.TakeTrace());

    out << "\n7. Store the power-on output\n";
    Check(DDSSetPowerOnOutput(0, 0), "DDSSetPowerOnOutput(0, 0)");
    out << "   DDSSetPowerOnOutput(0, mode 0) = 1: the loaded waveform\n";
    ShowReceived(out, sim.TakeTrace());

    plot.loops = cycles > 0 ? (kPlotPeriods + cycles - 1) / cycles : 1;
    plot.title = "1 kHz sine as the instrument plays it: " + std::to_string(length) +
                 " samples at " + FormatClock(plot.sample_clock_hz) + " = " + FormatHz(produced);
    std::string error;
    if (!WriteWavePlot(svg_path, plot, &error)) Fail("demo: " + error);
    out << "\nplot of the played waveform (" << plot.loops * cycles
        << " periods): " << AbsolutePath(svg_path) << "\n";
    const std::string root = sim.root();
    instrument.reset();
    out << "simulated instrument stopped; " << root << " removed\n";
}

}  // namespace velmar::tool
