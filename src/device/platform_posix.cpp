// The POSIX side of the seam: instruments are the Unix-domain sockets of the
// device directory. One connection is one open of the instrument; message
// boundaries carry the protocol exactly as the Windows driver does, one
// message per write and one answer per read.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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
#include <set>

#include "device/device_directory.h"
#include "device/platform.h"

namespace velmar {

std::string DeviceDirectory() {
    if (const char* dir = std::getenv("VELMAR_DDS_DEVICE_DIR")) return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
        return std::string(runtime) + "/velmar-dds";
    return "/tmp/velmar-dds-" + std::to_string(static_cast<unsigned long>(getuid()));
}

namespace {

constexpr int kConnectTimeoutMs = 1000;
// The most stale answers dropped before one write.
constexpr int kMaxStaleAnswers = 16;

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` is ready for `events` or the deadline passes. Signals that
// interrupt the wait do not shorten or lengthen it.
TransferStatus WaitReady(int fd, short events, uint32_t timeout_ms) {
    const int64_t deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0)));
        if (n > 0)
            return TransferStatus::kOk;  // readable, writable, or hung up: the transfer says which
        if (n == 0) return TransferStatus::kTimeout;
        if (errno != EINTR) return TransferStatus::kWaitFailed;
    }
}

class PosixPlatform final : public Platform {
  public:
    Enumeration EnumerateDevices() override {
        Enumeration result;
        const std::string dir = DeviceDirectory();
        DIR* listing = opendir(dir.c_str());
        if (listing == nullptr) return result;
        result.possible = true;
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing)) {
            const std::string path = dir + "/" + entry->d_name;
            struct stat info {};
            if (stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
                names.push_back(entry->d_name);
        }
        closedir(listing);
        // Ascending byte order of the names fixes the device indices.
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) result.paths.push_back(dir + "/" + name);
        result.interfaces = static_cast<int32_t>(result.paths.size());
        return result;
    }

    bool Open(const std::string& path, DeviceHandle* handle) override {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        // A path that does not fit the socket address is refused, never cut.
        if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        // An instrument whose connection queue is full makes the connect
        // wait; it gets the same limit as any transfer. Transfers then run
        // non-blocking under poll.
        const timeval limit{kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
            close(fd);
            return false;
        }
        *handle = fd;
        return true;
    }

    void Close(DeviceHandle handle) override {
        missed_answer_.erase(static_cast<int>(handle));
        close(static_cast<int>(handle));
    }

    TransferStatus Write(DeviceHandle handle, const uint8_t* data, size_t length,
                         uint32_t timeout_ms) override {
        const int fd = static_cast<int>(handle);
        // Only where an answer was missed can a late one still be waiting,
        // to be taken for the answer to this message.
        if (missed_answer_.count(fd) != 0) DiscardStaleAnswers(fd);
        const TransferStatus status = Send(fd, data, length, timeout_ms);
        if (status != TransferStatus::kOk) missed_answer_.insert(fd);
        return status;
    }

    TransferStatus Read(DeviceHandle handle, uint8_t* buffer, size_t capacity, size_t* received,
                        uint32_t timeout_ms) override {
        const int fd = static_cast<int>(handle);
        const TransferStatus status = Receive(fd, buffer, capacity, received, timeout_ms);
        if (status != TransferStatus::kOk) missed_answer_.insert(fd);
        return status;
    }

    void Sleep(uint32_t milliseconds) override {
        timespec left{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }

  private:
    static TransferStatus Send(int fd, const uint8_t* data, size_t length, uint32_t timeout_ms) {
        for (;;) {
            const TransferStatus ready = WaitReady(fd, POLLOUT, timeout_ms);
            if (ready != TransferStatus::kOk) return ready;
            // MSG_NOSIGNAL: an instrument that went away must not kill the
            // caller's process with SIGPIPE.
            const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
            if (sent == static_cast<ssize_t>(length)) return TransferStatus::kOk;
            if (sent >= 0) return TransferStatus::kWriteFailed;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return TransferStatus::kTimeout;
            return TransferStatus::kStartFailed;
        }
    }

    static TransferStatus Receive(int fd, uint8_t* buffer, size_t capacity, size_t* received,
                                  uint32_t timeout_ms) {
        *received = 0;
        for (;;) {
            const TransferStatus ready = WaitReady(fd, POLLIN, timeout_ms);
            if (ready != TransferStatus::kOk) return ready;
            // One answer per read. MSG_TRUNC tells the message's whole
            // length: one longer than the answer expected is not that answer
            // (the Windows driver's pipe says ERROR_MORE_DATA alike).
            const ssize_t got = recv(fd, buffer, capacity, MSG_TRUNC);
            if (got > static_cast<ssize_t>(capacity)) return TransferStatus::kReadFailed;
            if (got > 0) {
                *received = static_cast<size_t>(got);
                return TransferStatus::kOk;
            }
            if (got == 0) return TransferStatus::kReadFailed;  // the instrument hung up
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return TransferStatus::kTimeout;
            return TransferStatus::kReadFailed;
        }
    }

    // Drops what is already waiting, without waiting for more. Bounded, so
    // that an instrument that keeps talking cannot hold the call forever.
    static void DiscardStaleAnswers(int fd) {
        uint8_t scrap[16];
        for (int dropped = 0; dropped < kMaxStaleAnswers; ++dropped) {
            if (recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT) <= 0) break;
        }
    }

    // Open connections on which a transfer failed or ran out of time. Every
    // call runs under the library lock, so this needs no lock of its own.
    std::set<int> missed_answer_;
};

}  // namespace

Platform& SystemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace velmar
