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
#include "generator.h"
#include "velmar/dds.h"

namespace velmar::scpi {

// How the server was told to serve an instrument.
struct InstrumentOptions {
    double full_scale_vpp = 1.0;  // --full-scale-vpp
};

// What one instrument's clients share besides the instrument's own control
// state, which the session keeps.
struct InstrumentSettings {
    GeneratorSettings generator;
    std::vector<NamedWave> named_waves;  // DATA:ARB, DATA:ARB:DAC
    LoadedWave loaded;                   // what the wave memory holds while the output is on
    bool trigger_option = false;         // TRIG:OPT, sent with the next TRIG ON
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
    Instrument(int index, InstrumentOptions options);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    int index() const { return index_; }
    InstrumentSettings& settings() { return settings_; }
    const InstrumentSettings& settings() const { return settings_; }
    const InstrumentOptions& options() const { return options_; }

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
    const InstrumentOptions options_;
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

// The instrument commands of the table that drive the library directly;
// the generator's are in generator.h.
Reply SelfTest(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDivider(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDivider(Instrument&, ByteOrder, const ProgramUnit&);
Reply MeasureFrequency(Instrument&, ByteOrder, const ProgramUnit&);
Reply MeasureTotal(Instrument&, ByteOrder, const ProgramUnit&);
Reply ReadMeter(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetMeterFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryMeterFunction(Instrument&, ByteOrder, const ProgramUnit&);
Reply ClearTotal(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDigitalOut(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalOut(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalIn(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetDigitalMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryDigitalMode(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTrigger(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTrigger(Instrument&, ByteOrder, const ProgramUnit&);
Reply SetTriggerOption(Instrument&, ByteOrder, const ProgramUnit&);
Reply QueryTriggerOption(Instrument&, ByteOrder, const ProgramUnit&);
Reply StorePowerOn(Instrument&, ByteOrder, const ProgramUnit&);

}  // namespace velmar::scpi
