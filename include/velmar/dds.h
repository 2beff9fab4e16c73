/*
 * velmardds: the session API of the Velmar DDS signal generator library.
 *
 * Open an instrument and you get a handle: every call takes it first, and
 * the handle holds that instrument's own control state (control bits,
 * digital output word, clock divider), its own remembered values and its own
 * connection, which stays open until velmar_dds_close(). Nothing one handle
 * does is ever sent to another instrument, and handles on different
 * instruments work at the same time from different threads. A handle used
 * from two threads serialises their calls.
 *
 * The instrument's state outlives the process: the last control state sent
 * to each instrument is kept on the host (see docs/c-api.md, "The state kept
 * on the host"), and a new session starts from it, so one program's settings
 * are not undone by the next program that opens the instrument.
 *
 * Every function that can fail returns VELMAR_DDS_OK (0) or a negative
 * velmar_dds_error. velmar_dds_last_message() then says in words what
 * happened, for the calling thread. An out-argument is written only on
 * success, and only from an answer that arrived in this call.
 *
 * Programs written against the fifteen DDS... functions of VelmarDll.h keep
 * using those; both libraries are built from one core and send the same
 * bytes for the same operation.
 */
#ifndef VELMAR_DDS_H
#define VELMAR_DDS_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header. velmar_dds_version() gives the library's,
 * which may be newer within the same major version. */
#define VELMAR_DDS_VERSION_MAJOR 1
#define VELMAR_DDS_VERSION_MINOR 1
#define VELMAR_DDS_VERSION_PATCH 0
#define VELMAR_DDS_VERSION_STRING "1.1.0"

#if defined(VELMAR_DDS_BUILDING)
#if defined(_WIN32)
#define VELMAR_DDS_API /* exported by name through velmardds.def */
#else
#define VELMAR_DDS_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32) && !defined(VELMAR_DDS_STATIC)
#define VELMAR_DDS_API __declspec(dllimport)
#else
#define VELMAR_DDS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open instrument. Opaque: only pointers to it are handed around. */
typedef struct velmar_dds velmar_dds;

/* Results. Argument errors are bugs in the caller; the others come from the
 * instrument, its connection or the host. */
enum velmar_dds_error {
    VELMAR_DDS_OK = 0,
    VELMAR_DDS_ERROR_INVALID_ARGUMENT = -1, /* refused before anything was sent */
    VELMAR_DDS_ERROR_NO_INSTRUMENT = -2,    /* no instrument at that path or position */
    VELMAR_DDS_ERROR_OPEN_FAILED = -3,      /* it is there but would not open */
    VELMAR_DDS_ERROR_TIMEOUT = -4,          /* no answer within the time limit */
    VELMAR_DDS_ERROR_BAD_ANSWER = -5,       /* a short, over-long or failed answer */
    VELMAR_DDS_ERROR_WRITE_REFUSED = -6,    /* a message could not be sent */
    VELMAR_DDS_ERROR_DISCONNECTED = -7,     /* the connection went away; the next call reopens */
    VELMAR_DDS_ERROR_NO_MEMORY = -8,
    VELMAR_DDS_ERROR_SEARCH_FAILED = -9,    /* the host could not list its instruments */
    VELMAR_DDS_ERROR_NOT_A_READING = -10    /* the meter's report holds no frequency */
};

/* The library's version, "1.1.0", and its major, minor and patch numbers. */
VELMAR_DDS_API const char* velmar_dds_version(int* major, int* minor, int* patch);

/* A short fixed name for an error code: "no answer in time". */
VELMAR_DDS_API const char* velmar_dds_strerror(int error);

/* What the calling thread's last failed call met, in words, with the
 * operating system's reason where it gave one: "no answer within 1000 ms to
 * the control packet". Valid until that thread's next call into the
 * library; empty before any failure. */
VELMAR_DDS_API const char* velmar_dds_last_message(void);

/* Hands every trace line (without its line break) to `callback`, on the
 * thread of the call it traces, as well as to VELMAR_DDS_TRACE's sink.
 * NULL turns it off. Process-wide. The callback runs while that call holds
 * its instrument: keep it short, and do not call the library from it (such
 * calls fail with INVALID_ARGUMENT). */
typedef void (*velmar_dds_log_callback)(const char* line, void* user_data);
VELMAR_DDS_API void velmar_dds_set_log_callback(velmar_dds_log_callback callback,
                                                void* user_data);

/* ---- Finding instruments ------------------------------------------------ */

/* The attached instruments' paths, in the order DDSSearch numbers them. */
typedef struct velmar_dds_list velmar_dds_list;

/* Lists the attached instruments into a new *list (free it with
 * velmar_dds_list_free). Returns how many, or a negative error. */
VELMAR_DDS_API int velmar_dds_find(velmar_dds_list** list);
VELMAR_DDS_API size_t velmar_dds_list_count(const velmar_dds_list* list);
/* The path at `position`, or NULL past the end. Valid until the list is freed. */
VELMAR_DDS_API const char* velmar_dds_list_path(const velmar_dds_list* list, size_t position);
VELMAR_DDS_API void velmar_dds_list_free(velmar_dds_list* list);

/* ---- Opening and closing ------------------------------------------------ */

/* Opens the instrument at `path` into a new *handle. */
VELMAR_DDS_API int velmar_dds_open(const char* path, velmar_dds** handle);
/* Opens the instrument at `position` of a fresh search (0 is the first). */
VELMAR_DDS_API int velmar_dds_open_position(int position, velmar_dds** handle);
/* Closes the connection and frees the handle. NULL is allowed. No call may
 * be running on the handle, nor come after, in any thread. */
