// ASA order reader.
#pragma once

#include "fgivfgl.h"
#include "plat.h"

extern char tabsrc_asa[MAXFILES][20];    // names of the files seen (first 19 characters)
extern char pathsrc_asa[400 + ROOTLEN];  // path of the file being read
extern char readbuf_asa[MAXSIZELINE];    // the current line
extern char tag_asa[25];                 // the tag searched by the current pass
extern int tagsize_asa;                  // its length
extern char readbuftag_asa[MAXSIZELINE]; // the value found after the tag
extern int nfsrc_asa;                    // order files seen by the last reading

// Rereads the ASA order directory dir_asa and rebuilds SI and Cpt_plaque: one order per
// file that holds a plate after the tag ptinfo[0] ("<REGISTRATION>"), with the fuel
// code after ptinfo[1] ("<FUEL1>"), keyed by its plate. Returns READING_DONE or
// READING_FAILED (SI then left as it was).
int fct_get_info_vehicule_file_asa(const char *dir_asa, char **ptinfo);
