// The POSIX side of the seam: instruments are the Unix-domain sockets of the
// device directory. One connection is one open of the instrument; message
// boundaries carry the protocol exactly as the Windows driver does, one
// message per write and one answer per read.
//
// The path that succeeds costs what a blocking client with a time limit
// costs: a write is one send (it waits only when the socket is full), a read
// with the usual 1000 ms limit is one blocking receive (another limit waits
// first, then receives), and a session's shared state record is a mapped
// file under a process-shared mutex, taken without a system call.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device/device_directory.h"
#include "device/platform.h"

namespace velmar {
namespace {

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t MonotonicMs() {
    return MonotonicNs() / 1000000;
}

// Why the calling thread's last open or transfer failed. Per thread: the
// sessions' calls on different instruments run at the same time.
thread_local std::string t_failure;
thread_local FailureKind t_failure_kind = FailureKind::kOther;

void ClearFailure() {
    t_failure.clear();
    t_failure_kind = FailureKind::kOther;
}

void SetFailure(std::string words, FailureKind kind = FailureKind::kOther) {
    t_failure = std::move(words);
    t_failure_kind = kind;
}

// Keeps the OS's word for the failure errno holds; a time limit that ran out
// says all there is by itself.
TransferStatus Failed(TransferStatus status) {
    if (status == TransferStatus::kTimeout || !t_failure.empty()) return status;
    const int error = errno;
    FailureKind kind = FailureKind::kOther;
    if (error == ENOENT) kind = FailureKind::kNotFound;
    if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) kind = FailureKind::kHungUp;
    SetFailure(std::strerror(error), kind);
    return status;
}

// The directory of the state records: $VELMAR_DDS_STATE_DIR, else
// $XDG_RUNTIME_DIR/velmar-dds-state, else /tmp/velmar-dds-state-<uid>. Not the
// device directory itself: whoever serves the sockets removes that directory
// with them, and must find nothing of ours in it. Made if missing; empty when
// it is not a directory this user owns and no one else may write in (anyone
// can make a directory in /tmp under a name they can guess, with links to
// files of ours in it).
std::string StateDirectory() {
    std::string dir = StateDirectoryFromEnvironment();
    if (dir.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        dir = runtime != nullptr && *runtime != '\0'
                  ? std::string(runtime) + "/velmar-dds-state"
                  : "/tmp/velmar-dds-state-" + std::to_string(getuid());
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 0022) != 0) {
        return {};
    }
    return dir;
}

// The boot this host is in: a lock word kept from an earlier boot names a
// thread that is gone, and no robust mutex can tell.
std::string BootId() {
    char id[64] = {};
    const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t n = read(fd, id, sizeof(id) - 1);
    close(fd);
    return n > 0 ? std::string(id, static_cast<size_t>(n)) : std::string();
}

// A record is a small file mapped into memory, holding a process-shared,
// robust mutex beside the record's bytes. Taking and giving back the mutex
// costs no system call unless another holder has it, so a session pays
// nothing measurable for sharing its instrument's state; a holder that died
// holding it hands it on (EOWNERDEAD) instead of locking everyone out. The
// file is set up once under flock, which also keeps two first openers from
// both setting up the mutex.
class PosixStateRecord final : public StateRecord {
  public:
    static std::unique_ptr<PosixStateRecord> Open(const std::string& path) {
        // Never through a link, and only a plain file of our own.
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return nullptr;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
            close(fd);
            return nullptr;
        }
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd);
                return nullptr;
            }
        }
        Shared* shared = Map(fd);
        flock(fd, LOCK_UN);
        if (shared == nullptr) {
            close(fd);
            return nullptr;
        }
        return std::unique_ptr<PosixStateRecord>(new PosixStateRecord(fd, shared));
    }
    ~PosixStateRecord() override {
        munmap(shared_, sizeof(Shared));
        close(fd_);
    }

    bool Lock(uint32_t timeout_ms) override {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += static_cast<time_t>(timeout_ms / 1000);
        until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        const int result = pthread_mutex_timedlock(&shared_->lock, &until);
        if (result == EOWNERDEAD) {
            // The holder died, perhaps half way through a write: the bytes
            // are no record any more.
            std::memset(shared_->bytes, 0, sizeof(shared_->bytes));
            pthread_mutex_consistent(&shared_->lock);
            return true;
        }
        return result == 0;
    }
    void Unlock() override { pthread_mutex_unlock(&shared_->lock); }
    bool Read(uint8_t* data, size_t size) override {
        if (size > sizeof(shared_->bytes)) return false;
        std::memcpy(data, shared_->bytes, size);
        return true;
    }
    bool Write(const uint8_t* data, size_t size) override {
        if (size > sizeof(shared_->bytes)) return false;
        std::memcpy(shared_->bytes, data, size);
        return true;
    }

  private:
    // The file's layout. The mutex's size depends on the ABI, so the file
    // name says which (OpenStateRecord).
    struct Shared {
        uint32_t ready;  // kReady once the mutex is set up
        char boot[40];   // the boot it was set up in
        pthread_mutex_t lock;
        uint8_t bytes[64];
    };
    static constexpr uint32_t kReady = 0x56445331;  // "VDS1"

    // Under flock: maps the file, setting up its mutex if nobody has.
    static Shared* Map(int fd) {
        struct stat st {};
        if (fstat(fd, &st) != 0) return nullptr;
        if (st.st_size < static_cast<off_t>(sizeof(Shared)) &&
            ftruncate(fd, static_cast<off_t>(sizeof(Shared))) != 0) {
            return nullptr;
        }
        void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) return nullptr;
        auto* shared = static_cast<Shared*>(map);
        const std::string boot = BootId();
        if (shared->ready != kReady ||
            std::string(shared->boot, strnlen(shared->boot, sizeof(shared->boot))) !=
                boot.substr(0, sizeof(shared->boot))) {
            pthread_mutexattr_t attributes;
            pthread_mutexattr_init(&attributes);
            pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
            const bool made = pthread_mutex_init(&shared->lock, &attributes) == 0;
            pthread_mutexattr_destroy(&attributes);
            if (!made) {
                munmap(map, sizeof(Shared));
                return nullptr;
            }
            std::memset(shared->bytes, 0, sizeof(shared->bytes));
            std::memset(shared->boot, 0, sizeof(shared->boot));
            std::memcpy(shared->boot, boot.data(), std::min(boot.size(), sizeof(shared->boot)));
            shared->ready = kReady;
        }
        return shared;
    }

    PosixStateRecord(int fd, Shared* shared) : fd_(fd), shared_(shared) {}
    int fd_;
    Shared* shared_;
};

