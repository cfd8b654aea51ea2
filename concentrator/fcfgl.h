// GIEGLAN result and identification files.
#pragma once

void fct_create_file_gieglan(char Cur_plaque);
void fct_create_idfile_gieglan(char adr, char type_hardware_connect, const char *PATH);
unsigned int fct_calculate_crc_gieglan(const char *string);
void fct_copie_sans_espace(char *dest, const char *source);
