// The session API: one handle per open instrument, each with its own
// control state, connection, late-answer mark, time limit and lock. The
// operations are the core's, the same as VelmarDll runs; what differs is
// whose state they change and how the outcome is told.

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "device/instrument_state.h"
#include "device/state_record.h"
#include "device/trace.h"
#include "device/transfer.h"
#include "VelmarDll.h"
#include "ops/operations.h"
#include "velmar/dds.h"

struct velmar_dds {
    // A handle freed with its device open (a failed open half way) closes it.
    ~velmar_dds() {
        if (connected) velmar::ActivePlatform().Close(device);
    }
    std::mutex lock;
    std::string path;
    std::atomic<uint32_t> timeout_ms{velmar::kTransferTimeoutMs};
    bool connected = false;
    bool opened_before = false;
    velmar::DeviceHandle device = 0;
    velmar::InstrumentState state;
    bool may_hold_late_answer = false;
    // Shared with every other process on the host; may be absent.
    std::unique_ptr<velmar::StateRecord> record;
    uint64_t identity = 0;
};

struct velmar_dds_list {
    std::vector<std::string> paths;
};

namespace velmar {
namespace {

// One project, one version: both headers state it.
static_assert(VELMAR_DDS_VERSION_MAJOR == VELMAR_DLL_VERSION_MAJOR &&
                  VELMAR_DDS_VERSION_MINOR == VELMAR_DLL_VERSION_MINOR &&
                  VELMAR_DDS_VERSION_PATCH == VELMAR_DLL_VERSION_PATCH,
              "include/velmar/dds.h and include/VelmarDll.h disagree on the version");
static_assert(static_cast<int>(ErrorCode::kInvalidArgument) == VELMAR_DDS_ERROR_INVALID_ARGUMENT);
static_assert(static_cast<int>(ErrorCode::kNoInstrument) == VELMAR_DDS_ERROR_NO_INSTRUMENT);
static_assert(static_cast<int>(ErrorCode::kOpenFailed) == VELMAR_DDS_ERROR_OPEN_FAILED);
static_assert(static_cast<int>(ErrorCode::kTimeout) == VELMAR_DDS_ERROR_TIMEOUT);
static_assert(static_cast<int>(ErrorCode::kBadAnswer) == VELMAR_DDS_ERROR_BAD_ANSWER);
static_assert(static_cast<int>(ErrorCode::kWriteRefused) == VELMAR_DDS_ERROR_WRITE_REFUSED);
static_assert(static_cast<int>(ErrorCode::kDisconnected) == VELMAR_DDS_ERROR_DISCONNECTED);
static_assert(static_cast<int>(ErrorCode::kNoMemory) == VELMAR_DDS_ERROR_NO_MEMORY);
static_assert(static_cast<int>(ErrorCode::kSearchFailed) == VELMAR_DDS_ERROR_SEARCH_FAILED);
static_assert(static_cast<int>(ErrorCode::kNotAReading) == VELMAR_DDS_ERROR_NOT_A_READING);
static_assert(static_cast<int>(Playback::kAlias) == VELMAR_DDS_PLAYS_ALIAS);
static_assert(static_cast<int>(Playback::kConstant) == VELMAR_DDS_PLAYS_CONSTANT);

constexpr unsigned kLongestTimeoutMs = 60000;

// The words of the calling thread's last failure.
thread_local std::string t_message;

int Report(ErrorCode code, std::string words) {
    t_message = std::move(words);
    if (trace::On()) trace::Detail("failed: " + t_message);
    return static_cast<int>(code);
}

int Report(const Failure& failure) {
    return Report(failure.code, failure.words);
}

// The log callback runs while its call holds the instrument and the trace:
// a call from inside it could only deadlock.
constexpr char kFromCallback[] = "called from the log callback, which must not call the library";

// Runs `body` as one traced call; nothing thrown leaves (only allocation can
// throw).
template <typename Body>
int Traced(const trace::Call& call, Body&& body) noexcept {
    if (trace::InCallback()) {
        t_message = kFromCallback;
        return VELMAR_DDS_ERROR_INVALID_ARGUMENT;
    }
    try {
        if (!trace::On()) return body();
        trace::CallScope scope(call);
        const int result = body();
        scope.Finish(result == VELMAR_DDS_OK ? std::string("ok")
                     : result > 0   ? std::to_string(result)
                                    : std::to_string(result) + " (" +
                                        velmar_dds_strerror(result) + ")");
        return result;
    } catch (...) {
        return Report(ErrorCode::kNoMemory, "out of memory");
    }
}

Failure OpenFailure(const std::string& path, Platform& platform) {
    const std::string why = platform.LastFailure();
    if (platform.LastFailureKind() == FailureKind::kNotFound)
        return {ErrorCode::kNoInstrument, "no instrument at " + path + (why.empty() ? "" : ": " + why)};
    return {ErrorCode::kOpenFailed, path + " did not open" + (why.empty() ? "" : ": " + why)};
}

// Opens the handle's device unless it is open, and with it the instrument's
// shared record.
Failure Connect(velmar_dds& h) {
    if (h.connected) return {};
    Platform& platform = ActivePlatform();
    if (!platform.Open(h.path, &h.device)) return OpenFailure(h.path, platform);
    h.connected = true;
    const uint64_t before = h.identity;
    h.record = platform.OpenStateRecord(h.path, &h.identity);
    // Reopened to another instrument at the same path: what this handle
    // kept was the old one's.
    if (h.opened_before && before != h.identity) {
        h.state = InstrumentState();
        h.may_hold_late_answer = false;
    }
    h.opened_before = true;
    if (trace::On()) {
        trace::Detail("opened " + h.path +
                      (h.record ? "" : " (its state is kept by this handle only)"));
    }
    return {};
}

void Disconnect(velmar_dds& h) {
    if (!h.connected) return;
    ActivePlatform().Close(h.device);
    h.connected = false;
}

// Holds the instrument's shared record for one call: the state another
// process left is taken first, the state this call leaves is put back last.
// A record of another instrument (the path now serves a new one) is replaced.
class HeldRecord {
  public:
    explicit HeldRecord(velmar_dds& h) : h_(h) {
        if (!h_.record) return;
        if (!h_.record->Lock(h_.timeout_ms)) {
            // Another holder keeps it (a process stopped in a debugger):
            // this call goes on with what the handle itself knows.
            if (trace::On()) trace::Detail("the shared state record is held elsewhere; not used");
            return;
        }
        held_ = true;
        StateRecordBytes bytes{};
        if (h_.record->Read(bytes.data(), bytes.size()))
            DecodeStateRecord(bytes, h_.identity, &h_.state, &h_.may_hold_late_answer);
        before_ = EncodeStateRecord(h_.state, h_.may_hold_late_answer, h_.identity);
    }
    ~HeldRecord() {
        if (!held_) return;
        const StateRecordBytes after =
            EncodeStateRecord(h_.state, h_.may_hold_late_answer, h_.identity);
        if (after != before_) h_.record->Write(after.data(), after.size());
        h_.record->Unlock();
    }
    HeldRecord(const HeldRecord&) = delete;
    HeldRecord& operator=(const HeldRecord&) = delete;

