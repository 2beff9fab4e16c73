// The library's answer handling: a fuzzed sequence of exported calls with
// fuzzed arguments, against the scripted instrument behind the OS seam, whose
// every answer (normal, arbitrary bytes of any length, none, a refused write,
// a failed read, a late answer, a hang-up) is drawn from the input.
//
// Input: a few bytes set the scene (trace on or off, instruments, unplugged
// ones, the report), then each call takes its kind and arguments, and each
// message its answer, from what is left. An exhausted input answers normally.
//
// Invariants, after every call:
// - it returns 0 or 1 (DDSSearch the interfaces enumerated, DDSGetCLK the
//   clock of the divider last sent, DDSGetDivNum the last planned divider);
// - the device is closed, no read comes without a message written before it,
//   and the call sends no more messages, reads no more answers and pauses no
//   more than its messages allow;
// - out-arguments are written only as documented: DDSGetMeasure and
//   DDSGetDigitalIn only from an answer read in that call, DDSSetFrequency
//   only when the frequency was planned and the instrument opened;
// - a download sends exactly the caller's samples, padded with the last one,
//   and never reads past them (AddressSanitizer sees the exact allocation);
// - the one-shot bits ride on no packet but the first of their own call,
//   and every control packet carries the divider last set.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "VelmarDll.h"
#include "check.h"
#include "velmardll/library_state.h"
#include "device/test_seam.h"
#include "ops/frequency_plan.h"
#include "ops/measure_conversion.h"
#include "scripted_instrument.h"

namespace {

using velmar::kCommandPacketSize;
using velmar::kControlCommand;
using velmar::LoadLe16;
using velmar::LoadLe32;
using velmar::testing::Answer;
using velmar::testing::Bytes;
using velmar::testing::ScriptedInstrument;

enum class Call {
    kSearch,
    kCheck,
    kSetFrequency,
    kGetClk,
    kGetDivNum,
    kSetDivNum,
    kDownload,
    kGetMeasure,
    kResetCounter,
    kSetSingleWave,
    kSetTrigger,
    kSetDioMode,
    kGetDigitalIn,
    kSetDigitalOut,
    kSetPowerOnOutput,
    kMaxValue = kSetPowerOnOutput,
};

Answer DrawAnswer(FuzzedDataProvider& in) {
    // Half of the choices answer normally, so that long conversations happen.
    switch (in.ConsumeIntegralInRange<int>(0, 13)) {
        case 7:
            return Answer::With(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 12)));
        case 8:
            return Answer::Silent();
        case 9:
            return Answer::WriteRefused();
        case 10:
            return Answer::ReadFails();
        case 11:
            return Answer::Late();
        case 12:
            return Answer::HangUp();
        case 13: {
            // A report of this call's own, so that readings vary.
            Bytes report = in.ConsumeBytes<uint8_t>(velmar::kStatusReportSize);
            report.resize(velmar::kStatusReportSize);
            return Answer::With(report);
        }
        default:
            return Answer::Normal();
    }
}

int32_t DrawIndex(FuzzedDataProvider& in) {
    // Mostly the listed instruments; now and then anything at all.
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-1, 4)
                            : in.ConsumeIntegral<int32_t>();
}

double DrawFrequency(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeFloatingPointInRange<double>(-2e5, 2e5);
        case 1:
            return in.ConsumeFloatingPointInRange<double>(1e5, 2e8);
        case 2: {
            uint64_t bits = in.ConsumeIntegral<uint64_t>();
            double any;
            std::memcpy(&any, &bits, sizeof(any));
            return any;  // NaNs, infinities, subnormals, 1e300 ...
        }
        default:
            return in.ConsumeFloatingPoint<double>();
    }
}

// The reading a status report gives, worked out here on its own.
double ExpectedReading(int32_t mode, const Bytes& report) {
    const uint32_t count = LoadLe32(&report[2]);
    const uint32_t period = LoadLe32(&report[6]);
    const double doubled = static_cast<double>(static_cast<uint32_t>(count * 2u));
    if (mode != 0 || count > velmar::kCountThreshold) return doubled;
    if (count == 0) return 0.0;
    return velmar::kBaseClockHz / static_cast<double>(period);
}

