#include "instrument.h"

#include <cmath>
#include <cstdio>

#include "VelmarDll.h"
#include "ops/frequency_plan.h"

namespace velmar::scpi {

bool ControlBits::operator==(const ControlBits& o) const {
    return divider == o.divider && digital_out == o.digital_out && single_wave == o.single_wave &&
           dio_mode == o.dio_mode && trigger_enable == o.trigger_enable &&
           trigger_option == o.trigger_option && count_mode == o.count_mode;
}

int InstrumentHost::Failure(int index) {
    return DDSCheck(index) == 1 ? kHardwareError : kHardwareMissing;
}

int InstrumentHost::Restate(int index) {
    const ControlBits want = settings(index).bits;
    if (library_ == want) return 0;
    // Each setter sends the whole control state with its own field changed;
    // after the last of them the instrument has all of its own settings.
    auto step = [&](bool differs, auto call, auto change) {
        if (!differs) return 0;
        return Step(index, call, change);
    };
    const ControlBits have = library_;
    int error = 0;
    auto run = [&](int result) {
        if (error == 0) error = result;
        return error == 0;
    };
    // Only DDSSetTrigger with enable on changes the option bit.
    if (have.trigger_option != want.trigger_option) {
        run(step(
            true, [&] { return DDSSetTrigger(index, 1, want.trigger_option); },
            [&](ControlBits& b) {
                b.trigger_enable = true;
                b.trigger_option = want.trigger_option;
            }));
    }
    if (error == 0 && library_.trigger_enable != want.trigger_enable) {
        run(step(
            true, [&] { return DDSSetTrigger(index, want.trigger_enable, want.trigger_option); },
            [&](ControlBits& b) { b.trigger_enable = want.trigger_enable; }));
    }
    if (error == 0) {
        run(step(
            have.divider != want.divider, [&] { return DDSSetDivNum(index, want.divider); },
            [&](ControlBits& b) { b.divider = want.divider; }));
    }
    if (error == 0) {
        run(step(
            have.digital_out != want.digital_out,
            [&] { return DDSSetDigitalOut(index, want.digital_out); },
            [&](ControlBits& b) { b.digital_out = want.digital_out; }));
    }
    if (error == 0) {
        run(step(
            have.single_wave != want.single_wave,
            [&] { return DDSSetSingleWave(index, want.single_wave); },
            [&](ControlBits& b) { b.single_wave = want.single_wave; }));
    }
    if (error == 0) {
        run(step(
            have.dio_mode != want.dio_mode, [&] { return DDSSetDIOMode(index, want.dio_mode); },
            [&](ControlBits& b) { b.dio_mode = want.dio_mode; }));
    }
    if (error == 0) {
        double reading = 0.0;
        run(step(
            have.count_mode != want.count_mode,
            [&] { return DDSGetMeasure(index, want.count_mode ? 1 : 0, &reading); },
            [&](ControlBits& b) { b.count_mode = want.count_mode; }));
    }
    // Step() also wrote the instrument's own record; it must stay what was wanted.
    settings(index).bits = want;
    return error;
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

// Downloads `samples`, which hold `periods` periods of the output.
int Load(InstrumentHost& host, int index, const std::vector<uint16_t>& samples, int32_t periods) {
    const int32_t count = static_cast<int32_t>(samples.size());
    const int error = host.Run(index, [&] { return DDSDownload(index, samples.data(), count); });
    if (error == 0) {
        host.settings(index).loaded_length = count;
        host.settings(index).loaded_periods = periods;
    }
    return error;
}

// The wave over the current plan, again: after a change of its shape,
// amplitude or offset while a frequency is set.
int Recompute(InstrumentHost& host, int index) {
    const InstrumentSettings& s = host.settings(index);
    if (!s.frequency) return 0;
    return Load(host, index, wave::ComputeSamples(s.wave, s.plan_length, s.plan_periods),
                s.plan_periods);
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
int SendTrigger(InstrumentHost& host, int index, bool enable) {
    const bool option = host.settings(index).trigger_option;
    return host.Run(
        index, [&] { return DDSSetTrigger(index, enable, option); },
        [&](ControlBits& b) {
            b.trigger_enable = enable;
            // Disabling leaves the option bit as it was.
            if (enable) b.trigger_option = option;
        });
}

// DIV and DIG:OUTP: a 16-bit word, sent by its setter and kept in the bits.
Reply SetWord(InstrumentHost& host, int index, const ProgramUnit& unit,
              int32_t(VELMAR_CALL* setter)(int32_t, uint16_t), uint16_t ControlBits::*field) {
    int64_t value = 0;
    if (const int error = ReadInteger(unit.parameters[0], {0, 65535, 0}, &value); error != 0) {
        return Reply::Error(error);
    }
    const auto word = static_cast<uint16_t>(value);
    return Done(host.Run(
        index, [&] { return setter(index, word); }, [&](ControlBits& b) { b.*field = word; }));
}

// VOLT and VOLT:OFFS: a number of the wave's scale, applied at once when a
// frequency is set.
Reply SetScale(InstrumentHost& host, int index, const ProgramUnit& unit, const Range& range,
               double wave::WaveSettings::*field) {
    double value = 0.0;
    if (const int error = ReadNumber(unit.parameters[0], range, &value); error != 0) {
        return Reply::Error(error);
    }
    host.settings(index).wave.*field = value;
    return Done(Recompute(host, index));
}

constexpr Range kFrequencyRange{1.0, 100e6, 1000.0, true};  // up to half the base clock
constexpr Range kAmplitudeRange{0.0, 1.0, 1.0};
constexpr Range kOffsetRange{-1.0, 1.0, 0.0};
constexpr Range kWordRange{0, 65535, 0};
constexpr size_t kMostSamples = 4096;

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

Reply ResetInstrument(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    InstrumentSettings& s = host.settings(index);
    s.wave = wave::WaveSettings{};
    s.frequency.reset();
    s.trigger_option = false;
    s.bits = ControlBits{};
    // Restate() clears what is set; the divider call then sends all zeros
    // even when nothing was set.
    return Done(host.Run(index, [&] { return DDSSetDivNum(index, 0); }));
}

Reply SelfTest(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    uint16_t word = 0;
    const int error = host.Run(index, [&] { return DDSGetDigitalIn(index, &word); });
    return Reply{error == 0 ? "0" : "1", error == 0 ? std::vector<int>{} : std::vector<int>{error}};
}

Reply SetFrequency(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    double hz = 0.0;
    if (const int error = ReadNumber(unit.parameters[0], kFrequencyRange, &hz); error != 0) {
        return Reply::Error(error);
    }
    int32_t length = 0, periods = 0;
    int error = host.Run(
        index, [&] { return DDSSetFrequency(index, hz, &length, &periods); },
        [](ControlBits& b) { b.divider = static_cast<uint16_t>(DDSGetDivNum()); });
    if (error != 0) return Reply::Error(error);
    InstrumentSettings& s = host.settings(index);
    s.frequency = hz;
    s.plan_length = length;
    s.plan_periods = periods;
    return Done(Recompute(host, index));
}

Reply QueryFrequency(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    const InstrumentSettings& s = host.settings(index);
    if (s.loaded_length <= 0) return Reply::Answer(kNotANumber);  // nothing loaded yet
    return Reply::Answer(
        FormatNumber(PlannedSampleClockHz(s.bits.divider) * s.loaded_periods / s.loaded_length));
}

Reply SetFunction(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    static constexpr wave::Shape kShapes[] = {wave::Shape::kSine, wave::Shape::kSquare,
                                              wave::Shape::kTriangle, wave::Shape::kSawtooth,
                                              wave::Shape::kTable};
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0],
                                     {"SINusoid", "SQUare", "TRIangle", "RAMP", "USER"}, &choice);
        error != 0) {
        return Reply::Error(error);
    }
    InstrumentSettings& s = host.settings(index);
    if (kShapes[choice] == wave::Shape::kTable && s.wave.table.empty()) {
        return Reply::Error(kIllegalParameterValue);  // no DATA:USER shape loaded yet
    }
    s.wave.shape = kShapes[choice];
    return Done(Recompute(host, index));
}

