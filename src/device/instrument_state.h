// What the host keeps of one instrument between calls, and what a failed
// call tells its caller. The core's operations take the state they change as
// an argument: VelmarDll holds one for the whole process, a session one per
// open instrument.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/protocol.h"

namespace velmar {

// The wave length a power-on store announces before any complete download
// (the instrument's own default: the header word of a full memory).
constexpr int32_t kInitialWaveLength = 4095;

struct InstrumentState {
    ControlShadow shadow;
    // Padded sample count of the last complete download.
    int32_t last_wave_length = kInitialWaveLength;
    // Divider chosen by the last frequency setting (not by a direct divider set).
    int32_t last_divider = 0;
};

// Why a call did not do what was asked. The values are the session API's
// error codes (include/velmar/dds.h), which states them for callers.
enum class ErrorCode : int {
    kOk = 0,
    kInvalidArgument = -1,
    kNoInstrument = -2,
    kOpenFailed = -3,
    kTimeout = -4,
    kBadAnswer = -5,
    kWriteRefused = -6,
    kDisconnected = -7,
    kNoMemory = -8,
    kSearchFailed = -9,
    kNotAReading = -10,
};

struct Failure {
    ErrorCode code = ErrorCode::kOk;
    std::string words;  // what happened, for a person: "no answer within 1000 ms to ..."
};

}  // namespace velmar