bool SameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// What the harness knows the library must hold.
struct Expected {
    uint16_t divider = 0;      // the shadow's divider field
    int32_t last_divider = 0;  // DDSGetDivNum
};

class Conversation {
  public:
    explicit Conversation(FuzzedDataProvider& in) : in_(in) {}

    void Step(Call call);

  private:
    // The messages, answers and pauses of the call just made.
    struct Traffic {
        size_t messages, answers, sleeps, opened;
        int reads;
    };
    Traffic Mark() const {
        return {dds.messages.size(), dds.answers_read.size(), dds.sleeps.size(), dds.opened.size(),
                dds.reads};
    }
    size_t Sent(const Traffic& t) const { return dds.messages.size() - t.messages; }
    bool Opened(const Traffic& t) const { return dds.opened.size() > t.opened; }
    // The last answer read in this call, if it is a whole report.
    std::optional<Bytes> ReportRead(const Traffic& t) const {
        if (dds.answers_read.size() == t.answers) return std::nullopt;
        const Bytes& last = dds.answers_read.back();
        if (last.size() != velmar::kStatusReportSize) return std::nullopt;
        return last;
    }
    void CheckCall(const Traffic& t, int32_t result, size_t most_messages, Call call);

  public:
    ScriptedInstrument dds;
    Expected expected;

  private:
    FuzzedDataProvider& in_;
};

void Conversation::CheckCall(const Traffic& t, int32_t result, size_t most_messages, Call call) {
    CHECK(result == 0 || result == 1);
    CHECK(dds.open_handles == 0);
    CHECK(dds.reads_without_message == 0);
    CHECK(dds.opened.size() - t.opened <= 1);
    if (!Opened(t)) CHECK(result == 0 && Sent(t) == 0);
    CHECK(Sent(t) <= most_messages);
    CHECK(static_cast<size_t>(dds.reads - t.reads) <= Sent(t));
    // Only the trigger pulse pauses, once.
    CHECK(dds.sleeps.size() - t.sleeps <= (call == Call::kSetTrigger ? 1u : 0u));

    // Control packets: the divider as last set; a one-shot bit only on the
    // first packet of the call that pulses it.
    bool first_control = true;
    for (size_t m = t.messages; m < dds.messages.size(); ++m) {
        const Bytes& message = dds.messages[m];
        if (message.size() != kCommandPacketSize || message[0] != kControlCommand) continue;
        const uint16_t word = LoadLe16(&message[1]);
        CHECK(LoadLe16(&message[5]) == expected.divider);
        CHECK(!(word & velmar::kCounterResetBit) || (first_control && call == Call::kResetCounter));
        CHECK(!(word & velmar::kTriggerPulseBit) || (first_control && call == Call::kSetTrigger));
        first_control = false;
    }
}

