// The frame every exported call runs in: take the library lock, open the
// instrument by index, do the work, close on every path, turn the outcome into
// the 1 or 0 the caller sees, and trace it all when the trace is on. Written
// once here so that the fifteen exported functions stay thin and no C++
// exception ever crosses the C boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>

#include "device/device_list.h"
#include "device/library_state.h"
#include "device/trace.h"
#include "device/transfer.h"

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

// The call frame: `work(InstrumentConnection&)` returns true when every
// answer it waited for arrived. Returns 0 at once, with nothing sent and
// nothing changed, when the index does not open.
template <typename Work>
int32_t WithDevice(const trace::Call& call, int32_t index, Work&& work) noexcept {
    return Serialized<int32_t>(call, 0, [&]() -> int32_t {
        DeviceHandle handle = 0;
        if (OpenDeviceByIndex(index, &handle) != TransferStatus::kOk) return 0;
        InstrumentConnection device(ActivePlatform(), handle,
                                    State().device_paths[static_cast<size_t>(index)]);
        return work(device) ? 1 : 0;
    });
}

// A call whose arguments are refused before anything is sent: 0, and the
// reason in the trace.
int32_t Refuse(const trace::Call& call, const char* why) noexcept;

inline bool Answered(TransferStatus status) {
    return status == TransferStatus::kOk;
}

}  // namespace velmar
