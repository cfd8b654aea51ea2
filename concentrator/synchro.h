// Clock synchronisation with the station PC.
#pragma once

#include <sys/stat.h>

extern int sync_hour_ok; // result of the last clock synchronisation (0: to be made again)
extern int first_Sync;   // 0 before any synchronisation, 1 after the first, 2 later

// Sets the box's clocks from the status-change time of a file made on the share; 1 when
// they were set, 0 otherwise. Waits for the share's work, within its deadlines (start-up).
int sync_hour(void);
// The same without waiting, for the loop: starts the synchronisation, or gives its
// result once it has ended (1 or 0); -1 while the share's work goes on (call again).
int sync_hour_step(void);
// The status lookup of the clock file (tests may replace it to fake the file server).
extern int (*share_stat)(const char *path, struct stat *st);
