// Measure separation not built yet.
#include "fsm.h"

void supprime_espace_fin(char *) {}
void supprime_zero_debut(char *) {}
void cpy_OTCLAN_DATA(const char *) {}
void fct_separate_measures(void) {}
