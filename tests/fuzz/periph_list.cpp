// Fuzz target: the peripheral list "0101" as the scan reads it, and the table positions
// that the writers and the identification take from it.
//
// Input: link bytes; the first complete frame among them (else what the recognition
// holds at the end) is the list, copied into a block of its own length.
#include <stdlib.h>
#include <string.h>

#include "boxtest.h"
#include "fcfgl.h"
#include "fcfotclan.h"
#include "fuzzsupport.h"
#include "nod.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    boxtest::reset_state();
    char buf[SIZE_ENVELOPPE] = {0};
    int n = 0;
    for (size_t i = 0; i < size; i++)
        if (frame_feed(buf, &n, (char)data[i]) != FRAME_MORE) {
            if (n >= 9) break;
            n = 0;
        }
    size_t len = strlen(buf);
    char *frame = static_cast<char *>(malloc(len + 1));
    memcpy(frame, buf, len + 1);
    int opa = read_periph_list(frame);
    free(frame);

    const int count = nb_periph_present;
    FUZZ_CHECK(count >= 0 && count <= 6, "at most six entries");
    int has_opa = 0;
    for (int k = 0; k < 6; k++) {
        if (k >= count) {
            FUZZ_CHECK(type_hardware_connect2[k][0] == 0 && type_hardware_connect2[k][1] == 0,
                       "positions beyond the list stay empty");
            continue;
        }
        char letter = type_hardware_connect2[k][1];
        FUZZ_CHECK(letter != 0 && letter != STX && letter != ETX && letter != EOT && letter != ETB,
                   "an entry's letter is no control byte");
        if (letter == 'O') has_opa = 1;
    }
    FUZZ_CHECK(opa == has_opa, "the opacimeter is reported when the list holds one");
    for (int k = -1; k <= 6; k++) {
        int row = sihc_row_of_position(k);
        FUZZ_CHECK(row >= -1 && row < NBPERIPH, "a position names a row of the table or none");
        FUZZ_CHECK(periph_row(k) == (k <= 5 ? row : -1), "both writers take the same row");
    }
    return 0;
}
