// GIEGLAN result and identification files.
#pragma once

#include <stdio.h>

#include "plat.h"

#define SIZEPATHGIEGLAN 200 // characters of a result or identification file path (box part)
#define SIZEINFO320 100     // characters of the "0320" instrument identity and its letter

extern char path_create_gieglan[SIZEPATHGIEGLAN + ROOTLEN]; // path of the file being written
extern char info_code_320[SIZEINFO320]; // identity + "." + kind letter of the last result file
extern FILE *create_file_gieglan;       // stream of the identification file while it is written

// Writes one result file per kind letter of the measures in SM for the share's RES
// directory, through the outbox. Cur_plaque is the caller's vehicle index; the file is
// named after the order in SI whose key the result carries, else one of its plate.
void fct_create_file_gieglan(char Cur_plaque);
// Writes the identification file of SIHC row adr as PATH + identity + "." + letter,
// through the outbox (a newer one replaces one still waiting).
void fct_create_idfile_gieglan(char adr, char type_hardware_connect, const char *PATH);
// Line checksum: sum of the bytes weighted 1, 2, 3, 4, 5, 1, 2 ... by position.
unsigned int fct_calculate_crc_gieglan(const char *string);
// Copies source into dest without blanks nor any of \ / : * ? " < > |; dest must
// hold strlen(source) + 1 characters.
void fct_copie_sans_espace(char *dest, const char *source);
// Makes a text built from what came over the link fit as a file name on the PC's share,
// in place: each of \ : * ? " < > |, each control byte, each byte at or above 0x80 and
// each leading blank becomes '_'. Only names go through it, never file contents.
void clean_file_name(char *name);

// Kind letter of a measure code for the GIEGLAN result files ('G', 'O', 'P', 'E', 'D'),
// 0 when the code has none.
char gieglan_kind_letter(const char *code);
// Instrument identity of SIHC row: the cleaned values of its 0300 items, then 0301,
// then 0302, cut to fit out (outsize characters with the terminator).
void gieglan_identity(int row, char *out, size_t outsize);
