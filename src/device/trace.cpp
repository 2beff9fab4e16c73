#include "device/trace.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "VelmarDll.h"
#include "device/platform.h"

namespace velmar::trace {
namespace {

constexpr char kVariable[] = "VELMAR_DDS_TRACE";

enum class Sink { kOff, kStderr, kDebugger, kFile };

struct TraceState {
    // Lines are written whole under this lock: calls on different
    // instruments run at the same time.
    std::mutex lock;
    std::atomic<bool> on{false};
    LineCallback callback = nullptr;
    void* callback_data = nullptr;
    Sink sink = Sink::kOff;
    std::FILE* file = nullptr;
    std::string setting;          // the variable's value the sink was made from
    std::string unopenable_file;  // reported once, not at every search
    std::chrono::steady_clock::time_point loaded = std::chrono::steady_clock::now();
};

TraceState& Trace() {
    static TraceState state;
    return state;
}

// Set on the thread that runs the log callback, for as long as it runs.
thread_local bool t_in_callback = false;

// Under the trace's lock.
void Write(const std::string& line) {
    TraceState& t = Trace();
    if (t.callback != nullptr) {
        // The callback gets the line without its line break.
        const std::string bare = line.substr(0, line.size() - (line.empty() ? 0 : 1));
        t_in_callback = true;
        t.callback(bare.c_str(), t.callback_data);
        t_in_callback = false;
    }
    switch (t.sink) {
        case Sink::kOff:
            return;
        case Sink::kDebugger:
            if (ActivePlatform().WriteDebuggerLine(line)) return;
            [[fallthrough]];
        case Sink::kStderr:
            // One write of the whole line: standard error is unbuffered, and
            // a line handed over in pieces could mix with another writer's.
            std::fwrite(line.data(), 1, line.size(), stderr);
            return;
        case Sink::kFile:
            std::fwrite(line.data(), 1, line.size(), t.file);
            std::fflush(t.file);
            return;
    }
}

void CloseSink(TraceState& t) {
    if (t.file != nullptr) std::fclose(t.file);
    t.file = nullptr;
    t.sink = Sink::kOff;
}

void UpdateOn(TraceState& t) {
    t.on.store(t.sink != Sink::kOff || t.callback != nullptr, std::memory_order_relaxed);
}

std::string ShortestDouble(double value) {
    // As few digits as give the value back exactly: 1000, not 1000.0000000000000.
    char text[40];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof(text), "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value || std::isnan(value)) break;
    }
    return text;
}

void ConfigureLocked(TraceState& t);

// The trace is set up as the library loads, from the environment it starts with.
const bool kConfiguredAtLoad = (Configure(), true);

}  // namespace

void Configure() {
    (void)kConfiguredAtLoad;
    TraceState& t = Trace();
    std::lock_guard<std::mutex> hold(t.lock);
    ConfigureLocked(t);
    UpdateOn(t);
}

void SetCallback(LineCallback callback, void* data) {
    TraceState& t = Trace();
    std::lock_guard<std::mutex> hold(t.lock);
    t.callback = callback;
    t.callback_data = data;
    UpdateOn(t);
}

namespace {

void ConfigureLocked(TraceState& t) {
    const char* value = std::getenv(kVariable);
    const std::string setting = value != nullptr ? value : "";
    // Unchanged and working: the file stays open. A file that could not be
    // opened is tried again, silently, at each search.
    if (setting == t.setting && (t.sink != Sink::kOff || setting.empty())) return;
    CloseSink(t);
    t.setting = setting;
    if (setting.empty()) return;
    if (setting == "stderr") {
        t.sink = Sink::kStderr;
    } else if (setting == "debug") {
        t.sink = Sink::kDebugger;
    } else {
        t.file = std::fopen(setting.c_str(), "a");
        if (t.file == nullptr) {
            if (t.unopenable_file != setting) {
                const std::string report = std::string("VelmarDll: ") + kVariable + "=" + setting +
                                           ": cannot open the file (" + std::strerror(errno) +
                                           "); tracing is off\n";
                std::fwrite(report.data(), 1, report.size(), stderr);
            }
            t.unopenable_file = setting;
            return;
        }
        t.sink = Sink::kFile;
    }
    t.unopenable_file.clear();
    // The first line says which library writes the trace.
    Write(std::string("VelmarDll ") + VELMAR_DLL_VERSION_STRING + ": trace on (" + kVariable +
          "=" + setting + ")\n");
}

}  // namespace

bool On() {
    return Trace().on.load(std::memory_order_relaxed);
}

bool InCallback() {
    return t_in_callback;
}

void Line(const std::string& text) {
    if (t_in_callback) return;  // the trace's lock is held by the line being delivered
    TraceState& t = Trace();
    std::lock_guard<std::mutex> hold(t.lock);
    if (t.sink == Sink::kOff && t.callback == nullptr) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t.loaded).count();
    char prefix[48];
    std::snprintf(prefix, sizeof(prefix), "VelmarDll %.6f ", seconds);
    Write(prefix + text + "\n");
}

void Detail(const std::string& text) {
    Line("  " + text);
}

std::string Arg::Describe() const {
    std::string value;
    switch (kind_) {
        case Kind::kInt:
            value = std::to_string(int_);
            break;
        case Kind::kWord: {
            char text[16];
            std::snprintf(text, sizeof(text), "0x%04X", static_cast<unsigned>(int_));
            value = text;
            break;
        }
        case Kind::kDouble:
            value = ShortestDouble(double_);
            break;
        case Kind::kPointer: {
            char text[32];
            std::snprintf(text, sizeof(text), "%p", pointer_);
            value = pointer_ == nullptr ? "NULL" : text;
            break;
        }
        case Kind::kText:
            value = pointer_ == nullptr ? "NULL" : static_cast<const char*>(pointer_);
            break;
    }
    return std::string(name_) + " " + value;
}

Call::Call(const char* function, std::initializer_list<Arg> args) : function_(function) {
    for (const Arg& arg : args) {
        if (count_ == kMaxArgs) break;
        args_[count_++] = arg;
    }
}

std::string Call::Describe() const {
    std::string text = std::string(function_) + "(";
    for (size_t i = 0; i < count_; ++i) text += (i == 0 ? "" : ", ") + args_[i].Describe();
    return text + ")";
}

CallScope::CallScope(const Call& call) : call_(call), start_(std::chrono::steady_clock::now()) {
    Line(call_.Describe());
}

void CallScope::Finish(const std::string& result) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    Line(std::string(call_.function()) + " = " + result + " (" + Milliseconds(ms) + ")");
}

std::string DescribeResult(int32_t result) {
    return std::to_string(result);
}

std::string DescribeResult(double result) {
    return ShortestDouble(result);
}

std::string Milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof(text), ms < 10.0 ? "%.3f ms" : "%.1f ms", ms);
    return text;
}

}  // namespace velmar::trace
