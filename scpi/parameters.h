// Reading the parameters of a program unit as the command table's handlers
// want them: each reader gives a value or the SCPI error number that tells
// the client what was wrong with it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scpi_parser.h"

namespace velmar::scpi {

// An error for the connection's queue; `detail` says more after the
// standard text. A bare code converts to one.
struct QueuedError {
    QueuedError(int error_code, std::string words = {})  // NOLINT: implicit by design
        : code(error_code), detail(std::move(words)) {}
    int code;
    std::string detail;
};

// What a handler hands back: the answer of a query, and errors to queue.
struct Reply {
    std::optional<std::string> answer;
    std::vector<QueuedError> errors;
    // *RST: the connection's byte order is NORMal again.
    bool reset_format = false;

    static Reply Answer(std::string text) { return Reply{std::move(text), {}}; }
    static Reply Error(int code) { return Reply{std::nullopt, {code}}; }
    static Reply Done() { return Reply{}; }
};

// A numeric parameter's range. MIN, MAX and DEF name its ends and default;
// `hertz` allows the suffixes HZ, KHZ and MHZ.
struct Range {
    double min;
    double max;
    double def;
    bool hertz = false;
};

// -109 when fewer parameters than `count` were given, -108 when more; else 0.
int ExpectParameters(const ProgramUnit& unit, size_t count);

// Each reader returns 0 and writes *value, or returns the error number.
int ReadNumber(const Parameter& parameter, const Range& range, double* value);
// A whole number in the range (NRf rounded to the nearest, or #H/#B/#Q).
int ReadInteger(const Parameter& parameter, const Range& range, int64_t* value);
// ON, OFF, or a number (non-zero is ON).
int ReadBoolean(const Parameter& parameter, bool* value);
// One of `choices`, given as "SINusoid" (short form in capitals): the index.
int ReadChoice(const Parameter& parameter, std::initializer_list<const char*> choices,
               size_t* index);

// True when `word`, in any case, is the short or the long form of `mnemonic`.
bool MatchesMnemonic(const std::string& word, const std::string& mnemonic);
// The short form: "SINusoid" -> "SIN".
std::string ShortForm(const std::string& mnemonic);

// Numbers as queries answer them: up to 12 significant digits; NaN and
// infinities as SCPI's not-a-number.
std::string FormatNumber(double value);
// NR3, as the generators answer their levels and times: +1.00000000000E+03.
std::string FormatNr3(double value);

}  // namespace velmar::scpi
