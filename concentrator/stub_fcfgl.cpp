// GIEGLAN result files not built yet.
#include "fcfgl.h"

void fct_create_file_gieglan(char) {}
void fct_create_idfile_gieglan(char, char, const char *) {}
unsigned int fct_calculate_crc_gieglan(const char *) { return 0; }
void fct_copie_sans_espace(char *dest, const char *) { dest[0] = 0; }
