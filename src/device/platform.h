// The seam between the OS-free core and the operating system. Everything the
// library asks of the OS goes through this interface: enumerate the device
// paths, open one, move one message each way with a time limit, drop answers
// already waiting, close, sleep, say why the last step failed, and keep each
// instrument's control state where every process on the host finds it.
// One implementation per OS (platform_posix.cpp, platform_win32.cpp); tests
// put a scripted instrument behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmar {

// Internal result of an open or a transfer; never returned to the caller.
enum class TransferStatus : int32_t {
    kOk = 0,
    kTimeout = 1,      // the wait ran out
    kStartFailed = 2,  // the write or read was refused at its start
    kWriteFailed = 3,  // a write ended but its completion reported failure
    kReadFailed = 4,   // a read ended but its completion reported failure
    kOpenFailed = 5,   // the device index did not lead to an open device
    kWaitFailed = 10,  // the wait ended with neither signal nor timeout
};

// How long any one transfer may take before it counts as timed out, unless
// a session was given another limit. Opening an instrument waits as long.
constexpr uint32_t kTransferTimeoutMs = 1000;

// What kind of failure the last Open, Write or Read had, where the status
// alone does not tell: a caller is told "no such instrument" or "the
// instrument hung up" rather than a bare "failed".
enum class FailureKind {
    kOther,
    kNotFound,  // the open found no device at the path
    kHungUp,    // the instrument closed the connection
    kOverLong,  // an answer longer than the one asked for
};

// The stored control state of one instrument, shared by every process on the
// host: a few bytes under a lock that holds across processes. The core
// decides what the bytes mean; the platform only keeps them.
class StateRecord {
  public:
    virtual ~StateRecord() = default;
    // Waits until no other holder (this process or another) has the record,
    // at most `timeout_ms`: a holder stopped in a debugger must not stop
    // every other user of the instrument. False when the wait ran out.
    virtual bool Lock(uint32_t timeout_ms) = 0;
    virtual void Unlock() = 0;
    // False when the record holds fewer than `size` bytes (a new record).
    virtual bool Read(uint8_t* data, size_t size) = 0;
    virtual bool Write(const uint8_t* data, size_t size) = 0;
};

// An open device. The value is the platform's own (a HANDLE, a descriptor);
// the core only passes it back.
using DeviceHandle = intptr_t;

// Result of one enumeration of the attached instruments.
struct Enumeration {
    bool possible = false;           // false: the platform could not start it
    int32_t interfaces = 0;          // every interface seen, readable or not
    std::vector<std::string> paths;  // the paths that could be read, in order
    std::string where;               // what was searched, in words, for the trace
    std::string why_not;             // when not possible: why, for the trace
};

class Platform {
  public:
    virtual ~Platform() = default;

    virtual Enumeration EnumerateDevices() = 0;

    // Opens a device path for one call. A path the platform's open cannot take
    // whole is refused, never truncated.
    virtual bool Open(const std::string& path, DeviceHandle* handle) = 0;
    virtual void Close(DeviceHandle handle) = 0;

    // Sends the buffer as one message, waiting at most timeout_ms. When this
    // returns, nothing of the transfer is still pending.
    virtual TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                                 uint32_t timeout_ms) = 0;

    // Receives one message of at most `capacity` bytes, waiting at most
    // timeout_ms; *received tells how many bytes arrived. When this returns,
    // nothing of the transfer is still pending and the buffer is not touched
    // again.
    virtual TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity,
                                size_t* received, uint32_t timeout_ms) = 0;

    // Drops at most `most` answers that are already waiting on the device,
    // without waiting for more. Returns how many were dropped.
    virtual int DropWaitingAnswers(DeviceHandle handle, int most) = 0;

    virtual void Sleep(uint32_t milliseconds) = 0;

    // Why the last Open, Write or Read failed, in a few words the OS gives
    // ("connection refused", "the instrument hung up"), for the trace. Empty
    // when the status says all there is.
    virtual std::string LastFailure() const { return {}; }
    virtual FailureKind LastFailureKind() const { return FailureKind::kOther; }

    // The record of `device_path`'s control state, or nullptr where none can
    // be kept (the platform has no place for it, or the place is not
    // writable). `identity` is what tells this instrument from one that
    // replaced it at the same path (0 where the platform cannot tell).
    virtual std::unique_ptr<StateRecord> OpenStateRecord(const std::string& /*device_path*/,
                                                         uint64_t* identity) {
        *identity = 0;
        return nullptr;
    }

    // Hands one trace line to the platform's debugger channel. False where
    // the platform has none.
    virtual bool WriteDebuggerLine(const std::string& /*line*/) { return false; }
};

// A record's file name for a device path: the path's last part, for people,
// and a hash of the whole path, so that any path makes a short, safe name.
std::string StateRecordName(const std::string& device_path);

// $VELMAR_DDS_STATE_DIR where set and not empty, else empty: the platform's
// own place then.
std::string StateDirectoryFromEnvironment();

// The platform of the OS the library was built for (one file per OS).
Platform& SystemPlatform();

// The platform in use: the system's, unless a test put another behind the
// seam (device/test_seam.h).
Platform& ActivePlatform();

}  // namespace velmar
