#include "device/library_state.h"

#include "device/test_seam.h"

namespace velmar {
namespace {

// Constructed on first use and destroyed at unload, which releases the
// device list.
LibraryState& StateStorage() {
    static LibraryState state;
    return state;
}

// Set only through the test seam.
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

namespace test_seam {

void UsePlatform(Platform* platform) {
    g_test_platform = platform;
}

void ResetLibraryState() {
    StateStorage() = LibraryState();
}

}  // namespace test_seam

}  // namespace velmar
