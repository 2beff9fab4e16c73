/* Plays a sine of the frequency given on the command line (default 1 kHz) on
 * the first instrument found, then reads the frequency meter back.
 *
 *   play_sine [HZ]
 *
 * The library plans how many samples the wave must have and how many whole
 * periods they hold; the caller computes exactly those samples. */
#include <VelmarDll.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    const double hz = argc > 1 ? atof(argv[1]) : 1000.0;
    const double pi = 3.14159265358979323846;
    static uint16_t samples[4096];
    int32_t length = 0, periods = 0, i;
    double measured = 0.0;

    if (DDSSearch() < 1) {
        fprintf(stderr, "no instrument found\n");
        return 1;
    }
    if (!DDSSetFrequency(0, hz, &length, &periods) || length < 1) {
        fprintf(stderr, "the instrument did not take %.3f Hz\n", hz);
        return 1;
    }
    /* Mid-scale 0x8000, amplitude 0x7FFF: the full 16-bit range. */
    for (i = 0; i < length; ++i) {
        samples[i] = (uint16_t)(32768.0 + 32767.0 * sin(2.0 * pi * periods * i / length));
    }
    if (!DDSDownload(0, samples, length)) {
        fprintf(stderr, "the waveform was not acknowledged\n");
        return 1;
    }
    printf("%d samples holding %d period(s) at divider %d\n", length, periods, DDSGetDivNum());
    if (DDSGetMeasure(0, 0, &measured)) printf("frequency meter reads %.3f Hz\n", measured);
    return 0;
}