  private:
    velmar_dds& h_;
    bool held_ = false;
    StateRecordBytes before_{};
};

// The frame of every operation on a handle: its lock, its connection
// (opened again if it went away), the shared record, the core's operation,
// and the outcome in a code and words. `work(InstrumentConnection&,
// InstrumentState&)` returns true when every answer it waited for arrived,
// or an ErrorCode of its own.
template <typename Work>
int OnInstrument(velmar_dds* h, const trace::Call& call, Work&& work) noexcept {
    if (h == nullptr) return Report(ErrorCode::kInvalidArgument, "the handle is NULL");
    if (trace::InCallback()) return Report(ErrorCode::kInvalidArgument, kFromCallback);
    std::lock_guard<std::mutex> hold(h->lock);
    return Traced(call, [&]() -> int {
        if (const Failure failed = Connect(*h); failed.code != ErrorCode::kOk)
            return Report(failed);
        Failure failure;
        ErrorCode own = ErrorCode::kOk;
        {
            HeldRecord record(*h);
            InstrumentConnection device(ActivePlatform(), h->device, h->may_hold_late_answer,
                                        h->timeout_ms);
            own = work(device, h->state);
            failure = device.first_failure();
        }
        if (own == ErrorCode::kOk) return VELMAR_DDS_OK;
        if (failure.code == ErrorCode::kOk) return Report(own, velmar_dds_strerror(int(own)));
        // A connection that went away is opened again by the next call.
        if (failure.code == ErrorCode::kDisconnected) Disconnect(*h);
        return Report(failure);
    });
}

ErrorCode Done(bool every_answer_arrived) {
    return every_answer_arrived ? ErrorCode::kOk : ErrorCode::kTimeout;
}

int Invalid(const trace::Call& call, const char* why) noexcept {
    return Traced(call, [&] { return Report(ErrorCode::kInvalidArgument, why); });
}

void FillPlan(double hz, const FrequencyPlan& plan, velmar_dds_plan* out) {
    out->requested_hz = hz;
    out->planned_hz = PlannedOutputHz(plan);
    out->produced_hz = PlayedFrequencyHz(plan);
    out->sample_clock_hz = PlannedSampleClockHz(plan.divider);
    out->divider = plan.divider;
    out->length = plan.length;
    out->periods = plan.periods;
    out->playback = static_cast<int>(PlaybackOf(plan));
}

}  // namespace
}  // namespace velmar

