// Clock synchronisation with the station PC.
#pragma once

#include <sys/stat.h>

extern int sync_hour_ok; // result of the last clock synchronisation (0: to be made again)
extern int first_Sync;   // 0 before any synchronisation, 1 after the first, 2 later

// Sets the box's clocks from the status-change time of a file made on the share; 1 when
// they were set, 0 otherwise.
int sync_hour(void);
// The status lookup of the clock file (tests may replace it to fake the file server).
extern int (*share_stat)(const char *path, struct stat *st);
