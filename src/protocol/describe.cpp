#include "protocol/describe.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace velmar {

std::string Hex16(uint16_t word) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04X", word);
    return text;
}

std::string HexBytes(const uint8_t* data, size_t size, size_t max_bytes) {
    std::string text;
    for (size_t i = 0; i < size && i < max_bytes; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), "%s%02x", i == 0 ? "" : " ", data[i]);
        text += byte;
    }
    if (size > max_bytes) text += " ...";
    return text;
}

std::string DescribeControlWord(uint16_t word) {
    // Listed in the order a bench user reads them, not by mask.
    static const std::pair<uint16_t, const char*> kNames[] = {
        {kMeasureModeBit, "counter mode"},
        {kCounterResetBit, "counter reset"},
        {kSingleWaveBit, "single wave"},
        {kTriggerEnableBit, "trigger enable"},
        {kTriggerOptionBit, "trigger option"},
        {kTriggerPulseBit, "trigger pulse"},
        {kDioModeBit, "dio mode"},
    };
    std::string names;
    uint16_t known = 0;
    for (const auto& [mask, name] : kNames) {
        known = static_cast<uint16_t>(known | mask);
        if ((word & mask) == 0) continue;
        if (!names.empty()) names += ", ";
        names += name;
    }
    if ((word & ~known) != 0) {
        if (!names.empty()) names += ", ";
        names += "unknown " + Hex16(static_cast<uint16_t>(word & ~known));
    }
    return "word " + Hex16(word) + " [" + (names.empty() ? "none" : names) + "]";
}

namespace {

std::string DescribeControlFields(const uint8_t* packet) {
    return DescribeControlWord(LoadLe16(packet + CommandPacket::kControlWordOffset)) + " dio-out " +
           Hex16(LoadLe16(packet + CommandPacket::kDigitalOutOffset)) + " divider " +
           std::to_string(LoadLe16(packet + CommandPacket::kDividerOffset));
}

}  // namespace

std::string DescribeHostMessage(const uint8_t* data, size_t size) {
    const uint8_t code = size > 0 ? data[0] : 0;
    if (size == kSampleBlockBytes) return "sample block";
    if (size == kCommandPacketSize && code == kControlCommand)
        return "control: " + DescribeControlFields(data);
    if (size == kLengthHeaderSize && code == kLengthCommand) {
        const uint16_t word = LoadLe16(data + CommandPacket::kControlWordOffset);
        if (word == kNoSamplesLengthWord) return "length: word " + Hex16(word) + ", no samples";
        return "length: word " + Hex16(word) + ", " + std::to_string(word + 1) + " samples";
    }
    if (size == kCommandPacketSize && code == kPowerOnCommand)
        return "power-on: store control state, " + DescribeControlFields(data);
    if (size == kCommandCodeSize && code == kPowerOnCommand) return "power-on: store waveform";
    return "unknown: " + std::to_string(size) + " bytes";
}

std::string DescribeStatusReport(const StatusReport& report) {
    return "report: digital in " + Hex16(report.digital_in()) + ", count " +
           std::to_string(report.count()) + ", period " + std::to_string(report.period());
}

std::string FormatHz(double hz) {
    char text[48];
    const double magnitude = std::fabs(hz);
    if (hz == 0.0 || (magnitude >= 0.01 && magnitude < 1e9) || !std::isfinite(hz)) {
        std::snprintf(text, sizeof(text), "%.2f Hz", hz);
        return text;
    }
    // Engineering form: an exponent that is a multiple of three.
    int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
    exponent -= ((exponent % 3) + 3) % 3;
    std::snprintf(text, sizeof(text), "%.6ge%d Hz", hz / std::pow(10.0, exponent), exponent);
    return text;
}

std::string FormatClock(double hz) {
    const char* unit = "Hz";
    double value = hz;
    if (std::fabs(hz) >= 1e6) {
        value = hz / 1e6;
        unit = "MHz";
    } else if (std::fabs(hz) >= 1e3) {
        value = hz / 1e3;
        unit = "kHz";
    }
    char text[48];
    std::snprintf(text, sizeof(text), "%.4g %s", value, unit);
    return text;
}

std::string DescribePlayback(const FrequencyPlan& plan) {
    const int64_t length = plan.length;
    const int64_t periods = plan.periods;
    // At four samples per period or more the wave keeps its shape.
    if (length <= 0 || periods <= 0 || 4 * periods <= length) return "";
    const std::string highest = "the highest this divider can represent is " +
                                FormatClock(PlannedSampleClockHz(plan.divider) / 2);
    const std::string share =
        std::to_string(periods) + " periods in " + std::to_string(length) + " samples";
    if (2 * periods > length) {
        const double played = PlayedFrequencyHz(plan);
        if (played == 0.0) {
            return "warning: more than half a period per sample (" + share +
                   ") puts every sample on the same phase: the instrument plays a constant, not " +
                   FormatHz(PlannedOutputHz(plan)) + " (" + highest + ")";
        }
        return "warning: more than half a period per sample (" + share +
               "): the instrument plays an alias at " + FormatHz(played) + ", not " +
               FormatHz(PlannedOutputHz(plan)) + " (" + highest + ")";
    }
    char per_period[16];
    std::snprintf(per_period, sizeof(per_period), "%.3g", static_cast<double>(length) / periods);
    if (2 * periods == length) {
        return "warning: 2 samples per period, the highest frequency this divider can represent: "
               "the wave is only a rough shape (a sine can come out flat)";
    }
    return std::string("warning: only ") + per_period + " samples per period (" + share +
           "): the wave is only a rough shape";
}

}  // namespace velmar
