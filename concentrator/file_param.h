// Parameter files of tagged lines: "#nnn#" then the value up to the end of the line.
// The concentrator reads its settings from the first "PARAM" file of its data
// directory; the provisioning program reads and rewrites single lines of its
// production file by path.
#pragma once

#include "plat.h"

#define SIZE_PARAM_LINE 255 // a line holds at most 254 characters before its end

// Settings of the concentrator, read once at start-up.
extern char save_protocol[45];      // "#001#" station protocol: GIEGLAN, OTCLAN, BNET, ASA
extern char save_path[90];          // "#002#" base directory of the BNET exchange tree
extern char save_path_gieglan[140]; // "#003#" station sub-directory under //mnt/GIEGLAN
extern char save_client[50];        // "#005#" equipment maker ("TECNO" becomes "SPX")
extern char save_client2[50];       // "#005#" equipment maker as configured
extern char save_serie[20];         // "#020#" serial number of the box
extern char save_type_com[20];      // "#100#" link kind: RS232, USB, BLUETOOTH, LAN
extern char save_port[30 + ROOTLEN];        // "#101#" port word or IP address; then the device name
extern char save_speed[20];         // "#102#" line speed, or TCP port for LAN
extern char equipIp[20];            // LAN: the equipment's IP address
extern int equipPort;               // LAN: the equipment's TCP port
extern int lenght_path;             // length of save_path_gieglan (below 3: no sub-directory)
extern int demandeParCle;           // 1: the equipment asks for vehicles by key (SPX makers)
extern char dir_param_file[20];     // directory searched for the PARAM file

// Directory lookup of the concentrator: the value of tag `code` in the first PARAM
// file of dir_param_file. The result lives in one static buffer that the next lookup
// overwrites; "ok" when no directory or no PARAM file opens.
char *read_code_param_file(const char *code);
// Lookup in the file PATH. "" when the file does not open.
char *read_code_param_file(const char *code, const char *PATH);
// Replaces the line of tag `code` in PATH by the tag and `data` padded to lenght
// (10, 40 or 60) characters and LF, or appends that line when the tag is absent, as
// replace_line_in_file does. Returns "ok", or "" when the file does not open or cannot
// be rewritten, or when data is longer than a line holds after the tag or holds a CR or
// LF (the file is then left as it was).
const char *write_code_param_file(const char *code, const char *data, const char *PATH,
                                  int lenght);
// Replaces (or appends) the first line that begins with `prefix` by `line` (which must
// end with LF), keeping every other byte of the file as it was. A line of the old one's
// length is written in place at its offset, one write then fsync, in the same file;
// otherwise the file is rewritten whole into a temporary file of the same directory and
// renamed over the old one, keeping its owner and mode. A symbolic link is followed and
// kept. Returns 0 on success, -1 when PATH does not open for reading and writing, -2
// when the line could not be written (errno tells why).
int replace_line_in_file(const char *PATH, const char *prefix, const char *line);

// Reads every setting in the order of start-up and makes the derived settings.
void read_settings(void);
