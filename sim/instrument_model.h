// A model of the instrument: its state and its answer to each message, with
// no I/O. The daemon feeds it the messages of a socket; tests feed it bytes.
//
// The model:
//
// - Messages are told apart by length first and then by code: 64 bytes are a
//   sample block whatever their first byte; 7 bytes of 0xA0 are a control
//   packet, answered by a 10-byte status report; the 3-byte 0xA1 length
//   header and the 1- or 7-byte 0xA2 power-on store are answered by a
//   one-byte acknowledgement. A message the model does not know is traced
//   and not answered, so a host that sends a malformed one times out instead
//   of seeming to succeed.
// - A control packet replaces the control word, the digital output word and
//   the divider, and the report answering it is measured after that change.
// - Sample clock: 200 MHz for divider 0, 100 MHz / d for any other divider d
//   (the relation the frequency planning assumes).
// - A length header with word W announces a wave of W + 1 samples (at most
//   4096): the generator plays memory[0 .. W] in a loop from then on, and the
//   host sends the padded count, W + 1 rounded up to 64, in blocks of 32
//   samples, written to memory from sample 0. W = 0xFFFF announces no samples:
//   the output stops and no blocks follow. The last sample of a download's
//   padding is therefore never played. The host's power-on store ends with a
//   header carrying the padded count itself (not count - 1), so after it the
//   generator plays one sample more than the padded wave.
// - Frequency meter: its input is the generator's own output, or an external
//   signal of a fixed frequency when one is set. The output's frequency is the
//   sample clock times the cycles in one loop of the played samples divided by
//   the played length; a cycle is a rise through the upper and a fall through
//   the lower threshold at a quarter of the swing above and below mid-swing. A
//   flat or empty wave has no frequency.
// - The meter's input passes a divide-by-two prescaler, so its count is half
//   the input's cycles: in frequency mode (measure mode bit clear) the count of
//   a one-second gate, that is f / 2 and at least 1 when there is a signal at
//   all; in counter mode (bit set) the prescaled
//   cycles since the last control packet that carried the counter reset bit,
//   wrapping at 2^32 as the register does.
//   The period is one input period in ticks of the 200 MHz base clock,
//   rounded; both are 0 without a signal. Doubling the count thus gives the
//   frequency, or the cycles counted. Count and period are 32-bit registers,
//   so an external signal must lie between kLowestCountableHz and
//   kHighestCountableHz (or be 0, no signal).
// - The single-wave and trigger bits are kept and traced; triggered playback
//   is not modelled: the output plays continuously. Rising edges of the
//   trigger pulse bit are counted. The digital I/O mode bit is kept and
//   traced; the digital input word is whatever the bench sets.
// - Power-on store: the 7-byte form stores the control word, digital output
//   and divider it carries; the 1-byte form stores the waveform memory with
//   the length of the wave in memory (the last header that announced samples)
//   and the current divider. PowerCycle() restarts the instrument from it.
// - State lives for the model's life, across connections, as on the real
//   instrument; only the fault counters start afresh: the blocks of each
//   download, and the messages of each connection, which every connection
//   counts on its own however many a host has open at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace velmar::sim {

// The model's default clock, and the server's: seconds on the steady clock.
double SteadySeconds();

// Ways to misbehave, each as the daemon's options name it.
struct Faults {
    bool silent = false;                 // --silent: never answer
    uint32_t delay_ms = 0;               // --delay-ms: answer this late
    std::optional<uint32_t> ack_limit;   // --ack-limit: acknowledge only N blocks per download
    bool short_report = false;           // --short-report: reports of 6 bytes instead of 10
    std::optional<uint32_t> drop_after;  // --drop-after: hang up after N messages per connection
};

// What the model counts for one open connection to the instrument.
struct ConnectionCounters {
    uint32_t messages = 0;
};

// The model's reaction to one message.
struct Answer {
    std::vector<uint8_t> bytes;     // empty: nothing is sent back
    uint32_t delay_ms = 0;          // send the bytes this long after the message arrived
    bool close_connection = false;  // hang up once the bytes (if any) are sent
    std::string trace;              // the message, decoded, one line
    // An acknowledged sample block before the last one announced: the
    // daemon's trace shows these only when asked for every block.
    bool routine_block = false;
};