using namespace velmar;

// ---- The library --------------------------------------------------------------

extern "C" VELMAR_DDS_API const char* velmar_dds_version(int* major, int* minor, int* patch) {
    if (major != nullptr) *major = VELMAR_DDS_VERSION_MAJOR;
    if (minor != nullptr) *minor = VELMAR_DDS_VERSION_MINOR;
    if (patch != nullptr) *patch = VELMAR_DDS_VERSION_PATCH;
    return VELMAR_DDS_VERSION_STRING;
}

extern "C" VELMAR_DDS_API const char* velmar_dds_strerror(int error) {
    switch (error) {
        case VELMAR_DDS_OK:
            return "success";
        case VELMAR_DDS_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case VELMAR_DDS_ERROR_NO_INSTRUMENT:
            return "no such instrument";
        case VELMAR_DDS_ERROR_OPEN_FAILED:
            return "the instrument did not open";
        case VELMAR_DDS_ERROR_TIMEOUT:
            return "no answer in time";
        case VELMAR_DDS_ERROR_BAD_ANSWER:
            return "a short or over-long answer";
        case VELMAR_DDS_ERROR_WRITE_REFUSED:
            return "a message could not be sent";
        case VELMAR_DDS_ERROR_DISCONNECTED:
            return "the instrument disconnected";
        case VELMAR_DDS_ERROR_NO_MEMORY:
            return "out of memory";
        case VELMAR_DDS_ERROR_SEARCH_FAILED:
            return "the instruments could not be listed";
        case VELMAR_DDS_ERROR_NOT_A_READING:
            return "the meter's report holds no reading";
        default:
            return "unknown error";
    }
}

extern "C" VELMAR_DDS_API const char* velmar_dds_last_message(void) {
    return t_message.c_str();
}

extern "C" VELMAR_DDS_API void velmar_dds_set_log_callback(velmar_dds_log_callback callback,
                                                           void* user_data) {
    if (trace::InCallback()) return;  // its lock is held: see kFromCallback
    trace::SetCallback(callback, user_data);
}

// ---- Finding and opening ------------------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_find(velmar_dds_list** list) {
    const trace::Call call("velmar_dds_find", {{"list", static_cast<const void*>(list)}});
    if (list == nullptr) return Invalid(call, "list is NULL");
    if (trace::InCallback()) return Invalid(call, kFromCallback);
    // The trace is looked at again, so that a long-running program can turn
    // it on or off between searches.
    trace::Configure();
    return Traced(call, [&]() -> int {
        Enumeration found = ActivePlatform().EnumerateDevices();
        if (!found.possible) {
            return Report(ErrorCode::kSearchFailed,
                          "could not search " + found.where + ": " + found.why_not);
        }
        auto made = std::unique_ptr<velmar_dds_list>(new velmar_dds_list{std::move(found.paths)});
        if (trace::On()) {
            trace::Detail("searched " + found.where + ": " + std::to_string(made->paths.size()) +
                          " found");
        }
        *list = made.release();
        return static_cast<int>((*list)->paths.size());
    });
}

extern "C" VELMAR_DDS_API size_t velmar_dds_list_count(const velmar_dds_list* list) {
    return list == nullptr ? 0 : list->paths.size();
}

extern "C" VELMAR_DDS_API const char* velmar_dds_list_path(const velmar_dds_list* list,
                                                           size_t position) {
    if (list == nullptr || position >= list->paths.size()) return nullptr;
    return list->paths[position].c_str();
}

extern "C" VELMAR_DDS_API void velmar_dds_list_free(velmar_dds_list* list) {
    delete list;
}

