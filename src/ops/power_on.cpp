// Storing the output the instrument produces when it is switched on.

#include "ops/operations.h"

namespace velmar::ops {
namespace {

// Mode 1 stores the current control state, sent whole under PowerOnCommand.
bool StoreControlState(InstrumentConnection& device, CommandPacket& packet) {
    packet.set_code(kPowerOnCommand);
    return Answered(device.SendAwaitingAck(packet.data(), kCommandPacketSize));
}

// Other modes store the waveform: a length word of no samples opens the store,
// the bare command performs it, and a final header gives the padded length of
// the last complete download. The whole sequence is always sent, so the
// instrument is never left between its steps by a missing acknowledgement.
bool StoreWaveform(InstrumentConnection& device, CommandPacket& packet, int32_t last_wave_length) {
    const uint16_t saved_control_word = packet.control_word();
    bool all_acknowledged = true;
    const auto send = [&](uint8_t code, size_t length) {
        packet.set_code(code);
        all_acknowledged &= Answered(device.SendAwaitingAck(packet.data(), length));
    };
    packet.set_control_word(kNoSamplesLengthWord);
    send(kLengthCommand, kLengthHeaderSize);
    send(kPowerOnCommand, kCommandCodeSize);
    packet.set_control_word(static_cast<uint16_t>(last_wave_length));
    send(kLengthCommand, kLengthHeaderSize);
    packet.set_control_word(saved_control_word);
    return all_acknowledged;
}

}  // namespace

bool SetPowerOnOutput(InstrumentConnection& device, InstrumentState& state, int32_t mode) {
    return mode == 1 ? StoreControlState(device, state.shadow.packet)
                     : StoreWaveform(device, state.shadow.packet, state.last_wave_length);
}

}  // namespace velmar::ops
