// The fifteen exported functions, exactly as their callers have always had
// them: one control state for the process, the device opened and closed for
// every call, 1 or 0 for a result. Each checks its arguments, enters the call
// frame and runs the core's operation on the process-wide state.

#include <optional>

#include "VelmarDll.h"
#include "ops/operations.h"
#include "velmardll/call_frame.h"

namespace velmar {

TransferStatus OpenDeviceByIndex(int32_t index, DeviceHandle* handle) {
    const std::vector<std::string>& paths = State().device_paths;
    if (index < 0 || static_cast<size_t>(index) >= paths.size()) {
        if (trace::On()) {
            trace::Detail("device " + std::to_string(index) +
                          ": not in the list of the last search (" +
                          (paths.empty() ? std::string("empty")
                                         : "indices 0 to " + std::to_string(paths.size() - 1)) +
                          ")");
        }
        return TransferStatus::kOpenFailed;
    }
    const std::string& path = paths[static_cast<size_t>(index)];
    Platform& platform = ActivePlatform();
    const bool opened = platform.Open(path, handle);
    if (trace::On()) {
        const std::string why = platform.LastFailure();
        trace::Detail("device " + std::to_string(index) + ": " + path +
                      (opened ? "" : ": open failed" + (why.empty() ? "" : ": " + why)));
    }
    return opened ? TransferStatus::kOk : TransferStatus::kOpenFailed;
}

int32_t Refuse(const trace::Call& call, const char* why) noexcept {
    return Serialized<int32_t>(call, 0, [&] {
        if (trace::On()) trace::Detail(std::string("refused: ") + why + "; nothing sent");
        return 0;
    });
}

}  // namespace velmar

using namespace velmar;

// ---- Discovery --------------------------------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSearch(void) {
    // The trace is looked at again first, so that a long-running program
    // can turn it on or off between searches.
    trace::Configure();
    return Serialized<int32_t>(trace::Call("DDSSearch", {}), 0, [] {
        LibraryState& state = State();
        // Release the old list first, so that a search never holds duplicates
        // and a failed one leaves no stale paths behind.
        state.device_paths.clear();
        Enumeration found = ActivePlatform().EnumerateDevices();
        if (!found.possible) {
            if (trace::On())
                trace::Detail("search not possible: " + found.where + ": " + found.why_not);
            return 0;
        }
        state.device_paths = std::move(found.paths);
        state.shadow.Reset();
        if (trace::On()) {
            trace::Detail("searched " + found.where + ": " + std::to_string(found.interfaces) +
                          " found");
            for (size_t i = 0; i < state.device_paths.size(); ++i)
                trace::Detail("device " + std::to_string(i) + ": " + state.device_paths[i]);
        }
        return found.interfaces;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSCheck(int32_t index) {
    // Sends nothing, so it proves nothing about late answers: the path's
    // mark stays as it was.
    return WithDevice(trace::Call("DDSCheck", {{"index", index}}), index,
                      [](InstrumentConnection&, LibraryState&) { return true; });
}

// ---- Output frequency and clock divider -------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetFrequency(int32_t index, double frequency,
                                                             int32_t* length, int32_t* periods) {
    const trace::Call call("DDSSetFrequency", {{"index", index},
                                               {"frequency", frequency},
                                               {"length", static_cast<const void*>(length)},
                                               {"periods", static_cast<const void*>(periods)}});
    if (length == nullptr || periods == nullptr) return Refuse(call, "length or periods is NULL");
    // Planned before the device is opened: a frequency that cannot be planned
    // is refused with nothing sent, nothing written and no state changed.
    const std::optional<FrequencyPlan> plan = PlanFrequency(frequency);
    if (!plan) return Refuse(call, "the frequency cannot be planned (above about 1e14 Hz)");
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        // Written before anything is sent, so they hold the plan even when the
        // instrument does not answer; length last, so it wins if both point
        // to the same integer.
        *periods = plan->periods;
        *length = plan->length;
        return ops::SetFrequency(device, state, *plan);
    });
}

extern "C" VELMAR_EXPORT double VELMAR_CALL DDSGetCLK(void) {
    return Serialized<double>(trace::Call("DDSGetCLK", {}), 0.0, [] {
        return SampleClockForDivider(State().shadow.packet.divider());
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDivNum(void) {
    return Serialized<int32_t>(trace::Call("DDSGetDivNum", {}), 0,
                               [] { return State().last_divider; });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDivNum(int32_t index, uint16_t divider) {
    const trace::Call call("DDSSetDivNum", {{"index", index}, {"divider", divider}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetDivider(device, state, divider);
    });
}

// ---- Waveform ---------------------------------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSDownload(int32_t index, const uint16_t* samples,
                                                         int32_t count) {
    const trace::Call call(
        "DDSDownload",
        {{"index", index}, {"samples", static_cast<const void*>(samples)}, {"count", count}});
    // A count outside the memory, or samples that are not there, would read
    // or write memory that is not the caller's: refused before anything is sent.
    if (count < 0 || count > kWaveMemorySize) return Refuse(call, "count is not from 0 to 4096");
    if (count > 0 && samples == nullptr) return Refuse(call, "samples is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::Download(device, state, samples, count);
    });
}

// ---- Meter and counter ------------------------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetMeasure(int32_t index, int32_t mode,
                                                           double* reading) {
    const trace::Call call(
        "DDSGetMeasure",
        {{"index", index}, {"mode", mode}, {"reading", static_cast<const void*>(reading)}});
    if (reading == nullptr) return Refuse(call, "reading is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::Measure(device, state, mode, reading) == ErrorCode::kOk;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSResetCounter(int32_t index) {
    return WithDevice(trace::Call("DDSResetCounter", {{"index", index}}), index,
                      [](InstrumentConnection& device, LibraryState& state) {
                          return ops::ResetCounter(device, state);
                      });
}

// ---- Modes, trigger and digital ports ---------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetSingleWave(int32_t index, int32_t enable) {
    const trace::Call call("DDSSetSingleWave", {{"index", index}, {"enable", enable}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetSingleWave(device, state, enable != 0);
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetTrigger(int32_t index, int32_t enable,
                                                           int32_t option) {
    const trace::Call call("DDSSetTrigger",
                           {{"index", index}, {"enable", enable}, {"option", option}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetTrigger(device, state, enable != 0, option != 0);
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDIOMode(int32_t index, int32_t mode) {
    const trace::Call call("DDSSetDIOMode", {{"index", index}, {"mode", mode}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetDioMode(device, state, mode != 0);
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDigitalOut(int32_t index, uint16_t value) {
    const trace::Call call("DDSSetDigitalOut", {{"index", index}, {"value", value}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetDigitalOut(device, state, value);
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDigitalIn(int32_t index, uint16_t* value) {
    const trace::Call call("DDSGetDigitalIn",
                           {{"index", index}, {"value", static_cast<const void*>(value)}});
    if (value == nullptr) return Refuse(call, "value is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::GetDigitalIn(device, state, value);
    });
}

// ---- Power-on output --------------------------------------------------------

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetPowerOnOutput(int32_t index, int32_t mode) {
    const trace::Call call("DDSSetPowerOnOutput", {{"index", index}, {"mode", mode}});
    return WithDevice(call, index, [&](InstrumentConnection& device, LibraryState& state) {
        return ops::SetPowerOnOutput(device, state, mode);
    });
}
