// Platform layer of the box: the one place for the box paths, the shell command
// runner, the GPIO device and the time of day. Everything else of both programs
// goes through here, so the dev build can keep the whole box under one sandbox
// root and tests can watch and steer it.
#pragma once

#include <stdio.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>
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
// The journal of received results (journal.cpp); entry n is "<n in ten digits>.jnl".
#define DIR_JOURNAL BOX_PATH("//home/KELDRAN/DATA/journal")

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

// File operations of the result road (the journal of received results, the outbox's
// storing of result files and their local copies). Each goes through one of these, so
// that a test can stop the box at any of them, as a kill or a power cut would.
#define FS_OPEN 0   // a file or directory opened (or created)
#define FS_WRITE 1  // bytes handed to the kernel
#define FS_FLUSH 2  // fsync of a file or a directory
#define FS_RENAME 3 // a rename (path: the name it had)
#define FS_UNLINK 4 // a removal
#define FS_CLOSE 5  // a descriptor closed
// Called before each operation (tests only; nullptr on the box): the operation, the path
// it names (nullptr for one on a descriptor) and the descriptor (-1 when none).
extern void (*fs_hook)(int op, const char *path, int fd);

int fs_open(const char *path, int flags, int mode);
// Writes all n bytes (again after a short write or a signal); n, or -1 with errno set.
ssize_t fs_write(int fd, const void *buf, size_t n);
int fs_sync(int fd);
int fs_close(int fd);
int fs_rename(const char *from, const char *to);
int fs_unlink(const char *path);
// Flushes a directory's entries (creations, renames, removals in it) to the disk:
// open, fsync, close. 0 when done.
int fs_sync_dir(const char *dir);
// The same for a stream: its bytes reach the kernel at fs_fflush and fs_fclose.
FILE *fs_fopen(const char *path, const char *mode);
int fs_fflush(FILE *f);
int fs_fclose(FILE *f);