void Conversation::Step(Call call) {
    const Traffic t = Mark();
    switch (call) {
        case Call::kSearch: {
            dds.enumeration_possible = in_.ConsumeIntegralInRange<int>(0, 7) != 0;
            const int32_t result = DDSSearch();
            CHECK(result == (dds.enumeration_possible ? dds.interfaces : 0));
            if (dds.enumeration_possible) expected.divider = 0;
            CHECK(Sent(t) == 0 && !Opened(t));
            return;
        }
        case Call::kCheck: {
            const int32_t result = DDSCheck(DrawIndex(in_));
            CheckCall(t, result, 0, call);
            CHECK(result == (Opened(t) ? 1 : 0));
            return;
        }
        case Call::kSetFrequency: {
            const int32_t index = DrawIndex(in_);
            const double hz = DrawFrequency(in_);
            // Two integers, one aliased, or none at all.
            int32_t out[2] = {-7, -9};
            const int shape = in_.ConsumeIntegralInRange<int>(0, 7);
            int32_t* length = shape == 0 ? nullptr : &out[0];
            int32_t* periods = shape == 1 ? nullptr : shape == 2 ? &out[0] : &out[1];
            const std::optional<velmar::FrequencyPlan> plan = velmar::PlanFrequency(hz);
            const Expected before = expected;
            if (plan) expected = {plan->divider, plan->divider};
            const int32_t result = DDSSetFrequency(index, hz, length, periods);
            if (length == nullptr || periods == nullptr || !plan || !Opened(t)) {
                expected = before;
                CheckCall(t, result, 0, call);
                CHECK(out[0] == -7 && out[1] == -9);
                return;
            }
            CheckCall(t, result, 1, call);
            CHECK(out[0] == plan->length);
            CHECK(out[1] == (periods == &out[0] ? -9 : plan->periods));
            if (result == 1) CHECK(ReportRead(t));
            return;
        }
        case Call::kGetClk:
            CHECK(SameBits(DDSGetCLK(), velmar::SampleClockForDivider(expected.divider)));
            return;
        case Call::kGetDivNum:
            CHECK(DDSGetDivNum() == expected.last_divider);
            return;
        case Call::kSetDivNum: {
            const int32_t index = DrawIndex(in_);
            const uint16_t divider = in_.ConsumeIntegral<uint16_t>();
            // Set before the packet goes out, kept whatever the answer.
            const uint16_t before = expected.divider;
            expected.divider = divider;
            const int32_t result = DDSSetDivNum(index, divider);
            if (!Opened(t)) expected.divider = before;
            CheckCall(t, result, 1, call);
            if (result == 1) CHECK(ReportRead(t));
            return;
        }
        case Call::kDownload: {
            const int32_t index = DrawIndex(in_);
            int32_t count = in_.ConsumeIntegralInRange<int32_t>(0, velmar::kWaveMemorySize);
            const int shape = in_.ConsumeIntegralInRange<int>(0, 15);
            if (shape == 0) count = in_.ConsumeIntegral<int32_t>();  // often out of range
            // Exactly `count` samples on the heap, so that a read past them is seen.
            const bool in_range = count >= 0 && count <= velmar::kWaveMemorySize;
            std::unique_ptr<uint16_t[]> samples(new uint16_t[in_range ? count : 1]);
            for (int32_t i = 0; i < (in_range ? count : 1); ++i)
                samples[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
            const uint16_t* given = shape == 1 ? nullptr : samples.get();
            const int32_t result = DDSDownload(index, given, count);
            const bool refused = !in_range || (count > 0 && given == nullptr);
            if (refused) {
                CheckCall(t, result, 0, call);
                CHECK(result == 0);
                return;
            }
            const size_t blocks = static_cast<size_t>(velmar::SampleBlocksFor(count));
            CheckCall(t, result, 1 + blocks, call);
            if (Sent(t) == 0) return;
            const Bytes& header = dds.messages[t.messages];
            CHECK(header.size() == 3 && header[0] == velmar::kLengthCommand);
            CHECK(LoadLe16(&header[1]) == static_cast<uint16_t>(count - 1));
            for (size_t b = 0; b + 1 < Sent(t); ++b) {
                const Bytes& block = dds.messages[t.messages + 1 + b];
                CHECK(block.size() == velmar::kSampleBlockBytes);
                for (size_t s = 0; s < velmar::kSamplesPerBlock; ++s) {
                    const size_t i = b * velmar::kSamplesPerBlock + s;
                    const uint16_t want = samples[std::min<size_t>(i, count - 1)];
                    CHECK(LoadLe16(&block[2 * s]) == want);
                }
            }
            if (result == 1) CHECK(Sent(t) == 1 + blocks);
            return;
        }
        case Call::kGetMeasure: {
            const int32_t index = DrawIndex(in_);
            const int32_t mode = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<int32_t>(0, 2)
                                                   : in_.ConsumeIntegral<int32_t>();
            double reading = -7.5;
            const bool null_out = in_.ConsumeIntegralInRange<int>(0, 15) == 0;
            const int32_t result = DDSGetMeasure(index, mode, null_out ? nullptr : &reading);
            CheckCall(t, result, null_out ? 0 : 1, call);
            const std::optional<Bytes> report = ReportRead(t);
            if (result == 1) {
                CHECK(report);
                CHECK(SameBits(reading, ExpectedReading(mode, *report)));
            } else {
                CHECK(SameBits(reading, -7.5));
            }
            return;
        }
        case Call::kResetCounter:
            CheckCall(t, DDSResetCounter(DrawIndex(in_)), 2, call);
            return;
        case Call::kSetSingleWave: {
            const int32_t index = DrawIndex(in_);
            CheckCall(t, DDSSetSingleWave(index, in_.ConsumeIntegral<int32_t>()), 1, call);
            return;
        }
        case Call::kSetTrigger: {
            const int32_t index = DrawIndex(in_);
            const int32_t enable = in_.ConsumeIntegral<int32_t>();
            const int32_t option = in_.ConsumeIntegral<int32_t>();
            CheckCall(t, DDSSetTrigger(index, enable, option), 3, call);
            return;
        }
        case Call::kSetDioMode: {
            const int32_t index = DrawIndex(in_);
            CheckCall(t, DDSSetDIOMode(index, in_.ConsumeIntegral<int32_t>()), 1, call);
            return;
        }
        case Call::kGetDigitalIn: {
            const int32_t index = DrawIndex(in_);
            uint16_t value = 0x7777;
            const bool null_out = in_.ConsumeIntegralInRange<int>(0, 15) == 0;
            const int32_t result = DDSGetDigitalIn(index, null_out ? nullptr : &value);
            CheckCall(t, result, null_out ? 0 : 1, call);
            const std::optional<Bytes> report = ReportRead(t);
            if (result == 1) {
                CHECK(report);
                CHECK(value == LoadLe16(&(*report)[0]));
            } else {
                CHECK(value == 0x7777);
            }
            return;
        }
        case Call::kSetDigitalOut: {
            const int32_t index = DrawIndex(in_);
            CheckCall(t, DDSSetDigitalOut(index, in_.ConsumeIntegral<uint16_t>()), 1, call);
            return;
        }
        case Call::kSetPowerOnOutput: {
            const int32_t index = DrawIndex(in_);
            const int32_t mode = in_.ConsumeIntegralInRange<int32_t>(-1, 2);
            CheckCall(t, DDSSetPowerOnOutput(index, mode), mode == 1 ? 1 : 3, call);
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    velmar::test_seam::ResetLibraryState();
    Conversation conversation(in);
    ScriptedInstrument& dds = conversation.dds;
    velmar::test_seam::UsePlatform(&dds);

    // The trace is read at each search: on for some inputs, so that its
    // wording of every odd answer is fuzzed too.
    if (in.ConsumeBool()) {
        setenv("VELMAR_DDS_TRACE", "/dev/null", 1);
    } else {
        unsetenv("VELMAR_DDS_TRACE");
    }
    const int instruments = in.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < instruments; ++i) {
        dds.paths.push_back("dds" + std::to_string(i));
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) dds.unplugged.insert(dds.paths.back());
    }
    // Now and then interfaces whose paths could not be read.
    dds.interfaces = instruments + (in.ConsumeIntegralInRange<int>(0, 7) == 0 ? 1 : 0);
    std::array<uint8_t, velmar::kStatusReportSize> report{};
    in.ConsumeData(report.data(), report.size());
    dds.report = velmar::StatusReport(report);
    dds.answer_for = [&in](const Bytes&) { return DrawAnswer(in); };

    conversation.Step(Call::kSearch);
    for (int step = 0; step < 32 && in.remaining_bytes() > 0; ++step) {
        conversation.Step(in.ConsumeEnum<Call>());
    }
    velmar::test_seam::UsePlatform(nullptr);
    velmar::test_seam::ResetLibraryState();
    return 0;
}
