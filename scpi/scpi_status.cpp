#include "scpi_status.h"

namespace velmar::scpi {

const char* ErrorText(int code) {
    switch (code) {
        case kNoError:
            return "No error";
        case kCommandError:
            return "Command error";
        case kSyntaxError:
            return "Syntax error";
        case kDataTypeError:
            return "Data type error";
        case kParameterNotAllowed:
            return "Parameter not allowed";
        case kMissingParameter:
            return "Missing parameter";
        case kProgramMnemonicTooLong:
            return "Program mnemonic too long";
        case kUndefinedHeader:
            return "Undefined header";
        case kInvalidSuffix:
            return "Invalid suffix";
        case kInvalidBlockData:
            return "Invalid block data";
        case kExecutionError:
            return "Execution error";
        case kCommandProtected:
            return "Command protected";
        case kSettingsConflict:
            return "Settings conflict";
        case kTooMuchData:
            return "Too much data";
        case kDataOutOfRange:
            return "Data out of range";
        case kIllegalParameterValue:
            return "Illegal parameter value";
        case kHardwareError:
            return "Hardware error";
        case kHardwareMissing:
            return "Hardware missing";
        case kQueueOverflow:
            return "Queue overflow";
        case kInputBufferOverrun:
            return "Input buffer overrun";
        case kQueryInterrupted:
            return "Query INTERRUPTED";
        case kArbMemoryFull:
            return "Not enough memory to store new arb waveform; use DATA:VOL:CLE";
        case kArbNotFound:
            return "Specified arb waveform does not exist";
        case kQueryUnterminated:
            return "Query UNTERMINATED";
        default:
            return "Error";
    }
}

uint8_t EsrBitFor(int code) {
    if (code <= -100 && code > -200) return kEsrCommandError;
    if (code <= -200 && code > -300) return kEsrExecutionError;
    if (code <= -400 && code > -500) return kEsrQueryError;
    return kEsrDeviceError;
}

void Status::Fail(int code, const std::string& detail) {
    if (errors_.size() < kQueueCapacity) {
        errors_.push_back({code, detail});
    } else if (errors_.back().code != kQueueOverflow) {
        errors_.back() = {kQueueOverflow, {}};
    }
    esr_ |= EsrBitFor(code);
}

std::string Status::NextError() {
    Entry entry{kNoError, {}};
    if (!errors_.empty()) {
        entry = std::move(errors_.front());
        errors_.pop_front();
    }
    std::string text = std::to_string(entry.code) + ",\"" + ErrorText(entry.code);
    if (!entry.detail.empty()) text += ";" + entry.detail;
    return text + "\"";
}

void Status::Clear() {
    errors_.clear();
    esr_ = 0;
    operation.event = 0;
    questionable.event = 0;
}

void Status::Preset() {
    operation.enable = 0;
    questionable.enable = 0;
}

uint8_t Status::TakeEsr() {
    const uint8_t value = esr_;
    esr_ = 0;
    return value;
}

uint8_t Status::Stb(bool message_available) const {
    uint8_t stb = 0;
    if (!errors_.empty()) stb |= kStbErrorAvailable;
    if (questionable.Summary()) stb |= kStbQuestionableSummary;
    if (message_available) stb |= kStbMessageAvailable;
    if (esr_ & ese) stb |= kStbEventSummary;
    if (operation.Summary()) stb |= kStbOperationSummary;
    if (stb & sre & ~kStbRequestService) stb |= kStbRequestService;
    return stb;
}

}  // namespace velmar::scpi
