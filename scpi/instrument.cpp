#include "instrument.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <utility>

#include "ops/frequency_plan.h"
#ifndef _WIN32
#include "device/device_directory.h"
#endif
#include "protocol/protocol.h"

namespace velmar::scpi {

std::string SearchPlace() {
#ifdef _WIN32
    return "the Windows device interface";
#else
    return DeviceDirectory();
#endif
}

Instrument::Instrument(int index) : index_(index) {}

Instrument::~Instrument() {
    velmar_dds_close(handle_);
}

int ScpiErrorFor(int library_error) {
    switch (library_error) {
        case VELMAR_DDS_OK:
            return 0;
        case VELMAR_DDS_ERROR_NO_INSTRUMENT:
        case VELMAR_DDS_ERROR_OPEN_FAILED:
        case VELMAR_DDS_ERROR_SEARCH_FAILED:
            return kHardwareMissing;
        case VELMAR_DDS_ERROR_TIMEOUT:
        case VELMAR_DDS_ERROR_BAD_ANSWER:
        case VELMAR_DDS_ERROR_WRITE_REFUSED:
        case VELMAR_DDS_ERROR_DISCONNECTED:
        case VELMAR_DDS_ERROR_NOT_A_READING:
            return kHardwareError;
        default:  // refused arguments, no memory: the server's own failure
            return kExecutionError;
    }
}

void Instrument::Locate(const std::string& path, bool present) {
    if (path != path_ || !present) {
        velmar_dds_close(handle_);
        handle_ = nullptr;
    }
    path_ = path;
    present_ = present;
}

int Instrument::Open() {
    if (handle_ != nullptr) return 0;
    if (path_.empty()) {
        return Failed(kHardwareMissing,
                      "not found in " + SearchPlace() + " (the server keeps looking)");
    }
    if (!present_) {
        return Failed(kHardwareMissing, path_ + " is gone (served again as soon as it is back)");
    }
    if (const int result = velmar_dds_open(path_.c_str(), &handle_); result != VELMAR_DDS_OK) {
        handle_ = nullptr;
        return Outcome(result);
    }
    // The session starts from the control state kept on the host, whoever
    // sent it: a trigger option set there is the one TRIG ON sends again.
    velmar_dds_state state{};
    if (velmar_dds_get_state(handle_, &state) == VELMAR_DDS_OK) {
        settings_.trigger_option = (state.control_word & kTriggerOptionBit) != 0;
    }
    return 0;
}

int Instrument::Outcome(int result) {
    if (result == VELMAR_DDS_OK) {
        last_words_.clear();
        return 0;
    }
    // The words are the calling thread's, and this is the thread that called.
    const std::string words = velmar_dds_last_message();
    return Failed(ScpiErrorFor(result), words.empty() ? velmar_dds_strerror(result) : words);
}

int Instrument::Failed(int error, std::string words) {
    note_.news = words != last_words_;
    note_.words = words;
    last_words_ = std::move(words);
    return error;
}

int Instrument::State(velmar_dds_state* state) {
    return Run([&](velmar_dds* handle) { return velmar_dds_get_state(handle, state); });
}

FailureNote Instrument::TakeNote() {
    return std::exchange(note_, FailureNote{});
}

std::optional<QueuedError> PlaybackWarning(const velmar_dds_plan& plan, bool flat_samples) {
    if (flat_samples || plan.playback == VELMAR_DDS_PLAYS_CONSTANT) {
        return QueuedError(kSettingsConflict, "constant output, no frequency");
    }
    if (plan.playback == VELMAR_DDS_PLAYS_ALIAS) {
        return QueuedError(kSettingsConflict,
                           "aliased to " + FormatNumber(plan.produced_hz) + " Hz");
    }
    return std::nullopt;
}

namespace {

// A query whose instrument did not answer still answers.
Reply Answered(int error, const std::string& answer) {
    if (error != 0) return Reply{std::string(kNotANumber), {error}};
    return Reply::Answer(answer);
}
Reply Done(int error) {
    return error != 0 ? Reply::Error(error) : Reply::Done();
}

// A query of the control state the session holds.
Reply QueryState(Instrument& instrument,
                 const std::function<std::string(const velmar_dds_state&)>& answer) {
    velmar_dds_state state{};
    const int error = instrument.State(&state);
    return Answered(error, error == 0 ? answer(state) : std::string());
}
Reply QueryBit(Instrument& instrument, uint16_t bit) {
    return QueryState(instrument, [bit](const velmar_dds_state& state) {
        return std::string((state.control_word & bit) != 0 ? "1" : "0");
    });
}

// Downloads `samples`, which hold `periods` periods of the output.
int Load(Instrument& instrument, const std::vector<uint16_t>& samples, int32_t periods) {
    const int count = static_cast<int>(samples.size());
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_download(handle, samples.data(), count); });
    if (error == 0) {
        InstrumentSettings& s = instrument.settings();
        s.loaded_length = count;
        s.loaded_periods = periods;
        s.loaded_flat = std::adjacent_find(samples.begin(), samples.end(),
                                           std::not_equal_to<uint16_t>()) == samples.end();
    }
    return error;
}

