// Start-up, polling loop, LEDs, liveness file, clock synchronisation and network check.
#pragma once

#include <sys/stat.h>
#include <termios.h>

extern int TestOpaPourCI;         // 1: orders get the opacimeter check; 0: CHECK_NO_OPA exists
extern char led_green_status;     // 1 while the green LED is lit
extern unsigned int light_on_off; // heartbeat phase; odd: line 81 set, even: cleared
extern unsigned int watch_dog;    // liveness counter written to the watch_dog file
extern int cpt_offfreq;           // seconds counted since the last reset of the dialogue
extern int fd_tty;                // descriptor of the open serial device
extern struct termios tio;        // its line settings
extern int ttyUSB_open;           // 1 once the serial device is open and set up
extern int sync_hour_ok;          // result of the last clock synchronisation
extern int first_Sync;            // 0 before any synchronisation, 1 after the first, 2 later
extern int order_find;            // order bookkeeping, cleared at start-up
extern int nfsrc_gieglan;         // order files seen by the last reading
extern char COMOINPROG[2];        // element 0: 1 while a dialogue with the equipment may run

// Banner printed first thing.
#define BANNER "\nVARN V1.18 Jan 26 2018 15:34:18"

// Start-up steps 1 to 13; returns 1 when the program is to end here (one argument).
int startup(int argc, char **argv);
// One pass of the polling loop.
void loop_pass(void);
void programme(void);
void climbing_led_watch_dog(void);
void initram(void);

// Issues GPIO requests (pairs of request and line, count pairs) on a freshly opened
// device, then closes it. Prints "Error whilst opening /dev/gpio" and returns -1 when
// the device does not open.
int led_requests(const unsigned long *requests, const int *lines, int count);

// Switches an open serial descriptor to raw mode at the speed of save_speed, after
// draining output and discarding pending input; the settings are kept in tio.
void tty_setup(int fd);

int testNetwork(void);
int sync_hour(void);
// The status lookup of the clock file (tests may replace it to fake the file server).
extern int (*share_stat)(const char *path, struct stat *st);
