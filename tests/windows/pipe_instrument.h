// A stand-in instrument served on a named pipe in message mode: one pipe
// message per instrument message, as the driver delivers them. The test
// plays the instrument through the server end; the library's Windows
// transfers run on the client end, opened exactly as a device path is.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "device/platform_win32_internal.h"

namespace velmar::win32::testing {

using Bytes = std::vector<uint8_t>;

class PipeInstrument {
  public:
    PipeInstrument();
    ~PipeInstrument();
    PipeInstrument(const PipeInstrument&) = delete;
    PipeInstrument& operator=(const PipeInstrument&) = delete;

    // The device path the library opens: \\.\pipe\<unique name>.
    const std::string& path() const { return path_; }

    // Opens the client end through the library's own open, switches it to
    // message reads as the driver's handles are, and waits until the
    // instrument has accepted it. Returns INVALID_HANDLE_VALUE on failure.
    HANDLE Connect();

    // The next message the library sent; fails the test (empty result) when
    // none arrives within two seconds.
    Bytes Receive();

    // Sends one answer now.
    void Answer(const Bytes& bytes);

    // Sends one answer `delay_ms` from now, from another thread.
    void AnswerAfter(const Bytes& bytes, DWORD delay_ms);
    // Waits until the delayed answer has gone into the pipe.
    void AwaitDelayedAnswer();

    // Behaves as the instrument does, from another thread: waits for the
    // next message, then answers it. The message is kept for the test.
    void RespondToNextMessage(const Bytes& answer);
    // Waits for that exchange and gives the message it received.
    Bytes AwaitRespondedMessage();

    // Goes away: the library's end is left with a broken pipe.
    void HangUp();

  private:
    std::string path_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    std::thread delayed_;
    Bytes responded_to_;
};

// Milliseconds elapsed on a monotonic clock.
uint64_t NowMs();

}  // namespace velmar::win32::testing
