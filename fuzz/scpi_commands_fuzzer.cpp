// The SCPI server's commands end to end, in process: the bytes a client
// sends framed into messages as the socket door frames them, each message
// run unit by unit through the command layer (header path, command table,
// the generator's handlers on the instrument's strand) against the session
// library and the suites' scripted instrument behind the OS seam, which
// answers everything normally.
//
// Input: the stream a client sends on the instrument's port.
//
// Invariants, after every unit:
// - it is applied once (one line of the verbose log) and answers exactly
//   when it is a query: one answer, never empty, with no line end in it,
//   after a ';' when the message answered before; a message's answers end
//   with one '\n';
// - the error queue holds at most Status::kQueueCapacity entries;
// - nothing says the library refused the server's arguments (-200) or the
//   instrument failed (-240, -241): the instrument answers normally;
// - a unit that queued an error and sent no samples left the instrument's
//   settings (the generator's, the named waves, the loaded wave, the trigger
//   option) as they were: a refused change is made on a copy;
// - every download announces 1 to 4096 samples and sends them in whole
//   blocks; while the output is on, the wave memory holds the samples the
//   settings say are loaded;
// - the settings stay within what the commands accept: levels within the
//   full scale, a frequency from 1 Hz to 100 MHz, at most 4096 points in
//   every wave and 8 named waves, points from -1 to 1.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "check.h"
#include "command_layer.h"
#include "device/test_seam.h"
#include "generator.h"
#include "instrument.h"
#include "ops/frequency_plan.h"
#include "protocol/protocol.h"
#include "scpi_parser.h"
#include "scpi_status.h"
#include "scripted_instrument.h"