Reply QueryFunction(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    switch (host.settings(index).wave.shape) {
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

Reply SetAmplitude(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetScale(host, index, unit, kAmplitudeRange, &wave::WaveSettings::amplitude);
}
Reply QueryAmplitude(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(FormatNumber(host.settings(index).wave.amplitude));
}

Reply SetOffset(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetScale(host, index, unit, kOffsetRange, &wave::WaveSettings::offset);
}
Reply QueryOffset(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(FormatNumber(host.settings(index).wave.offset));
}

Reply LoadUserShape(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
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
    InstrumentSettings& s = host.settings(index);
    s.wave.table = std::move(table);
    return Done(s.wave.shape == wave::Shape::kTable ? Recompute(host, index) : 0);
}
Reply QueryUserPoints(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(host.settings(index).wave.table.size()));
}

Reply LoadDac(InstrumentHost& host, int index, ByteOrder order, const ProgramUnit& unit) {
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
    host.settings(index).frequency.reset();
    return Done(Load(host, index, samples, 1));
}
Reply QueryDacPoints(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(host.settings(index).loaded_length));
}

Reply SetDivider(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetWord(host, index, unit, DDSSetDivNum, &ControlBits::divider);
}
Reply QueryDivider(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(host.settings(index).bits.divider));
}

