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

Instrument::Instrument(int index, InstrumentOptions options)
    : index_(index), options_(std::move(options)) {}

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
}  // namespace

Reply SelfTest(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    uint16_t word = 0;
    const int error = instrument.Run(
        [&](velmar_dds* handle) { return velmar_dds_get_digital_in(handle, &word); });
    return Reply{error == 0 ? "0" : "1",
                 error == 0 ? std::vector<QueuedError>{} : std::vector<QueuedError>{error}};
}

Reply SetDivider(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    return SetWord(instrument, unit, velmar_dds_set_divider);
}
Reply QueryDivider(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return QueryState(instrument,
                      [](const velmar_dds_state& state) { return std::to_string(state.divider); });
}

namespace {
// The meter's reading in `mode` (0 frequency, 1 counter), as MEAS answers it.
Reply Reading(Instrument& instrument, int mode) {
    double reading = 0.0;
    const int error = Measure(instrument, mode, &reading);
    if (mode == 0) return Answered(error, FormatNumber(reading));
    // The library's counter reading is already the number of input cycles.
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", reading);
    return Answered(error, std::isfinite(reading) ? text : kNotANumber);
}

// The meter's mode as the instrument has it: the control word's bit.
int MeterMode(Instrument& instrument, int* mode) {
    velmar_dds_state state{};
    const int error = instrument.State(&state);
    *mode = (state.control_word & kMeasureModeBit) != 0 ? 1 : 0;
    return error;
}
}  // namespace

Reply MeasureFrequency(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reading(instrument, 0);
}

Reply MeasureTotal(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    return Reading(instrument, 1);
}

// READ?: the reading of the mode the meter is in, which it keeps.
Reply ReadMeter(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    int mode = 0;
    if (const int error = MeterMode(instrument, &mode); error != 0) return Answered(error, "");
    return Reading(instrument, mode);
}

// SENS:FUNC FREQ|TOT: the meter's mode, switched with a reading of it.
Reply SetMeterFunction(Instrument& instrument, ByteOrder, const ProgramUnit& unit) {
    size_t choice = 0;
    if (const int error = ReadChoice(unit.parameters[0], {"FREQuency", "TOTalize"}, &choice)) {
        return Reply::Error(error);
    }
    // The reading itself is not an answer: a command answers nothing.
    return Reply{std::nullopt, Reading(instrument, static_cast<int>(choice)).errors};
}
Reply QueryMeterFunction(Instrument& instrument, ByteOrder, const ProgramUnit&) {
    int mode = 0;
    const int error = MeterMode(instrument, &mode);
    return Answered(error, mode == 0 ? "FREQ" : "TOT");
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