// The wave over the current plan, again: after a FREQ, or a change of the
// wave's shape, amplitude or offset while a frequency is set.
Reply Recompute(Instrument& instrument) {
    const InstrumentSettings& s = instrument.settings();
    if (!s.plan) return Reply::Done();
    const velmar_dds_plan plan = *s.plan;
    const std::vector<uint16_t> samples = wave::ComputeSamples(s.wave, plan.length, plan.periods);
    if (const int error = Load(instrument, samples, plan.periods); error != 0) {
        return Reply::Error(error);
    }
    Reply reply;
    if (auto warning = PlaybackWarning(plan, s.loaded_flat)) reply.errors.push_back(*warning);
    return reply;
}

// The meter, either mode. A report that holds no frequency is an answer of
// the instrument all the same: not a number, and no error.
int Measure(Instrument& instrument, int mode, double* reading) {
    return instrument.Run([&](velmar_dds* handle) {
        const int result = velmar_dds_measure(handle, mode, reading);
        if (result != VELMAR_DDS_ERROR_NOT_A_READING) return result;
        *reading = std::nan("");
        return static_cast<int>(VELMAR_DDS_OK);
    });
}

// The one-parameter setters that store a value and send it.
template <typename Apply>
Reply SetFlag(const ProgramUnit& unit, Apply apply) {
    bool on = false;
    if (const int error = ReadBoolean(unit.parameters[0], &on); error != 0) {
        return Reply::Error(error);
    }
    return Done(apply(on));
}

// Every trigger setting starts with the instrument's 100 ms trigger pulse.
int SendTrigger(Instrument& instrument, bool enable) {
    const int option = instrument.settings().trigger_option ? 1 : 0;
    return instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_set_trigger(handle, enable ? 1 : 0, option); });
}

// DIV and DIG:OUTP: a 16-bit word, sent by its setter.
Reply SetWord(Instrument& instrument, const ProgramUnit& unit,
              int (*setter)(velmar_dds*, uint16_t)) {
    int64_t value = 0;
    if (const int error = ReadInteger(unit.parameters[0], {0, 65535, 0}, &value); error != 0) {
        return Reply::Error(error);
    }
    const auto word = static_cast<uint16_t>(value);
    return Done(instrument.Run([&](velmar_dds* handle) { return setter(handle, word); }));
}

// VOLT and VOLT:OFFS: a number of the wave's scale, applied at once when a
// frequency is set.
Reply SetScale(Instrument& instrument, const ProgramUnit& unit, const Range& range,
               double wave::WaveSettings::*field) {
    double value = 0.0;
    if (const int error = ReadNumber(unit.parameters[0], range, &value); error != 0) {
        return Reply::Error(error);
    }
    instrument.settings().wave.*field = value;
    return Recompute(instrument);
}

constexpr Range kFrequencyRange{1.0, 100e6, 1000.0, true};  // up to half the base clock
constexpr Range kAmplitudeRange{0.0, 1.0, 1.0};
constexpr Range kOffsetRange{-1.0, 1.0, 0.0};
constexpr Range kWordRange{0, 65535, 0};
constexpr size_t kMostSamples = 4096;
// A list of every sample gets through the parser.
static_assert(kMostParameters >= kMostSamples, "the parser refuses a list DATA:DAC takes");

}  // namespace

std::vector<uint16_t> DecodeSamples(const std::string& bytes, ByteOrder order) {
    std::vector<uint16_t> samples;
    samples.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<uint8_t>(bytes[i]);
        const auto second = static_cast<uint8_t>(bytes[i + 1]);
        samples.push_back(order == ByteOrder::kNormal ? static_cast<uint16_t>(first << 8 | second)
                                                      : static_cast<uint16_t>(second << 8 | first));
    }
    return samples;
}