// What the instrument produces when it is switched on.
struct PowerOnSetting {
    enum class Kind { kNothingStored, kControlState, kWaveform };
    Kind kind = Kind::kNothingStored;
    uint16_t control_word = 0;  // kControlState only
    uint16_t digital_out = 0;   // kControlState only
    uint16_t divider = 0;
    int wave_length = 0;                             // kWaveform only
    std::array<uint16_t, kWaveMemorySize> memory{};  // kWaveform only
};

class InstrumentModel {
  public:
    // Seconds on a monotonic clock; the counter integrates its input over it.
    using Clock = std::function<double()>;

    // The external signals the meter can count: slower ones overflow the
    // period register, faster ones the one-second count.
    static constexpr double kGateSeconds = 1.0;
    static constexpr double kPrescaler = 2.0;
    static constexpr double kRegisterMax = 4294967295.0;
    static constexpr double kLowestCountableHz = kBaseClockHz / kRegisterMax;
    static constexpr double kHighestCountableHz = kRegisterMax * kPrescaler / kGateSeconds;
    // 0 (no signal) or a frequency from the lowest to the highest countable.
    static bool MeterCanCount(double hz);

    // Without a clock the model uses the steady clock.
    explicit InstrumentModel(Clock clock = nullptr);

    void set_faults(const Faults& faults) { faults_ = faults; }
    const Faults& faults() const { return faults_; }
    void set_digital_in(uint16_t word) { digital_in_ = word; }
    // An external signal for the meter; nothing: the generator's own output.
    // False, and the input left as it was, for a frequency the meter cannot
    // count.
    bool set_external_input_hz(std::optional<double> hz);

    // A message on `connection`, whose counters it advances. The server keeps
    // one ConnectionCounters per connection it accepted.
    Answer Handle(ConnectionCounters& connection, const uint8_t* data, size_t size);

    // The same on the model's own connection, for a host that opens one at a
    // time; BeginConnection() stands for a new open of it.
    void BeginConnection() { own_connection_ = {}; }
    Answer Handle(const uint8_t* data, size_t size) { return Handle(own_connection_, data, size); }
    Answer Handle(const std::vector<uint8_t>& message) {
        return Handle(message.data(), message.size());
    }

    // Switches the instrument off and on: it comes back with its power-on
    // setting (or all zero when none was stored), the counter cleared.
    // Returns what it came back with, as one trace line.
    std::string PowerCycle();

    uint16_t control_word() const { return control_word_; }
    uint16_t digital_out() const { return digital_out_; }
    uint16_t divider() const { return divider_; }
    uint16_t digital_in() const { return digital_in_; }
    int played_length() const { return played_length_; }
    const std::array<uint16_t, kWaveMemorySize>& memory() const { return memory_; }
    const PowerOnSetting& power_on() const { return power_on_; }
    uint32_t trigger_pulses() const { return trigger_pulses_; }

    double SampleClockHz() const;
    // Whole cycles in one loop of the played samples (see the header comment).
    // Counted once per loaded wave: every report needs it.
    int CyclesPerLoop() const;
    // Frequency of the generator's output; 0 when it plays nothing or a flat wave.
    double OutputFrequencyHz() const;
    double MeterInputHz() const;
    // The samples the generator plays, one loop.
    std::vector<uint16_t> PlayedWave() const;

    // What a report sent now would carry.
    StatusReport MeasureNow();

  private:
    Answer HandleControl(const uint8_t* data);
    Answer HandleLengthHeader(uint16_t word);
    Answer HandleBlock(const uint8_t* data);
    Answer HandlePowerOnControl(const uint8_t* data);
    Answer HandlePowerOnWaveform();
    // Adds the input's cycles since the last call to the counter.
    void Advance();
    // The memory or the played length changed: the cycles are counted anew.
    void WaveChanged() { cycles_per_loop_.reset(); }

    Clock clock_;
    Faults faults_;

    uint16_t control_word_ = 0;
    uint16_t digital_out_ = 0;
    uint16_t divider_ = 0;
    uint16_t digital_in_ = 0;
    std::optional<double> external_input_hz_;

    std::array<uint16_t, kWaveMemorySize> memory_{};
    int played_length_ = 0;
    int wave_length_ = 0;  // length of the wave in memory, kept while the output is stopped
    mutable std::optional<int> cycles_per_loop_;  // of the played samples, once counted

    int blocks_expected_ = 0;  // of the download in progress
    int blocks_received_ = 0;  // since the last header

    double counted_cycles_ = 0.0;
    double last_advance_s_ = 0.0;
    uint32_t trigger_pulses_ = 0;

    PowerOnSetting power_on_;
    ConnectionCounters own_connection_;
};

}  // namespace velmar::sim
