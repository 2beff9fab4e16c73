#include "scpi_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "scpi_status.h"

namespace velmar::scpi {

// ---- Framing ---------------------------------------------------------------

void MessageFramer::Keep(const char* bytes, size_t count, bool text) {
    if (discarding_ || count == 0) return;
    if (count > kMaxMessageBytes - message_.size()) {
        // Too long: the rest is skipped up to the terminator, still honouring
        // block lengths so that the terminator found is the true one.
        discarding_ = true;
        std::string().swap(message_);
        return;
    }
    // Grown by doubling, but never past the bound: a string left to grow on
    // its own would take twice the bound for its last byte.
    if (message_.size() + count > message_.capacity()) {
        message_.reserve(std::min(kMaxMessageBytes, std::max({size_t{64}, 2 * message_.capacity(),
                                                              message_.size() + count})));
    }
    message_.append(bytes, count);
    cr_last_ = text && bytes[count - 1] == '\r';
}

FramedMessage MessageFramer::Emit() {
    FramedMessage framed;
    if (discarding_) {
        framed.kind = FramedMessage::Kind::kOverrun;
    } else {
        // CR LF ends a message as LF does, unless the CR was a block's data.
        if (cr_last_) message_.pop_back();
        framed.text = std::move(message_);
    }
    message_ = std::string();
    discarding_ = false;
    cr_last_ = false;
    state_ = State::kText;
    return framed;
}

size_t MessageFramer::Feed(const char* data, size_t size, std::optional<FramedMessage>* message) {
    size_t i = 0;
    while (i < size) {
        const char c = data[i];
        switch (state_) {
            case State::kRefused:
                return size;
            case State::kBlockData: {
                // Data from end to end, taken as a run.
                const size_t run = static_cast<size_t>(std::min<uint64_t>(block_left_, size - i));
                Keep(data + i, run, false);
                i += run;
                block_left_ -= run;
                if (block_left_ == 0) state_ = State::kText;
                continue;
            }
            case State::kBlockDigits:
                if (c >= '0' && c <= '9') {
                    Keep(data + i++, 1, false);
                    block_left_ = block_left_ * 10 + static_cast<uint64_t>(c - '0');
                    if (--digits_left_ != 0) continue;
                    if (block_left_ > kMaxMessageBytes) {
                        // Skipping a block is honouring its length: one of a
                        // gigabyte would hold the connection for a gigabyte.
                        FramedMessage refused;
                        refused.kind = FramedMessage::Kind::kBlockTooLong;
                        refused.declared_bytes = block_left_;
                        *message = std::move(refused);
                        std::string().swap(message_);
                        discarding_ = false;
                        state_ = State::kRefused;
                        return size;
                    }
                    state_ = block_left_ == 0 ? State::kText : State::kBlockData;
                    continue;
                }
                break;  // not a block after all: the byte is text
            case State::kHash:
                if (c >= '1' && c <= '9') {
                    Keep(data + i++, 1, false);
                    digits_left_ = c - '0';
                    block_left_ = 0;
                    state_ = State::kBlockDigits;
                    continue;
                }
                break;
            case State::kQuoted: {
                size_t end = i;
                while (end < size && data[end] != '\n' && data[end] != quote_) ++end;
                Keep(data + i, end - i, false);
                i = end;
                if (i == size) continue;
                if (data[i] == '\n') {
                    *message = Emit();
                    return i + 1;
                }
                Keep(data + i++, 1, false);  // the closing quote
                state_ = State::kText;
                continue;
            }
            case State::kText:
                break;
        }
        state_ = State::kText;
        // Up to the next byte that means something, as a run.
        size_t end = i;
        while (end < size && data[end] != '\n' && data[end] != '"' && data[end] != '\'' &&
               data[end] != '#') {
            ++end;
        }
        Keep(data + i, end - i, true);
        i = end;
        if (i == size) break;
        const char mark = data[i++];
        if (mark == '\n') {
            *message = Emit();
            return i;
        }
        Keep(&mark, 1, true);
        if (mark == '#') {
            state_ = State::kHash;
        } else {
            quote_ = mark;
            state_ = State::kQuoted;
        }
    }
    return size;
}

std::optional<FramedMessage> MessageFramer::Finish() {
    if (state_ == State::kRefused || !in_message()) return std::nullopt;
    return Emit();
}

// ---- Program units ---------------------------------------------------------

namespace {

static_assert(kMostParameters == 4097, "the refusal's words name the bound");
constexpr const char* kTooManyParameters = "more than 4097 parameters";
// A header's words: SCPI's mnemonics have at most 12 characters, and no
// command has more than a few nodes. Both are refused before anything of the
// header is kept, so a header as long as the message costs no memory.
constexpr size_t kLongestMnemonic = 12;
constexpr size_t kMostHeaderNodes = 8;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
bool IsAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads from `text` at the cursor `pos`, which it moves on.
class UnitParser {
  public:
    UnitParser(std::string_view text, size_t& pos) : text_(text), pos_(pos) {}

