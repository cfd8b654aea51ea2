// Measure code dictionary and measure separation.
//
// The text routines shared by the separation and the result writers: trailing-blank
// removal, leading-zero removal and the append of one measure to the OTCLAN measure
// table SM_OTCLAN under its OTCLAN name.
#include "fsm.h"

#include <stdio.h>
#include <string.h>

#include "fgpinv.h"

void supprime_espace_fin(char *source) {
    size_t n = strlen(source);
    while (n > 0 && source[n - 1] == ' ') source[--n] = 0;
}

void supprime_zero_debut(char *source) {
    size_t n = strlen(source);
    if (n == 0) return;
    size_t i = 0;
    while (i < n && source[i] == '0') i++;
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

// Separation of the measures: the walk over SM by the dictionary follows.
void fct_separate_measures(void) {}
