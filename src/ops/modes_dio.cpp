// Single-wave mode, the trigger, and the digital ports.

#include "VelmarDll.h"
#include "device/call_frame.h"

using namespace velmar;

namespace {

constexpr uint32_t kTriggerPulseMs = 100;

// Raises the trigger pulse bit for 100 ms. If the raising packet was not
// answered the pulse ends there; the bit is cleared either way so that it
// never rides along on a later packet. Returns true when both were answered.
bool RunTriggerPulse(InstrumentConnection& device, CommandPacket& packet) {
    packet.set_bit(kTriggerPulseBit, true);
    const bool raised = Answered(device.ExchangeControl());
    packet.set_bit(kTriggerPulseBit, false);
    if (!raised) return false;
    if (trace::On()) trace::Detail("pause " + std::to_string(kTriggerPulseMs) + " ms");
    ActivePlatform().Sleep(kTriggerPulseMs);
    return Answered(device.ExchangeControl());
}

// The common body of the setters: change the shadow, send it whole.
template <typename Change>
int32_t SetAndExchange(const trace::Call& call, int32_t index, Change&& change) {
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        change(State().shadow.packet);
        return Answered(device.ExchangeControl());
    });
}

}  // namespace

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetSingleWave(int32_t index, int32_t enable) {
    return SetAndExchange(
        trace::Call("DDSSetSingleWave", {{"index", index}, {"enable", enable}}), index,
        [&](CommandPacket& packet) { packet.set_bit(kSingleWaveBit, enable != 0); });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetTrigger(int32_t index, int32_t enable,
                                                           int32_t option) {
    const trace::Call call("DDSSetTrigger",
                           {{"index", index}, {"enable", enable}, {"option", option}});
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        CommandPacket& packet = State().shadow.packet;
        // The final setting is sent whatever became of the pulse.
        const bool pulsed = RunTriggerPulse(device, packet);
        packet.set_bit(kTriggerEnableBit, enable != 0);
        // Disabling leaves the option as it was.
        if (enable != 0) packet.set_bit(kTriggerOptionBit, option != 0);
        const bool set = Answered(device.ExchangeControl());
        return pulsed && set;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDIOMode(int32_t index, int32_t mode) {
    return SetAndExchange(trace::Call("DDSSetDIOMode", {{"index", index}, {"mode", mode}}), index,
                          [&](CommandPacket& packet) { packet.set_bit(kDioModeBit, mode != 0); });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDigitalOut(int32_t index, uint16_t value) {
    return SetAndExchange(trace::Call("DDSSetDigitalOut", {{"index", index}, {"value", value}}),
                          index, [&](CommandPacket& packet) { packet.set_digital_out(value); });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDigitalIn(int32_t index, uint16_t* value) {
    const trace::Call call("DDSGetDigitalIn",
                           {{"index", index}, {"value", static_cast<const void*>(value)}});
    if (value == nullptr) return Refuse(call, "value is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        // Only a report that arrived in this call is handed back.
        if (!Answered(device.ExchangeControl())) return false;
        *value = State().shadow.report.digital_in();
        return true;
    });
}
