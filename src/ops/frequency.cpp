// Output frequency and the sample clock divider.

#include "VelmarDll.h"
#include "device/call_frame.h"
#include "ops/frequency_plan.h"

using namespace velmar;

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
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        if (trace::On()) {
            trace::Detail("plan: divider " + std::to_string(plan->divider) + ", length " +
                          std::to_string(plan->length) + ", periods " +
                          std::to_string(plan->periods));
        }
        LibraryState& state = State();
        state.shadow.packet.set_divider(plan->divider);
        // Written before anything is sent, so they hold the plan even when the
        // instrument does not answer; length last, so it wins if both point
        // to the same integer.
        *periods = plan->periods;
        *length = plan->length;
        state.last_divider = plan->divider;
        return Answered(device.ExchangeControl());
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
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        State().shadow.packet.set_divider(divider);
        return Answered(device.ExchangeControl());
    });
}
