// OTCLAN result file and the text validators of the OTCLAN fields.
#pragma once

#include "fgpinv.h"

// Validators: 0 acceptable, 1 refused.
int check_ascii(const char *source);
int check_AsciiV2(const char *source);
int check_lettre(const char *source);
int check_lettreV2(const char *source);
int check_Number(const char *source, int NbreChiffreApresVirgule);
int check_date(const char *source);

void Get_Measure_Type(void);
int codetoi(const char *str);
void sortMesure(SaveMeasures *table, int taille);
int parseurIdOTC(char *source);
int parseurMesureOTC(char *source, int type);
void supprime_espace_debut(char *source);
void fct_create_file_otclan(char Cur_plaque);
