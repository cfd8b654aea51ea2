// BNET order reader.
#pragma once

#include "fgivfgl.h"
#include "plat.h"

extern char tabsrc_bnet[MAXFILES][20];    // names of the files seen (first 19 characters)
extern char pathsrc_bnet[400 + ROOTLEN];  // path of the file being read
extern char readbuf_bnet[MAXSIZELINE];    // the current line
extern char tag_bnet[25];                 // the plate tag ("Plate=")
extern int tagsize_bnet;                  // its length
extern char readbuftag_bnet[MAXSIZELINE]; // the plate text of the current file
extern int nfsrc_bnet;                    // order files seen by the last reading

// Rereads the BNET order directory dir_bnet and rebuilds SI and Cpt_plaque: one order
// per file that holds a plate after the tag ptinfo[0], keyed by its plate. Returns
// READING_DONE or READING_FAILED (SI then left as it was).
int fct_get_info_vehicule_file_bnet(const char *dir_bnet, char **ptinfo);