Reply QuerySampleRate(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    // The library's clock comes from its control state, which must be this
    // instrument's first.
    double clock = 0.0;
    const int error = host.Run(index, [&] {
        clock = DDSGetCLK();
        return 1;
    });
    return Answered(error, FormatNumber(clock));
}

Reply MeasureFrequency(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    double reading = 0.0;
    const int error = host.Run(
        index, [&] { return DDSGetMeasure(index, 0, &reading); },
        [](ControlBits& b) { b.count_mode = false; });
    return Answered(error, FormatNumber(reading));
}

Reply MeasureTotal(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    // The library's counter reading is already the number of input cycles.
    double reading = 0.0;
    const int error = host.Run(
        index, [&] { return DDSGetMeasure(index, 1, &reading); },
        [](ControlBits& b) { b.count_mode = true; });
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", reading);
    return Answered(error, text);
}

Reply ClearTotal(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Done(host.Run(index, [&] { return DDSResetCounter(index); }));
}

Reply SetDigitalOut(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetWord(host, index, unit, DDSSetDigitalOut, &ControlBits::digital_out);
}
Reply QueryDigitalOut(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(std::to_string(host.settings(index).bits.digital_out));
}

Reply QueryDigitalIn(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    uint16_t word = 0;
    const int error = host.Run(index, [&] { return DDSGetDigitalIn(index, &word); });
    return Answered(error, std::to_string(word));
}

Reply SetDigitalMode(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        return host.Run(
            index, [&] { return DDSSetDIOMode(index, on); },
            [&](ControlBits& b) { b.dio_mode = on; });
    });
}
Reply QueryDigitalMode(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(host.settings(index).bits.dio_mode ? "1" : "0");
}

Reply SetSingleWave(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        return host.Run(
            index, [&] { return DDSSetSingleWave(index, on); },
            [&](ControlBits& b) { b.single_wave = on; });
    });
}
Reply QuerySingleWave(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(host.settings(index).bits.single_wave ? "1" : "0");
}

Reply SetTrigger(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) { return SendTrigger(host, index, on); });
}
Reply QueryTrigger(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(host.settings(index).bits.trigger_enable ? "1" : "0");
}

Reply SetTriggerOption(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    return SetFlag(unit, [&](bool on) {
        host.settings(index).trigger_option = on;
        // Sent at once only when the trigger is on; else with the next TRIG ON.
        return host.settings(index).bits.trigger_enable ? SendTrigger(host, index, true) : 0;
    });
}
Reply QueryTriggerOption(InstrumentHost& host, int index, ByteOrder, const ProgramUnit&) {
    return Reply::Answer(host.settings(index).trigger_option ? "1" : "0");
}

Reply StorePowerOn(InstrumentHost& host, int index, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"CURRent", "WAVeform"}, &choice)) {
        return Reply::Error(error);
    }
    // Mode 1 stores the control state, any other the loaded waveform.
    const int32_t mode = choice == 0 ? 1 : 0;
    return Done(host.Run(index, [&] { return DDSSetPowerOnOutput(index, mode); }));
}

}  // namespace velmar::scpi
