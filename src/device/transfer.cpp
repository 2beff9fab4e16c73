#include "device/transfer.h"

#include <array>
#include <cstring>

#include "device/trace.h"
#include "protocol/describe.h"
#include "protocol/protocol.h"

namespace velmar {
namespace {

// "a0 00 00 00 00 30 00  control: word 0x0000 [none] dio-out 0x0000 divider 48"
std::string DescribeOutgoing(const uint8_t* data, size_t length) {
    return "-> " + HexBytes(data, length, 8) + "  " + DescribeHostMessage(data, length);
}

// What a message is called in a failure's words.
const char* NameOf(const uint8_t* data, size_t length) {
    if (length == kSampleBlockBytes) return "a sample block";
    if (length == kLengthHeaderSize && data[0] == kLengthCommand) return "the length header";
    if (length == kCommandCodeSize && data[0] == kPowerOnCommand) return "the power-on command";
    if (length == kCommandPacketSize && data[0] == kPowerOnCommand) return "the power-on packet";
    if (length == kCommandPacketSize) return "the control packet";
    return "a message";
}

std::string WithReason(const std::string& words, const std::string& why) {
    return why.empty() ? words : words + ": " + why;
}

}  // namespace

InstrumentConnection::InstrumentConnection(Platform& platform, DeviceHandle handle,
                                           bool& may_hold_late_answer, uint32_t timeout_ms)
    : platform_(platform), handle_(handle), mark_(may_hold_late_answer), timeout_ms_(timeout_ms) {}

InstrumentConnection::~InstrumentConnection() {
    if (wrote_ && first_failure_.code == ErrorCode::kOk) mark_ = false;
}

void InstrumentConnection::NoteMiss(ErrorCode code, std::string words) {
    mark_ = true;
    if (first_failure_.code == ErrorCode::kOk) first_failure_ = {code, std::move(words)};
}

TransferStatus InstrumentConnection::WriteWithTimeout(const uint8_t* data, size_t length) {
    if (mark_) {
        const int dropped = platform_.DropWaitingAnswers(handle_, kMaxStaleAnswers);
        if (dropped > 0 && trace::On()) {
            trace::Detail("dropped " + std::to_string(dropped) + " late answer" +
                          (dropped == 1 ? "" : "s") + " waiting from an earlier message");
        }
    }
    if (trace::On()) trace::Detail(DescribeOutgoing(data, length));
    wrote_ = true;
    last_message_ = NameOf(data, length);
    const TransferStatus status = platform_.Write(handle_, data, length, timeout_ms_);
    if (status == TransferStatus::kOk) return status;
    const std::string why = platform_.LastFailure();
    std::string words;
    ErrorCode code = ErrorCode::kWriteRefused;
    if (status == TransferStatus::kTimeout) {
        code = ErrorCode::kTimeout;
        words = std::string(last_message_) + " was not taken within " +
                std::to_string(timeout_ms_) + " ms";
    } else if (platform_.LastFailureKind() == FailureKind::kHungUp) {
        code = ErrorCode::kDisconnected;
        words = WithReason(std::string("the instrument hung up before taking ") + last_message_, why);
    } else {
        words = WithReason(std::string(last_message_) + " was refused", why);
    }
    if (trace::On()) trace::Detail("<- " + words);
    NoteMiss(code, std::move(words));
    return status;
}

TransferStatus InstrumentConnection::ReadWithTimeout(uint8_t* buffer, size_t length) {
    // Answers land in a buffer of our own first, so the caller's buffer
    // changes only when the whole answer arrived.
    std::array<uint8_t, kStatusReportSize> answer{};
    if (length > answer.size()) return TransferStatus::kStartFailed;
    size_t received = 0;
    TransferStatus status = platform_.Read(handle_, answer.data(), length, &received, timeout_ms_);
    if (status == TransferStatus::kOk && received == length) {
        if (trace::On()) {
            trace::Detail("<- " + HexBytes(answer.data(), length) + "  " +
                          (length == kStatusReportSize ? DescribeStatusReport(StatusReport(answer))
                                                       : std::string("acknowledgement")));
        }
        std::memcpy(buffer, answer.data(), length);
        return TransferStatus::kOk;
    }
    const std::string to = std::string(" to ") + last_message_;
    const std::string why = platform_.LastFailure();
    ErrorCode code = ErrorCode::kBadAnswer;
    std::string words;
    if (status == TransferStatus::kOk) {
        status = TransferStatus::kReadFailed;
        words = "a short answer" + to + ": " + std::to_string(received) + " of " +
                std::to_string(length) + " bytes" +
                (received > 0 ? " (" + HexBytes(answer.data(), received) + ")" : "");
    } else if (status == TransferStatus::kTimeout) {
        code = ErrorCode::kTimeout;
        words = "no answer within " + std::to_string(timeout_ms_) + " ms" + to;
    } else if (platform_.LastFailureKind() == FailureKind::kOverLong) {
        words = WithReason("a wrong answer" + to, why);
    } else if (platform_.LastFailureKind() == FailureKind::kHungUp) {
        code = ErrorCode::kDisconnected;
        words = std::string("the instrument hung up without answering ") + last_message_;
    } else if (status == TransferStatus::kStartFailed) {
        code = ErrorCode::kWriteRefused;
        words = WithReason("the read of the answer" + to + " was refused", why);
    } else {
        words = WithReason("no answer" + to, why.empty() ? "the read failed" : why);
    }
    if (trace::On()) trace::Detail("<- " + words);
    NoteMiss(code, std::move(words));
    return status;
}

TransferStatus InstrumentConnection::SendAwaitingAck(const uint8_t* data, size_t length) {
    TransferStatus written = WriteWithTimeout(data, length);
    if (written != TransferStatus::kOk) return written;
    // The acknowledgement's value carries nothing; only its arrival counts.
    uint8_t ack = 0;
    return ReadWithTimeout(&ack, kAckSize);
}

TransferStatus InstrumentConnection::ExchangeControl(ControlShadow& shadow) {
    shadow.packet.set_code(kControlCommand);
    TransferStatus written = WriteWithTimeout(shadow.packet.data(), kCommandPacketSize);
    if (written != TransferStatus::kOk) return written;
    std::array<uint8_t, kStatusReportSize> report{};
    TransferStatus status = ReadWithTimeout(report.data(), report.size());
    if (status == TransferStatus::kOk) shadow.report = StatusReport(report);
    return status;
}

}  // namespace velmar
