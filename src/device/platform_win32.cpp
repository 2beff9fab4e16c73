// The Windows side of the seam: instruments are the present device
// interfaces that the instrument's driver registers, found through SetupAPI,
// opened with CreateFileA and driven with overlapped reads and writes, each
// waited for at most the core's time limit.

#include <cstring>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "device/library_state.h"
#include "device/platform_win32_internal.h"

namespace velmar::win32 {
namespace {

// The detail record's size field holds the size of the record's fixed part,
// which the 32-bit headers pack to 5 bytes and the 64-bit ones align to 8.
// SetupAPI refuses any other value.
#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
#endif

// The most stale answers dropped before one write: bounds the drain against
// an instrument that keeps talking.
constexpr int kMaxStaleAnswers = 16;

class DeviceInfoSet {
  public:
    DeviceInfoSet(const SetupApi& api, HDEVINFO set) : api_(api), set_(set) {}
    ~DeviceInfoSet() { api_.destroy_device_info_list(set_); }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  private:
    const SetupApi& api_;
    HDEVINFO set_;
};

class EventHandle {
  public:
    // Manual-reset, unnamed, not signalled: the wait below must not consume
    // the signal that GetOverlappedResult looks at afterwards.
    EventHandle() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventHandle() {
        if (event_ != nullptr) CloseHandle(event_);
    }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    HANDLE get() const { return event_; }

