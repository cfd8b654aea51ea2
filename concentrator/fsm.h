// Measure code dictionary and measure separation.
#pragma once

// Removes trailing blanks (code 32 only) in place.
void supprime_espace_fin(char *source);
// Removes leading zeros in place, keeping one zero before a point and one for all-zero text.
void supprime_zero_debut(char *source);
// Appends the OTCLAN name chaine and the value of SM[CSM] to SM_OTCLAN.
void cpy_OTCLAN_DATA(const char *chaine);
// Cuts the values of SM by the dictionary; under OTCLAN also normalises them, builds
// SM_OTCLAN and merges plate and stamp items into SIHC.
void fct_separate_measures(void);
