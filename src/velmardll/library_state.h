// VelmarDll's process-wide state and the lock that serialises every
// exported call. There is one of each per process, as its callers expect: the
// control state is restated in full by every control packet, so a setting
// made for one instrument is also sent to the next one addressed.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/instrument_state.h"

namespace velmar {

struct LibraryState : InstrumentState {
    // Paths found by the last search; a device index is a position here.
    std::vector<std::string> device_paths;
    // Device paths on which an answer was missed, whose late answer may
    // still be waiting (see InstrumentConnection).
    std::set<std::string> paths_that_missed_an_answer;
};

LibraryState& State();

// The lock every exported call holds for its whole length.
std::mutex& LibraryLock();

}  // namespace velmar
