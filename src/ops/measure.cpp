// The frequency meter and the event counter.

#include "ops/measure_conversion.h"
#include "ops/operations.h"

namespace velmar::ops {

bool Measure(InstrumentConnection& device, InstrumentState& state, int32_t mode, double* reading) {
    ControlShadow& shadow = state.shadow;
    // Only mode 1 switches the instrument to counting, while every mode
    // but 0 reads the count: mode 2 counts without the bit.
    shadow.packet.set_bit(kMeasureModeBit, mode == 1);
    // A reading is only ever made from a report that arrived in this call.
    if (!Answered(device.ExchangeControl(shadow))) return false;
    *reading = MeasurementReading(mode, shadow.report);
    return true;
}

bool ResetCounter(InstrumentConnection& device, InstrumentState& state) {
    CommandPacket& packet = state.shadow.packet;
    // The reset bit is a one-shot: it must never ride along on a later
    // packet, so it is cleared whether or not the instrument answered.
    packet.set_bit(kCounterResetBit, true);
    const bool reset_sent = Answered(device.ExchangeControl(state.shadow));
    packet.set_bit(kCounterResetBit, false);
    return reset_sent && Answered(device.ExchangeControl(state.shadow));
}

}  // namespace velmar::ops
