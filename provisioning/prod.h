// Factory provisioning program: requests read from the production file, one served
// per pass (date and time, then serial number, then reboot), each acknowledged by
// rewriting its state line in the same file.
#pragma once

#include "plat.h"

// Files of the program.
#define PATH_PRODUCTION BOX_PATH("//home/KELDRAN/DATA/PRODUCTION.txt")
#define PATH_BOARD_ID BOX_PATH("//etc/board_id")
#define PATH_PROD_MARKER BOX_PATH("//home/KELDRAN/DATA/PROD")

// Title of the serial-number line of the board identity file.
#define TITLE_SERIAL "export SERIAL_NUMBER="

// Serial numbers written: strictly above SERIAL_MIN, at most SERIAL_MAX.
#define SERIAL_MIN 1
#define SERIAL_MAX 199999

// State of a line that holds no number, or one beyond a char: never taken for a request.
#define STATE_NONE 127

extern char save_info[60];    // text of the state line just read ("#002#", "#031#", "#032#")
extern char status_info;      // "#002#" production state: 1 asks for the date and time, 4 done
extern char save_hour[60];    // "#029#" time of day without blanks, as given to date
extern char save_serial[60];  // "#030#" text, then the serial number between double quotes
extern int get_serial_number; // "#030#" board serial number
extern char state_serial;     // "#031#" serial state: 0 asks for the serial number, 1 done
extern char state_CONFIG;     // "#032#" configuration state: 1 asks for a reboot, 2 done
extern char save_date[60];    // "#028#" converted to year-month-day
extern char chaine[100];      // working text: a value with its blanks removed
extern char chaine2[100];     // working text: the date command
extern char chaine3[50];      // working text: the converted date
extern char path_create_gieglan[60 + ROOTLEN]; // path of the file write_information rewrites
extern int serial_reported; // serial number whose waiting request was reported; 0 none

// Replaces in the existing file `path` the first line that begins with `title` by
// `title` and `info` left-justified in a 40-character field and LF, or appends that
// line when no line begins with `title`. Returns "ok", or "" when the file does not
// open or cannot be rewritten (errno tells why; only a missing file is reported here).
const char *write_information(const char *info, const char *title, const char *path);

// Requests served by a pass.
enum { PASS_NONE = 0, PASS_DATE = 1, PASS_SERIAL = 2, PASS_REBOOT = 3 };

// One pass over the production file: reads the states and serves at most one request.
// Returns the request served (PASS_NONE when the file does not open, holds no request,
// holds a date request whose date or time cannot be built, or a serial request whose
// line the board identity file did not take).
int prod_pass(void);