enum class Readiness { kReadable, kWritable };

// Waits until `fd` is ready or `timeout_ms` has passed. A signal that
// interrupts the wait neither shortens nor lengthens it: the wait goes on
// with the time that is left.
TransferStatus WaitReady(int fd, Readiness readiness, uint32_t timeout_ms) {
#if defined(__linux__)
    if (fd < FD_SETSIZE) {
        // Linux's select leaves the time not slept in `left`: an interrupted
        // wait continues from there, and the wait that succeeds reads no
        // clock at all.
        timeval left{static_cast<time_t>(timeout_ms / 1000),
                     static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(fd, &set);
            const int n = readiness == Readiness::kReadable
                              ? select(fd + 1, &set, nullptr, nullptr, &left)
                              : select(fd + 1, nullptr, &set, nullptr, &left);
            // Ready, or hung up: the transfer itself says which.
            if (n > 0) return TransferStatus::kOk;
            if (n == 0) return TransferStatus::kTimeout;
            if (errno != EINTR) return TransferStatus::kWaitFailed;
        }
    }
#endif
    // A descriptor beyond select's reach, or a system whose select keeps its
    // time limit: poll against a deadline on the monotonic clock.
    const int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        pollfd p{fd, static_cast<short>(readiness == Readiness::kReadable ? POLLIN : POLLOUT), 0};
        const int n = poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0)));
        if (n > 0) return TransferStatus::kOk;
        if (n == 0) return TransferStatus::kTimeout;
        if (errno != EINTR) return TransferStatus::kWaitFailed;
    }
}

class PosixPlatform final : public Platform {
  public:
    Enumeration EnumerateDevices() override {
        Enumeration result;
        const std::string dir = DeviceDirectory();
        result.where = "directory " + dir;
        if (!ListDeviceSockets(dir, &result.paths)) {
            result.why_not = std::strerror(errno);
            return result;
        }
        result.possible = true;
        result.interfaces = static_cast<int32_t>(result.paths.size());
        return result;
    }

