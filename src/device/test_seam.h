// The one place where tests reach into the library: they put a platform of
// their own behind the OS seam (a scripted instrument, a Windows stand-in)
// and put the process-wide state back to its load-time values between cases.
// Nothing in the library calls these; callers of the shipped library cannot
// reach them (internal symbols are not exported).
#pragma once

#include "device/platform.h"

namespace velmar::test_seam {

// Routes every device access through `platform`; nullptr: the system's own.
void UsePlatform(Platform* platform);

// VelmarDll's device list, shadow and remembered values as at load.
void ResetLibraryState();

}  // namespace velmar::test_seam
