// OTCLAN result file and the text validators of the OTCLAN fields.
#pragma once

#include "fgpinv.h"
#include "plat.h"

#define SIZE_OTCLAN_PATH (255 + ROOTLEN) // result, order-file and local result paths

extern char temp_plaque[255]; // base name of the result file (the order's fichier)
extern char path_create_otclan[SIZE_OTCLAN_PATH]; // result path on the share
extern char path_otclan_ci[SIZE_OTCLAN_PATH];     // order-file path on the share
extern char path_otclan_tmp[SIZE_OTCLAN_PATH];    // local result path under log/RES

// Validators: 0 acceptable, 1 refused.
int check_ascii(const char *source);
int check_AsciiV2(const char *source);
int check_lettre(const char *source);
int check_lettreV2(const char *source);
int check_Number(const char *source, int NbreChiffreApresVirgule);
int check_date(const char *source);

// Fills type_measure, nb_measure and one SM1 list per kind letter (counts CSM1..CSM6)
// from SM and SM_OTCLAN.
void Get_Measure_Type(void);
// Number formed by the first five characters of str, every non-digit counting as 0.
int codetoi(const char *str);
// Sorts the first taille records by codetoi of their names.
void sortMesure(SaveMeasures *table, int taille);
// Trims and upper-cases an identification value; 1 when empty or not OTCLAN text.
int parseurIdOTC(char *source);
// Trims (trailing blanks only when type is 0) and upper-cases a measure value; 1 when not OTCLAN
// text.
int parseurMesureOTC(char *source, int type);
void supprime_espace_debut(char *source);
// SIHC row holding the identification items of the peripheral at list position n of
// type_hardware_connect2: its number less one when the number is 1 to 5; -1 otherwise.
int periph_row(int n);
// Writes, seals and delivers the OTCLAN result files of the vehicle whose plate is in SM.
void fct_create_file_otclan(char Cur_plaque);
