// SCPI text as it arrives on a socket: first cut into messages at their
// terminator, then each message into program units (headers and parameters).
//
// A definite-length block (#<n><len><bytes>) is data from end to end: a
// newline, a semicolon or a quote inside it ends nothing. Neither step keeps
// more than one message of at most kMaxMessageBytes, and the units of a
// message are read one at a time, so that what a connection holds grows with
// the message it sends and never by a multiple of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::scpi {

constexpr size_t kMaxMessageBytes = 1 << 20;

// The most parameters a unit may carry: the longest list any command takes,
// DATA:ARB's, a name and one point for each of the instrument's 4096
// samples. One more is refused as it is read (-108), before it costs any
// memory.
constexpr size_t kMostParameters = 4097;

// One message cut from the byte stream, without its terminator.
struct FramedMessage {
    enum class Kind {
        kMessage,
        // Longer than kMaxMessageBytes: dropped up to its terminator.
        kOverrun,
        // A block declared longer than kMaxMessageBytes. What follows is that
        // block's data, which nothing tells from commands: the framer takes
        // nothing more, and the connection ends.
        kBlockTooLong,
    };
    Kind kind = Kind::kMessage;
    std::string text;             // kMessage only
    uint64_t declared_bytes = 0;  // kBlockTooLong: the length the block declared
};

// Cuts a byte stream into messages at '\n' outside blocks. Bytes may arrive
// split anywhere; a message's cut does not depend on how it was split.
class MessageFramer {
  public:
    // Takes bytes until a message is complete, then puts it in *message and
    // stops; returns how many bytes it took. After kBlockTooLong it takes
    // every byte and completes nothing.
    size_t Feed(const char* data, size_t size, std::optional<FramedMessage>* message);
    // The end of the input ends a message as a terminator does (IEEE 488.2's
    // END); nothing when no bytes are waiting.
    std::optional<FramedMessage> Finish();
    // Bytes of the message being assembled: what a stalled client holds.
    size_t pending_bytes() const { return message_.size(); }
    // The memory they take, which never grows past the message bound.
    size_t buffered_bytes() const { return message_.capacity(); }
    // A half message is waiting for the rest of it.
    bool in_message() const { return !message_.empty() || discarding_; }

  private:
    enum class State { kText, kQuoted, kHash, kBlockDigits, kBlockData, kRefused };
    // Adds bytes to the message; `text` when they are outside strings and blocks.
    void Keep(const char* bytes, size_t count, bool text);
    FramedMessage Emit();

    std::string message_;
    bool discarding_ = false;
    bool cr_last_ = false;  // the last byte kept was a CR outside a block
    State state_ = State::kText;
    char quote_ = 0;
    int digits_left_ = 0;
    uint64_t block_left_ = 0;
};

struct Parameter {
    enum class Kind { kNumber, kCharacter, kString, kBlock };
    Kind kind = Kind::kCharacter;
    double number = 0.0;         // kNumber: decimal and #H/#B/#Q values alike
    bool integral_form = false;  // kNumber written as #H, #B or #Q
    std::string text;            // kNumber: its suffix, upper case; kCharacter: upper case;
                                 // kString: the contents; kBlock: the bytes
};

// One command or query of a message: `SOUR:FREQ 1 KHZ` or `*IDN?`.
struct ProgramUnit {
    std::vector<std::string> nodes;  // header mnemonics, upper case; "*IDN" for common ones
    bool rooted = false;             // the header began with ':'
    bool query = false;
    bool common = false;  // a '*' command
    std::vector<Parameter> parameters;
    int error = 0;                  // a syntax-level error code, then nothing else is valid
    const char* error_detail = "";  // what the error queue adds after the standard text
};

// The units of one message, one at a time and in order; empty units (";;")
// are skipped. The text must outlive the reader.
class UnitReader {
  public:
    explicit UnitReader(std::string_view message = {}) : text_(message) {}
    // The next unit, or nothing at the end of the message.
    std::optional<ProgramUnit> Next();

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

// Every unit of a message at once: for the tests and the fuzz harness.
std::vector<ProgramUnit> ParseMessage(std::string_view message);

// `text` in upper case, as headers are matched.
std::string Upper(std::string_view text);

}  // namespace velmar::scpi
