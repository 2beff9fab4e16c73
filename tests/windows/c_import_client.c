/* A C program built the way a customer builds one: compiled against
 * VelmarDll.h and linked with the DLL's import library, no GetProcAddress.
 * On 32-bit Windows the header's __stdcall declarations make the compiler
 * ask for _DDSSearch@0 and so on; the import library must carry those
 * names, and also the plain ones, for callers that declare the functions
 * themselves. Under Wine no instrument is attached. */

#include <stdint.h>
#include <stdio.h>

#include "VelmarDll.h"

#if defined(_WIN32) && !defined(_WIN64)
/* The plain import entries, as a caller that does not use the header's
 * decoration reaches them. */
extern int32_t(__stdcall* plain_search)(void) __asm__("__imp__DDSSearch");
extern double(__stdcall* plain_get_clk)(void) __asm__("__imp__DDSGetCLK");
#endif

static int failures = 0;

static void expect(int ok, const char* what) {
    if (!ok) {
        printf("FAIL %s\n", what);
        ++failures;
    }
}

int main(void) {
    int32_t length = -1, periods = -1;
    double reading = -1.0;
    uint16_t word = 0x1234;
    const uint16_t samples[2] = {0, 65535};

    expect(DDSSearch() == 0, "DDSSearch finds no instrument");
    expect(DDSCheck(0) == 0, "DDSCheck(0)");
    expect(DDSSetFrequency(0, 1000.0, &length, &periods) == 0, "DDSSetFrequency");
    expect(length == -1 && periods == -1, "DDSSetFrequency wrote its out-arguments");
    expect(DDSGetCLK() == 200e6, "DDSGetCLK is 200 MHz at divider 0");
    expect(DDSGetDivNum() == 0, "DDSGetDivNum");
    expect(DDSSetDivNum(0, 48) == 0, "DDSSetDivNum");
    expect(DDSDownload(0, samples, 2) == 0, "DDSDownload");
    expect(DDSGetMeasure(0, 0, &reading) == 0 && reading == -1.0, "DDSGetMeasure");
    expect(DDSResetCounter(0) == 0, "DDSResetCounter");
    expect(DDSSetSingleWave(0, 1) == 0, "DDSSetSingleWave");
    expect(DDSSetTrigger(0, 1, 1) == 0, "DDSSetTrigger");
    expect(DDSSetDIOMode(0, 1) == 0, "DDSSetDIOMode");
    expect(DDSGetDigitalIn(0, &word) == 0 && word == 0x1234, "DDSGetDigitalIn");
    expect(DDSSetDigitalOut(0, 0xFFFF) == 0, "DDSSetDigitalOut");
    expect(DDSSetPowerOnOutput(0, 1) == 0, "DDSSetPowerOnOutput");
#if defined(_WIN32) && !defined(_WIN64)
    expect(plain_search() == 0, "DDSSearch through its plain import name");
    expect(plain_get_clk() == 200e6, "DDSGetCLK through its plain import name");
#endif
    if (failures) return 1;
    printf("all fifteen functions linked through the import library and called\n");
    return 0;
}
