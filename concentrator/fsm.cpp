// Measure code dictionary and measure separation.
//
// The dictionary (fsm.h) is one list that makes the per-code constants, the per-code
// buffers and the rows of fsm_dictionary; fsm_lookup walks those rows. The separation
// walks the measure table SM once: each record is cut to its code's field size and
// copied into the code's buffer; under OTCLAN the value is also normalised, the plate
// and the end-of-test stamps are merged into every identification table SIHC, records
// the OTCLAN file must not list are emptied, and SM_OTCLAN gets one row per measure
// under its OTCLAN name. Also here: the text routines shared with the result writers.
#include "fsm.h"

#include <stdio.h>
#include <string.h>

#include "dat.h"
#include "fgpinv.h"
#include "file_param.h"

#define FSM_BUFFER(name, code, size, var, kind, otc, norm) char cmd_##name[size + 1];
FSM_DICTIONARY(FSM_BUFFER)
#undef FSM_BUFFER

#define FSM_ROW(name, code, size, var, kind, otc, norm)                                            \
    {#name, code, size, var, kind, otc, norm, cmd_##name},
const FsmEntry fsm_dictionary[FSM_NB_ENTRIES] = {FSM_DICTIONARY(FSM_ROW)};
#undef FSM_ROW

int fsm_is_spx(void) {
    return strncmp(save_client, "SPX", 3) == 0;
}

const FsmEntry *fsm_lookup(const char *code, int spx) {
    for (const FsmEntry &e : fsm_dictionary) {
        if (e.variant == FSM_NONSPX && spx) continue;
        if (e.variant == FSM_SPX && !spx) continue;
        if (strcmp(e.code, code) == 0) return &e;
    }
    return nullptr;
}

void supprime_espace_fin(char *source) {
    size_t n = strlen(source);
    while (n > 0 && source[n - 1] == ' ')
        source[--n] = 0;
}

int same_field(const char *a, const char *b) {
    size_t la = strlen(a), lb = strlen(b);
    while (la > 0 && a[la - 1] == ' ')
        la--;
    while (lb > 0 && b[lb - 1] == ' ')
        lb--;
    return la > 0 && la == lb && strncmp(a, b, la) == 0;
}

void espace_fins_ligne(char *source) {
    for (; *source; source++)
        if (*source == '\r' || *source == '\n') *source = ' ';
}

void supprime_zero_debut(char *source) {
    size_t n = strlen(source);
    if (n == 0) return;
    size_t i = 0;
    while (i < n && source[i] == '0')
        i++;
    if (i == n) { // all zeros: a single 0 stays
        source[1] = 0;
        return;
    }
    size_t shift = i;
    if (source[i] == '.' && shift > 0) shift--; // one zero stays before the point
    if (shift == 0) return;
    memmove(source, source + shift, n - shift + 1);
}

void cpy_OTCLAN_DATA(const char *chaine) {
    // Separation appends at most once per SM record, so the table cannot fill; the bound
    // still holds should a caller break that.
    if (CSM_OTCLAN < 0 || CSM_OTCLAN >= NBCODEGIEGDATAMAX || CSM < 0 || CSM >= NBCODEGIEGDATAMAX)
        return;
    SaveMeasures &row = SM_OTCLAN[CSM_OTCLAN];
    snprintf(row.CodeGiegData, sizeof row.CodeGiegData, "%s", chaine);
    snprintf(row.DataMeasures, sizeof row.DataMeasures, "%s", SM[CSM].DataMeasures);
    CSM_OTCLAN++;
}

// Codes of the diagnostic summary printed after the separation, by the first kind
// letter of the vehicle's results; 0200 and 0204 are printed first in every case.
struct SummaryGroup {
    char letter;
    const char *codes[16];
};
static const SummaryGroup summary_groups[] = {
    {'G', {"0500", "0502", "0503", "0504", "0508", "0509", "0510", "0511", "0513", "0514", "0520"}},
    {'O', {"0533", "0534", "0535", "0536"}},
    {'P', {"0485", "0490", "0491", "0492", "0493", "0494", "0495", "0496", "0497", "0498", "0499"}},
    {'E',
     {"0601", "0602", "0603", "0604", "0605", "0606", "0607", "0608", "0609", "0610", "0611",
      "0612", "0614", "0615", "0616"}},
    {'V', {"7600", "7601", "7602", "7603", "7604"}},
};

// One summary line; only the buffers of entries for any maker or non-SPX makers.
static void print_code(const char *code) {
    const FsmEntry *e = fsm_lookup(code, 0);
    if (e) printf("Mesure de cmg_%s : %s\n", code, e->buffer);
}

static void print_summary(void) {
    printf("\n");
    print_code("0200");
    print_code("0204");
    for (const SummaryGroup &g : summary_groups) {
        if (g.letter != type_measure[0]) continue;
        for (const char *code : g.codes)
            if (code) print_code(code);
    }
}

// Merges the item (code, value) into the identification table of every peripheral
// slot: rows holding the code are updated, a table without it gets it appended. A
// full table (60 items) cannot take a new item: it is left as it is and the refusal
// printed, the other tables still get the item.
static void merge_identification(const char *code, const char *value) {
    for (int p = 0; p < NBPERIPH; p++) {
        int n = Cpt_SIHC[p];
        if (n < 0) n = 0;
        if (n > NBCODEGIEGDATAMAX) n = NBCODEGIEGDATAMAX;
        int code_present = 0;
        for (int r = 0; r < n; r++) {
            SaveInfoHardwareConnect &item = SIHC[p][r];
            if (strncmp(item.CodeGiegData, code, sizeof item.CodeGiegData) == 0) {
                code_present = 1;
                snprintf(item.InfoHardwareConnect, sizeof item.InfoHardwareConnect, "%s", value);
            }
        }
        if (code_present) continue;
        if (n >= NBCODEGIEGDATAMAX) {
            fprintf(stderr, "\ntable d'identification %d pleine: %s=%s non ajoute\n", p + 1, code,
                    value);
            continue;
        }
        SaveInfoHardwareConnect &item = SIHC[p][n];
        snprintf(item.CodeGiegData, sizeof item.CodeGiegData, "%s", code);
        snprintf(item.InfoHardwareConnect, sizeof item.InfoHardwareConnect, "%s", value);
        Cpt_SIHC[p] = n + 1;
    }
}

static void empty_record(SaveMeasures &m) {
    m.CodeGiegData[0] = 0;
    m.DataMeasures[0] = 0;
}

void fct_separate_measures(void) {
    const int otclan = strcmp(save_protocol, "OTCLAN") == 0;
    const int spx = fsm_is_spx();
    int n = Cpt_SM;
    if (n > NBCODEGIEGDATAMAX) n = NBCODEGIEGDATAMAX;

    CSM_OTCLAN = 0;
    for (CSM = 0; CSM < n; CSM++) {
        SaveMeasures &m = SM[CSM];
        m.CodeGiegData[sizeof m.CodeGiegData - 1] = 0;
        m.DataMeasures[sizeof m.DataMeasures - 1] = 0;
        const FsmEntry *e = fsm_lookup(m.CodeGiegData, spx);
        if (!e) {
            if (otclan) empty_record(m);
            continue;
        }
        if ((int)strlen(m.DataMeasures) > e->size) m.DataMeasures[e->size] = 0;

        if (e->kind == FSM_MEASURE) {
            if (otclan && e->norm == FSM_LETTER)
                snprintf(m.DataMeasures, sizeof m.DataMeasures, "%s",
                         m.DataMeasures[0] == '0' ? "C" : "D");
            snprintf(e->buffer, e->size + 1, "%s", m.DataMeasures);
            if (otclan) {
                if (e->norm == FSM_BLANKS_ZEROS) supprime_espace_fin(m.DataMeasures);
                if (e->norm == FSM_BLANKS_ZEROS || e->norm == FSM_ZEROS)
                    supprime_zero_debut(m.DataMeasures);
            }
            cpy_OTCLAN_DATA(e->otclan);
            continue;
        }

        snprintf(e->buffer, e->size + 1, "%s", m.DataMeasures);
        if (e->kind == FSM_PLATE) {
            CODE_200 = CSM;
            if (otclan) merge_identification(e->code, m.DataMeasures);
        } else if (e->kind == FSM_STAMP && otclan) {
            merge_identification(e->code, m.DataMeasures);
            empty_record(m);
        }
        // FSM_COPY (0204): cut and kept only; the record stays in SM in both modes.
    }
    CSM = n;
    print_summary();
}
