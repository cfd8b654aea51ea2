// GIEGLAN and OTCLAN order reader.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <stdio.h>

#include "fgpinv.h"
#include "plat.h"

#define MAXFILES 30     // names kept in tabsrc_gieglan per reading
#define MAXSIZELINE 255 // a line of an order file holds at most 254 characters

extern int nfsrc_gieglan;                    // order files seen by the last reading
extern char tabsrc_gieglan[MAXFILES][20];    // names of the files taken (first 19 characters)
extern char pathsrc_gieglan[400 + ROOTLEN];  // path of the file being read
extern char readbuf_gieglan[MAXSIZELINE];    // the current line
extern char tag_gieglan[25];                 // the plate tag ("0200=" or "C001=")
extern int tagsize_gieglan;                  // its length
extern char tag_gieglan2[25];                // the fuel tag (kept, not used by this reader)
extern char readbuftag_gieglan[MAXSIZELINE]; // the plate text of the current file
extern char buf_convGieglan[MAXSIZELINE];    // an OTCLAN line converted to a GIEGLAN line

// Outcome of a reading of an order directory (every reader returns one).
#define READING_FAILED 0 // the directory could not be read whole: SI is left as it was
#define READING_DONE 1   // read whole: SI holds the orders it lists (an order file the share
                         // did not let be read keeps its entry of the last reading); a
                         // directory that is not there holds no order
// What reading one order file gave, beside 1 (an order) and 0 (no order).
#define ORDER_UNREADABLE (-1) // the share did not let it be read whole

extern int order_dir_open; // 1 when the order directory opened at the last reading

// Rereads the order directory dir_gieglan and rebuilds SI and Cpt_plaque from the order
// files present; ptinfo[0] is the plate tag, ptinfo[1] the fuel tag, protocol the
// station protocol. Returns READING_DONE or READING_FAILED; order_dir_open tells whether
// the directory opened, which the green LED follows (green_led_follow).
int fct_get_info_vehicule_file_gieglan_OTCLAN(const char *dir_gieglan, char **ptinfo,
                                              const char *protocol);
// Lights the green LED and makes its GREEN_LED_ON marker when open is 1; darkens it and
// removes the marker when open is 0. Only the loop's process drives the LED.
void green_led_follow(int open);
// 0 when the line's code is one the equipment of makers other than SPX is given
// (0200, 0203, 0204, 0205, 0206), else 1.
int CheckCodeUtile(const char *chaine);
// Converts one OTCLAN order line ("Cnnn=value\r\n") to its GIEGLAN line in dest (room
// for SIZELIGNEFICHIERID characters); 0 when converted, 1 when the line is not kept.
int convDataCItoCG(const char *chaine, char *dest);

// Helpers of the order readers.
//
// A reading builds its table apart and makes it SI only once the directory has been
// read whole, so that a reading the share cuts short changes nothing:
//   DIR *d = opendir(dir); if (!d) return reading_dir_failed(dir);
//   reading_begin(dir);
//   while ((de = reading_next(d, &err))) { o = reading_entry(); ... reading_add(o) for an
//       order, reading_keep(name) for a file the share did not let be read }
//   return reading_end(d, err);
// A directory that does not open: "Le dossier %s est introuvable"; READING_DONE with an
// empty SI when it is not there (ENOENT), else READING_FAILED with SI as it was.
int reading_dir_failed(const char *dir);
void reading_begin(const char *dir);
// The next directory entry; at the end nullptr with *err the error of the listing (0 when
// the whole directory was listed).
struct dirent *reading_next(DIR *dir, int *err);
// The emptied entry to fill for the next order (a scratch entry once the table is full).
SaveInfo *reading_entry(void);
// o, from reading_entry, holds an order: it is in the table (beyond it, only as
// keep_order_in_flight allows).
void reading_add(const SaveInfo *o);
// The order file name could not be read: its entry of the last reading, if it had one
// (found by nomfichier), is taken again as it was.
void reading_keep(const char *name);
// Closes the directory; with err 0 the table built becomes SI (READING_DONE), else SI
// is left as it was (READING_FAILED).
int reading_end(DIR *dir, int err);
// An order file did not open (errno) or could not be read whole: the message, then 0
// when it is not there (no order), ORDER_UNREADABLE otherwise.
int order_open_failed(const char *path);
int order_read_failed(const char *path);
// The order table is full and o was read beyond it. A vehicle in flight (a slot of
// voiture holds its plate) must find its order in the table at every reading, or it is
// withdrawn as if its order had gone: its order takes the place of one whose vehicle is
// still waiting for a slot. true when o was kept, false when it was dropped; the order
// left out is named on standard error ("Table des ordres pleine: %s ignore").
bool keep_order_in_flight(const SaveInfo *o);
// Reads the next line of f into buf (size bytes); a line longer than buf is cut there
// and the rest of it is read and dropped. A line ends at LF only: a NUL byte ends its
// text, not the line. Every piece read is also handed to image when it is not null.
// false at the end of the file.
bool read_order_line(FILE *f, char *buf, int size, void (*image)(const char *piece));
// Length of a line without its line end (LF, CR LF or none).
size_t line_body_len(const char *line);
// The path of an order file: dir, "/" unless dir ends with one, and name. false (and a
// message) when it does not fit dst.
bool order_path(char *dst, size_t size, const char *dir, const char *name);
// Opens an order file for reading. Only a regular file is an order: the entry is opened
// without blocking and its open descriptor checked, so a FIFO, a device or a directory
// never holds the reader. nullptr when it does not open (errno set), or when it is no
// regular file (*skip set: such an entry is passed over without a message).
FILE *open_order_file(const char *path, bool *skip);
// Replaces every byte below 0x20 of a text, its line end (CR, LF) excepted, by a blank,
// so that no order value brings a link control byte onto the wire and each keeps its
// length.
void blank_controls(char *text);
