// Loading a waveform into the instrument's memory.

#include <array>

#include "ops/operations.h"

namespace velmar::ops {

bool Download(InstrumentConnection& device, InstrumentState& state, const uint16_t* samples,
              int32_t count) {
    CommandPacket& packet = state.shadow.packet;
    const uint16_t saved_control_word = packet.control_word();

    // Samples go out low byte first; the padding repeats the last sample.
    const int32_t padded = PaddedSampleCount(count);
    std::array<uint8_t, kWaveMemorySize * 2> wave{};
    for (int32_t i = 0; i < padded; ++i) {
        StoreLe16(&wave[static_cast<size_t>(i) * 2], samples[i < count ? i : count - 1]);
    }

    // The header announces count - 1 of the unpadded count (0xFFFF for an
    // empty wave); the control word field is borrowed for it.
    packet.set_code(kLengthCommand);
    packet.set_control_word(static_cast<uint16_t>(count - 1));
    bool complete = Answered(device.SendAwaitingAck(packet.data(), kLengthHeaderSize));

    const auto blocks = static_cast<size_t>(SampleBlocksFor(count));
    for (size_t b = 0; complete && b < blocks; ++b) {
        complete =
            Answered(device.SendAwaitingAck(&wave[b * kSampleBlockBytes], kSampleBlockBytes));
    }
    packet.set_control_word(saved_control_word);
    if (complete) state.last_wave_length = padded;
    return complete;
}

}  // namespace velmar::ops
