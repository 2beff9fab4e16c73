#include "device/platform.h"
#include "device/test_seam.h"

namespace velmar {
namespace {

// Set only through the test seam, before any call.
Platform* g_test_platform = nullptr;

}  // namespace

Platform& ActivePlatform() {
    return g_test_platform ? *g_test_platform : SystemPlatform();
}

namespace test_seam {

void UsePlatform(Platform* platform) {
    g_test_platform = platform;
}

}  // namespace test_seam

}  // namespace velmar
