// Output frequency and the sample clock divider.

#include "VelmarDll.h"
#include "device/call_frame.h"
#include "ops/frequency_plan.h"

using namespace velmar;

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetFrequency(int32_t index, double frequency,
                                                             int32_t* length, int32_t* periods) {
    if (length == nullptr || periods == nullptr) return 0;
    // Planned before the device is opened: a frequency that cannot be planned
    // is refused with nothing sent, nothing written and no state changed.
    const std::optional<FrequencyPlan> plan = PlanFrequency(frequency);
    if (!plan) return 0;
    return WithDevice(index, [&](InstrumentConnection& device) {
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
    return Serialized<double>(
        0.0, [] { return SampleClockForDivider(State().shadow.packet.divider()); });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDivNum(void) {
    return Serialized<int32_t>(0, [] { return State().last_divider; });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDivNum(int32_t index, uint16_t divider) {
    return WithDevice(index, [&](InstrumentConnection& device) {
        State().shadow.packet.set_divider(divider);
        return Answered(device.ExchangeControl());
    });
}
