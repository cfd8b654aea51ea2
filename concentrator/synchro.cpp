// Clock synchronisation with the station PC.
//
// The station PC is the time reference of the box: the box creates a small file on the
// share and takes the status-change time that the PC's file server stamps on it, then
// sets the system clock and the hardware clock from it (the commands go through the
// command runner), and has the outbox clean its old local copies. Before it touches the
// share it asks the network check whether the share is usable. A box without any time
// reference starts from 2012 rather than from an older date.
//
// The work on the share (the network check and the clock file) is a job of the share
// unit: it runs in a worker, each step with its deadline, and the loop comes back for
// its result (sync_hour_step); the clocks are set in the loop's process. A share that
// does not answer in time gives no synchronisation, as an unreachable one does.
#include "synchro.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "file_param.h"
#include "heartbeat.h"
#include "network.h"
#include "outbox.h"
#include "plat.h"
#include "share.h"

int sync_hour_ok;
int first_Sync;

int (*share_stat)(const char *path, struct stat *st) = stat;

// The clock file, a job on the share: the network check, then the file made, looked at
// and removed, in a worker; what the file server stamped on it comes back to the loop,
// which sets the clocks.
static struct {
    int checked;  // the network check answered 0
    int looked;   // the file's status was read (else errnum says why not)
    int errnum;
    time_t ctime_, atime_, mtime_;
} clockfile;
static char clock_path[300 + ROOTLEN];

static void clock_run(void) {
    clockfile.checked = 0;
    clockfile.looked = 0;
    share_step();
    if (network_script() != 0) return;
    clockfile.checked = 1;
    share_step();
    printf("%s\n", clock_path);
    FILE *f = fopen(clock_path, "w");
    if (!f) {
        fprintf(stderr, "Fichier inexistant %s.\n", clock_path);
    } else {
        fputs("cool\n", f);
        fclose(f);
    }
    struct stat st;
    if (share_stat(clock_path, &st) != 0) {
        clockfile.errnum = errno;
    } else {
        clockfile.looked = 1;
        clockfile.ctime_ = st.st_ctime;
        clockfile.atime_ = st.st_atime;
        clockfile.mtime_ = st.st_mtime;
    }
    if (unlink(clock_path) != 0) fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
}

// Sets the clocks from what the clock file's job found; 1 when they were set.
static int clock_apply(void) {
    if (!clockfile.checked) return 0;
    if (!clockfile.looked) {
        fprintf(stderr, "\nerreur SYNC %s\n", strerror(clockfile.errnum));
        return 0;
    }
    char buf[64];
    time_t t = clockfile.ctime_;
    printf("Dernier changement d’etat :        %s", ctime_r(&t, buf));
    t = clockfile.atime_;
    printf("Dernier acces au fichier :         %s", ctime_r(&t, buf));
    t = clockfile.mtime_;
    printf("Derniere modification du fichier:  %s", ctime_r(&t, buf));
    struct tm pc;
    time_t ct = clockfile.ctime_;
    localtime_r(&ct, &pc);
    char date[32], hour[32];
    snprintf(date, sizeof date, "%04d-%02d-%02d", pc.tm_year + 1900, pc.tm_mon + 1, pc.tm_mday);
    snprintf(hour, sizeof hour, "%02d:%02d:%02d", pc.tm_hour, pc.tm_min, pc.tm_sec);
    int year = pc.tm_year + 1900;
    if (year < 2015 || year > 2099) {
        printf(" Date test: %s \n", date);
        fprintf(stderr, "\nErreur: date < 2014 ou > 2100\n");
        return 0;
    }
    printf(" Date: %s \n", date);
    printf("HEURE :%s \n", hour);
    char cmd[128 + ROOTLEN];
    snprintf(cmd, sizeof cmd, "date \"%s %s\"", date, hour);
    heartbeat_cmd(cmd);
    heartbeat_cmd("hwclock -u -w");
    outbox_clean_copies(); // delivered local copies older than seven days
    first_Sync = first_Sync == 0 ? 1 : 2;
    return 1;
}

// A synchronisation: none running, its job running, or its result ready.
enum { SYNC_NONE, SYNC_RUNNING, SYNC_READY };
static int sync_state;
static int sync_result;
static struct tm sync_started; // the box's clock when it began

// The synchronisation ends with result: a box without any time reference starts from
// 2012 rather than from an older date.
static void sync_finish(int result) {
    if (result == 0 && sync_started.tm_year + 1900 < 2012) {
        printf("Régulation date et heure");
        heartbeat_cmd("date \"2012-01-01 01:01:01\"");
        heartbeat_cmd("hwclock -u -w");
    }
    sync_result = result;
    sync_state = SYNC_READY;
}

static void clock_end(int how) {
    if (sync_state != SYNC_RUNNING) return; // a job that overran has ended since
    sync_finish(how == SHARE_DONE ? clock_apply() : 0);
}

static const ShareJob clockJob = {
    "fichier d'heure", clock_run, clock_end, {{&clockfile, sizeof clockfile}}, 0,
};

int sync_hour_step(void) {
    if (sync_state == SYNC_RUNNING) return -1;
    if (sync_state == SYNC_READY) {
        sync_state = SYNC_NONE;
        return sync_result;
    }
    // the share is at other work: wait for it, unless it is held by a share that does
    // not answer (unusable for this pass)
    if (share_busy() && !share_stuck()) return -1;
    time_t started = now_s();
    localtime_r(&started, &sync_started);
    printf("\nSyncro date et heure...");
    const char *sub = strcmp(save_protocol, "GIEGLAN") == 0 ? "ID" : "SYNC";
    if (lenght_path >= 3)
        snprintf(clock_path, sizeof clock_path, "%s/%s/%s/hour%s", DIR_SHARE, save_path_gieglan,
                 sub, save_serie);
    else
        snprintf(clock_path, sizeof clock_path, "%s/%s/hour%s", DIR_SHARE, sub, save_serie);
    sync_state = SYNC_RUNNING;
    if (share_busy() || network_offline() || !share_start(&clockJob)) sync_finish(0);
    return sync_hour_step();
}

int sync_hour(void) {
    int result;
    while ((result = sync_hour_step()) < 0)
        share_wait();
    return result;
}