Reply ResetInstrument(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    InstrumentSettings& s = instrument.settings();
    s.wave = wave::WaveSettings{};
    s.plan.reset();
    s.trigger_option = false;
    velmar_dds_state state{};
    int error = instrument.State(&state);
    // Each setter sends the whole control state with its own part changed:
    // what is set is cleared one by one, and the divider's packet then sends
    // all of it as zero, even when nothing was set.
    auto step = [&](bool needed, auto&& action) {
        if (error == 0 && needed) error = action();
    };
    auto send = [&](auto&& call) { return [&instrument, call] { return instrument.Run(call); }; };
    const uint16_t word = state.control_word;
    // Only enabling the trigger changes its option bit.
    step(word & kTriggerOptionBit,
         send([](velmar_dds* h) { return velmar_dds_set_trigger(h, 1, 0); }));
    step(word & (kTriggerEnableBit | kTriggerOptionBit),
         send([](velmar_dds* h) { return velmar_dds_set_trigger(h, 0, 0); }));
    step(word & kSingleWaveBit,
         send([](velmar_dds* h) { return velmar_dds_set_single_wave(h, 0); }));
    step(word & kDioModeBit, send([](velmar_dds* h) { return velmar_dds_set_dio_mode(h, 0); }));
    step(state.digital_out != 0,
         send([](velmar_dds* h) { return velmar_dds_set_digital_out(h, 0); }));
    double reading = 0.0;
    step(word & kMeasureModeBit, [&] { return Measure(instrument, 0, &reading); });
    step(true, send([](velmar_dds* h) { return velmar_dds_set_divider(h, 0); }));
    return Done(error);
}

Reply SelfTest(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    uint16_t word = 0;
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_get_digital_in(handle, &word); });
    return Reply{error == 0 ? "0" : "1",
                 error == 0 ? std::vector<QueuedError>{} : std::vector<QueuedError>{error}};
}

Reply SetFrequency(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    double hz = 0.0;
    if (const int error = ReadNumber(unit.parameters[0], kFrequencyRange, &hz); error != 0) {
        return Reply::Error(error);
    }
    velmar_dds_plan plan{};
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_set_frequency(handle, hz, &plan); });
    if (error != 0) return Reply::Error(error);
    instrument.settings().plan = plan;
    return Recompute(instrument);
}

Reply QueryFrequency(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    const InstrumentSettings& s = instrument.settings();
    if (s.loaded_length <= 0) return Reply::Answer(kNotANumber);  // nothing loaded yet
    return QueryState(instrument, [&s](const velmar_dds_state& state) {
        if (s.loaded_flat) return std::string("0");
        // What the loaded samples play at the divider now set, folded below
        // half the sample clock as the instrument folds it: right after FREQ,
        // the plan's produced frequency.
        const FrequencyPlan loaded{state.divider, s.loaded_length, s.loaded_periods};
        return FormatNumber(PlayedFrequencyHz(loaded));
    });
}

Reply SetFunction(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    static constexpr wave::Shape kShapes[] = {wave::Shape::kSine, wave::Shape::kSquare,
                                              wave::Shape::kTriangle, wave::Shape::kSawtooth,
                                              wave::Shape::kTable};
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0],
                                     {"SINusoid", "SQUare", "TRIangle", "RAMP", "USER"}, &choice);
        error != 0) {
        return Reply::Error(error);
    }
    InstrumentSettings& s = instrument.settings();
    if (kShapes[choice] == wave::Shape::kTable && s.wave.table.empty()) {
        return Reply::Error(kIllegalParameterValue);  // no DATA:USER shape loaded yet
    }
    s.wave.shape = kShapes[choice];
    return Recompute(instrument);
}

Reply QueryFunction(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    switch (instrument.settings().wave.shape) {
        case wave::Shape::kSine:
            return Reply::Answer("SIN");
        case wave::Shape::kSquare:
            return Reply::Answer("SQU");
        case wave::Shape::kTriangle:
            return Reply::Answer("TRI");
        case wave::Shape::kSawtooth:
            return Reply::Answer("RAMP");
        case wave::Shape::kTable:
            return Reply::Answer("USER");
    }
    return Reply::Answer("SIN");
}

Reply SetAmplitude(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetScale(instrument, unit, kAmplitudeRange, &wave::WaveSettings::amplitude);
}
Reply QueryAmplitude(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(FormatNumber(instrument.settings().wave.amplitude));
}

Reply SetOffset(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetScale(instrument, unit, kOffsetRange, &wave::WaveSettings::offset);
}
Reply QueryOffset(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(FormatNumber(instrument.settings().wave.offset));
}

