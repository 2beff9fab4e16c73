// Loading a waveform into the instrument's memory.

#include <array>

#include "VelmarDll.h"
#include "device/call_frame.h"
#include "ops/frequency_plan.h"

using namespace velmar;

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSDownload(int32_t index, const uint16_t* samples,
                                                         int32_t count) {
    const trace::Call call(
        "DDSDownload",
        {{"index", index}, {"samples", static_cast<const void*>(samples)}, {"count", count}});
    // A count outside the memory, or samples that are not there, would read
    // or write memory that is not the caller's: refused before anything is sent.
    if (count < 0 || count > kWaveMemorySize) return Refuse(call, "count is not from 0 to 4096");
    if (count > 0 && samples == nullptr) return Refuse(call, "samples is NULL");
    return WithDevice(call, index, [&](InstrumentConnection& device) {
        LibraryState& state = State();
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
    });
}
