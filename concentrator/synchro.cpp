// Clock synchronisation with the station PC.
//
// The station PC is the time reference of the box: the box creates a small file on the
// share and takes the status-change time that the PC's file server stamps on it, then
// sets the system clock and the hardware clock from it (the commands go through the
// command runner), and has the outbox clean its old local copies. Before it touches the
// share it asks the network check whether the share is usable. A box without any time
// reference starts from 2012 rather than from an older date.
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

int sync_hour_ok;
int first_Sync;

int (*share_stat)(const char *path, struct stat *st) = stat;

int sync_hour(void) {
    int result = 0;
    time_t started = now_s();
    struct tm start_tm;
    localtime_r(&started, &start_tm);
    printf("\nSyncro date et heure...");
    char path[300 + ROOTLEN];
    const char *sub = strcmp(save_protocol, "GIEGLAN") == 0 ? "ID" : "SYNC";
    if (lenght_path >= 3)
        snprintf(path, sizeof path, "%s/%s/%s/hour%s", DIR_SHARE, save_path_gieglan, sub,
                 save_serie);
    else
        snprintf(path, sizeof path, "%s/%s/hour%s", DIR_SHARE, sub, save_serie);

    if (testNetwork() == 0) {
        printf("%s\n", path);
        FILE *f = fopen(path, "w");
        if (!f) {
            fprintf(stderr, "Fichier inexistant %s.\n", path);
        } else {
            fputs("cool\n", f);
            fclose(f);
        }
        struct stat st;
        if (share_stat(path, &st) != 0) {
            fprintf(stderr, "\nerreur SYNC %s\n", strerror(errno));
        } else {
            char buf[64];
            time_t t = st.st_ctime;
            printf("Dernier changement d’etat :        %s", ctime_r(&t, buf));
            t = st.st_atime;
            printf("Dernier acces au fichier :         %s", ctime_r(&t, buf));
            t = st.st_mtime;
            printf("Derniere modification du fichier:  %s", ctime_r(&t, buf));
            struct tm pc;
            time_t ct = st.st_ctime;
            localtime_r(&ct, &pc);
            char date[32], hour[32];
            snprintf(date, sizeof date, "%04d-%02d-%02d", pc.tm_year + 1900, pc.tm_mon + 1,
                     pc.tm_mday);
            snprintf(hour, sizeof hour, "%02d:%02d:%02d", pc.tm_hour, pc.tm_min, pc.tm_sec);
            int year = pc.tm_year + 1900;
            if (year >= 2015 && year <= 2099) {
                printf(" Date: %s \n", date);
                printf("HEURE :%s \n", hour);
                char cmd[128 + ROOTLEN];
                snprintf(cmd, sizeof cmd, "date \"%s %s\"", date, hour);
                heartbeat_cmd(cmd);
                heartbeat_cmd("hwclock -u -w");
                outbox_clean_copies(); // delivered local copies older than seven days
                result = 1;
                first_Sync = first_Sync == 0 ? 1 : 2;
            } else {
                printf(" Date test: %s \n", date);
                fprintf(stderr, "\nErreur: date < 2014 ou > 2100\n");
            }
        }
        if (unlink(path) != 0) fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
    }
    if (result == 0 && start_tm.tm_year + 1900 < 2012) {
        printf("Régulation date et heure");
        heartbeat_cmd("date \"2012-01-01 01:01:01\"");
        heartbeat_cmd("hwclock -u -w");
    }
    return result;
}
