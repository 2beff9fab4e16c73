// What one SCPI connection knows about its own history: the error queue and
// the IEEE 488.2 status bytes. Every connection has its own; the instrument's
// settings are shared, its status is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace velmar::scpi {

// The standard error numbers the server reports.
enum ErrorCode : int {
    kNoError = 0,
    kCommandError = -100,
    kSyntaxError = -102,
    kDataTypeError = -104,
    kParameterNotAllowed = -108,
    kMissingParameter = -109,
    kProgramMnemonicTooLong = -112,
    kUndefinedHeader = -113,
    kInvalidSuffix = -131,
    kInvalidBlockData = -161,
    kExecutionError = -200,
    kCommandProtected = -203,  // a read-only door refuses what would change the instrument
    kSettingsConflict = -221,
    kTooMuchData = -223,
    kDataOutOfRange = -222,
    kIllegalParameterValue = -224,
    kHardwareError = -240,
    kHardwareMissing = -241,
    kQueueOverflow = -350,
    kInputBufferOverrun = -363,
    kQueryInterrupted = -410,
    kQueryUnterminated = -420,
    // Device-specific, numbered as the arbitrary waveform generators number them.
    kArbMemoryFull = 781,
    kArbNotFound = 785,
};

// "Undefined header" for -113; "Error" for a number the server never reports.
const char* ErrorText(int code);

// Event status register bits.
constexpr uint8_t kEsrOperationComplete = 0x01;
constexpr uint8_t kEsrQueryError = 0x04;
constexpr uint8_t kEsrDeviceError = 0x08;
constexpr uint8_t kEsrExecutionError = 0x10;
constexpr uint8_t kEsrCommandError = 0x20;
// Status byte bits.
constexpr uint8_t kStbErrorAvailable = 0x04;
constexpr uint8_t kStbQuestionableSummary = 0x08;
constexpr uint8_t kStbMessageAvailable = 0x10;
constexpr uint8_t kStbEventSummary = 0x20;
constexpr uint8_t kStbRequestService = 0x40;
constexpr uint8_t kStbOperationSummary = 0x80;

// The event status bit an error sets: -1xx command, -2xx execution,
// -3xx and positive device-specific, -4xx query.
uint8_t EsrBitFor(int code);

// SCPI's not-a-number: what a query answers when the instrument did not.
constexpr const char* kNotANumber = "9.91E+37";

// A SCPI status register: the condition now, the events latched since
// last read, and the enable mask that feeds the status byte's summary bit.
// Nothing of this instrument sets a condition yet: the registers are there
// so that drivers that preset and read them find them.
struct StatusRegister {
    uint16_t condition = 0;
    uint16_t event = 0;
    uint16_t enable = 0;
    uint16_t TakeEvent() {
        const uint16_t value = event;
        event = 0;
        return value;
    }
    bool Summary() const { return (event & enable) != 0; }
};

class Status {
  public:
    static constexpr size_t kQueueCapacity = 20;

    // Queues the error and sets its event status bit. A full queue keeps its
    // first 19 entries and ends with -350; later errors are lost until it is read.
    // `detail` follows the standard text after a ';', as SCPI allows.
    void Fail(int code, const std::string& detail = {});
    // `<code>,"<text>[;<detail>]"`, oldest first; `0,"No error"` when empty.
    std::string NextError();
    size_t error_count() const { return errors_.size(); }

    // *CLS: empties the queue and the event status register.
    void Clear();
    // *ESR?: reads and clears.
    uint8_t TakeEsr();
    void SetEsrBits(uint8_t bits) { esr_ |= bits; }
    // *STB?: with MAV when an answer waits to be read.
    uint8_t Stb(bool message_available = false) const;
    // STAT:PRES: the OPERation and QUEStionable enables cleared.
    void Preset();

    uint8_t ese = 0;
    uint8_t sre = 0;
    StatusRegister operation;
    StatusRegister questionable;

  private:
    struct Entry {
        int code;
        std::string detail;
    };
    std::deque<Entry> errors_;
    uint8_t esr_ = 0;
};

}  // namespace velmar::scpi
