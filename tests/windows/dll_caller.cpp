// An application's view of VelmarDll.dll: load it by name, find every export
// with GetProcAddress, call each through a __stdcall (WINAPI) pointer many
// times over. Should the DLL's convention differ from the one its header and
// its users assume, the stack pointer drifts by the argument bytes on every
// call: the drift is checked after each run of calls, and a million calls
// would overflow the stack besides. Under Wine no instrument is attached,
// so every call that needs one returns 0.
//
//   dll_caller [calls-per-export]     (default 1000000)

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

using Search = int32_t(WINAPI*)();
using IndexOnly = int32_t(WINAPI*)(int32_t);
using SetFrequency = int32_t(WINAPI*)(int32_t, double, int32_t*, int32_t*);
using GetClock = double(WINAPI*)();
using GetDivNum = int32_t(WINAPI*)();
using IndexWord = int32_t(WINAPI*)(int32_t, uint16_t);
using Download = int32_t(WINAPI*)(int32_t, const uint16_t*, int32_t);
using GetMeasure = int32_t(WINAPI*)(int32_t, int32_t, double*);
using IndexInt = int32_t(WINAPI*)(int32_t, int32_t);
using SetTrigger = int32_t(WINAPI*)(int32_t, int32_t, int32_t);
using GetDigitalIn = int32_t(WINAPI*)(int32_t, uint16_t*);

int g_failures = 0;

void Fail(const char* what) {
    std::printf("FAIL %s\n", what);
    ++g_failures;
}

#if defined(__i386__)
// The stack pointer as this function's frame sees it.
#define STACK_POINTER(var) __asm__ volatile("movl %%esp, %0" : "=r"(var))
#else
#define STACK_POINTER(var) var = 0
#endif

// Calls `call(i)` for i from 0 to n - 1, each returning `expected`; checks that the stack
// pointer is where it was.
template <typename Call, typename Result>
void Hammer(const char* name, long n, Result expected, Call call) {
    const auto start = std::chrono::steady_clock::now();
    uintptr_t before = 0, after = 0;
    STACK_POINTER(before);
    long wrong = 0;
    for (long i = 0; i < n; ++i) {
        if (call(i) != expected) ++wrong;
    }
    STACK_POINTER(after);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("%-20s %8ld calls %6lld ms%s\n", name, n, static_cast<long long>(ms),
                wrong ? "  WRONG RESULTS" : "");
    if (wrong) Fail(name);
    if (before != after) {
        std::printf("  stack pointer moved by %ld bytes\n", static_cast<long>(after - before));
        Fail(name);
    }
}

template <typename Fn>
Fn Find(HMODULE dll, const char* name) {
    FARPROC p = GetProcAddress(dll, name);
    if (p == nullptr) {
        std::printf("FAIL GetProcAddress(%s)\n", name);
        ++g_failures;
        return nullptr;
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
    HMODULE dll = LoadLibraryA("VelmarDll.dll");
    if (dll == nullptr) {
        std::printf("FAIL LoadLibraryA(VelmarDll.dll): error %lu\n", GetLastError());
        return 1;
    }

    // Only the plain names are exported: not the decorated ones, not the
    // library's internals.
    for (const char* hidden : {"_DDSSearch@0", "DDSSearch@0", "_DDSCheck@4", "DDSCheck@4",
                               "DllMain", "DllMain@12", "_ZN6velmar5StateEv"}) {
        if (GetProcAddress(dll, hidden) != nullptr) {
            std::printf("FAIL %s is exported\n", hidden);
            ++g_failures;
        }
    }

    auto search = Find<Search>(dll, "DDSSearch");
    auto check = Find<IndexOnly>(dll, "DDSCheck");
    auto set_frequency = Find<SetFrequency>(dll, "DDSSetFrequency");
    auto get_clk = Find<GetClock>(dll, "DDSGetCLK");
    auto get_div_num = Find<GetDivNum>(dll, "DDSGetDivNum");
    auto set_div_num = Find<IndexWord>(dll, "DDSSetDivNum");
    auto download = Find<Download>(dll, "DDSDownload");
    auto get_measure = Find<GetMeasure>(dll, "DDSGetMeasure");
    auto reset_counter = Find<IndexOnly>(dll, "DDSResetCounter");
    auto set_single_wave = Find<IndexInt>(dll, "DDSSetSingleWave");
    auto set_trigger = Find<SetTrigger>(dll, "DDSSetTrigger");
    auto set_dio_mode = Find<IndexInt>(dll, "DDSSetDIOMode");
    auto get_digital_in = Find<GetDigitalIn>(dll, "DDSGetDigitalIn");
    auto set_digital_out = Find<IndexWord>(dll, "DDSSetDigitalOut");
    auto set_power_on = Find<IndexInt>(dll, "DDSSetPowerOnOutput");
    if (g_failures) return 1;

    // Every argument differs from call to call, so no call can be folded
    // into another; the out-arguments must stay as they were, since no
    // instrument opens.
    int32_t length = -7, periods = -9;
    double reading = -1.5;
    uint16_t word = 0xA5A5;
    const uint16_t samples[4] = {1, 2, 3, 4};

    // The device search asks the system's SetupAPI each time (about 0.1 ms
    // under Wine), so it runs a fiftieth as often. Like DDSGetCLK and
    // DDSGetDivNum it takes no arguments: no convention mismatch could move
    // the stack on it, only break the call itself.
    Hammer("DDSSearch", n / 50, 0, [&](int32_t) { return search(); });
    Hammer("DDSCheck", n, 0, [&](int32_t i) { return check(i); });
    Hammer("DDSSetFrequency", n, 0,
           [&](int32_t i) { return set_frequency(i & 7, 1000.0 + (i & 1023), &length, &periods); });
    Hammer("DDSGetCLK", n, 200e6, [&](int32_t) { return get_clk(); });
    Hammer("DDSGetDivNum", n, 0, [&](int32_t) { return get_div_num(); });
    Hammer("DDSSetDivNum", n, 0,
           [&](int32_t i) { return set_div_num(i & 7, static_cast<uint16_t>(i)); });
    Hammer("DDSDownload", n, 0, [&](int32_t i) { return download(i & 7, samples, 4); });
    Hammer("DDSGetMeasure", n, 0, [&](int32_t i) { return get_measure(i & 7, i & 1, &reading); });
    Hammer("DDSResetCounter", n, 0, [&](int32_t i) { return reset_counter(i & 7); });
    Hammer("DDSSetSingleWave", n, 0, [&](int32_t i) { return set_single_wave(i & 7, 1); });
    Hammer("DDSSetTrigger", n, 0, [&](int32_t i) { return set_trigger(i & 7, 1, i); });
    Hammer("DDSSetDIOMode", n, 0, [&](int32_t i) { return set_dio_mode(i & 7, 1); });
    Hammer("DDSGetDigitalIn", n, 0, [&](int32_t i) { return get_digital_in(i & 7, &word); });
    Hammer("DDSSetDigitalOut", n, 0,
           [&](int32_t i) { return set_digital_out(i & 7, static_cast<uint16_t>(i)); });
    Hammer("DDSSetPowerOnOutput", n, 0, [&](int32_t i) { return set_power_on(i & 7, i); });

    if (length != -7 || periods != -9 || reading != -1.5 || word != 0xA5A5) {
        Fail("an out-argument was written although no instrument opened");
    }
    FreeLibrary(dll);
    if (g_failures) {
        std::printf("%d failures\n", g_failures);
        return 1;
    }
    std::printf("every export called through __stdcall pointers; stack balanced\n");
    return 0;
}
