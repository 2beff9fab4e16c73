// The output as a function generator describes it: a function, a frequency,
// levels in volts, the shapes' own settings, named arbitrary waves, the
// output switch and bursts. The common arbitrary waveform generators' command
// set (the 33220A and 33500 families) is spoken here, mapped onto what this
// instrument has: a sample clock divider, one wave memory of up to 4096
// samples, single-wave mode and a trigger.
//
// Every change goes the same way: the settings are changed on a copy, the
// copy is realised as a clock and the samples for the wave memory, and only
// when that works are the settings kept and the wave sent. A setting the
// instrument cannot play is refused with -221 and changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parameters.h"
#include "velmar/dds.h"
#include "wave/wave.h"

namespace velmar::scpi {

class Instrument;
enum class ByteOrder;

enum class Function { kSine, kSquare, kRamp, kTriangle, kPulse, kNoise, kDc, kUser, kArb, kDac };
enum class AmplitudeUnit { kVpp, kVrms, kDbm };
enum class TriggerSource { kImmediate, kExternal, kBus };

struct PulseSettings {
    double width_s = 100e-6;     // FUNC:PULS:WIDT
    double duty_percent = 10.0;  // FUNC:PULS:DCYC
    bool hold_width = true;      // FUNC:PULS:HOLD WIDT (else DCYC)
    double transition_s = 5e-9;  // FUNC:PULS:TRAN, each edge
};

// An arbitrary wave kept by name: values from -1 to 1, played as given.
struct NamedWave {
    std::string name;
    std::vector<double> values;
};

// Named waves kept besides the built-in one.
constexpr size_t kMostNamedWaves = 8;
// The built-in wave FUNC ARB plays until another is chosen: 1000 points of
// an exponential rise from -1 to 1. DATA:VOL:CLE does not remove it.
constexpr const char* kBuiltInWave = "EXP_RISE";

struct GeneratorSettings {
    Function function = Function::kSine;
    std::optional<double> frequency_hz;  // nothing until FREQ or *RST: nothing plays
    double amplitude = 1.0;              // peak to peak, in units of the full scale
    double offset = 0.0;                 // in units of half the full scale
    double square_duty_percent = 50.0;
    double ramp_symmetry_percent = 100.0;
    PulseSettings pulse;
    std::vector<double> user_table;       // DATA:USER: one period, stretched over each
    std::vector<uint16_t> dac_samples;    // DATA:DAC: played as they are
    std::string arb_name = kBuiltInWave;  // FUNC:ARB
    std::vector<double> arb_points;       // its points; empty for the built-in wave
    uint16_t arb_divider = 2500;          // FUNC:ARB:SRAT: 40 kSa/s
    // ARB plays its points as given at arb_divider, until a FREQ asks for a
    // frequency: then it is stretched over the frequency's plan, like USER.
    bool arb_by_rate = true;
    int burst_cycles = 1;  // BURS:NCYC
    bool output_on = true;
    AmplitudeUnit unit = AmplitudeUnit::kVpp;
    std::optional<double> load_ohms = 50.0;            // OUTP:LOAD; nothing: high impedance
    TriggerSource armed_source = TriggerSource::kBus;  // TRIG:SOUR while the trigger is on
    // Parts the instrument does not have, kept so that they read back.
    bool beeper = true;
    std::string remote_state = "LOC";
    std::string display_text;
};

// The points FUNC ARB plays: the chosen wave's, or the built-in one's.
const std::vector<double>& ArbPoints(const GeneratorSettings& settings);

// What the settings make the wave memory hold while the output is on.
struct LoadedWave {
    std::vector<uint16_t> samples;
    int32_t periods = 0;
    bool flat = false;  // every sample the same: a constant output
};

// The instrument's full scale in volts: the peak-to-peak output of samples
// that span the DAC's whole range.
double FullScaleVpp(const Instrument& instrument);

// The -221 of a wave loaded for a planned frequency that plays an alias, or
// a constant, with what plays instead.
std::optional<QueuedError> PlaybackWarning(const velmar_dds_plan& plan, bool flat_samples);

// The samples of a DATA:DAC block: 16-bit words, most significant byte
// first in NORMal order. An odd last byte is left out.
std::vector<uint16_t> DecodeSamples(const std::string& bytes, ByteOrder order);

// Vpp over Vrms of the function as it is set: 2 sqrt 2 for a sine, the
// rms taken of the wave from -1 to 1 without offset; a flat one counts as
// a sine.
double PeakToRms(const GeneratorSettings& settings);

// The commands of the generator dialect.
Reply ResetInstrument(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetAmplitude(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryAmplitude(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetOffset(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryOffset(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetHigh(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryHigh(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetLow(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryLow(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetUnit(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryUnit(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetLoad(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryLoad(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetSquareDuty(Instrument&, ByteOrder, const ProgramUnit&);
Reply QuerySquareDuty(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetRampSymmetry(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryRampSymmetry(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetPulsePeriod(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryPulsePeriod(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetPulseWidth(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryPulseWidth(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetPulseDuty(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryPulseDuty(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetPulseHold(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryPulseHold(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetPulseTransition(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryPulseTransition(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadUserShape(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryUserPoints(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadDac(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDac(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDacPoints(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDacPeriods(Instrument&, ByteOrder, const ProgramUnit&);
Reply ClearNamedWaves(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryNamedWaves(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadNamedWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadNamedDacWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply SelectNamedWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryNamedWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryNamedWavePoints(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetArbRate(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryArbRate(Instrument&, ByteOrder, const ProgramUnit&);
Reply QuerySampleRate(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetOutput(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryOutput(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTriggerOutput(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTriggerOutput(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetBurst(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryBurst(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetBurstCycles(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryBurstCycles(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetBurstMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryBurstMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTriggerSource(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTriggerSource(Instrument&, ByteOrder, const ProgramUnit&);
Reply TriggerNow(Instrument&, ByteOrder, const ProgramUnit&);
Reply Beep(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetBeeper(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryBeeper(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetRemoteState(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryRemoteState(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDisplayText(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDisplayText(Instrument&, ByteOrder, const ProgramUnit&);
Reply ClearDisplayText(Instrument&, ByteOrder, const ProgramUnit&);

}  // namespace velmar::scpi
