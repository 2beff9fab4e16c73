// Output frequency and the sample clock divider.

#include "device/trace.h"
#include "ops/operations.h"

namespace velmar::ops {

bool SetFrequency(InstrumentConnection& device, InstrumentState& state, const FrequencyPlan& plan) {
    if (trace::On()) {
        trace::Detail("plan: divider " + std::to_string(plan.divider) + ", length " +
                      std::to_string(plan.length) + ", periods " + std::to_string(plan.periods));
    }
    state.shadow.packet.set_divider(plan.divider);
    state.last_divider = plan.divider;
    return Answered(device.ExchangeControl(state.shadow));
}

bool SetDivider(InstrumentConnection& device, InstrumentState& state, uint16_t divider) {
    state.shadow.packet.set_divider(divider);
    return Answered(device.ExchangeControl(state.shadow));
}

}  // namespace velmar::ops