extern "C" VELMAR_DDS_API int velmar_dds_open(const char* path, velmar_dds** handle) {
    const trace::Call call("velmar_dds_open", {{"path", path}});
    if (path == nullptr || *path == '\0' || handle == nullptr)
        return Invalid(call, "path or handle is NULL or empty");
    return Traced(call, [&]() -> int {
        auto made = std::make_unique<velmar_dds>();
        made->path = path;
        if (const Failure failed = Connect(*made); failed.code != ErrorCode::kOk)
            return Report(failed);
        *handle = made.release();
        return VELMAR_DDS_OK;
    });
}

extern "C" VELMAR_DDS_API int velmar_dds_open_position(int position, velmar_dds** handle) {
    const trace::Call call("velmar_dds_open_position", {{"position", int32_t{position}}});
    if (handle == nullptr || position < 0) return Invalid(call, "position below 0 or handle NULL");
    velmar_dds_list* list = nullptr;
    const int found = velmar_dds_find(&list);
    if (found < 0) return found;
    const std::unique_ptr<velmar_dds_list> hold(list);
    if (position >= found) {
        return Traced(call, [&] {
            return Report(ErrorCode::kNoInstrument,
                          "no instrument at position " + std::to_string(position) + " (" +
                              std::to_string(found) + " found)");
        });
    }
    return velmar_dds_open(list->paths[static_cast<size_t>(position)].c_str(), handle);
}

extern "C" VELMAR_DDS_API void velmar_dds_close(velmar_dds* handle) {
    // No call may be running on the handle or come after (the header says
    // so): the destructor closes the device.
    delete handle;
}

extern "C" VELMAR_DDS_API const char* velmar_dds_path(const velmar_dds* handle) {
    return handle == nullptr ? nullptr : handle->path.c_str();
}

extern "C" VELMAR_DDS_API int velmar_dds_set_timeout(velmar_dds* handle, unsigned milliseconds) {
    const trace::Call call("velmar_dds_set_timeout",
                           {{"milliseconds", static_cast<int32_t>(milliseconds)}});
    if (handle == nullptr) return Invalid(call, "the handle is NULL");
    if (milliseconds == 0 || milliseconds > kLongestTimeoutMs)
        return Invalid(call, "the time limit is not from 1 to 60000 ms");
    handle->timeout_ms = milliseconds;
    return VELMAR_DDS_OK;
}

extern "C" VELMAR_DDS_API unsigned velmar_dds_timeout(const velmar_dds* handle) {
    return handle == nullptr ? 0u : handle->timeout_ms.load();
}

extern "C" VELMAR_DDS_API int velmar_dds_check(velmar_dds* handle) {
    // Sends nothing: the late-answer mark stays as it was.
    return OnInstrument(handle, trace::Call("velmar_dds_check", {}),
                        [](InstrumentConnection&, InstrumentState&) { return ErrorCode::kOk; });
}

// ---- Frequency ----------------------------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_plan_frequency(double hz, velmar_dds_plan* plan) {
    const std::optional<FrequencyPlan> planned = PlanFrequency(hz);
    if (plan == nullptr || !planned) {
        t_message = plan == nullptr ? "plan is NULL"
                                    : "the frequency cannot be planned (above about 1e14 Hz)";
        return VELMAR_DDS_ERROR_INVALID_ARGUMENT;
    }
    FillPlan(hz, *planned, plan);
    return VELMAR_DDS_OK;
}

extern "C" VELMAR_DDS_API int velmar_dds_set_frequency(velmar_dds* handle, double hz,
                                                       velmar_dds_plan* plan) {
    const trace::Call call("velmar_dds_set_frequency", {{"hz", hz}});
    const std::optional<FrequencyPlan> planned = PlanFrequency(hz);
    if (!planned) return Invalid(call, "the frequency cannot be planned (above about 1e14 Hz)");
    const int result =
        OnInstrument(handle, call, [&](InstrumentConnection& device, InstrumentState& state) {
            return Done(ops::SetFrequency(device, state, *planned));
        });
    if (result == VELMAR_DDS_OK && plan != nullptr) FillPlan(hz, *planned, plan);
    return result;
}

extern "C" VELMAR_DDS_API int velmar_dds_set_divider(velmar_dds* handle, uint16_t divider) {
    return OnInstrument(handle, trace::Call("velmar_dds_set_divider", {{"divider", divider}}),
                        [&](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::SetDivider(device, state, divider));
                        });
}