VELMAR_DDS_API void velmar_dds_close(velmar_dds* handle);

/* The path the handle was opened with. */
VELMAR_DDS_API const char* velmar_dds_path(const velmar_dds* handle);

/* How long each message may wait for its answer, 1000 ms unless set (1 to
 * 60000 ms). */
VELMAR_DDS_API int velmar_dds_set_timeout(velmar_dds* handle, unsigned milliseconds);
VELMAR_DDS_API unsigned velmar_dds_timeout(const velmar_dds* handle);

/* Opens the connection if it is not open: after a failed open, or after a
 * call that returned DISCONNECTED. Sends nothing, so it cannot tell that an
 * open connection went away or that the instrument stopped answering; the
 * next operation tells. */
VELMAR_DDS_API int velmar_dds_check(velmar_dds* handle);

/* ---- Frequency ---------------------------------------------------------- */

/* What a requested frequency becomes on the instrument. */
enum velmar_dds_playback {
    VELMAR_DDS_PLAYS_AS_PLANNED = 0, /* the samples hold the wave faithfully enough */
    VELMAR_DDS_PLAYS_ALIAS = 1,      /* more than half a period per sample: a lower frequency plays */
    VELMAR_DDS_PLAYS_CONSTANT = 2    /* every sample falls on the same phase: no wave at all */
};

typedef struct velmar_dds_plan {
    double requested_hz;    /* the frequency asked for */
    double planned_hz;      /* what the plan was made for: clock * periods / length */
    double produced_hz;     /* what really plays: folded below half the clock, 0 when constant */
    double sample_clock_hz; /* the clock the instrument plays the samples at */
    uint16_t divider;       /* the sample clock divider sent */
    int32_t length;         /* samples your wave should have */
    int32_t periods;        /* whole periods those samples should hold */
    int playback;           /* enum velmar_dds_playback */
} velmar_dds_plan;

/* Plans `hz` without any instrument. Frequencies below 1 Hz in magnitude,
 * and NaN, are planned as 1 Hz. INVALID_ARGUMENT for +infinity and for
 * frequencies above about 1e14 Hz, which cannot be planned. */
VELMAR_DDS_API int velmar_dds_plan_frequency(double hz, velmar_dds_plan* plan);

/* Plans `hz` and sends the divider. *plan (may be NULL) receives the plan
 * on success. Then compute plan.length samples holding plan.periods periods
 * and send them with velmar_dds_download. */
VELMAR_DDS_API int velmar_dds_set_frequency(velmar_dds* handle, double hz, velmar_dds_plan* plan);

/* Sends a sample clock divider as it is: 200 MHz for 0, 100 MHz / d else. */
VELMAR_DDS_API int velmar_dds_set_divider(velmar_dds* handle, uint16_t divider);

/* The instrument's control state as this handle last sent it. */
typedef struct velmar_dds_state {
    uint16_t control_word;     /* the control bits */
    uint16_t digital_out;      /* the digital output word */
    uint16_t divider;          /* the sample clock divider */
    int32_t last_wave_length;  /* padded length of the last complete download (4095 before any) */
    int32_t last_divider;      /* divider of the last velmar_dds_set_frequency */
    double reported_clock_hz;  /* 200 MHz / (divider + 1), what DDSGetCLK reports */
    double sample_clock_hz;    /* the clock the instrument plays at for this divider */
} velmar_dds_state;
VELMAR_DDS_API int velmar_dds_get_state(velmar_dds* handle, velmar_dds_state* state);

/* ---- Waveform ----------------------------------------------------------- */

/* Loads `count` samples (0 to 4096) into the wave memory, padded with the
 * last sample to a multiple of 64. */
VELMAR_DDS_API int velmar_dds_download(velmar_dds* handle, const uint16_t* samples, int count);

/* ---- Meter and counter -------------------------------------------------- */

/* Mode 0: the measured frequency in hertz. Any other mode: twice the event
 * count, as DDSGetMeasure reads it (mode 1 also switches the instrument to
 * counting). NOT_A_READING when the report holds no frequency (a count with
 * no period). */
VELMAR_DDS_API int velmar_dds_measure(velmar_dds* handle, int mode, double* reading);
VELMAR_DDS_API int velmar_dds_reset_counter(velmar_dds* handle);

/* ---- Modes, trigger and digital ports ----------------------------------- */

VELMAR_DDS_API int velmar_dds_set_single_wave(velmar_dds* handle, int enable);
/* Pulses the trigger for 100 ms, then sets enable (and option, when enabling). */
VELMAR_DDS_API int velmar_dds_set_trigger(velmar_dds* handle, int enable, int option);
VELMAR_DDS_API int velmar_dds_set_dio_mode(velmar_dds* handle, int enable);
VELMAR_DDS_API int velmar_dds_set_digital_out(velmar_dds* handle, uint16_t word);
VELMAR_DDS_API int velmar_dds_get_digital_in(velmar_dds* handle, uint16_t* word);

/* ---- Power-on output ---------------------------------------------------- */

/* Mode 1 stores the current control state as the power-on output; any other
 * mode stores the loaded waveform. */
VELMAR_DDS_API int velmar_dds_set_power_on_output(velmar_dds* handle, int mode);

#ifdef __cplusplus
}
#endif

#endif /* VELMAR_DDS_H */
