// A plain client of a simulated instrument, for comparison: blocking send and
// recv on the socket, with the same 1000 ms limit set once per connection.
// It is what the library's transfers should cost, and lives here, not in the
// library. Like VelmarDll it connects for every exchange; kept open, like a
// session, it connects once.
#pragma once

#include <cstdint>
#include <string>

namespace velmar::bench {

class RawClient {
  public:
    explicit RawClient(std::string path, bool keep_open = false)
        : path_(std::move(path)), keep_open_(keep_open) {}
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // One control exchange: connect, 7 bytes out, 10 back, close.
    bool ControlExchange();
    // A download of `count` samples (a multiple of 64): connect, the length
    // header and its acknowledgement, then each 64-byte block and its
    // acknowledgement, close.
    bool Download(const uint16_t* samples, int count);

  private:
    int Connect();
    void Done(int fd);
    static bool Exchange(int fd, const uint8_t* message, size_t length, size_t answer_length);

    std::string path_;
    bool keep_open_;
    int open_fd_ = -1;
};

}  // namespace velmar::bench