extern "C" VELMAR_DDS_API int velmar_dds_get_state(velmar_dds* handle, velmar_dds_state* out) {
    const trace::Call call("velmar_dds_get_state", {});
    if (out == nullptr) return Invalid(call, "state is NULL");
    if (handle == nullptr) return Invalid(call, "the handle is NULL");
    // Read under the shared record's lock, so that it shows what another
    // process sent last; sends nothing and needs no connection.
    std::lock_guard<std::mutex> hold(handle->lock);
    InstrumentState state;
    {
        HeldRecord record(*handle);
        state = handle->state;
    }
    const CommandPacket& packet = state.shadow.packet;
    out->control_word = packet.control_word();
    out->digital_out = packet.digital_out();
    out->divider = packet.divider();
    out->last_wave_length = state.last_wave_length;
    out->last_divider = state.last_divider;
    out->reported_clock_hz = SampleClockForDivider(packet.divider());
    out->sample_clock_hz = PlannedSampleClockHz(packet.divider());
    return VELMAR_DDS_OK;
}

// ---- Waveform -----------------------------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_download(velmar_dds* handle, const uint16_t* samples,
                                                  int count) {
    const trace::Call call("velmar_dds_download", {{"count", int32_t{count}}});
    if (count < 0 || count > kWaveMemorySize) return Invalid(call, "count is not from 0 to 4096");
    if (count > 0 && samples == nullptr) return Invalid(call, "samples is NULL");
    return OnInstrument(handle, call, [&](InstrumentConnection& device, InstrumentState& state) {
        return Done(ops::Download(device, state, samples, count));
    });
}

// ---- Meter and counter --------------------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_measure(velmar_dds* handle, int mode, double* reading) {
    const trace::Call call("velmar_dds_measure", {{"mode", int32_t{mode}}});
    if (reading == nullptr) return Invalid(call, "reading is NULL");
    return OnInstrument(handle, call, [&](InstrumentConnection& device, InstrumentState& state) {
        return ops::Measure(device, state, mode, reading);
    });
}

extern "C" VELMAR_DDS_API int velmar_dds_reset_counter(velmar_dds* handle) {
    return OnInstrument(handle, trace::Call("velmar_dds_reset_counter", {}),
                        [](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::ResetCounter(device, state));
                        });
}

// ---- Modes, trigger and digital ports -------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_set_single_wave(velmar_dds* handle, int enable) {
    return OnInstrument(handle,
                        trace::Call("velmar_dds_set_single_wave", {{"enable", int32_t{enable}}}),
                        [&](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::SetSingleWave(device, state, enable != 0));
                        });
}

extern "C" VELMAR_DDS_API int velmar_dds_set_trigger(velmar_dds* handle, int enable, int option) {
    const trace::Call call("velmar_dds_set_trigger",
                           {{"enable", int32_t{enable}}, {"option", int32_t{option}}});
    return OnInstrument(handle, call, [&](InstrumentConnection& device, InstrumentState& state) {
        return Done(ops::SetTrigger(device, state, enable != 0, option != 0));
    });
}

extern "C" VELMAR_DDS_API int velmar_dds_set_dio_mode(velmar_dds* handle, int enable) {
    return OnInstrument(handle, trace::Call("velmar_dds_set_dio_mode", {{"enable", int32_t{enable}}}),
                        [&](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::SetDioMode(device, state, enable != 0));
                        });
}

extern "C" VELMAR_DDS_API int velmar_dds_set_digital_out(velmar_dds* handle, uint16_t word) {
    return OnInstrument(handle, trace::Call("velmar_dds_set_digital_out", {{"word", word}}),
                        [&](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::SetDigitalOut(device, state, word));
                        });
}

extern "C" VELMAR_DDS_API int velmar_dds_get_digital_in(velmar_dds* handle, uint16_t* word) {
    const trace::Call call("velmar_dds_get_digital_in", {});
    if (word == nullptr) return Invalid(call, "word is NULL");
    return OnInstrument(handle, call, [&](InstrumentConnection& device, InstrumentState& state) {
        return Done(ops::GetDigitalIn(device, state, word));
    });
}

// ---- Power-on output ----------------------------------------------------------

extern "C" VELMAR_DDS_API int velmar_dds_set_power_on_output(velmar_dds* handle, int mode) {
    return OnInstrument(handle,
                        trace::Call("velmar_dds_set_power_on_output", {{"mode", int32_t{mode}}}),
                        [&](InstrumentConnection& device, InstrumentState& state) {
                            return Done(ops::SetPowerOnOutput(device, state, mode));
                        });
}