    bool AtEnd() {
        SkipSpace();
        return pos_ >= text_.size();
    }

    // One unit, leaving the cursor after its ';' (or at the end).
    ProgramUnit Next() {
        ProgramUnit unit;
        unit.error = ParseUnit(&unit);
        if (unit.error != 0) SkipToSeparator();
        if (pos_ < text_.size() && text_[pos_] == ';') ++pos_;
        return unit;
    }

  private:
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool More() const { return pos_ < text_.size(); }
    void SkipSpace() {
        while (More() && IsSpace(text_[pos_])) ++pos_;
    }

    // After an error the unit's end is found as the framer found the
    // message's: quotes and blocks are skipped whole.
    void SkipToSeparator() {
        while (More() && text_[pos_] != ';') {
            const char c = text_[pos_];
            if (c == '"' || c == '\'') {
                const size_t close = text_.find(c, pos_ + 1);
                pos_ = close == std::string_view::npos ? text_.size() : close + 1;
            } else if (c == '#' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '1' &&
                       text_[pos_ + 1] <= '9') {
                size_t length = 0;
                if (!BlockLength(&length)) {
                    ++pos_;
                    continue;
                }
                pos_ = length > text_.size() - pos_ ? text_.size() : pos_ + length;
            } else {
                ++pos_;
            }
        }
    }

    int ParseUnit(ProgramUnit* unit) {
        SkipSpace();
        if (!More() || Peek() == ';') return 0;  // an empty unit
        if (Peek() == '*') {
            unit->common = true;
            ++pos_;
            const size_t start = pos_;
            while (More() && IsAlpha(text_[pos_])) ++pos_;
            if (pos_ == start) return kSyntaxError;
            if (pos_ - start > kLongestMnemonic) return kProgramMnemonicTooLong;
            unit->nodes.push_back("*" + Upper(text_.substr(start, pos_ - start)));
        } else {
            if (Peek() == ':') {
                unit->rooted = true;
                ++pos_;
            }
            while (true) {
                const size_t start = pos_;
                if (!IsAlpha(Peek())) return kSyntaxError;
                while (More() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                                  text_[pos_] == '_')) {
                    ++pos_;
                }
                if (pos_ - start > kLongestMnemonic) return kProgramMnemonicTooLong;
                // No command has that many: undefined, whatever follows.
                if (unit->nodes.size() == kMostHeaderNodes) return kUndefinedHeader;
                unit->nodes.push_back(Upper(text_.substr(start, pos_ - start)));
                if (Peek() != ':') break;
                ++pos_;
            }
        }
        if (Peek() == '?') {
            unit->query = true;
            ++pos_;
        }
        if (More() && !IsSpace(Peek()) && Peek() != ';') return kCommandError;
        SkipSpace();
        if (!More() || Peek() == ';') return 0;
        while (true) {
            if (unit->parameters.size() == kMostParameters) {
                // Refused before the next one is read: the rest of the unit
                // costs no memory, whatever its length.
                std::vector<Parameter>().swap(unit->parameters);
                unit->error_detail = kTooManyParameters;
                return kParameterNotAllowed;
            }
            Parameter parameter;
            if (const int error = ParseParameter(&parameter); error != 0) return error;
            unit->parameters.push_back(std::move(parameter));
            SkipSpace();
            if (!More() || Peek() == ';') return 0;
            if (Peek() != ',') return kSyntaxError;
            ++pos_;
            SkipSpace();
        }
    }

