// The inside of the Windows platform, open to the Windows test suites: the
// enumeration runs over a table of SetupAPI entry points, so that a test can
// script what the device manager reports, and the timed transfers take a
// plain HANDLE, so that a test can serve them from a named pipe. Nothing here
// leaves the DLL; only the module-definition file decides what it exports.
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

// Sends `length` bytes as one message. Whatever state it ends in, no part of
// the transfer is pending when this returns.
TransferStatus WriteWithTimeout(HANDLE device, const uint8_t* data, DWORD length, DWORD timeout_ms);

// Receives one message of at most `capacity` bytes; *received tells how many
// arrived (0 unless kOk). When this returns, nothing is pending and nothing
// will be written into `buffer` any more.
TransferStatus ReadWithTimeout(HANDLE device, uint8_t* buffer, DWORD capacity, DWORD* received,
                               DWORD timeout_ms);

// Drops the answers that are already waiting, without waiting for more.
// Returns how many were dropped.
int DiscardStaleAnswers(HANDLE device);

}  // namespace velmar::win32