    bool Open(const std::string& path, DeviceHandle* handle) override {
        ClearFailure();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // A path that does not fit the socket address is refused, never cut.
        if (path.empty() || path.size() >= sizeof(address.sun_path)) {
            SetFailure("the path is longer than a socket address takes (" +
                       std::to_string(sizeof(address.sun_path) - 1) + " bytes)");
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            Failed(TransferStatus::kOpenFailed);
            return false;
        }
        // An instrument whose connection queue is full makes the connect
        // wait; it gets the same limit as any transfer. Writes do not block:
        // each says MSG_DONTWAIT and waits under its own limit. A read with
        // the usual limit blocks in recv under SO_RCVTIMEO, one system call
        // for the whole wait.
        const timeval limit{kTransferTimeoutMs / 1000, (kTransferTimeoutMs % 1000) * 1000};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            Failed(TransferStatus::kOpenFailed);
            close(fd);
            return false;
        }
        *handle = fd;
        return true;
    }

    void Close(DeviceHandle handle) override { close(static_cast<int>(handle)); }

    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override {
        ClearFailure();
        const int fd = static_cast<int>(handle);
        for (;;) {
            // MSG_NOSIGNAL: an instrument that went away must not kill the
            // caller's process with SIGPIPE.
            const ssize_t sent = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent == static_cast<ssize_t>(length)) return TransferStatus::kOk;
            if (sent >= 0) {
                SetFailure("only " + std::to_string(sent) + " bytes of the message were taken");
                return TransferStatus::kWriteFailed;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return Failed(TransferStatus::kStartFailed);
            // The instrument has not taken its earlier messages yet.
            const TransferStatus ready = WaitReady(fd, Readiness::kWritable, timeout_ms);
            if (ready != TransferStatus::kOk) return Failed(ready);
        }
    }

    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override {
        ClearFailure();
        *received = 0;
        const int fd = static_cast<int>(handle);
        if (timeout_ms == kTransferTimeoutMs) {
            // The socket's own limit is this one: one blocking receive. The
            // clock is read (without a system call) only so that a signal
            // that cuts the wait short neither shortens nor lengthens it.
            const int64_t start = MonotonicNs();
            const ssize_t got = recv(fd, buffer, capacity, MSG_TRUNC);
            if (got >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                return Received(got, capacity, received);
            if (errno != EINTR) return TransferStatus::kTimeout;
            // What is left, rounded up to whole milliseconds.
            const int64_t left_ns =
                static_cast<int64_t>(timeout_ms) * 1000000 - (MonotonicNs() - start);
            if (left_ns <= 0) return TransferStatus::kTimeout;
            timeout_ms = static_cast<uint32_t>((left_ns + 999999) / 1000000);
        }
        const TransferStatus ready = WaitReady(fd, Readiness::kReadable, timeout_ms);
        if (ready != TransferStatus::kOk) return Failed(ready);
        for (;;) {
            const ssize_t got = recv(fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC);
            if (got < 0 && errno == EINTR) continue;
            // Readable but nothing to take: the wait's word is not kept.
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return TransferStatus::kTimeout;
            return Received(got, capacity, received);
        }
    }

    int DropWaitingAnswers(DeviceHandle handle, int most) override {
        uint8_t scrap[16];
        int dropped = 0;
        while (dropped < most &&
               recv(static_cast<int>(handle), scrap, sizeof(scrap), MSG_DONTWAIT) > 0) {
            ++dropped;
        }
        return dropped;
    }

    void Sleep(uint32_t milliseconds) override {
        timespec left{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }

    std::string LastFailure() const override { return t_failure; }

    // What one receive gave. One answer per read: MSG_TRUNC tells the
    // message's whole length, and one longer than the answer expected is not
    // that answer (the Windows driver's pipe says ERROR_MORE_DATA alike).
    static TransferStatus Received(ssize_t got, size_t capacity, size_t* received) {
        if (got > static_cast<ssize_t>(capacity)) {
            SetFailure("an over-long answer (" + std::to_string(got) + " bytes where " +
                           std::to_string(capacity) + " were asked for)",
                       FailureKind::kOverLong);
            return TransferStatus::kReadFailed;
        }
        if (got > 0) {
            *received = static_cast<size_t>(got);
            return TransferStatus::kOk;
        }
        if (got == 0) {
            SetFailure("the instrument hung up", FailureKind::kHungUp);
            return TransferStatus::kReadFailed;
        }
        return Failed(TransferStatus::kReadFailed);
    }
    FailureKind LastFailureKind() const override { return t_failure_kind; }

    std::unique_ptr<StateRecord> OpenStateRecord(const std::string& device_path,
                                                 uint64_t* identity) override {
        // The socket's inode and change time tell an instrument from the one
        // that served the same path before: a restarted server makes a new
        // socket.
        *identity = 0;
        struct stat st {};
        if (stat(device_path.c_str(), &st) == 0) {
            *identity = (static_cast<uint64_t>(st.st_dev) * 0x9E3779B97F4A7C15ull) ^
                        (static_cast<uint64_t>(st.st_ino) << 20) ^
                        static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000007ull ^
                        static_cast<uint64_t>(st.st_ctim.tv_nsec);
        }
        const std::string dir = StateDirectory();
        if (dir.empty()) return nullptr;
        // Processes of another pointer width lay the mutex out otherwise.
        const std::string abi = sizeof(void*) == 8 ? "" : "-" + std::to_string(8 * sizeof(void*));
        return PosixStateRecord::Open(dir + "/" + StateRecordName(device_path) + abi);
    }
};

}  // namespace

Platform& SystemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace velmar