namespace {

namespace asio = boost::asio;
using velmar::kWaveMemorySize;
using velmar::scpi::CommandLayer;
using velmar::scpi::CommandRunner;
using velmar::scpi::Door;
using velmar::scpi::FramedMessage;
using velmar::scpi::GeneratorSettings;
using velmar::scpi::InstrumentSettings;
using velmar::scpi::ProgramUnit;
using velmar::scpi::ServedInstrument;
using velmar::scpi::Status;
using velmar::scpi::UnitReader;
using velmar::testing::Bytes;
using velmar::testing::ScriptedInstrument;

constexpr const char* kWhere = "fuzz";
constexpr const char* kPath = "dds0";

// The io thread's context and the pool of the instruments' strands, made
// once: the strand's thread runs each unit while the harness waits for it.
struct Threads {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keep{io.get_executor()};
    asio::thread_pool pool{1};
};
Threads& TheThreads() {
    static Threads threads;
    return threads;
}

bool Same(const GeneratorSettings& a, const GeneratorSettings& b) {
    auto fields = [](const GeneratorSettings& g) {
        return std::tie(g.function, g.frequency_hz, g.amplitude, g.offset, g.square_duty_percent,
                        g.ramp_symmetry_percent, g.pulse.width_s, g.pulse.duty_percent,
                        g.pulse.hold_width, g.pulse.transition_s, g.user_table, g.dac_samples,
                        g.arb_name, g.arb_points, g.arb_divider, g.arb_by_rate, g.burst_cycles,
                        g.output_on, g.unit, g.load_ohms, g.armed_source, g.beeper, g.remote_state,
                        g.display_text);
    };
    return fields(a) == fields(b);
}

bool Same(const InstrumentSettings& a, const InstrumentSettings& b) {
    if (a.named_waves.size() != b.named_waves.size()) return false;
    for (size_t i = 0; i < a.named_waves.size(); ++i) {
        if (a.named_waves[i].name != b.named_waves[i].name ||
            a.named_waves[i].values != b.named_waves[i].values) {
            return false;
        }
    }
    return Same(a.generator, b.generator) && a.loaded.samples == b.loaded.samples &&
           a.loaded.periods == b.loaded.periods && a.loaded.flat == b.loaded.flat &&
           a.trigger_option == b.trigger_option;
}

bool Within(double value, double low, double high) {
    return value >= low && value <= high;
}

bool Points(const std::vector<double>& points) {
    if (points.size() > static_cast<size_t>(kWaveMemorySize)) return false;
    for (double p : points) {
        if (!Within(p, -1.0, 1.0)) return false;
    }
    return true;
}

void CheckBounded(const InstrumentSettings& s) {
    const GeneratorSettings& g = s.generator;
    // The full scale, but for rounding.
    constexpr double kFull = 1.0 + 1e-6;
    CHECK(Within(g.amplitude, 0.0, kFull) && Within(g.offset, -kFull, kFull));
    CHECK(g.amplitude + std::fabs(g.offset) <= kFull);
    CHECK(!g.frequency_hz || Within(*g.frequency_hz, 1.0, 100e6));
    CHECK(Within(g.square_duty_percent, 0.01, 99.99));
    CHECK(Within(g.ramp_symmetry_percent, 0.0, 100.0));
    CHECK(std::isfinite(g.pulse.width_s) && std::isfinite(g.pulse.duty_percent));
    CHECK(Within(g.pulse.transition_s, 0.0, 1.0));
    CHECK(g.burst_cycles >= 1 && g.burst_cycles <= kWaveMemorySize);
    CHECK(!g.load_ohms || Within(*g.load_ohms, 1.0, 10000.0));
    CHECK(Points(g.user_table) && Points(g.arb_points));
    CHECK(g.dac_samples.size() <= static_cast<size_t>(kWaveMemorySize));
    CHECK(s.loaded.samples.size() <= static_cast<size_t>(kWaveMemorySize));
    CHECK(s.named_waves.size() <= velmar::scpi::kMostNamedWaves);
    for (const velmar::scpi::NamedWave& wave : s.named_waves) {
        CHECK(wave.values.size() >= 2 && Points(wave.values));
    }
}

// The error codes a verbose log line of a unit lists after what it knows
// of the unit: ` [-221 Settings conflict;detail]` each.
std::vector<int> LoggedErrors(const std::string& line, const std::string& known) {
    CHECK(line.compare(0, known.size(), known) == 0);
    std::vector<int> codes;
    size_t at = known.size();
    while (line.compare(at, 2, " [") == 0) {
        char* end = nullptr;
        const long code = std::strtol(line.c_str() + at + 2, &end, 10);
        const std::string text = std::string(" ") + velmar::scpi::ErrorText(static_cast<int>(code));
        at = static_cast<size_t>(end - line.c_str());
        CHECK(line.compare(at, text.size(), text) == 0);
        codes.push_back(static_cast<int>(code));
        at = line.find(']', at);
        CHECK(at != std::string::npos);
        ++at;
    }
    // The library's words would follow: it has none, nothing failed.
    CHECK(at == line.size());
    return codes;
}

class Conversation {
  public:
    Conversation() : served_(0, {}, "", TheThreads().pool) {
        dds_.paths = {kPath};
        velmar::test_seam::UsePlatform(&dds_);
        served_.instrument.Locate(kPath, true);
        served_.path = kPath;
        served_.present = true;
        Door door;
        door.where = kWhere;
        door.write = [this](const std::string& piece) { pieces_.push_back(piece); };
        door.resumed = [] {};
        door.output_waiting = [] { return false; };
        runner_ = std::make_shared<CommandRunner>(layer_, served_, std::move(door));
    }
    ~Conversation() {
        runner_.reset();
        served_.instrument.Locate(kPath, false);  // closes the session
        CHECK(dds_.open_handles == 0);
        velmar::test_seam::UsePlatform(nullptr);
    }

    void Run(const std::string& message);
    void Overrun() { runner_->state().status.Fail(velmar::scpi::kInputBufferOverrun); }

  private:
    const InstrumentSettings& settings() const { return served_.instrument.settings(); }
    // Reads the downloads among the messages from `from` on into memory_.
    bool ReadDownloads(size_t from);
    void CheckUnit(const ProgramUnit& unit, size_t pieces_before, size_t log_before,
                   size_t messages_before, const InstrumentSettings& before);

