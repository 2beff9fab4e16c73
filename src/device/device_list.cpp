// Discovery of the attached instruments and opening them by index.

#include "device/device_list.h"

#include "VelmarDll.h"
#include "device/call_frame.h"

namespace velmar {

TransferStatus OpenDeviceByIndex(int32_t index, DeviceHandle* handle) {
    const std::vector<std::string>& paths = State().device_paths;
    if (index < 0 || static_cast<size_t>(index) >= paths.size()) {
        if (trace::On()) {
            trace::Detail("device " + std::to_string(index) +
                          ": not in the list of the last search (" +
                          (paths.empty() ? std::string("empty")
                                         : "indices 0 to " + std::to_string(paths.size() - 1)) +
                          ")");
        }
        return TransferStatus::kOpenFailed;
    }
    const std::string& path = paths[static_cast<size_t>(index)];
    Platform& platform = ActivePlatform();
    const bool opened = platform.Open(path, handle);
    if (trace::On()) {
        const std::string why = platform.LastFailure();
        trace::Detail("device " + std::to_string(index) + ": " + path +
                      (opened ? "" : ": open failed" + (why.empty() ? "" : ": " + why)));
    }
    return opened ? TransferStatus::kOk : TransferStatus::kOpenFailed;
}

int32_t Refuse(const trace::Call& call, const char* why) noexcept {
    return Serialized<int32_t>(call, 0, [&] {
        if (trace::On()) trace::Detail(std::string("refused: ") + why + "; nothing sent");
        return 0;
    });
}

}  // namespace velmar

using namespace velmar;

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSSearch(void) {
    // The trace is looked at again first, so that a long-running program
    // can turn it on or off between searches.
    {
        std::lock_guard<std::mutex> hold(LibraryLock());
        trace::Configure();
    }
    return Serialized<int32_t>(trace::Call("DDSSearch", {}), 0, [] {
        LibraryState& state = State();
        // Release the old list first, so that a search never holds duplicates
        // and a failed one leaves no stale paths behind.
        state.device_paths.clear();
        Enumeration found = ActivePlatform().EnumerateDevices();
        if (!found.possible) {
            if (trace::On())
                trace::Detail("search not possible: " + found.where + ": " + found.why_not);
            return 0;
        }
        state.device_paths = std::move(found.paths);
        state.shadow.Reset();
        if (trace::On()) {
            trace::Detail("searched " + found.where + ": " + std::to_string(found.interfaces) +
                          " found");
            for (size_t i = 0; i < state.device_paths.size(); ++i)
                trace::Detail("device " + std::to_string(i) + ": " + state.device_paths[i]);
        }
        return found.interfaces;
    });
}

extern "C" VELMAR_EXPORT int32_t VELMAR_CALL DDSCheck(int32_t index) {
    return WithDevice(trace::Call("DDSCheck", {{"index", index}}), index,
                      [](InstrumentConnection&) { return true; });
}
