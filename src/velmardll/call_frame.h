// The frame every exported call runs in: take the library lock, open the
// instrument by index, do the work, close on every path, turn the outcome into
// the 1 or 0 the caller sees, and trace it all when the trace is on. Written
// once here so that the fifteen exported functions stay thin and no C++
// exception ever crosses the C boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>

#include "device/trace.h"
#include "device/transfer.h"
#include "velmardll/library_state.h"

namespace velmar {

// Runs `body` under the library lock. An exception (only allocation can
// throw) becomes `on_failure`.
template <typename Result, typename Body>
Result Serialized(const trace::Call& call, Result on_failure, Body&& body) noexcept {
    try {
        std::lock_guard<std::mutex> hold(LibraryLock());
        if (!trace::On()) return body();
        trace::CallScope scope(call);
        const Result result = body();
        scope.Finish(trace::DescribeResult(result));
        return result;
    } catch (...) {
        return on_failure;
    }
}

// Looks the index up in the list of the last search and opens that path.
// Returns kOk and the handle, or kOpenFailed (index out of range, empty list,
// a path that no longer opens).
TransferStatus OpenDeviceByIndex(int32_t index, DeviceHandle* handle);

// The device of one call, closed when the call ends, with the path's mark
// of a late answer carried over from the calls before.
class CallDevice {
  public:
    CallDevice(DeviceHandle handle, const std::string& path)
        : path_(path), marked_(State().paths_that_missed_an_answer.count(path) != 0) {
        connection_.emplace(ActivePlatform(), handle, marked_);
        handle_ = handle;
    }
    ~CallDevice() {
        connection_.reset();  // settles the mark
        if (marked_) {
            State().paths_that_missed_an_answer.insert(path_);
        } else {
            State().paths_that_missed_an_answer.erase(path_);
        }
        ActivePlatform().Close(handle_);
    }
    InstrumentConnection& connection() { return *connection_; }

  private:
    const std::string& path_;
    bool marked_;
    DeviceHandle handle_ = 0;
    std::optional<InstrumentConnection> connection_;
};

// The call frame: `work(InstrumentConnection&, LibraryState&)` returns true
// when every answer it waited for arrived. Returns 0 at once, with nothing
// sent and nothing changed, when the index does not open.
template <typename Work>
int32_t WithDevice(const trace::Call& call, int32_t index, Work&& work) noexcept {
    return Serialized<int32_t>(call, 0, [&]() -> int32_t {
        DeviceHandle handle = 0;
        if (OpenDeviceByIndex(index, &handle) != TransferStatus::kOk) return 0;
        CallDevice device(handle, State().device_paths[static_cast<size_t>(index)]);
        return work(device.connection(), State()) ? 1 : 0;
    });
}

// A call whose arguments are refused before anything is sent: 0, and the
// reason in the trace.
int32_t Refuse(const trace::Call& call, const char* why) noexcept;

}  // namespace velmar