    ScriptedInstrument dds_;
    std::vector<std::string> log_;
    CommandLayer layer_{TheThreads().io, [this](const std::string& line) { log_.push_back(line); },
                        true};
    ServedInstrument served_;
    std::shared_ptr<CommandRunner> runner_;
    std::vector<std::string> pieces_;              // what the door was given, this message
    std::optional<std::vector<uint16_t>> memory_;  // the last samples downloaded
};

void Conversation::Run(const std::string& message) {
    pieces_.clear();
    runner_->Begin(message);
    // The same units, read alongside, to know each before it runs.
    UnitReader units(message);
    while (true) {
        const std::optional<ProgramUnit> unit = units.Next();
        const size_t pieces_before = pieces_.size();
        const size_t log_before = log_.size();
        const size_t messages_before = dds_.messages.size();
        const InstrumentSettings before = settings();
        runner_->Step();
        if (runner_->busy()) {
            // Back from the instrument's strand.
            TheThreads().io.run_one();
            CHECK(!runner_->busy());
        }
        if (!unit) break;
        CHECK(runner_->in_message());
        CheckUnit(*unit, pieces_before, log_before, messages_before, before);
    }
    CHECK(!runner_->in_message());
    // A line of answers, ended once; nothing for a message without queries.
    if (!pieces_.empty()) CHECK(pieces_.back() == "\n");
    for (size_t i = 0; i + 1 < pieces_.size(); ++i) CHECK(pieces_[i] != "\n");
}

bool Conversation::ReadDownloads(size_t from) {
    bool downloaded = false;
    const std::vector<Bytes>& sent = dds_.messages;
    for (size_t m = from; m < sent.size(); ++m) {
        if (sent[m].size() != velmar::kLengthHeaderSize || sent[m][0] != velmar::kLengthCommand) {
            continue;
        }
        const int32_t count = velmar::LoadLe16(&sent[m][1]) + 1;
        CHECK(count >= 1 && count <= kWaveMemorySize);
        const size_t blocks = static_cast<size_t>(velmar::SampleBlocksFor(count));
        CHECK(m + blocks < sent.size());
        std::vector<uint16_t> samples;
        for (size_t b = 1; b <= blocks; ++b) {
            CHECK(sent[m + b].size() == velmar::kSampleBlockBytes);
            for (size_t s = 0; s < velmar::kSamplesPerBlock; ++s) {
                samples.push_back(velmar::LoadLe16(&sent[m + b][2 * s]));
            }
        }
        samples.resize(static_cast<size_t>(count));
        memory_ = std::move(samples);
        downloaded = true;
        m += blocks;
    }
    return downloaded;
}

void Conversation::CheckUnit(const ProgramUnit& unit, size_t pieces_before, size_t log_before,
                             size_t messages_before, const InstrumentSettings& before) {
    // Applied once, answering exactly when it is a query.
    CHECK(log_.size() == log_before + 1);
    const size_t added = pieces_.size() - pieces_before;
    std::optional<std::string> answer;
    if (unit.query) {
        CHECK(added == (pieces_before == 0 ? 1u : 2u));
        if (added == 2) CHECK(pieces_[pieces_before] == ";");
        answer = pieces_.back();
        CHECK(!answer->empty() && answer->find('\n') == std::string::npos);
    } else {
        CHECK(added == 0);
    }
    std::string known = std::string(kWhere) + ": " + velmar::scpi::Describe(unit);
    if (answer) known += " -> " + velmar::scpi::Printable(*answer, 80);
    const std::vector<int> errors = LoggedErrors(log_.back(), known);
    for (const int code : errors) {
        CHECK(code != velmar::scpi::kExecutionError);
        CHECK(code != velmar::scpi::kHardwareError && code != velmar::scpi::kHardwareMissing);
    }
    CHECK(runner_->state().status.error_count() <= Status::kQueueCapacity);

    const bool downloaded = ReadDownloads(messages_before);
    // Refused: kept as it was. A change that played may warn (-221) and is kept.
    if (!errors.empty() && !downloaded) CHECK(Same(settings(), before));
    CheckBounded(settings());
    const InstrumentSettings& now = settings();
    if (now.generator.output_on && !now.loaded.samples.empty()) {
        CHECK(memory_ && *memory_ == now.loaded.samples);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Conversation conversation;
    velmar::scpi::MessageFramer framer;
    const char* at = reinterpret_cast<const char*>(data);
    size_t left = size;
    // Messages as the socket door takes them; the end of the input ends the last.
    while (true) {
        std::optional<FramedMessage> message;
        const size_t taken = left > 0 ? framer.Feed(at, left, &message) : 0;
        at += taken;
        left -= taken;
        if (!message && left == 0) message = framer.Finish();
        if (!message) break;
        if (message->kind == FramedMessage::Kind::kBlockTooLong) break;  // the door closes
        if (message->kind == FramedMessage::Kind::kOverrun) {
            conversation.Overrun();
        } else {
            conversation.Run(message->text);
        }
    }
    return 0;
}
