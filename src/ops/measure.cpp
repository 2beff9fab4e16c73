// The frequency meter and the event counter.

#include <cmath>

#include "device/trace.h"
#include "ops/measure_conversion.h"
#include "ops/operations.h"

namespace velmar::ops {

ErrorCode Measure(InstrumentConnection& device, InstrumentState& state, int32_t mode,
                  double* reading) {
    ControlShadow& shadow = state.shadow;
    // Only mode 1 switches the instrument to counting, while every mode
    // but 0 reads the count: mode 2 counts without the bit.
    shadow.packet.set_bit(kMeasureModeBit, mode == 1);
    // A reading is only ever made from a report that arrived in this call.
    if (!Answered(device.ExchangeControl(shadow))) return ErrorCode::kTimeout;
    const double value = MeasurementReading(mode, shadow.report);
    // An infinity is no frequency: handing it back as one would report a
    // failure as success.
    if (std::isinf(value)) {
        if (trace::On()) trace::Detail("no reading: a count with a period of 0");
        return ErrorCode::kNotAReading;
    }
    *reading = value;
    return ErrorCode::kOk;
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
