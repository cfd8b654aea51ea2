// Platform layer of the box: the one place for the box paths, the shell command
// runner, the GPIO device and the time of day. Everything else of both programs
// goes through here, so the dev build can keep the whole box under one sandbox
// root and tests can watch and steer it.
#pragma once

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#ifndef BOX_ROOT
#define BOX_ROOT ""
#endif
#ifndef BOX_DEV
#define BOX_DEV 0
#endif

// A box path: the sandbox root (empty on the box) in front of the absolute path.
#define BOX_PATH(p) BOX_ROOT p
// Length of the sandbox root: buffers that hold box paths are made this much longer.
#define ROOTLEN (sizeof(BOX_ROOT) - 1)

// Directory of the box's data, markers and logs, and its usual files.
#define DIR_DATA BOX_PATH("//home/KELDRAN/DATA")
#define DIR_LOG BOX_PATH("/home/KELDRAN/DATA/log")
#define DIR_SHARE BOX_PATH("//mnt/GIEGLAN")
// Local copies of the OTCLAN result files.
#define DIR_LOCAL_RES BOX_PATH("/home/KELDRAN/DATA/log/RES")

// GPIO requests of the board driver and the two LED lines.
#define GPIO_SET 0x420B
#define GPIO_CLEAR 0x420C
#define GPIO_DIR_OUT 0x420E
#define GPIO_REQUEST 0x4210
#define LED_GREEN 80
#define LED_HEART 81

// Runs one shell command line and returns its exit status (-1 when it could not run).
// The line is appended to the command log first; in the dev build the commands that
// would change the machine (date, hwclock, reboot) are logged and never run.
int run_cmd(const char *cmd);
// Runs one shell command line as run_cmd does and calls between() (when not nullptr)
// every 5 ms while the command runs, so that what must go on meanwhile does.
int run_cmd_between(const char *cmd, void (*between)(void));
// Replaces the command runner (tests only): the hook gets each command line instead of
// the log and the shell, and its answer is the exit status; nullptr restores the shell.
extern int (*cmd_hook)(const char *cmd);

// Opens the GPIO device read-write; returns a descriptor or -1 (errno set).
int gpio_open(void);
// Issues one request with the line number as argument on an open GPIO descriptor.
int gpio_ioctl(int fd, unsigned long request, int line);
void gpio_close(int fd);

// The time of day. Every reading of the clock goes through these.
void now_tv(struct timeval *tv);
time_t now_s(void);
// Local broken-down time of now_s(), in a static record.
struct tm *now_local(void);
// Replaces the clock (tests only); nullptr restores gettimeofday.
extern void (*now_hook)(struct timeval *tv);

// Milliseconds of a clock that only moves forward, the same in every process of the
// program: for intervals one process measures on what another does (never the time of
// day, never replaced by tests). It wraps after 49 days: subtract, never compare.
uint32_t mono_ms(void);

// Sleeps us microseconds. Every sleep of the programs goes through here.
void pause_us(unsigned us);
// Replaces the sleep (tests only, with a fake clock, which then moves on instead);
// nullptr restores the real sleep.
extern void (*pause_hook)(unsigned us);
