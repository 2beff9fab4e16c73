// The list of attached instruments that DDSSearch builds, and opening one of
// them by its index for the length of one call.
#pragma once

#include <cstdint>

#include "device/platform.h"

namespace velmar {

// Looks the index up in the list of the last search and opens that path.
// Returns kOk and the handle, or kOpenFailed (index out of range, empty list,
// a path that no longer opens).
TransferStatus OpenDeviceByIndex(int32_t index, DeviceHandle* handle);

}  // namespace velmar
