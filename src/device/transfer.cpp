#include "device/transfer.h"

#include <array>
#include <cstring>

#include "device/library_state.h"
#include "device/trace.h"
#include "protocol/describe.h"
#include "protocol/protocol.h"

namespace velmar {
namespace {

// "a0 00 00 00 00 30 00  control: word 0x0000 [none] dio-out 0x0000 divider 48"
std::string DescribeOutgoing(const uint8_t* data, size_t length) {
    return "-> " + HexBytes(data, length, 8) + "  " + DescribeHostMessage(data, length);
}

std::string DescribeMiss(TransferStatus status, const Platform& platform) {
    const std::string why = platform.LastFailure();
    switch (status) {
        case TransferStatus::kTimeout:
            return "no answer within " + std::to_string(kTransferTimeoutMs) + " ms";
        case TransferStatus::kStartFailed:
            return "read refused" + (why.empty() ? "" : ": " + why);
        default:
            return "no answer: " + (why.empty() ? "the read failed" : why);
    }
}

}  // namespace

InstrumentConnection::InstrumentConnection(Platform& platform, DeviceHandle handle,
                                           const std::string& path)
    : platform_(platform),
      handle_(handle),
      path_(path),
      drop_before_write_(State().paths_that_missed_an_answer.count(path) != 0) {}

InstrumentConnection::~InstrumentConnection() {
    if (!missed_answer_) State().paths_that_missed_an_answer.erase(path_);
    platform_.Close(handle_);
}

void InstrumentConnection::NoteMissedAnswer() {
    missed_answer_ = true;
    drop_before_write_ = true;
    State().paths_that_missed_an_answer.insert(path_);
}

TransferStatus InstrumentConnection::WriteWithTimeout(const uint8_t* data, size_t length) {
    if (drop_before_write_) {
        const int dropped = platform_.DropWaitingAnswers(handle_, kMaxStaleAnswers);
        if (dropped > 0 && trace::On()) {
            trace::Detail("dropped " + std::to_string(dropped) + " late answer" +
                          (dropped == 1 ? "" : "s") + " waiting from an earlier message");
        }
    }
    if (trace::On()) trace::Detail(DescribeOutgoing(data, length));
    const TransferStatus status = platform_.Write(handle_, data, length, kTransferTimeoutMs);
    if (status != TransferStatus::kOk) {
        NoteMissedAnswer();
        if (trace::On()) {
            const std::string why = platform_.LastFailure();
            trace::Detail(status == TransferStatus::kTimeout
                              ? "<- write not taken within " + std::to_string(kTransferTimeoutMs) +
                                    " ms"
                              : "<- write refused" + (why.empty() ? "" : ": " + why));
        }
    }
    return status;
}

TransferStatus InstrumentConnection::ReadWithTimeout(uint8_t* buffer, size_t length) {
    // Answers land in a buffer of our own first, so the caller's buffer
    // changes only when the whole answer arrived.
    std::array<uint8_t, kStatusReportSize> answer{};
    if (length > answer.size()) return TransferStatus::kStartFailed;
    size_t received = 0;
    TransferStatus status =
        platform_.Read(handle_, answer.data(), length, &received, kTransferTimeoutMs);
    if (status == TransferStatus::kOk && received != length) {
        status = TransferStatus::kReadFailed;
        if (trace::On()) {
            trace::Detail("<- short answer: " + std::to_string(received) + " of " +
                          std::to_string(length) + " bytes" +
                          (received > 0 ? " (" + HexBytes(answer.data(), received) + ")" : ""));
        }
    } else if (status != TransferStatus::kOk) {
        if (trace::On()) trace::Detail("<- " + DescribeMiss(status, platform_));
    } else if (trace::On()) {
        trace::Detail("<- " + HexBytes(answer.data(), length) + "  " +
                      (length == kStatusReportSize ? DescribeStatusReport(StatusReport(answer))
                                                   : std::string("acknowledgement")));
    }
    if (status != TransferStatus::kOk) {
        NoteMissedAnswer();
        return status;
    }
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
