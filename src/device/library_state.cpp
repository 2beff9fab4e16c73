#include "device/library_state.h"

namespace velmar {
namespace {

// Constructed on first use and destroyed at unload, which releases the
// device list.
LibraryState& StateStorage() {
    static LibraryState state;
    return state;
}

Platform* g_test_platform = nullptr;

}  // namespace

LibraryState& State() {
    return StateStorage();
}

std::mutex& LibraryLock() {
    static std::mutex lock;
    return lock;
}

Platform& ActivePlatform() {
    return g_test_platform ? *g_test_platform : SystemPlatform();
}

void ResetLibraryStateForTesting() {
    StateStorage() = LibraryState();
}

void SetPlatformForTesting(Platform* platform) {
    g_test_platform = platform;
}

}  // namespace velmar
