// Discovery of the attached instruments and opening them by index.

#include "device/device_list.h"

#include "VelmarDll.h"
#include "device/call_frame.h"

namespace velmar {

TransferStatus OpenDeviceByIndex(int32_t index, DeviceHandle* handle) {
    const std::vector<std::string>& paths = State().device_paths;
    if (index < 0 || static_cast<size_t>(index) >= paths.size()) return TransferStatus::kOpenFailed;
    return ActivePlatform().Open(paths[static_cast<size_t>(index)], handle)
               ? TransferStatus::kOk
               : TransferStatus::kOpenFailed;
}

}  // namespace velmar

using namespace velmar;

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSearch(void) {
    return Serialized<int32_t>(0, [] {
        LibraryState& state = State();
        // Release the old list first, so that a search never holds duplicates
        // and a failed one leaves no stale paths behind.
        state.device_paths.clear();
        Enumeration found = ActivePlatform().EnumerateDevices();
        if (!found.possible) return 0;
        state.device_paths = std::move(found.paths);
        state.shadow.Reset();
        return found.interfaces;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSCheck(int32_t index) {
    return WithDevice(index, [](InstrumentConnection&) { return true; });
}