  private:
    HANDLE event_;
};

// Reads the device path of one enumerated interface. False when the path
// cannot be read; the interface is then still counted but not listed.
bool ReadInterfacePath(const SetupApi& api, HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                       std::string* path) {
    // The size query fails by design with ERROR_INSUFFICIENT_BUFFER; some
    // drivers' stacks report success instead. Either way the size is good.
    DWORD required = 0;
    if (!api.get_device_interface_detail(set, interface_data, nullptr, 0, &required, nullptr) &&
        api.get_last_error() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    // A size that cannot hold the record's size field and a terminator would
    // let SetupAPI, or us, write past the buffer.
    if (required <= kPathOffset) return false;

    // DWORD elements keep the record's size field aligned.
    std::vector<DWORD> storage;
    try {
        storage.resize((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!api.get_device_interface_detail(set, interface_data, detail, required, nullptr, nullptr)) {
        return false;
    }
    // The path ends at its terminator or at the end of the buffer, whichever
    // comes first: a detail record is not trusted to be terminated.
    const char* text = detail->DevicePath;
    const size_t room = required - kPathOffset;
    path->assign(text, strnlen(text, room));
    return true;
}

enum class Direction { kWrite, kRead };

// One overlapped transfer with its own record and event (one per transfer,
// not one for the process: the core serialises calls, and a record on this
// stack frame cannot be seen by any other transfer). The record, the
// event and the caller's buffer belong to the transfer until the system has
// finished with it, so a transfer that did not end in time is cancelled and
// its end awaited before any of them is released.
TransferStatus Transfer(HANDLE device, Direction direction, void* buffer, DWORD length,
                        DWORD* transferred, DWORD timeout_ms) {
    *transferred = 0;
    EventHandle event;
    // Without an event there is nothing to wait on: the transfer is not
    // started, so nothing can be left pending.
    if (event.get() == nullptr) return TransferStatus::kWaitFailed;
    // Unsignalled from birth; reset anyway, so that nothing but this
    // transfer's end can satisfy the wait.
    ResetEvent(event.get());
    OVERLAPPED record{};
    record.hEvent = event.get();

    const BOOL finished = direction == Direction::kWrite
                              ? WriteFile(device, buffer, length, nullptr, &record)
                              : ReadFile(device, buffer, length, nullptr, &record);
    if (!finished) {
        const DWORD error = GetLastError();
        // A message longer than the buffer: the read has ended with part of
        // it, which is no whole answer.
        if (direction == Direction::kRead && error == ERROR_MORE_DATA) {
            return TransferStatus::kReadFailed;
        }
        if (error != ERROR_IO_PENDING) return TransferStatus::kStartFailed;
    }

    const DWORD waited = WaitForSingleObject(event.get(), timeout_ms);
    if (waited == WAIT_OBJECT_0) {
        DWORD count = 0;
        if (!GetOverlappedResult(device, &record, &count, TRUE)) {
            return direction == Direction::kWrite ? TransferStatus::kWriteFailed
                                                  : TransferStatus::kReadFailed;
        }
        *transferred = count;
        return TransferStatus::kOk;
    }

    // Still pending, or we cannot tell. CancelIoEx fails with
    // ERROR_NOT_FOUND when the transfer ended meanwhile; the wait below
    // returns at once then. An answer that slipped in before the cancel is
    // dropped with the record: the transfer already counts as timed out.
    CancelIoEx(device, &record);
    DWORD ignored = 0;
    GetOverlappedResult(device, &record, &ignored, TRUE);
    return waited == WAIT_TIMEOUT ? TransferStatus::kTimeout : TransferStatus::kWaitFailed;
}

class Win32Platform final : public Platform {
  public:
    Enumeration EnumerateDevices() override { return EnumerateInterfaces(SystemSetupApi()); }

    bool Open(const std::string& path, DeviceHandle* handle) override {
        HANDLE opened = INVALID_HANDLE_VALUE;
        if (!OpenDevicePath(path, &opened)) return false;
        *handle = reinterpret_cast<DeviceHandle>(opened);
        return true;
    }

    void Close(DeviceHandle handle) override {
        const HANDLE device = reinterpret_cast<HANDLE>(handle);
        missed_answer_.erase(device);
        CloseHandle(device);
    }

    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override {
        if (length > MAXDWORD) return TransferStatus::kStartFailed;
        const HANDLE device = reinterpret_cast<HANDLE>(handle);
        // Only where an answer was missed can a late one still be waiting,
        // to be taken for the answer to this message. A working instrument
        // sees no read but the protocol's own, and a driver that is slow to
        // cancel costs nothing on the path that succeeds.
        if (missed_answer_.count(device) != 0) DiscardStaleAnswers(device);
        const TransferStatus status =
            WriteWithTimeout(device, data, static_cast<DWORD>(length), timeout_ms);
        if (status != TransferStatus::kOk) missed_answer_.insert(device);
        return status;
    }

    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override {
        *received = 0;
        if (capacity > MAXDWORD) return TransferStatus::kStartFailed;
        const HANDLE device = reinterpret_cast<HANDLE>(handle);
        DWORD got = 0;
        const TransferStatus status =
            ReadWithTimeout(device, buffer, static_cast<DWORD>(capacity), &got, timeout_ms);
        if (status != TransferStatus::kOk) missed_answer_.insert(device);
        *received = got;
        return status;
    }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

  private:
    // Open handles on which a transfer failed or ran out of time. Every call
    // runs under the library lock, so this needs no lock of its own.
    std::set<HANDLE> missed_answer_;
};

}  // namespace

const SetupApi& SystemSetupApi() {
    static const SetupApi api{&SetupDiGetClassDevsA, &SetupDiEnumDeviceInterfaces,
                              &SetupDiGetDeviceInterfaceDetailA, &SetupDiDestroyDeviceInfoList,
                              &GetLastError};
    return api;
}

Enumeration EnumerateInterfaces(const SetupApi& api) {
    Enumeration result;
    const HDEVINFO set =
        api.get_class_devs(&kDeviceInterfaceGuid, nullptr, nullptr, kPresentInterfaces);
    if (set == INVALID_HANDLE_VALUE) return result;
    result.possible = true;
    // Released on every path, also when listing a path runs out of memory.
    const DeviceInfoSet release_set(api, set);
    DWORD member = 0;
    for (;; ++member) {
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof(interface_data);
        if (!api.enum_device_interfaces(set, nullptr, &kDeviceInterfaceGuid, member,
                                        &interface_data)) {
            break;
        }
        // An interface whose path cannot be kept for want of memory is
        // skipped like one whose path cannot be read: still counted.
        try {
            std::string path;
            if (ReadInterfacePath(api, set, &interface_data, &path))
                result.paths.push_back(std::move(path));
        } catch (const std::bad_alloc&) {
        }
    }
    result.interfaces = static_cast<int32_t>(member);
    return result;
}

bool OpenDevicePath(const std::string& path, HANDLE* handle, CreateFileFunction create_file) {
    // The ANSI layer would cut a longer path or refuse it; a cut one could
    // name another device. A NUL inside would cut it just the same.
    if (path.empty() || path.size() > kMaxDevicePathLength ||
        path.find('\0') != std::string::npos) {
        return false;
    }
    const HANDLE opened =
        create_file(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return false;
    *handle = opened;
    return true;
}

TransferStatus WriteWithTimeout(HANDLE device, const uint8_t* data, DWORD length,
                                DWORD timeout_ms) {
    DWORD written = 0;
    // WriteFile only reads the buffer; the cast serves the shared routine.
    const TransferStatus status = Transfer(device, Direction::kWrite, const_cast<uint8_t*>(data),
                                           length, &written, timeout_ms);
    // The driver hands over whole messages; a part of one is not the message.
    if (status == TransferStatus::kOk && written != length) return TransferStatus::kWriteFailed;
    return status;
}

TransferStatus ReadWithTimeout(HANDLE device, uint8_t* buffer, DWORD capacity, DWORD* received,
                               DWORD timeout_ms) {
    return Transfer(device, Direction::kRead, buffer, capacity, received, timeout_ms);
}

int DiscardStaleAnswers(HANDLE device) {
    // An answer that arrived after its read timed out must not be taken for
    // the answer to the next message: whatever is waiting before a write is
    // stale. A read that would have to wait is cancelled at once.
    uint8_t scrap[64];
    int dropped = 0;
    while (dropped < kMaxStaleAnswers) {
        DWORD got = 0;
        if (Transfer(device, Direction::kRead, scrap, sizeof(scrap), &got, 0) !=
            TransferStatus::kOk) {
            break;
        }
        ++dropped;
    }
    return dropped;
}

}  // namespace velmar::win32

namespace velmar {

Platform& SystemPlatform() {
    static win32::Win32Platform platform;
    return platform;
}

}  // namespace velmar

// Every notification is answered with success. The device list is released
// with the library's state when the C++ runtime destroys it at unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
