// The opt-in trace: why did that call fail? A caller of the fifteen DDS
// functions sees only 1 or 0; with VELMAR_DDS_TRACE set (or a session's log
// callback), the library writes one line per event: each call with its
// arguments, the device it opened (or why it could not), every message out
// and every answer in (or why it is missing), and the result with the
// call's time.
//
// VELMAR_DDS_TRACE, read when the library loads and again at each search
// (DDSSearch, velmar_dds_find), so that a long-running program can turn it on:
//   unset or empty  nothing is traced; each call pays one branch
//   stderr          standard error
//   debug           the debugger channel (OutputDebugStringA on Windows,
//                   which DebugView and debuggers show); standard error
//                   where the platform has none
//   anything else   a file, appended to
// A file that cannot be opened is reported once on standard error and the
// trace stays off.
//
// Lines are written whole, under the trace's own lock, so calls from several
// threads never mix their lines.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace velmar::trace {

// Reads VELMAR_DDS_TRACE and opens, changes or closes the trace (also done
// once as the library loads).
void Configure();

// Hands every line, without its line break, to `callback` as well (nullptr:
// no longer). The callback runs under the trace's lock, on the thread of the
// call it traces, while that call holds its instrument: it must not call the
// library (such calls are refused, see InCallback).
using LineCallback = void (*)(const char* line, void* data);
void SetCallback(LineCallback callback, void* data);

// True on a thread while it runs the log callback.
bool InCallback();

// True when lines go somewhere.
bool On();

// One line of the trace; the prefix (library and seconds since load) is added.
void Line(const std::string& text);
// A line that belongs to the call in progress, indented under it.
void Detail(const std::string& text);

// One argument of an exported call, kept as it came and put into words
// only when the trace is on.
class Arg {
  public:
    Arg(const char* name, int32_t value) : name_(name), kind_(Kind::kInt), int_(value) {}
    Arg(const char* name, uint16_t value) : name_(name), kind_(Kind::kWord), int_(value) {}
    Arg(const char* name, double value) : name_(name), kind_(Kind::kDouble), double_(value) {}
    Arg(const char* name, const void* value)
        : name_(name), kind_(Kind::kPointer), pointer_(value) {}
    Arg(const char* name, const char* text) : name_(name), kind_(Kind::kText), pointer_(text) {}
    std::string Describe() const;

  private:
    enum class Kind { kInt, kWord, kDouble, kPointer, kText };
    const char* name_;
    Kind kind_;
    int64_t int_ = 0;
    double double_ = 0.0;
    const void* pointer_ = nullptr;
};

// An exported call and its arguments: "DDSSetFrequency(index 0, frequency 1000, ...)".
class Call {
  public:
    static constexpr size_t kMaxArgs = 4;
    Call(const char* function, std::initializer_list<Arg> args);
    const char* function() const { return function_; }
    std::string Describe() const;

  private:
    const char* function_;
    Arg args_[kMaxArgs] = {{"", int32_t{0}}, {"", int32_t{0}}, {"", int32_t{0}}, {"", int32_t{0}}};
    size_t count_ = 0;
};

// The lines that open and close one traced call: the call with its
// arguments at the start, its result and elapsed time at the end.
class CallScope {
  public:
    explicit CallScope(const Call& call);
    void Finish(const std::string& result);

  private:
    const Call& call_;
    std::chrono::steady_clock::time_point start_;
};

std::string DescribeResult(int32_t result);
std::string DescribeResult(double result);

// "0.064 ms", "1000.2 ms": a duration as the trace shows it.
std::string Milliseconds(double ms);

}  // namespace velmar::trace
