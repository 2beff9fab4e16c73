/*
 * VelmarDll: drive a Velmar direct digital synthesis signal generator.
 *
 * Call DDSSearch first: it finds the attached instruments and numbers them
 * from 0 (the device index). Every function that takes a device index opens
 * that instrument, exchanges a few short messages with it, closes it again
 * and returns 1 (success) or 0 (failure). No handle survives between calls
 * and there is no closing call.
 *
 * Results: 0 always means "not done as asked". It is returned when the index
 * does not open (no search yet, index out of range, instrument unplugged),
 * when an argument is invalid (nothing is sent then), and when the instrument
 * did not answer every message of the call within 1000 ms each.
 *
 * The library keeps one copy of the instrument's control state (control
 * bits, digital output word, clock divider) for the whole process, not one
 * per instrument: every control message restates all of it, so a setting
 * made for one instrument is also sent to the next one addressed. DDSSearch
 * resets it to zero.
 *
 * Threads: every call is serialised by one lock inside the library; calls
 * from several threads behave as if the caller had serialised them.
 *
 * Calling convention: __stdcall on 32-bit Windows (exported undecorated,
 * as WINAPI functions), the platform's C convention everywhere else.
 */
#ifndef VELMAR_DLL_H
#define VELMAR_DLL_H

#include <stdint.h>

/* The version of this header and of the library built with it. The build
 * takes the project's version from these lines. */
#define VELMAR_DLL_VERSION_MAJOR 1
#define VELMAR_DLL_VERSION_MINOR 1
#define VELMAR_DLL_VERSION_PATCH 0
#define VELMAR_DLL_VERSION_STRING "1.1.0"

#if defined(_WIN32) && !defined(_WIN64)
#define VELMAR_CALL __stdcall
#else
#define VELMAR_CALL
#endif

#if defined(VELMAR_BUILDING_LIBRARY)
#if defined(_WIN32)
#define VELMAR_EXPORT /* exported by name through VelmarDll.def */
#else
#define VELMAR_EXPORT __attribute__((visibility("default")))
#endif
#elif defined(_WIN32) && !defined(VELMAR_STATIC)
#define VELMAR_EXPORT __declspec(dllimport)
#else
#define VELMAR_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Discovery ---------------------------------------------------------- */

/* Finds the attached instruments and replaces the list that device indices
 * refer to. Returns the number of device interfaces enumerated (0 when there
 * are none or the search could not be made). On Windows an interface whose
 * path could not be read is counted but not listed, so valid indices may be
 * fewer than the result. When the search could be made, the control
 * state is reset to zero. On Linux the instruments are the sockets in the
 * device directory (see docs/cli-and-simulator.md, "The device directory"). */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSearch(void);

/* Returns 1 if the instrument at `index` can be opened, else 0. Sends nothing. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSCheck(int32_t index);

/* ---- Output frequency and clock divider --------------------------------- */

/* Plans the output of `frequency` hertz: the sample clock divider, the
 * number of samples your waveform should have (*length) and the number of
 * whole signal periods those samples should hold (*periods). Sends the
 * divider to the instrument; then compute that many samples and send them
 * with DDSDownload.
 * Frequencies below 1 Hz in magnitude, and NaN, are planned as 1 Hz.
 * Returns 1 when the instrument answered. On 0 after the instrument was
 * opened, *length and *periods still hold the plan, and the divider is kept
 * (DDSGetDivNum and DDSGetCLK report it; the next control message sends it). Returns 0 with nothing
 * sent and nothing written when `length` or `periods` is NULL, or when the
 * frequency cannot be planned (+infinity, or above about 1e14 Hz). */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetFrequency(int32_t index, double frequency, int32_t* length,
                                                  int32_t* periods);

/* Returns the sample clock in hertz that the current divider gives,
 * 200 MHz / (divider + 1). No instrument access. */
VELMAR_EXPORT double VELMAR_CALL DDSGetCLK(void);

/* Returns the divider chosen by the last DDSSetFrequency (0 before any).
 * A divider set with DDSSetDivNum is not reflected here. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDivNum(void);

/* Sets the sample clock divider. Returns 1 when the instrument answered;
 * on 0 the divider is still kept and sent with the next control message. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDivNum(int32_t index, uint16_t divider);

/* ---- Waveform ----------------------------------------------------------- */

/* Loads `count` samples (0 to 4096) into the waveform memory. The wave is
 * padded to a multiple of 64 samples by repeating its last sample. The
 * samples are only read. Returns 1 when every block was acknowledged.
 * Returns 0 with nothing sent when count is below 0 or above 4096, or when
 * `samples` is NULL and count is above 0. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSDownload(int32_t index, const uint16_t* samples,
                                              int32_t count);

/* ---- Measurement -------------------------------------------------------- */

/* Reads the frequency meter. Mode 0: *reading is the input frequency in
 * hertz. Any other mode: *reading is twice the event count (mode 1 also
 * switches the instrument to counting). Returns 1 and writes *reading only
 * when the instrument answered in this call with a reading: a report of a
 * count with no period (whose frequency would be +infinity) gives 0 and
 * leaves *reading alone. Returns 0 with nothing sent when `reading` is NULL. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSGetMeasure(int32_t index, int32_t mode, double* reading);

/* Clears the event counter. Returns 1 when both messages were answered. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSResetCounter(int32_t index);

/* ---- Output modes and digital I/O --------------------------------------- */

/* Single-wave mode on (enable != 0) or off. Returns 1 when answered. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetSingleWave(int32_t index, int32_t enable);

/* Sends a 100 ms trigger pulse, then enables (enable != 0, with `option`
 * selecting the trigger option) or disables the trigger; disabling keeps the
 * option as it was. Takes at least 100 ms. Returns 1 when every message was
 * answered; the final setting is sent even when the pulse was not. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetTrigger(int32_t index, int32_t enable, int32_t option);

/* Sets the digital I/O mode bit (mode != 0 sets it). Returns 1 when answered. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDIOMode(int32_t index, int32_t mode);

/* Reads the 16-bit digital input port into *value. Returns 1 and writes
 * *value only when the instrument answered in this call; returns 0 with
 * nothing sent when `value` is NULL. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSGetDigitalIn(int32_t index, uint16_t* value);

/* Drives `value` on the 16-bit digital output port. Returns 1 when answered;
 * on 0 the word is still kept and sent with the next control message. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetDigitalOut(int32_t index, uint16_t value);

/* ---- Power-on output ---------------------------------------------------- */

/* Stores what the instrument produces at power-on. Mode 1: the current
 * control state (bits, digital output, divider). Any other mode: the loaded
 * waveform, with the length of the last complete download (4095 before
 * any). Returns 1 when every message was acknowledged; the whole sequence is
 * sent either way. */
VELMAR_EXPORT int32_t VELMAR_CALL DDSSetPowerOnOutput(int32_t index, int32_t mode);

#ifdef __cplusplus
}
#endif

#endif /* VELMAR_DLL_H */
