// Timed transfers on an open instrument, and the control exchange built on
// them. Every byte between the library and an instrument passes through here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/platform.h"

namespace velmar {

// How long any one transfer may take before it counts as timed out.
constexpr uint32_t kTransferTimeoutMs = 1000;

// An instrument opened for the length of one exported call.
class InstrumentConnection {
  public:
    InstrumentConnection(Platform& platform, DeviceHandle handle)
        : platform_(platform), handle_(handle) {}

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
    Platform& platform_;
    DeviceHandle handle_;
};

}  // namespace velmar
