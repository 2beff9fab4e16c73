#include "device/transfer.h"

#include <array>
#include <cstring>

#include "device/library_state.h"
#include "protocol/protocol.h"

namespace velmar {

TransferStatus InstrumentConnection::WriteWithTimeout(const uint8_t* data, size_t length) {
    return platform_.Write(handle_, data, length, kTransferTimeoutMs);
}

TransferStatus InstrumentConnection::ReadWithTimeout(uint8_t* buffer, size_t length) {
    // Answers land in a buffer of our own first, so the caller's buffer
    // changes only when the whole answer arrived.
    std::array<uint8_t, kStatusReportSize> answer{};
    if (length > answer.size()) return TransferStatus::kStartFailed;
    size_t received = 0;
    TransferStatus status =
        platform_.Read(handle_, answer.data(), length, &received, kTransferTimeoutMs);
    if (status != TransferStatus::kOk) return status;
    if (received != length) return TransferStatus::kReadFailed;
    std::memcpy(buffer, answer.data(), length);
    return TransferStatus::kOk;
}

TransferStatus InstrumentConnection::SendAwaitingAck(const uint8_t* data, size_t length) {
    TransferStatus written = WriteWithTimeout(data, length);
    if (written != TransferStatus::kOk) return written;
    // The acknowledgement's value carries nothing; only its arrival counts.
    uint8_t ack = 0;
    return ReadWithTimeout(&ack, kAckSize);
}

TransferStatus InstrumentConnection::ExchangeControl() {
    ControlShadow& shadow = State().shadow;
    shadow.packet.set_code(kControlCommand);
    TransferStatus written = WriteWithTimeout(shadow.packet.data(), kCommandPacketSize);
    if (written != TransferStatus::kOk) return written;
    std::array<uint8_t, kStatusReportSize> report{};
    TransferStatus status = ReadWithTimeout(report.data(), report.size());
    if (status == TransferStatus::kOk) shadow.report = StatusReport(report);
    return status;
}

}  // namespace velmar
