// The Windows side of the seam: instruments are the present device
// interfaces that the instrument's driver registers, found through SetupAPI,
// opened with CreateFileA and driven with overlapped reads and writes, each
// waited for at most the core's time limit.

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "device/platform.h"
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

// The system's words for an error code, for the trace: "The pipe has been
// ended." and the like, without the line break FormatMessage ends with.
std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return "error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

Device* AsDevice(DeviceHandle handle) {
    return reinterpret_cast<Device*>(handle);
}

// Why the calling thread's last open or transfer failed. Per thread: the
// sessions' calls on different instruments run at the same time.
thread_local std::string t_failure;
thread_local FailureKind t_failure_kind = FailureKind::kOther;

// A record is a small file under the user's local application data, held
// across processes with LockFileEx (each open handle its own holder).
class Win32StateRecord final : public StateRecord {
  public:
    explicit Win32StateRecord(HANDLE file) : file_(file) {}
    ~Win32StateRecord() override { CloseHandle(file_); }

    bool Lock(uint32_t timeout_ms) override {
        // Tried at once and again every millisecond: the file is not opened
        // for overlapped I/O, so a waiting LockFileEx could not be bounded.
        const ULONGLONG until = GetTickCount64() + timeout_ms;
        for (;;) {
            OVERLAPPED at{};
            if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &at))
                return true;
            if (GetTickCount64() >= until) return false;
            ::Sleep(1);
        }
    }
    void Unlock() override {
        OVERLAPPED at{};
        UnlockFileEx(file_, 0, 1, 0, &at);
    }
    bool Read(uint8_t* data, size_t size) override {
        OVERLAPPED at{};
        DWORD got = 0;
        return ReadFile(file_, data, static_cast<DWORD>(size), &got, &at) && got == size;
    }
    bool Write(const uint8_t* data, size_t size) override {
        OVERLAPPED at{};
        DWORD put = 0;
        return WriteFile(file_, data, static_cast<DWORD>(size), &put, &at) && put == size;
    }

  private:
    HANDLE file_;
};

// %LOCALAPPDATA%\Velmar\dds-state, made on first use; empty where there is
// no such folder.
std::string StateDirectory() {
    std::string dir = StateDirectoryFromEnvironment();
    if (dir.empty()) {
        const char* local = std::getenv("LOCALAPPDATA");
        if (local == nullptr || *local == '\0') return {};
        const std::string velmar = std::string(local) + "\\Velmar";
        CreateDirectoryA(velmar.c_str(), nullptr);
        dir = velmar + "\\dds-state";
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

class Win32Platform final : public Platform {
  public:
    Enumeration EnumerateDevices() override {
        Enumeration found = EnumerateInterfaces(SystemSetupApi());
        found.where = "SetupAPI device interface {4B6C73B2-015B-4855-8BB1-A7A6C03AFA87}";
        if (!found.possible) found.why_not = SystemMessage(GetLastError());
        return found;
    }

    bool Open(const std::string& path, DeviceHandle* handle) override {
        t_failure.clear();
        t_failure_kind = FailureKind::kOther;
        HANDLE opened = INVALID_HANDLE_VALUE;
        if (!OpenDevicePath(path, &opened)) {
            const DWORD error = GetLastError();
            t_failure = path.size() > kMaxDevicePathLength
                            ? "the path is longer than CreateFileA takes (259 characters)"
                            : SystemMessage(error);
            t_failure_kind = KindOfError(error);
            return false;
        }
        Device* device = Device::Attach(opened);
        if (device == nullptr) {
            t_failure = "no memory or no event for its transfers";
            return false;
        }
        *handle = reinterpret_cast<DeviceHandle>(device);
        return true;
    }

    void Close(DeviceHandle handle) override { Device::Close(AsDevice(handle)); }

    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override {
        Device* device = AsDevice(handle);
        const TransferStatus status =
            length > kLargestTransfer ? TransferStatus::kStartFailed
                                      : device->Write(data, static_cast<DWORD>(length), timeout_ms);
        t_failure = device->last_failure();
        t_failure_kind = device->last_failure_kind();
        return status;
    }

    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override {
        *received = 0;
        Device* device = AsDevice(handle);
        DWORD got = 0;
        const TransferStatus status =
            capacity > kLargestTransfer
                ? TransferStatus::kStartFailed
                : device->Read(buffer, static_cast<DWORD>(capacity), &got, timeout_ms);
        t_failure = device->last_failure();
        t_failure_kind = device->last_failure_kind();
        *received = got;
        return status;
    }

    int DropWaitingAnswers(DeviceHandle handle, int most) override {
        return AsDevice(handle)->DropWaitingAnswers(most);
    }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }

    std::string LastFailure() const override { return t_failure; }
    FailureKind LastFailureKind() const override { return t_failure_kind; }

    std::unique_ptr<StateRecord> OpenStateRecord(const std::string& device_path,
                                                 uint64_t* identity) override {
        // A device node replaced behind the same interface path cannot be
        // told apart here: the record holds until a power cycle is stored over.
        *identity = 0;
        const std::string dir = StateDirectory();
        if (dir.empty()) return nullptr;
        const std::string path = dir + "\\" + StateRecordName(device_path);
        const HANDLE file =
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return nullptr;
        auto* record = new (std::nothrow) Win32StateRecord(file);
        if (record == nullptr) CloseHandle(file);
        return std::unique_ptr<StateRecord>(record);
    }

    bool WriteDebuggerLine(const std::string& line) override {
        OutputDebugStringA(line.c_str());
        return true;
    }

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

FailureKind KindOfError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return FailureKind::kNotFound;
        case ERROR_BROKEN_PIPE:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_NO_DATA:
        case ERROR_DEVICE_NOT_CONNECTED:
            return FailureKind::kHungUp;
        case ERROR_MORE_DATA:
            return FailureKind::kOverLong;
        default:
            return FailureKind::kOther;
    }
}

