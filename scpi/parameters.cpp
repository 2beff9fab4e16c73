#include "parameters.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "scpi_status.h"

namespace velmar::scpi {

int ExpectParameters(const ProgramUnit& unit, size_t count) {
    if (unit.parameters.size() < count) return kMissingParameter;
    if (unit.parameters.size() > count) return kParameterNotAllowed;
    return 0;
}

std::string ShortForm(const std::string& mnemonic) {
    std::string out;
    for (char c : mnemonic) {
        if (std::islower(static_cast<unsigned char>(c))) break;
        out.push_back(c);
    }
    return out;
}

bool MatchesMnemonic(const std::string& word, const std::string& mnemonic) {
    const std::string upper = Upper(word);
    return upper == Upper(mnemonic) || upper == ShortForm(mnemonic);
}

int ReadNumber(const Parameter& parameter, const Range& range, double* value) {
    double v = 0.0;
    switch (parameter.kind) {
        case Parameter::Kind::kCharacter:
            if (MatchesMnemonic(parameter.text, "MINimum")) {
                v = range.min;
            } else if (MatchesMnemonic(parameter.text, "MAXimum")) {
                v = range.max;
            } else if (MatchesMnemonic(parameter.text, "DEFault")) {
                v = range.def;
            } else {
                return kDataTypeError;
            }
            *value = v;
            return 0;
        case Parameter::Kind::kString:
        case Parameter::Kind::kBlock:
            return kDataTypeError;
        case Parameter::Kind::kNumber:
            break;
    }
    double scale = 1.0;
    const std::string& suffix = parameter.text;
    if (!suffix.empty()) {
        // SCPI reads a leading M as milli, except in MHZ, which is mega.
        if (!range.hertz) return kInvalidSuffix;
        if (suffix == "KHZ") {
            scale = 1e3;
        } else if (suffix == "MHZ") {
            scale = 1e6;
        } else if (suffix != "HZ") {
            return kInvalidSuffix;
        }
    }
    v = parameter.number * scale;
    if (!(v >= range.min && v <= range.max)) return kDataOutOfRange;
    *value = v;
    return 0;
}

int ReadInteger(const Parameter& parameter, const Range& range, int64_t* value) {
    double v = 0.0;
    if (const int error = ReadNumber(parameter, range, &v); error != 0) return error;
    *value = std::llround(v);
    // Rounding may carry a value just inside an end across it.
    if (*value < range.min || *value > range.max) return kDataOutOfRange;
    return 0;
}

int ReadBoolean(const Parameter& parameter, bool* value) {
    if (parameter.kind == Parameter::Kind::kCharacter) {
        if (Upper(parameter.text) == "ON") {
            *value = true;
        } else if (Upper(parameter.text) == "OFF") {
            *value = false;
        } else {
            return kIllegalParameterValue;
        }
        return 0;
    }
    if (parameter.kind != Parameter::Kind::kNumber) return kDataTypeError;
    if (!parameter.text.empty()) return kInvalidSuffix;
    if (!std::isfinite(parameter.number)) return kIllegalParameterValue;
    *value = std::llround(parameter.number) != 0;
    return 0;
}

int ReadChoice(const Parameter& parameter, std::initializer_list<const char*> choices,
               size_t* index) {
    if (parameter.kind != Parameter::Kind::kCharacter) return kDataTypeError;
    size_t i = 0;
    for (const char* choice : choices) {
        if (MatchesMnemonic(parameter.text, choice)) {
            *index = i;
            return 0;
        }
        ++i;
    }
    return kIllegalParameterValue;
}

std::string FormatNumber(double value) {
    if (!std::isfinite(value)) return kNotANumber;
    char text[32];
    std::snprintf(text, sizeof(text), "%.12g", value);
    return text;
}

std::string FormatNr3(double value) {
    if (!std::isfinite(value)) return kNotANumber;
    char text[32];
    std::snprintf(text, sizeof(text), "%+.11E", value);
    return text;
}

}  // namespace velmar::scpi
