#include "instrument_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "ops/frequency_plan.h"
#include "protocol/describe.h"

namespace velmar::sim {
namespace {

// A short report keeps the digital input and the count, and loses the period.
constexpr size_t kShortReportSize = 6;
// The counter register wraps here; the prescaler's input wraps at twice that.
constexpr double kRegisterWrap = InstrumentModel::kRegisterMax + 1.0;

int CountCycles(const uint16_t* samples, int n) {
    if (n <= 0) return 0;
    const auto [lo_it, hi_it] = std::minmax_element(samples, samples + n);
    const double lo = *lo_it;
    const double swing = *hi_it - lo;
    if (swing <= 0.0) return 0;
    const double upper = lo + 0.75 * swing;
    const double lower = lo + 0.25 * swing;
    // Starting at the lowest sample, one loop around ends low again, so every
    // rise counted is a whole cycle of the looped wave.
    const int start = static_cast<int>(lo_it - samples);
    bool high = false;
    int cycles = 0;
    for (int k = 1; k <= n; ++k) {
        const double v = samples[(start + k) % n];
        if (!high && v >= upper) {
            high = true;
            ++cycles;
        } else if (high && v <= lower) {
            high = false;
        }
    }
    return cycles;
}

// Defined for every double: NaN and negatives give 0, too large the maximum.
uint32_t ClampToU32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= InstrumentModel::kRegisterMax) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
}

}  // namespace

