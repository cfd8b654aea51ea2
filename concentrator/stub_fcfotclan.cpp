// OTCLAN result file and validators not built yet.
#include "fcfotclan.h"

int check_ascii(const char *) { return 1; }
int check_AsciiV2(const char *) { return 1; }
int check_lettre(const char *) { return 1; }
int check_lettreV2(const char *) { return 1; }
int check_Number(const char *, int) { return 1; }
int check_date(const char *) { return 1; }
void Get_Measure_Type(void) {}
int codetoi(const char *) { return 0; }
void sortMesure(SaveMeasures *, int) {}
int parseurIdOTC(char *) { return 1; }
int parseurMesureOTC(char *, int) { return 1; }
void supprime_espace_debut(char *) {}
void fct_create_file_otclan(char) {}
