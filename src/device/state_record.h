// What a session keeps of an instrument on the host between processes: its
// control state, remembered values and late-answer mark, with the identity of
// the instrument they belong to. The platform keeps the bytes; their meaning
// lives here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/instrument_state.h"

namespace velmar {

constexpr size_t kStateRecordSize = 32;
using StateRecordBytes = std::array<uint8_t, kStateRecordSize>;

StateRecordBytes EncodeStateRecord(const InstrumentState& state, bool may_hold_late_answer,
                                   uint64_t identity);

// False, with nothing changed, when the bytes are no record (a new file) or
// belong to another instrument than `identity`.
bool DecodeStateRecord(const StateRecordBytes& bytes, uint64_t identity, InstrumentState* state,
                       bool* may_hold_late_answer);

}  // namespace velmar
