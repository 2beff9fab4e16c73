// The simulated instrument's message handling: the model fed arbitrary
// packets and packet sequences, with its faults, bench inputs and clock drawn
// from the input as well.
//
// Input: a few bytes choose the faults and the digital input; then each step
// is a message on one of three connections (mostly of a length the protocol
// uses, with any content), a step of the clock, a new external input, a new
// connection or a power cycle.
//
// Invariants:
// - every message gets a one-line trace and an answer (none, an
//   acknowledgement, a report or a short one) as its kind and the faults
//   say, delayed as the faults say, and a hang-up exactly when its own
//   connection has had as many messages as the fault allows;
// - a control packet sets exactly the fields it carries;
// - the played wave stays within the memory, its cycles are at most one per
//   two samples, and the cycle count kept across messages equals a count made
//   afresh from the same wave;
// - the meter takes an external input only when it can count it, and every
//   report is made with defined arithmetic (UBSan watches the conversions).

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.h"
#include "instrument_model.h"
#include "ops/frequency_plan.h"
#include "protocol/protocol.h"

namespace {

using velmar::sim::Answer;
using velmar::sim::ConnectionCounters;
using velmar::sim::Faults;
using velmar::sim::InstrumentModel;

std::vector<uint8_t> DrawMessage(FuzzedDataProvider& in) {
    static constexpr size_t kLengths[] = {velmar::kCommandPacketSize, velmar::kLengthHeaderSize,
                                          velmar::kCommandCodeSize, velmar::kSampleBlockBytes};
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, 5);
    const size_t length = pick < 4 ? kLengths[pick] : in.ConsumeIntegralInRange<size_t>(0, 600);
    std::vector<uint8_t> message = in.ConsumeBytes<uint8_t>(length);
    message.resize(length);
    // Mostly the codes the instrument knows.
    if (length > 0 && in.ConsumeBool())
        message[0] = 0xA0 + in.ConsumeIntegralInRange<uint8_t>(0, 2);
    return message;
}

// `messages`: how many the connection has had, this one included.
void CheckAnswer(const InstrumentModel& model, const std::vector<uint8_t>& message,
                 const Answer& answer, uint32_t messages) {
    const Faults& faults = model.faults();
    CHECK(!answer.trace.empty() && answer.trace.find('\n') == std::string::npos);
    CHECK(answer.delay_ms == faults.delay_ms);
    CHECK(answer.close_connection == (faults.drop_after && messages >= *faults.drop_after));
    const bool control =
        message.size() == velmar::kCommandPacketSize && message[0] == velmar::kControlCommand;
    if (faults.silent) {
        CHECK(answer.bytes.empty());
    } else if (control) {
        // A short report keeps the front of the report and loses the rest.
        CHECK(faults.short_report ? answer.bytes.size() < velmar::kStatusReportSize
                                  : answer.bytes.size() == velmar::kStatusReportSize);
    } else {
        CHECK(answer.bytes.size() <= 1);
    }
    if (control) {
        CHECK(model.control_word() == velmar::LoadLe16(&message[1]));
        CHECK(model.digital_out() == velmar::LoadLe16(&message[3]));
        CHECK(model.divider() == velmar::LoadLe16(&message[5]));
    }
}

// The wave's cycles counted by a model that was never told anything else.
int FreshCycles(const InstrumentModel& model) {
    const std::vector<uint16_t> wave = model.PlayedWave();
    InstrumentModel fresh([] { return 0.0; });
    if (wave.empty()) return fresh.CyclesPerLoop();
    uint8_t header[velmar::kLengthHeaderSize] = {velmar::kLengthCommand};
    velmar::StoreLe16(&header[1], static_cast<uint16_t>(wave.size() - 1));
    fresh.Handle(header, sizeof(header));
    std::vector<uint16_t> padded = wave;
    padded.resize(static_cast<size_t>(velmar::PaddedSampleCount(static_cast<int32_t>(wave.size()))),
                  wave.back());
    for (size_t first = 0; first < padded.size(); first += velmar::kSamplesPerBlock) {
        uint8_t block[velmar::kSampleBlockBytes];
        for (size_t i = 0; i < velmar::kSamplesPerBlock; ++i)
            velmar::StoreLe16(&block[2 * i], padded[first + i]);
        fresh.Handle(block, sizeof(block));
    }
    return fresh.CyclesPerLoop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    double now_s = 0.0;
    InstrumentModel model([&now_s] { return now_s; });
    Faults faults;
    const uint8_t which = in.ConsumeIntegral<uint8_t>();
    faults.silent = (which & 0x07) == 1;
    faults.short_report = (which & 0x07) == 2;
    if ((which & 0x07) == 3) faults.ack_limit = in.ConsumeIntegralInRange<uint32_t>(0, 200);
    if ((which & 0x07) == 4) faults.drop_after = in.ConsumeIntegralInRange<uint32_t>(0, 20);
    if (which & 0x08) faults.delay_ms = in.ConsumeIntegral<uint32_t>();
    model.set_faults(faults);
    model.set_digital_in(in.ConsumeIntegral<uint16_t>());
    // Two connections the server keeps, and the model's own (index 2), each
    // with the count of messages it has had.
    ConnectionCounters served[2];
    uint32_t sent[3] = {0, 0, 0};

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                // Forward mostly, now and then back: the clock is the host's.
                now_s += in.ConsumeFloatingPointInRange<double>(-1.0, 1e7);
                break;
            case 1: {
                const double hz = in.ConsumeFloatingPoint<double>();
                const double before = model.MeterInputHz();
                const bool taken = model.set_external_input_hz(hz);
                CHECK(taken == InstrumentModel::MeterCanCount(hz));
                CHECK(taken ? model.MeterInputHz() == hz : model.MeterInputHz() == before);
                break;
            }
            case 2:
                model.set_external_input_hz(std::nullopt);
                break;
            case 3: {
                const size_t which_connection = in.ConsumeIntegralInRange<size_t>(0, 2);
                if (which_connection < 2) {
                    served[which_connection] = ConnectionCounters{};
                } else {
                    model.BeginConnection();
                }
                sent[which_connection] = 0;
                break;
            }
            case 4:
                model.PowerCycle();
                break;
            default: {
                const size_t on = in.ConsumeIntegralInRange<size_t>(0, 2);
                const std::vector<uint8_t> message = DrawMessage(in);
                const Answer answer = on < 2
                                          ? model.Handle(served[on], message.data(), message.size())
                                          : model.Handle(message);
                CheckAnswer(model, message, answer, ++sent[on]);
                break;
            }
        }
        CHECK(model.played_length() >= 0 && model.played_length() <= velmar::kWaveMemorySize);
        CHECK(model.CyclesPerLoop() * 2 <= model.played_length());
        const double output = model.OutputFrequencyHz();
        CHECK(output >= 0.0 && output <= velmar::kBaseClockHz / 2);
        const velmar::StatusReport report = model.MeasureNow();
        if (model.MeterInputHz() > 0.0 && !(model.control_word() & velmar::kMeasureModeBit))
            CHECK(report.count() >= 1);
    }
    CHECK(model.CyclesPerLoop() == FreshCycles(model));
    return 0;
}
