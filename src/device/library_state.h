// The library's process-wide state and the lock that serialises every
// exported call. There is one of each per process: the instrument's control
// state is restated in full by every control packet, so it cannot be kept
// per instrument without changing what the instrument receives.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/platform.h"
#include "protocol/protocol.h"

namespace velmar {

// The wave length a power-on store announces before any complete download
// (the instrument's own default: the header word of a full memory).
constexpr int32_t kInitialWaveLength = 4095;

struct LibraryState {
    // Paths found by the last search; a device index is a position here.
    std::vector<std::string> device_paths;
    ControlShadow shadow;
    // Padded sample count of the last complete download.
    int32_t last_wave_length = kInitialWaveLength;
    // Divider chosen by the last frequency setting (not by a direct divider set).
    int32_t last_divider = 0;
    // Device paths on which an answer was missed, whose late answer may
    // still be waiting (see InstrumentConnection).
    std::set<std::string> paths_that_missed_an_answer;
};

LibraryState& State();

// The lock every exported call holds for its whole length.
std::mutex& LibraryLock();

// The platform in use: the system's, unless a test put another behind the
// seam (device/test_seam.h).
Platform& ActivePlatform();

}  // namespace velmar