Reply LoadUserShape(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    if (unit.parameters.size() < 2 || unit.parameters.size() > kMostSamples) {
        return Reply::Error(kDataOutOfRange);
    }
    std::vector<double> table;
    for (const Parameter& parameter : unit.parameters) {
        double value = 0.0;
        if (const int error = ReadNumber(parameter, {-1.0, 1.0, 0.0}, &value); error != 0) {
            return Reply::Error(error);
        }
        table.push_back(value);
    }
    InstrumentSettings& s = instrument.settings();
    s.wave.table = std::move(table);
    return s.wave.shape == wave::Shape::kTable ? Recompute(instrument) : Reply::Done();
}
Reply QueryUserPoints(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(instrument.settings().wave.table.size()));
}

Reply LoadDac(Instrument& instrument, ByteOrder order, const ProgramUnit& unit) {
    std::vector<uint16_t> samples;
    const std::vector<Parameter>& p = unit.parameters;
    if (p.size() == 1 && p[0].kind == Parameter::Kind::kBlock) {
        if (p[0].text.size() % 2 != 0) return Reply::Error(kInvalidBlockData);
        samples = DecodeSamples(p[0].text, order);
    } else {
        if (p.size() > kMostSamples) return Reply::Error(kDataOutOfRange);
        for (const Parameter& parameter : p) {
            int64_t value = 0;
            if (const int error = ReadInteger(parameter, kWordRange, &value); error != 0) {
                return Reply::Error(error);
            }
            samples.push_back(static_cast<uint16_t>(value));
        }
    }
    if (samples.empty() || samples.size() > kMostSamples) return Reply::Error(kDataOutOfRange);
    // The memory now holds these samples, not a wave of the plan.
    instrument.settings().plan.reset();
    return Done(Load(instrument, samples, 1));
}
Reply QueryDacPoints(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(instrument.settings().loaded_length));
}

Reply SetDivider(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetWord(instrument, unit, velmar_dds_set_divider);
}
Reply QueryDivider(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryState(instrument,
                      [](const velmar_dds_state& state) { return std::to_string(state.divider); });
}

Reply QuerySampleRate(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryState(instrument, [](const velmar_dds_state& state) {
        return FormatNumber(state.reported_clock_hz);
    });
}

Reply MeasureFrequency(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    double reading = 0.0;
    const int error = Measure(instrument, 0, &reading);
    return Answered(error, FormatNumber(reading));
}

Reply MeasureTotal(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    // The library's counter reading is already the number of input cycles.
    double reading = 0.0;
    const int error = Measure(instrument, 1, &reading);
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", reading);
    return Answered(error, std::isfinite(reading) ? text : kNotANumber);
}

Reply ClearTotal(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Done(instrument.Run(velmar_dds_reset_counter));
}

Reply SetDigitalOut(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetWord(instrument, unit, velmar_dds_set_digital_out);
}
Reply QueryDigitalOut(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryState(instrument, [](const velmar_dds_state& state) {
        return std::to_string(state.digital_out);
    });
}

Reply QueryDigitalIn(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    uint16_t word = 0;
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_get_digital_in(handle, &word); });
    return Answered(error, std::to_string(word));
}

Reply SetDigitalMode(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        return instrument.Run(
            [&](velmar_dds* handle) { return velmar_dds_set_dio_mode(handle, on ? 1 : 0); });
    });
}
Reply QueryDigitalMode(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryBit(instrument, kDioModeBit);
}

Reply SetSingleWave(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        return instrument.Run(
            [&](velmar_dds* handle) { return velmar_dds_set_single_wave(handle, on ? 1 : 0); });
    });
}
Reply QuerySingleWave(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryBit(instrument, kSingleWaveBit);
}

Reply SetTrigger(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) { return SendTrigger(instrument, on); });
}
Reply QueryTrigger(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryBit(instrument, kTriggerEnableBit);
}

Reply SetTriggerOption(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        instrument.settings().trigger_option = on;
        // Sent at once only when the trigger is on; else with the next TRIG ON.
        velmar_dds_state state{};
        if (const int error = instrument.State(&state); error != 0) return error;
        return (state.control_word & kTriggerEnableBit) != 0 ? SendTrigger(instrument, true) : 0;
    });
}
Reply QueryTriggerOption(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(instrument.settings().trigger_option ? "1" : "0");
}

Reply StorePowerOn(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"CURRent", "WAVeform"}, &choice)) {
        return Reply::Error(error);
    }
    // Mode 1 stores the control state, any other the loaded waveform.
    const int mode = choice == 0 ? 1 : 0;
    return Done(instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_set_power_on_output(handle, mode); }));
}

}  // namespace velmar::scpi
