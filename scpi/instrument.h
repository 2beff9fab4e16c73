// The instruments as the server keeps them, and the commands that drive
// them. Everything here runs on the one instrument worker thread: the
// library serialises its calls anyway, and so the settings below need no lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "command_table.h"
#include "wave/wave.h"

namespace velmar::scpi {

// The library's control state as the server's own calls set it. The library
// keeps one for the whole process, not one per instrument, and restates all
// of it in every control message.
struct ControlBits {
    uint16_t divider = 0;
    uint16_t digital_out = 0;
    bool single_wave = false;
    bool dio_mode = false;
    bool trigger_enable = false;
    bool trigger_option = false;
    bool count_mode = false;  // the meter counts events (MEAS:TOT?)

    bool operator==(const ControlBits& other) const;
    bool operator!=(const ControlBits& other) const { return !(*this == other); }
};

// What one instrument's clients share.
struct InstrumentSettings {
    wave::WaveSettings wave;
    std::optional<double> frequency;  // the last FREQ, while its plan is the wave
    int32_t plan_length = 0;
    int32_t plan_periods = 0;
    int32_t loaded_length = 0;  // the last complete download
    int32_t loaded_periods = 0;
    bool trigger_option = false;  // TRIG:OPT, sent with the next TRIG ON
    ControlBits bits;             // what this instrument was last sent
};

class InstrumentHost {
  public:
    InstrumentSettings& settings(int index) { return instruments_[index]; }

    // Runs one library call on instrument `index`: first makes the library's
    // control state this instrument's (another instrument's settings may be
    // in it), then calls `call`, which returns the library's 1 or 0, and
    // applies `change` to the recorded bits when the instrument opened.
    // Returns 0, -240 (did not answer) or -241 (does not open).
    template <typename Call, typename Change>
    int Run(int index, Call&& call, Change&& change) {
        if (const int error = Restate(index); error != 0) return error;
        return Step(index, call, change);
    }
    template <typename Call>
    int Run(int index, Call&& call) {
        return Run(index, call, [](ControlBits&) {});
    }

    // Brings the library's control state to `index`'s recorded bits.
    int Restate(int index);

  private:
    template <typename Call, typename Change>
    int Step(int index, Call& call, Change& change) {
        int error = call() == 1 ? 0 : Failure(index);
        // A setter that reached the instrument keeps its setting in the
        // library even when unanswered; one that did not open changed nothing.
        if (error != kHardwareMissing) {
            change(library_);
            change(settings(index).bits);
        }
        return error;
    }
    static int Failure(int index);

    ControlBits library_;  // zero after the server's DDSSearch
    std::map<int, InstrumentSettings> instruments_;
};

// The samples of a DATA:DAC block: 16-bit words, most significant byte
// first in NORMal order. An odd last byte is left out.
std::vector<uint16_t> DecodeSamples(const std::string& bytes, ByteOrder order);

// The instrument commands of the table.
Reply ResetInstrument(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SelfTest(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetFrequency(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryFrequency(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetFunction(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryFunction(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetAmplitude(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryAmplitude(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetOffset(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryOffset(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply LoadUserShape(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryUserPoints(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply LoadDac(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryDacPoints(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetDivider(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryDivider(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QuerySampleRate(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply MeasureFrequency(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply MeasureTotal(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply ClearTotal(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetDigitalOut(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryDigitalOut(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryDigitalIn(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetDigitalMode(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryDigitalMode(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetSingleWave(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QuerySingleWave(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetTrigger(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryTrigger(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply SetTriggerOption(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply QueryTriggerOption(InstrumentHost&, int, ByteOrder, const ProgramUnit&);
Reply StorePowerOn(InstrumentHost&, int, ByteOrder, const ProgramUnit&);

}  // namespace velmar::scpi
