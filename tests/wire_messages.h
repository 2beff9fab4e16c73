// The host's messages as bytes, for suites that play the instrument's side:
// built with the library's own wire format, so they agree with it by
// construction (the end-to-end suites write theirs out independently).
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/protocol.h"

namespace velmar::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes ControlPacket(uint16_t control_word, uint16_t digital_out = 0, uint16_t divider = 0) {
    CommandPacket packet;
    packet.set_code(kControlCommand);
    packet.set_control_word(control_word);
    packet.set_digital_out(digital_out);
    packet.set_divider(divider);
    return Bytes(packet.bytes().begin(), packet.bytes().end());
}

inline Bytes LengthHeader(uint16_t word) {
    const Bytes packet = ControlPacket(word);
    Bytes header(packet.begin(), packet.begin() + kLengthHeaderSize);
    header[0] = kLengthCommand;
    return header;
}

}  // namespace velmar::testing
