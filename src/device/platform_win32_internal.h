// The inside of the Windows platform, open to the Windows test suites: the
// enumeration runs over a table of SetupAPI entry points, so that a test can
// script what the device manager reports; the timed transfers run over a
// table of the overlapped I/O calls on a device made from a plain HANDLE, so
// that a test can serve them from a named pipe or script a driver that never
// ends a cancelled request. Nothing here leaves the DLL; only the
// module-definition file decides what it exports.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off: setupapi.h needs the types of windows.h.
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/platform.h"

namespace velmar::win32 {

// The interface the instrument's driver registers for every attached instrument.
inline constexpr GUID kDeviceInterfaceGuid = {
    0x4B6C73B2, 0x015B, 0x4855, {0x8B, 0xB1, 0xA7, 0xA6, 0xC0, 0x3A, 0xFA, 0x87}};

// Present interfaces only, listed by interface class (0x12).
inline constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// CreateFileA takes a path of at most MAX_PATH - 1 characters plus its
// terminator.
inline constexpr size_t kMaxDevicePathLength = MAX_PATH - 1;

// The SetupAPI calls the enumeration makes, and where it reads their error.
struct SetupApi {
    decltype(&SetupDiGetClassDevsA) get_class_devs;
    decltype(&SetupDiEnumDeviceInterfaces) enum_device_interfaces;
    decltype(&SetupDiGetDeviceInterfaceDetailA) get_device_interface_detail;
    decltype(&SetupDiDestroyDeviceInfoList) destroy_device_info_list;
    decltype(&GetLastError) get_last_error;
};

// The system's own SetupAPI.
const SetupApi& SystemSetupApi();

// Lists the present interfaces of kDeviceInterfaceGuid through `api`. Every
// member enumerated is counted; only those whose path could be read are
// listed.
Enumeration EnumerateInterfaces(const SetupApi& api);

// CreateFileA, or a test's stand-in for it.
using CreateFileFunction = decltype(&CreateFileA);

// Opens a device path for overlapped reading and writing. A path too long
// for CreateFileA, or one with a NUL inside, is refused, never cut.
bool OpenDevicePath(const std::string& path, HANDLE* handle,
                    CreateFileFunction create_file = &CreateFileA);

// The overlapped I/O calls the transfers make, and where they read their error.
struct OverlappedApi {
    decltype(&WriteFile) write_file;
    decltype(&ReadFile) read_file;
    decltype(&WaitForSingleObject) wait_for_single_object;
    decltype(&GetOverlappedResult) get_overlapped_result;
    decltype(&CancelIoEx) cancel_io_ex;
    decltype(&GetLastError) get_last_error;
};

// The system's own.
const OverlappedApi& SystemOverlappedApi();

// How long a cancelled transfer may take to end before its device is given up.
inline constexpr DWORD kCancelLimitMs = 1000;

// The largest message or answer a transfer carries: a sample block.
inline constexpr DWORD kLargestTransfer = 64;

// An instrument opened for one call, with what its transfers reuse: one
// manual-reset event and one record for the handle's life (not one per
// transfer: the core serialises calls, so one transfer at a time runs on a
// handle), and a buffer of its own that the system reads or writes while a
// transfer is in flight, so that the caller's memory is never the system's.
//
// A transfer that does not end in time is cancelled and its end awaited, at
// most kCancelLimitMs, before the record, the event or the buffer is touched
// again. A driver that never ends a cancelled request would otherwise hang
// the caller for ever: then the device is given up. Every later transfer on
// it fails at once, and closing it closes the handle but leaves the record,
// the event and the buffer to the system for good.
class Device {
  public:
    // Takes over `handle`, opened for overlapped I/O. Returns nullptr when no
    // event can be had (the handle is then closed).
    static Device* Attach(HANDLE handle, const OverlappedApi& api = SystemOverlappedApi());
    // Closes the handle, and frees the device unless it was given up.
    static void Close(Device* device);

    // Sends `length` bytes as one message.
    TransferStatus Write(const uint8_t* data, DWORD length, DWORD timeout_ms);
    // Receives one message of at most `capacity` bytes; *received tells how
    // many arrived (0 unless kOk). When this returns, nothing will be written
    // into `buffer` any more.
    TransferStatus Read(uint8_t* buffer, DWORD capacity, DWORD* received, DWORD timeout_ms);
    // Drops at most `most` answers that are already waiting, without waiting
    // for more. Returns how many were dropped.
    int DropWaitingAnswers(int most);

    HANDLE handle() const { return handle_; }
    bool given_up() const { return given_up_; }
    // Why the last transfer failed, in words; empty after one that succeeded.
    const std::string& last_failure() const { return failure_; }
    FailureKind last_failure_kind() const { return failure_kind_; }

  private:
    enum class Direction { kWrite, kRead };
    Device(HANDLE handle, HANDLE event, const OverlappedApi& api)
        : handle_(handle), event_(event), api_(api) {}
    ~Device();
    TransferStatus Transfer(Direction direction, DWORD length, DWORD* transferred,
                            DWORD timeout_ms);

    HANDLE handle_;
    HANDLE event_;
    const OverlappedApi& api_;
    OVERLAPPED record_{};
    uint8_t buffer_[kLargestTransfer] = {};
    bool given_up_ = false;
    std::string failure_;
    FailureKind failure_kind_ = FailureKind::kOther;
};

// The kind of failure a system error code stands for.
FailureKind KindOfError(DWORD error);

}  // namespace velmar::win32
