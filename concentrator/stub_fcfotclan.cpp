// OTCLAN result writer not built yet (the validators are in fcfotclan_check.cpp).
#include "fcfotclan.h"

void Get_Measure_Type(void) {}
int codetoi(const char *) { return 0; }
void sortMesure(SaveMeasures *, int) {}
int parseurIdOTC(char *) { return 1; }
int parseurMesureOTC(char *, int) { return 1; }
void supprime_espace_debut(char *) {}
void fct_create_file_otclan(char) {}
