// The instrument's operations, as both faces run them: on an open
// instrument, with the state they change passed in. Each returns true when
// every answer it waited for arrived; the connection tells what went wrong
// otherwise. Arguments are checked by the faces before they get here.
#pragma once

#include <cstdint>

#include "device/instrument_state.h"
#include "device/transfer.h"
#include "ops/frequency_plan.h"

namespace velmar::ops {

// frequency.cpp: the divider of `plan` (kept in the state even when
// unanswered, and remembered as the last planned divider), or a divider as given.
bool SetFrequency(InstrumentConnection& device, InstrumentState& state, const FrequencyPlan& plan);
bool SetDivider(InstrumentConnection& device, InstrumentState& state, uint16_t divider);

// download.cpp: `count` samples from 0 to 4096, padded to whole 64-sample granules.
bool Download(InstrumentConnection& device, InstrumentState& state, const uint16_t* samples,
              int32_t count);

// measure.cpp: mode 0 reads hertz, any other mode the doubled count (mode 1
// also switches the instrument to counting). `*reading` is written only from
// a report that arrived in this call, and only when the report holds a
// reading: kNotAReading for a count with no period, whose division would give
// +infinity. kTimeout stands for any missing answer (the connection says which).
ErrorCode Measure(InstrumentConnection& device, InstrumentState& state, int32_t mode,
                  double* reading);
bool ResetCounter(InstrumentConnection& device, InstrumentState& state);

// modes_dio.cpp
bool SetSingleWave(InstrumentConnection& device, InstrumentState& state, bool enable);
bool SetTrigger(InstrumentConnection& device, InstrumentState& state, bool enable, bool option);
bool SetDioMode(InstrumentConnection& device, InstrumentState& state, bool enable);
bool SetDigitalOut(InstrumentConnection& device, InstrumentState& state, uint16_t word);
bool GetDigitalIn(InstrumentConnection& device, InstrumentState& state, uint16_t* word);

// power_on.cpp: mode 1 stores the control state, any other the waveform.
bool SetPowerOnOutput(InstrumentConnection& device, InstrumentState& state, int32_t mode);

inline bool Answered(TransferStatus status) {
    return status == TransferStatus::kOk;
}

}  // namespace velmar::ops
