// Timed transfers on an open instrument, and the control exchange built on
// them. Every byte between the library and an instrument passes through here,
// and so does the one policy for answers that came too late.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/platform.h"

namespace velmar {

// How long any one transfer may take before it counts as timed out.
constexpr uint32_t kTransferTimeoutMs = 1000;

// The most stale answers dropped before one write: bounds the drain against
// an instrument that keeps talking.
constexpr int kMaxStaleAnswers = 16;

// An instrument opened for the length of one exported call; closing it is
// the destructor's job, on every path.
//
// Late answers: an answer that arrives after its read gave up stays waiting
// on the device, where the next read would take it for the answer to a
// later message (DDSGetDigitalIn would hand back the previous call's word).
// A real driver may even deliver it to the next handle opened on the same
// instrument. So a miss is remembered per device path, across calls: on a
// connection to a path that missed an answer, whatever is already waiting is
// dropped before each message is written. A call on that path whose every
// answer arrived clears the mark. A working instrument costs nothing: no
// drop is attempted on a path that never missed.
class InstrumentConnection {
  public:
    InstrumentConnection(Platform& platform, DeviceHandle handle, const std::string& path);
    ~InstrumentConnection();
    InstrumentConnection(const InstrumentConnection&) = delete;
    InstrumentConnection& operator=(const InstrumentConnection&) = delete;

    // Sends `length` bytes as one message.
    TransferStatus WriteWithTimeout(const uint8_t* data, size_t length);

    // Receives one answer of exactly `length` bytes into `buffer`. A shorter
    // or empty answer counts as no answer (kReadFailed) and leaves `buffer`
    // as it was, so a half-arrived report is never taken for a whole one.
    TransferStatus ReadWithTimeout(uint8_t* buffer, size_t length);

    // Sends a message the instrument acknowledges with one byte, and reads
    // that byte. A message whose write failed is not waited for.
    TransferStatus SendAwaitingAck(const uint8_t* data, size_t length);

    // Sends the whole control packet of the shadow (code set to
    // ControlCommand) and reads the status report into the shadow's report
    // image. Returns the write's status if the write failed, else the read's.
    TransferStatus ExchangeControl();

  private:
    void NoteMissedAnswer();

    Platform& platform_;
    DeviceHandle handle_;
    const std::string& path_;
    bool drop_before_write_;      // a late answer may be waiting on the device
    bool missed_answer_ = false;  // in this call
};

}  // namespace velmar
