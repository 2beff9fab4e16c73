// Single-wave mode, the trigger, and the digital ports.

#include "device/trace.h"
#include "ops/operations.h"

namespace velmar::ops {
namespace {

constexpr uint32_t kTriggerPulseMs = 100;

// Raises the trigger pulse bit for 100 ms. If the raising packet was not
// answered the pulse ends there; the bit is cleared either way so that it
// never rides along on a later packet. Returns true when both were answered.
bool RunTriggerPulse(InstrumentConnection& device, ControlShadow& shadow) {
    shadow.packet.set_bit(kTriggerPulseBit, true);
    const bool raised = Answered(device.ExchangeControl(shadow));
    shadow.packet.set_bit(kTriggerPulseBit, false);
    if (!raised) return false;
    if (trace::On()) trace::Detail("pause " + std::to_string(kTriggerPulseMs) + " ms");
    device.platform().Sleep(kTriggerPulseMs);
    return Answered(device.ExchangeControl(shadow));
}

// The common body of the setters: change the shadow, send it whole.
bool SetBit(InstrumentConnection& device, InstrumentState& state, uint16_t bit, bool on) {
    state.shadow.packet.set_bit(bit, on);
    return Answered(device.ExchangeControl(state.shadow));
}

}  // namespace

bool SetSingleWave(InstrumentConnection& device, InstrumentState& state, bool enable) {
    return SetBit(device, state, kSingleWaveBit, enable);
}

bool SetTrigger(InstrumentConnection& device, InstrumentState& state, bool enable, bool option) {
    CommandPacket& packet = state.shadow.packet;
    // The final setting is sent whatever became of the pulse.
    const bool pulsed = RunTriggerPulse(device, state.shadow);
    packet.set_bit(kTriggerEnableBit, enable);
    // Disabling leaves the option as it was.
    if (enable) packet.set_bit(kTriggerOptionBit, option);
    const bool set = Answered(device.ExchangeControl(state.shadow));
    return pulsed && set;
}

bool SetDioMode(InstrumentConnection& device, InstrumentState& state, bool enable) {
    return SetBit(device, state, kDioModeBit, enable);
}

bool SetDigitalOut(InstrumentConnection& device, InstrumentState& state, uint16_t word) {
    state.shadow.packet.set_digital_out(word);
    return Answered(device.ExchangeControl(state.shadow));
}

bool GetDigitalIn(InstrumentConnection& device, InstrumentState& state, uint16_t* word) {
    // Only a report that arrived in this call is handed back.
    if (!Answered(device.ExchangeControl(state.shadow))) return false;
    *word = state.shadow.report.digital_in();
    return true;
}

}  // namespace velmar::ops