    int ParseParameter(Parameter* parameter) {
        const char c = Peek();
        if (c == '"' || c == '\'') return ParseString(parameter);
        if (c == '#') return ParseHash(parameter);
        if (IsDigit(c) || c == '+' || c == '-' || c == '.') return ParseDecimal(parameter);
        if (IsAlpha(c)) {
            const size_t start = pos_;
            while (More() &&
                   (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
                ++pos_;
            }
            // As spelled: the readers compare without case, and a name
            // (of an arbitrary wave) keeps the case it was given in.
            parameter->kind = Parameter::Kind::kCharacter;
            parameter->text = std::string(text_.substr(start, pos_ - start));
            return 0;
        }
        return kSyntaxError;
    }

    int ParseString(Parameter* parameter) {
        const char quote = text_[pos_++];
        parameter->kind = Parameter::Kind::kString;
        while (More()) {
            const char c = text_[pos_++];
            if (c != quote) {
                parameter->text.push_back(c);
            } else if (Peek() == quote) {  // a doubled quote stands for one
                parameter->text.push_back(c);
                ++pos_;
            } else {
                return 0;
            }
        }
        return kSyntaxError;
    }

    // At '#<n>': reads the n digits of a block's length, leaving the cursor
    // on the first data byte. False when they are not all there.
    bool BlockLength(size_t* length) {
        const int digits = text_[pos_ + 1] - '0';
        if (text_.size() - pos_ < 2 + static_cast<size_t>(digits)) return false;
        size_t value = 0;
        for (int i = 0; i < digits; ++i) {
            const char d = text_[pos_ + 2 + i];
            if (!IsDigit(d)) return false;
            value = value * 10 + static_cast<size_t>(d - '0');
        }
        pos_ += 2 + digits;
        *length = value;
        return true;
    }

    int ParseHash(Parameter* parameter) {
        const char kind = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        if (kind >= '1' && kind <= '9') {
            size_t length = 0;
            if (!BlockLength(&length) || length > text_.size() - pos_) return kInvalidBlockData;
            parameter->kind = Parameter::Kind::kBlock;
            parameter->text.assign(text_.substr(pos_, length));
            pos_ += length;
            return 0;
        }
        int base = 0;
        switch (std::toupper(static_cast<unsigned char>(kind))) {
            case 'H':
                base = 16;
                break;
            case 'Q':
                base = 8;
                break;
            case 'B':
                base = 2;
                break;
            case '0':
                return kInvalidBlockData;  // indefinite blocks are not taken
            default:
                return kSyntaxError;
        }
        pos_ += 2;
        const size_t start = pos_;
        uint64_t value = 0;
        while (More() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
            const char d = static_cast<char>(std::toupper(static_cast<unsigned char>(text_[pos_])));
            const int digit = IsDigit(d) ? d - '0' : d - 'A' + 10;
            if (digit >= base) return kSyntaxError;
            if (value < (uint64_t{1} << 53)) value = value * static_cast<uint64_t>(base) + digit;
            ++pos_;
        }
        if (pos_ == start) return kSyntaxError;
        parameter->kind = Parameter::Kind::kNumber;
        parameter->integral_form = true;
        parameter->number = static_cast<double>(value);
        return 0;
    }

    // NRf: [+-](digits[.digits]|.digits)[E[+-]digits], then an optional suffix.
    int ParseDecimal(Parameter* parameter) {
        const size_t start = pos_;
        if (Peek() == '+' || Peek() == '-') ++pos_;
        size_t digits = 0;
        while (IsDigit(Peek())) ++pos_, ++digits;
        if (Peek() == '.') {
            ++pos_;
            while (IsDigit(Peek())) ++pos_, ++digits;
        }
        if (digits == 0) return kSyntaxError;
        if (Peek() == 'e' || Peek() == 'E') {
            size_t mark = pos_ + 1;
            if (mark < text_.size() && (text_[mark] == '+' || text_[mark] == '-')) ++mark;
            if (mark < text_.size() && IsDigit(text_[mark])) {
                pos_ = mark;
                while (IsDigit(Peek())) ++pos_;
            }
        }
        const std::string number(text_.substr(start, pos_ - start));
        parameter->kind = Parameter::Kind::kNumber;
        parameter->number = std::strtod(number.c_str(), nullptr);
        SkipSpace();
        const size_t suffix = pos_;
        while (More() && (IsAlpha(text_[pos_]) || text_[pos_] == '/')) ++pos_;
        parameter->text = Upper(text_.substr(suffix, pos_ - suffix));
        return 0;
    }

    std::string_view text_;
    size_t& pos_;
};

}  // namespace

std::optional<ProgramUnit> UnitReader::Next() {
    UnitParser parser(text_, pos_);
    while (!parser.AtEnd()) {
        ProgramUnit unit = parser.Next();
        if (unit.error == 0 && unit.nodes.empty()) continue;
        return unit;
    }
    return std::nullopt;
}

std::vector<ProgramUnit> ParseMessage(std::string_view message) {
    std::vector<ProgramUnit> units;
    UnitReader reader(message);
    while (std::optional<ProgramUnit> unit = reader.Next()) units.push_back(std::move(*unit));
    return units;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace velmar::scpi
