// Fuzz target: the identification of one peripheral, as askforequipinfo files it: every
// frame the instrument sends is searched for the 25 identification codes (getinfo) and
// each value found goes into the peripheral's row of SIHC; the brand is then checked
// against the list of the configured maker.
//
// Input: the first byte chooses the row (its value modulo 5) and the maker (its value
// divided by 5, through the table below); the rest are link bytes, and every complete
// frame among them is filed into the row, each in a block of its own length.
#include <stdlib.h>
#include <string.h>

#include "boxtest.h"
#include "file_param.h"
#include "fuzzsupport.h"
#include "nod.h"

static const char *const makers[] = {"KELDRAN", "SPX", "TECNO", "MAHA", "AVL", "FOG"};
static const char *const id_codes[] = {"0300", "0301", "0302", "0303", "0304", "0305", "0306",
                                       "0307", "0308", "0309", "0310", "0311", "0312", "0313",
                                       "0314", "7003", "7007", "7011", "7350", "7351", "7352",
                                       "7012", "7353", "7354", "7529"};

static bool is_id_code(const char *code) {
    for (const char *c : id_codes)
        if (strcmp(c, code) == 0) return true;
    return false;
}

static void check_row(int row) {
    for (int r = 0; r < NBPERIPH; r++) {
        if (r == row) continue;
        FUZZ_CHECK(Cpt_SIHC[r] == 0 && SIHC[r][0].CodeGiegData[0] == 0, "other rows stay empty");
    }
    const int n = Cpt_SIHC[row];
    FUZZ_CHECK(n >= 0 && n <= 25, "a row holds each identification code once at most");
    for (int k = 0; k < n; k++) {
        const SaveInfoHardwareConnect &it = SIHC[row][k];
        FUZZ_CHECK(memchr(it.CodeGiegData, 0, sizeof it.CodeGiegData), "code terminated");
        FUZZ_CHECK(is_id_code(it.CodeGiegData), "only identification codes are filed");
        FUZZ_CHECK(memchr(it.InfoHardwareConnect, 0, sizeof it.InfoHardwareConnect),
                   "value terminated");
        FUZZ_CHECK(strlen(it.InfoHardwareConnect) <= 20, "a value keeps its code's length");
        for (const char *p = it.InfoHardwareConnect; *p; p++)
            FUZZ_CHECK(*p != STX && *p != ETX && *p != EOT && *p != ETB,
                       "no control byte of the link in a value");
        for (int j = 0; j < k; j++)
            FUZZ_CHECK(strcmp(SIHC[row][j].CodeGiegData, it.CodeGiegData) != 0,
                       "a repeated code replaces its earlier value");
    }
    FUZZ_CHECK(n == NBCODEGIEGDATAMAX || SIHC[row][n].CodeGiegData[0] == 0,
               "nothing is filed beyond the count");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    boxtest::reset_state();
    const int row = data[0] % NBPERIPH;
    const char *maker = makers[(data[0] / NBPERIPH) % (sizeof makers / sizeof makers[0])];
    snprintf(save_client2, sizeof save_client2, "%s", maker);
    snprintf(save_client, sizeof save_client, "%s", strcmp(maker, "TECNO") == 0 ? "SPX" : maker);
    snprintf(save_protocol, sizeof save_protocol, "%s", data[0] & 0x80 ? "OTCLAN" : "GIEGLAN");

    char buf[SIZE_ENVELOPPE] = {0};
    int n = 0;
    for (size_t i = 1; i < size; i++) {
        int st = frame_feed(buf, &n, (char)data[i]);
        if (st == FRAME_MORE) continue;
        if (st == FRAME_DONE) {
            size_t len = strlen(buf);
            char *frame = static_cast<char *>(malloc(len + 1));
            memcpy(frame, buf, len + 1);
            fill_identification(row, frame);
            free(frame);
            check_row(row);
        }
        n = 0;
    }
    const char(*liste)[30] = choose_brand_list();
    if (liste) check_equip((char)row, "0300", liste);
    return 0;
}
