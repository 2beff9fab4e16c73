// SCPI text as it arrives on a socket: first cut into messages at their
// terminator, then each message into program units (headers and parameters).
//
// A definite-length block (#<n><len><bytes>) is data from end to end: a
// newline, a semicolon or a quote inside it ends nothing. Neither step keeps
// more than one message of at most kMaxMessageBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::scpi {

constexpr size_t kMaxMessageBytes = 1 << 20;

// One message cut from the byte stream, without its terminator; or the mark
// that a message longer than kMaxMessageBytes was dropped up to its terminator.
struct FramedMessage {
    std::string text;
    bool overrun = false;
};

// Cuts a byte stream into messages at '\n' outside blocks. Bytes may arrive
// split anywhere; a message's cut does not depend on how it was split.
class MessageFramer {
  public:
    void Feed(const char* data, size_t size, std::vector<FramedMessage>* out);
    // The end of the input ends a message as a terminator does (IEEE 488.2's
    // END); nothing when no bytes are waiting.
    std::optional<FramedMessage> Finish();
    // Bytes of the message being assembled: what a stalled client holds.
    size_t pending_bytes() const { return message_.size(); }

  private:
    enum class State { kText, kQuoted, kHash, kBlockDigits, kBlockData };
    void Keep(char c);
    void Emit(std::vector<FramedMessage>* out);

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
    int error = 0;  // a syntax-level error code, then nothing else is valid
};

// The units of one message, in order. Empty units (";;") are skipped.
std::vector<ProgramUnit> ParseMessage(std::string_view message);

}  // namespace velmar::scpi
