#include "velmardll/library_state.h"

#include "device/test_seam.h"

namespace velmar {
namespace {

// Constructed on first use and destroyed at unload, which releases the
// device list.
LibraryState& StateStorage() {
    static LibraryState state;
    return state;
}

}  // namespace

LibraryState& State() {
    return StateStorage();
}

std::mutex& LibraryLock() {
    static std::mutex lock;
    return lock;
}

namespace test_seam {

void ResetLibraryState() {
    StateStorage() = LibraryState();
}

}  // namespace test_seam

}  // namespace velmar
