// Timed transfers on an open instrument, and the control exchange built on
// them. Every byte between the library and an instrument passes through here,
// and so does the one policy for answers that came too late.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/instrument_state.h"
#include "device/platform.h"

namespace velmar {

// The most stale answers dropped before one write: bounds the drain against
// an instrument that keeps talking.
constexpr int kMaxStaleAnswers = 16;

// An open instrument for the length of one call. It does not own the device:
// VelmarDll closes it at the end of every call, a session keeps it open.
//
// Late answers: an answer that arrives after its read gave up stays waiting
// on the device, where the next read would take it for the answer to a
// later message (a digital input read would hand back the previous call's
// word). A real driver may even deliver it to the next handle opened on the
// same instrument. So a miss is remembered in a mark that outlives the call
// (`may_hold_late_answer`, kept per device path by VelmarDll and per
// instrument by a session): while it is set, whatever is already waiting is
// dropped before each message is written. Only a call that wrote and had
// every answer arrive clears it; a call that sent nothing proves nothing. A
// working instrument costs nothing: no drop is attempted on a clear mark.
class InstrumentConnection {
  public:
    InstrumentConnection(Platform& platform, DeviceHandle handle, bool& may_hold_late_answer,
                         uint32_t timeout_ms = kTransferTimeoutMs);
    // Clears the mark when every answer of the call arrived.
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

    // Sends the whole control packet of `shadow` (code set to ControlCommand)
    // and reads the status report into its report image. Returns the write's
    // status if the write failed, else the read's.
    TransferStatus ExchangeControl(ControlShadow& shadow);

    Platform& platform() { return platform_; }

    // The first thing that went wrong in this call, in the caller's terms;
    // code kOk while nothing did.
    const Failure& first_failure() const { return first_failure_; }

  private:
    void NoteMiss(ErrorCode code, std::string words);

    Platform& platform_;
    DeviceHandle handle_;
    bool& mark_;
    uint32_t timeout_ms_;
    bool wrote_ = false;
    const char* last_message_ = "";  // what the next answer answers, in words
    Failure first_failure_;
};

}  // namespace velmar
