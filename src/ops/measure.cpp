// The frequency meter and the event counter.

#include "VelmarDll.h"
#include "device/call_frame.h"
#include "ops/measure_conversion.h"

using namespace velmar;

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetMeasure(int32_t index, int32_t mode,
                                                           double* reading) {
    const trace::Call call(
        "DDSGetMeasure",
        {{"index", index}, {"mode", mode}, {"reading", static_cast<const void*>(reading)}});
    if (reading == nullptr) return Refuse(call, "reading is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        ControlShadow& shadow = State().shadow;
        // Only mode 1 switches the instrument to counting, while every mode
        // but 0 reads the count: mode 2 counts without the bit.
        shadow.packet.set_bit(kMeasureModeBit, mode == 1);
        // A reading is only ever made from a report that arrived in this call.
        if (!Answered(device.ExchangeControl())) return false;
        *reading = MeasurementReading(mode, shadow.report);
        return true;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSResetCounter(int32_t index) {
    return WithDevice(trace::Call("DDSResetCounter", {{"index", index}}), index,
                      [](InstrumentConnection& device) {
                          CommandPacket& packet = State().shadow.packet;
                          // The reset bit is a one-shot: it must never ride along on a later
                          // packet, so it is cleared whether or not the instrument answered.
                          packet.set_bit(kCounterResetBit, true);
                          const bool reset_sent = Answered(device.ExchangeControl());
                          packet.set_bit(kCounterResetBit, false);
                          return reset_sent && Answered(device.ExchangeControl());
                      });
}