double SteadySeconds() {
    using std::chrono::duration;
    using std::chrono::steady_clock;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

InstrumentModel::InstrumentModel(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = SteadySeconds;
    last_advance_s_ = clock_();
}

bool InstrumentModel::MeterCanCount(double hz) {
    return hz == 0.0 || (hz >= kLowestCountableHz && hz <= kHighestCountableHz);
}

bool InstrumentModel::set_external_input_hz(std::optional<double> hz) {
    if (hz && !MeterCanCount(*hz)) return false;
    Advance();
    external_input_hz_ = hz;
    return true;
}

Answer InstrumentModel::Handle(ConnectionCounters& connection, const uint8_t* data, size_t size) {
    Advance();
    Answer answer;
    const uint8_t code = size > 0 ? data[0] : 0;
    if (size == kSampleBlockBytes) {
        answer = HandleBlock(data);
    } else if (size == kCommandPacketSize && code == kControlCommand) {
        answer = HandleControl(data);
    } else if (size == kLengthHeaderSize && code == kLengthCommand) {
        answer = HandleLengthHeader(LoadLe16(data + CommandPacket::kControlWordOffset));
    } else if (size == kCommandPacketSize && code == kPowerOnCommand) {
        answer = HandlePowerOnControl(data);
    } else if (size == kCommandCodeSize && code == kPowerOnCommand) {
        answer = HandlePowerOnWaveform();
    } else {
        answer.trace = "unknown: " + std::to_string(size) + " bytes";
        if (size > 0) answer.trace += " " + HexBytes(data, size, 8);
    }

    if (faults_.silent) answer.bytes.clear();
    if (faults_.short_report && answer.bytes.size() == kStatusReportSize) {
        answer.bytes.resize(kShortReportSize);
    }
    answer.delay_ms = faults_.delay_ms;
    // Stops counting rather than wrap under a host that never stops sending.
    if (connection.messages < std::numeric_limits<uint32_t>::max()) ++connection.messages;
    if (faults_.drop_after && connection.messages >= *faults_.drop_after) {
        answer.close_connection = true;
    }
    return answer;
}

Answer InstrumentModel::HandleControl(const uint8_t* data) {
    const uint16_t previous = control_word_;
    control_word_ = LoadLe16(data + CommandPacket::kControlWordOffset);
    digital_out_ = LoadLe16(data + CommandPacket::kDigitalOutOffset);
    divider_ = LoadLe16(data + CommandPacket::kDividerOffset);
    if ((control_word_ & kTriggerPulseBit) && !(previous & kTriggerPulseBit)) ++trigger_pulses_;
    // The reset bit clears the counter for as long as packets carry it.
    if (control_word_ & kCounterResetBit) counted_cycles_ = 0.0;

    Answer answer;
    answer.trace = "control: " + DescribeControlWord(control_word_) + " dio-out " +
                   Hex16(digital_out_) + " divider " + std::to_string(divider_);
    const StatusReport report = MeasureNow();
    answer.bytes.assign(report.bytes().begin(), report.bytes().end());
    return answer;
}

Answer InstrumentModel::HandleLengthHeader(uint16_t word) {
    Answer answer;
    blocks_received_ = 0;
    if (word == kNoSamplesLengthWord) {
        played_length_ = 0;
        WaveChanged();
        blocks_expected_ = 0;
        answer.trace = "length: word 0xFFFF, no samples (output stopped)";
    } else {
        const int count = std::min<int>(word + 1, kWaveMemorySize);
        played_length_ = count;
        wave_length_ = count;
        WaveChanged();
        blocks_expected_ = SampleBlocksFor(count);
        answer.trace = "length: word " + Hex16(word) + ", " + std::to_string(word + 1) +
                       " samples in " + std::to_string(blocks_expected_) + " blocks";
    }
    answer.bytes = {0};
    return answer;
}

Answer InstrumentModel::HandleBlock(const uint8_t* data) {
    Answer answer;
    // Stops counting rather than overflow under a host that never stops sending.
    if (blocks_received_ < std::numeric_limits<int>::max()) ++blocks_received_;
    if (blocks_received_ <= blocks_expected_) {
        const int first = (blocks_received_ - 1) * static_cast<int>(kSamplesPerBlock);
        for (size_t i = 0; i < kSamplesPerBlock; ++i) {
            memory_[first + i] = LoadLe16(data + 2 * i);
        }
        WaveChanged();
        answer.trace = "block " + std::to_string(blocks_received_) + " of " +
                       std::to_string(blocks_expected_) + ": samples " + std::to_string(first) +
                       "-" + std::to_string(first + static_cast<int>(kSamplesPerBlock) - 1);
        if (blocks_received_ == blocks_expected_) {
            answer.trace += ", download complete";
        } else {
            answer.routine_block = true;
        }
    } else {
        answer.trace = "block " + std::to_string(blocks_received_) + ": none announced, ignored";
    }
    if (faults_.ack_limit && static_cast<uint32_t>(blocks_received_) > *faults_.ack_limit) {
        answer.trace += " (not acknowledged: limit " + std::to_string(*faults_.ack_limit) + ")";
        answer.routine_block = false;
        return answer;
    }
    answer.bytes = {0};
    return answer;
}

Answer InstrumentModel::HandlePowerOnControl(const uint8_t* data) {
    power_on_ = PowerOnSetting{};
    power_on_.kind = PowerOnSetting::Kind::kControlState;
    power_on_.control_word = LoadLe16(data + CommandPacket::kControlWordOffset);
    power_on_.digital_out = LoadLe16(data + CommandPacket::kDigitalOutOffset);
    power_on_.divider = LoadLe16(data + CommandPacket::kDividerOffset);
    Answer answer;
    answer.trace = "power-on: store control state, " + DescribeControlWord(power_on_.control_word) +
                   " dio-out " + Hex16(power_on_.digital_out) + " divider " +
                   std::to_string(power_on_.divider);
    answer.bytes = {0};
    return answer;
}

Answer InstrumentModel::HandlePowerOnWaveform() {
    power_on_ = PowerOnSetting{};
    power_on_.kind = PowerOnSetting::Kind::kWaveform;
    power_on_.divider = divider_;
    power_on_.wave_length = wave_length_;
    power_on_.memory = memory_;
    Answer answer;
    answer.trace = "power-on: store waveform, " + std::to_string(wave_length_) +
                   " samples, divider " + std::to_string(divider_);
    answer.bytes = {0};
    return answer;
}

std::string InstrumentModel::PowerCycle() {
    const PowerOnSetting setting = power_on_;
    control_word_ = 0;
    digital_out_ = 0;
    divider_ = setting.divider;
    memory_.fill(0);
    played_length_ = 0;
    wave_length_ = 0;
    blocks_expected_ = 0;
    blocks_received_ = 0;
    if (setting.kind == PowerOnSetting::Kind::kControlState) {
        control_word_ = setting.control_word;
        digital_out_ = setting.digital_out;
    } else if (setting.kind == PowerOnSetting::Kind::kWaveform) {
        memory_ = setting.memory;
        played_length_ = setting.wave_length;
        wave_length_ = setting.wave_length;
    }
    WaveChanged();
    counted_cycles_ = 0.0;
    last_advance_s_ = clock_();
    switch (setting.kind) {
        case PowerOnSetting::Kind::kControlState:
            return "power cycle: back with the stored control state, " +
                   DescribeControlWord(control_word_) + " dio-out " + Hex16(digital_out_) +
                   " divider " + std::to_string(divider_);
        case PowerOnSetting::Kind::kWaveform:
            return "power cycle: back with the stored waveform, " + std::to_string(played_length_) +
                   " samples, divider " + std::to_string(divider_);
        case PowerOnSetting::Kind::kNothingStored:
            break;
    }
    return "power cycle: nothing stored, back all zero";
}

double InstrumentModel::SampleClockHz() const {
    return PlannedSampleClockHz(divider_);
}

int InstrumentModel::CyclesPerLoop() const {
    if (!cycles_per_loop_) cycles_per_loop_ = CountCycles(memory_.data(), played_length_);
    return *cycles_per_loop_;
}

double InstrumentModel::OutputFrequencyHz() const {
    if (played_length_ <= 0) return 0.0;
    return SampleClockHz() * CyclesPerLoop() / played_length_;
}

double InstrumentModel::MeterInputHz() const {
    return external_input_hz_ ? std::max(0.0, *external_input_hz_) : OutputFrequencyHz();
}

std::vector<uint16_t> InstrumentModel::PlayedWave() const {
    return std::vector<uint16_t>(memory_.begin(), memory_.begin() + played_length_);
}

void InstrumentModel::Advance() {
    const double now = clock_();
    if (now > last_advance_s_) {
        // Kept below the prescaled register's wrap, so that the count stays
        // exact however long the instrument runs.
        counted_cycles_ = std::fmod(counted_cycles_ + MeterInputHz() * (now - last_advance_s_),
                                    kPrescaler * kRegisterWrap);
    }
    last_advance_s_ = std::max(now, last_advance_s_);
}

StatusReport InstrumentModel::MeasureNow() {
    Advance();
    const double input_hz = MeterInputHz();
    uint32_t count = 0;
    if (control_word_ & kMeasureModeBit) {
        // Counter mode: the prescaled count, wrapped as the register wraps
        // (counted_cycles_ is kept below the wrap).
        count = ClampToU32(std::floor(counted_cycles_ / kPrescaler));
    } else {
        count = ClampToU32(std::floor(input_hz * kGateSeconds / kPrescaler));
        // A signal too slow to fill the gate still shows one edge, so that the
        // host turns to the period.
        if (input_hz > 0.0 && count == 0) count = 1;
    }
    const uint32_t period = input_hz > 0.0 ? ClampToU32(std::round(kBaseClockHz / input_hz)) : 0;
    return StatusReport::Make(digital_in_, count, period);
}

}  // namespace velmar::sim
