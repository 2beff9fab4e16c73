// The instruments as the server keeps them, and the commands that drive
// them. Each instrument is one session of the library's session API, with its
// own control state and connection; everything of one instrument runs in turn
// on that instrument's own executor, so its settings need no lock, and
// instruments do not wait for each other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_table.h"
#include "velmar/dds.h"
#include "wave/wave.h"

namespace velmar::scpi {

// What one instrument's clients share besides the instrument's own control
// state, which the session keeps.
struct InstrumentSettings {
    wave::WaveSettings wave;
    std::optional<velmar_dds_plan> plan;  // of the last FREQ, while it is the wave
    int32_t loaded_length = 0;            // the last complete download
    int32_t loaded_periods = 0;
    bool loaded_flat = false;     // every sample of it the same: a constant output
    bool trigger_option = false;  // TRIG:OPT, sent with the next TRIG ON
};

// The library's words about a failed call, for the log.
struct FailureNote {
    std::string words;  // empty: nothing failed
    bool news = false;  // not what the last failure of this instrument said
};

// Where the search for instruments looks, as the log names it: the device
// directory on Linux, the Windows device interface on Windows.
std::string SearchPlace();

class Instrument {
  public:
    // Served at `index`; until Locate() gives it a path every call fails
    // with -241.
    explicit Instrument(int index);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    int index() const { return index_; }
    InstrumentSettings& settings() { return settings_; }

    // What the latest search says of the instrument: found at `path`, or
    // gone from it. A gone instrument's session is closed, and every call
    // fails with -241 until a search finds it again.
    void Locate(const std::string& path, bool present);

    // Opens the session unless it is open; 0, or the SCPI error.
    int Open();

    // Runs `call(velmar_dds*)`, which returns a velmar_dds error code, on the
    // open session. Returns 0, -240 (the instrument did not answer) or -241
    // (it is not there, or does not open); the library's words go to the note.
    template <typename Call>
    int Run(Call&& call) {
        if (const int error = Open(); error != 0) return error;
        return Outcome(call(handle_));
    }

    // The control state the session last sent (another program's, when it
    // sent since); 0 or the SCPI error.
    int State(velmar_dds_state* state);

    // The note of the last call, cleared.
    FailureNote TakeNote();

  private:
    int Outcome(int result);
    int Failed(int error, std::string words);

    const int index_;
    std::string path_;
    bool present_ = false;
    velmar_dds* handle_ = nullptr;
    InstrumentSettings settings_;
    FailureNote note_;
    std::string last_words_;  // of the last failure, until a call succeeds
};

// The SCPI error for a velmar_dds error code: -240 when the instrument did
// not answer, -241 when it is not there or does not open, 0 for success.
int ScpiErrorFor(int library_error);

// The warning a wave loaded for a planned frequency earns: -221 with the
// frequency that plays when it is an alias, or that the output is a constant
// (the plan puts every sample on one phase, or the samples are all equal).
std::optional<QueuedError> PlaybackWarning(const velmar_dds_plan& plan, bool flat_samples);

// The samples of a DATA:DAC block: 16-bit words, most significant byte
// first in NORMal order. An odd last byte is left out.
std::vector<uint16_t> DecodeSamples(const std::string& bytes, ByteOrder order);

// The instrument commands of the table.
Reply ResetInstrument(Instrument&, ByteOrder, const ProgramUnit&);
Reply SelfTest(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetAmplitude(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryAmplitude(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetOffset(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryOffset(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadUserShape(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryUserPoints(Instrument&, ByteOrder, const ProgramUnit&);
Reply LoadDac(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDacPoints(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDivider(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDivider(Instrument&, ByteOrder, const ProgramUnit&);
Reply QuerySampleRate(Instrument&, ByteOrder, const ProgramUnit&);
Reply MeasureFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply MeasureTotal(Instrument&, ByteOrder, const ProgramUnit&);
Reply ClearTotal(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDigitalOut(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalOut(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalIn(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDigitalMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetSingleWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply QuerySingleWave(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTrigger(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTrigger(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTriggerOption(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTriggerOption(Instrument&, ByteOrder, const ProgramUnit&);
Reply StorePowerOn(Instrument&, ByteOrder, const ProgramUnit&);

}  // namespace velmar::scpi