const OverlappedApi& SystemOverlappedApi() {
    static const OverlappedApi api{&WriteFile,           &ReadFile,   &WaitForSingleObject,
                                   &GetOverlappedResult, &CancelIoEx, &GetLastError};
    return api;
}

Device* Device::Attach(HANDLE handle, const OverlappedApi& api) {
    // Manual-reset, unnamed, not signalled: the wait must not consume the
    // signal that GetOverlappedResult looks at afterwards. The system resets
    // it whenever a transfer starts.
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Device* device = event == nullptr ? nullptr : new (std::nothrow) Device(handle, event, api);
    if (device == nullptr) {
        if (event != nullptr) CloseHandle(event);
        CloseHandle(handle);
    }
    return device;
}

Device::~Device() {
    CloseHandle(event_);
}

void Device::Close(Device* device) {
    CloseHandle(device->handle_);
    // A given-up device's record, event and buffer may still be written by
    // the system: they are never released.
    if (!device->given_up_) delete device;
}

TransferStatus Device::Transfer(Direction direction, DWORD length, DWORD* transferred,
                                DWORD timeout_ms) {
    *transferred = 0;
    failure_.clear();
    failure_kind_ = FailureKind::kOther;
    if (given_up_) {
        failure_ = "the device was given up: a cancelled transfer on it never ended";
        return TransferStatus::kStartFailed;
    }
    // Cleared for every transfer: the offset is always 0.
    record_ = OVERLAPPED{};
    record_.hEvent = event_;
    const BOOL finished = direction == Direction::kWrite
                              ? api_.write_file(handle_, buffer_, length, nullptr, &record_)
                              : api_.read_file(handle_, buffer_, length, nullptr, &record_);
    if (!finished) {
        const DWORD error = api_.get_last_error();
        // A message longer than the buffer: the read has ended with part of
        // it, which is no whole answer.
        if (direction == Direction::kRead && error == ERROR_MORE_DATA) {
            failure_ =
                "an over-long answer (more than " + std::to_string(length) + " bytes were sent)";
            failure_kind_ = FailureKind::kOverLong;
            return TransferStatus::kReadFailed;
        }
        if (error != ERROR_IO_PENDING) {
            failure_ = SystemMessage(error);
            failure_kind_ = KindOfError(error);
            return TransferStatus::kStartFailed;
        }
    }

    const DWORD waited = api_.wait_for_single_object(event_, timeout_ms);
    if (waited == WAIT_OBJECT_0) {
        DWORD count = 0;
        if (!api_.get_overlapped_result(handle_, &record_, &count, TRUE)) {
            const DWORD error = api_.get_last_error();
            failure_ = SystemMessage(error);
            failure_kind_ = KindOfError(error);
            return direction == Direction::kWrite ? TransferStatus::kWriteFailed
                                                  : TransferStatus::kReadFailed;
        }
        *transferred = count;
        return TransferStatus::kOk;
    }

    // Still pending, or we cannot tell. CancelIoEx fails with
    // ERROR_NOT_FOUND when the transfer ended meanwhile; the wait below
    // returns at once then. An answer that slipped in before the cancel is
    // dropped with the transfer: it already counts as timed out.
    api_.cancel_io_ex(handle_, &record_);
    if (api_.wait_for_single_object(event_, kCancelLimitMs) != WAIT_OBJECT_0) {
        given_up_ = true;
        failure_ = "a cancelled transfer did not end within " + std::to_string(kCancelLimitMs) +
                   " ms; the device is given up";
        return waited == WAIT_TIMEOUT ? TransferStatus::kTimeout : TransferStatus::kWaitFailed;
    }
    DWORD ignored = 0;
    api_.get_overlapped_result(handle_, &record_, &ignored, TRUE);
    if (waited != WAIT_TIMEOUT) failure_ = SystemMessage(api_.get_last_error());
    return waited == WAIT_TIMEOUT ? TransferStatus::kTimeout : TransferStatus::kWaitFailed;
}

TransferStatus Device::Write(const uint8_t* data, DWORD length, DWORD timeout_ms) {
    if (length > sizeof(buffer_)) return TransferStatus::kStartFailed;
    std::memcpy(buffer_, data, length);
    DWORD written = 0;
    const TransferStatus status = Transfer(Direction::kWrite, length, &written, timeout_ms);
    // The driver hands over whole messages; a part of one is not the message.
    if (status == TransferStatus::kOk && written != length) {
        failure_ = "only " + std::to_string(written) + " bytes of the message were taken";
        return TransferStatus::kWriteFailed;
    }
    return status;
}

TransferStatus Device::Read(uint8_t* buffer, DWORD capacity, DWORD* received, DWORD timeout_ms) {
    *received = 0;
    if (capacity > sizeof(buffer_)) return TransferStatus::kStartFailed;
    DWORD got = 0;
    const TransferStatus status = Transfer(Direction::kRead, capacity, &got, timeout_ms);
    if (status != TransferStatus::kOk) return status;
    std::memcpy(buffer, buffer_, got);
    *received = got;
    return status;
}

int Device::DropWaitingAnswers(int most) {
    // A read that would have to wait is cancelled at once.
    int dropped = 0;
    DWORD got = 0;
    while (dropped < most &&
           Transfer(Direction::kRead, sizeof(buffer_), &got, 0) == TransferStatus::kOk) {
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
