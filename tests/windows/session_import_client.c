/* A C program built against velmar/dds.h and linked with velmardds.dll's
 * import library, as a customer builds one. Under Wine no instrument is
 * attached: the search finds none and opening a path that is not there says
 * so; the plan needs no instrument. */

#include <stdio.h>
#include <string.h>

#include "velmar/dds.h"

static int failures = 0;

static void expect(int ok, const char* what) {
    if (!ok) {
        printf("FAIL %s\n", what);
        ++failures;
    }
}

int main(void) {
    velmar_dds_list* list = NULL;
    velmar_dds* handle = NULL;
    velmar_dds_plan plan;
    int major = 0;

    expect(strcmp(velmar_dds_version(&major, NULL, NULL), VELMAR_DDS_VERSION_STRING) == 0,
           "the version");
    expect(major == VELMAR_DDS_VERSION_MAJOR, "the major version");
    expect(velmar_dds_find(&list) == 0, "no instrument is attached");
    velmar_dds_list_free(list);
    expect(velmar_dds_open("\\\\.\\pipe\\velmar-not-there", &handle) ==
               VELMAR_DDS_ERROR_NO_INSTRUMENT,
           "a path with no instrument");
    expect(handle == NULL, "no handle for a failed open");
    expect(velmar_dds_plan_frequency(1000.0, &plan) == VELMAR_DDS_OK && plan.divider == 48 &&
               plan.length == 2083 && plan.periods == 1,
           "the plan of 1 kHz");
    expect(velmar_dds_plan_frequency(150e6, &plan) == VELMAR_DDS_OK &&
               plan.playback == VELMAR_DDS_PLAYS_ALIAS && plan.produced_hz == 50e6,
           "150 MHz plays an alias at 50 MHz");
    printf("%s\n", failures == 0 ? "ok" : "failed");
    return failures == 0 ? 0 : 1;
}
