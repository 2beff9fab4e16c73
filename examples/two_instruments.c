/* Drives two instruments at once through the session API: each handle holds
 * its own settings, and nothing set on one is ever sent to the other.
 *
 *   two_instruments [PATH_A PATH_B]
 *
 * Without paths, the first two instruments found are opened. */
#include <stdio.h>
#include <velmar/dds.h>

static int check(int result, const char* what) {
    if (result != VELMAR_DDS_OK)
        fprintf(stderr, "%s: %s (%s)\n", what, velmar_dds_strerror(result),
                velmar_dds_last_message());
    return result == VELMAR_DDS_OK;
}

int main(int argc, char** argv) {
    velmar_dds* a = NULL;
    velmar_dds* b = NULL;
    double reading = 0.0;
    int ok = 1;

    if (argc == 3) {
        ok = check(velmar_dds_open(argv[1], &a), "open A") &&
             check(velmar_dds_open(argv[2], &b), "open B");
    } else {
        ok = check(velmar_dds_open_position(0, &a), "open the first instrument") &&
             check(velmar_dds_open_position(1, &b), "open the second instrument");
    }
    /* A: divider 48, output word 0x0005, trigger on with its option. */
    ok = ok && check(velmar_dds_set_divider(a, 48), "A: divider") &&
         check(velmar_dds_set_digital_out(a, 0x0005), "A: digital out") &&
         check(velmar_dds_set_trigger(a, 1, 1), "A: trigger");
    /* B: divider 7, output word 0x00A0, single-wave mode. */
    ok = ok && check(velmar_dds_set_single_wave(b, 1), "B: single wave") &&
         check(velmar_dds_set_digital_out(b, 0x00A0), "B: digital out") &&
         check(velmar_dds_set_divider(b, 7), "B: divider");
    if (ok && check(velmar_dds_measure(a, 0, &reading), "A: measure"))
        printf("%s: meter reads %.2f Hz\n", velmar_dds_path(a), reading);
    if (ok && check(velmar_dds_measure(b, 0, &reading), "B: measure"))
        printf("%s: meter reads %.2f Hz\n", velmar_dds_path(b), reading);
    velmar_dds_close(a);
    velmar_dds_close(b);
    return ok ? 0 : 1;
}
