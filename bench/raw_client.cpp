#include "raw_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace velmar::bench {

RawClient::~RawClient() {
    if (open_fd_ >= 0) close(open_fd_);
}

void RawClient::Done(int fd) {
    if (!keep_open_) close(fd);
}

int RawClient::Connect() {
    if (open_fd_ >= 0) return open_fd_;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const timeval limit{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    if (keep_open_) open_fd_ = fd;
    return fd;
}

bool RawClient::Exchange(int fd, const uint8_t* message, size_t length, size_t answer_length) {
    uint8_t answer[16];
    return send(fd, message, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) &&
           recv(fd, answer, sizeof(answer), 0) == static_cast<ssize_t>(answer_length);
}

bool RawClient::ControlExchange() {
    const int fd = Connect();
    if (fd < 0) return false;
    const uint8_t packet[7] = {0xA0, 0, 0, 0, 0, 0, 0};
    const bool ok = Exchange(fd, packet, sizeof(packet), 10);
    Done(fd);
    return ok;
}

bool RawClient::Download(const uint16_t* samples, int count) {
    const int fd = Connect();
    if (fd < 0) return false;
    const uint16_t word = static_cast<uint16_t>(count - 1);
    const uint8_t header[3] = {0xA1, static_cast<uint8_t>(word & 0xFF),
                               static_cast<uint8_t>(word >> 8)};
    bool ok = Exchange(fd, header, sizeof(header), 1);
    uint8_t block[64];
    for (int first = 0; ok && first < count; first += 32) {
        for (int i = 0; i < 32; ++i) {
            block[2 * i] = static_cast<uint8_t>(samples[first + i] & 0xFF);
            block[2 * i + 1] = static_cast<uint8_t>(samples[first + i] >> 8);
        }
        ok = Exchange(fd, block, sizeof(block), 1);
    }
    Done(fd);
    return ok;
}

}  // namespace velmar::bench
