// Start-up and main loop of the concentrator.
//
// Start-up prepares the box in a fixed order (log directory, opacimeter marker, LEDs,
// stale markers, configuration, clock, timers, tables, serial line, information file);
// every failure is reported and start-up goes on. Results received but not yet stored in
// the outbox when the box stopped are written from the journal before the loop starts. The loop then runs for ever: a
// sleep until the loop has work, one step of equipment work (`programme`), the second
// counter and the heartbeat LED with the liveness file. All periodic work is gated by
// the one-shot timers, so the loop sleeps until the nearest of them runs out (a
// second at most); while a reply is awaited, the receive sleeps on the link instead,
// until bytes come. An idle box thus wakes a few times a second. Work on the PC's share
// runs in a worker process (share unit), which the loop looks at once a pass.
#include "main.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "dat.h"
#include "fgivfgl.h"
#include "file_param.h"
#include "heartbeat.h"
#include "journal.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"
#include "share.h"
#include "synchro.h"
#include "tim.h"

int order_find;

#define PATH_INFO BOX_PATH("/home/KELDRAN/DATA/log/periph1info.txt")
#define PATH_GREEN_LED_ON BOX_PATH("//home/KELDRAN/DATA/GREEN_LED_ON")

// Deletes a marker of the data directory; a failure prints the design's message,
// "\nerreur d'effacement <name><error>\n".
static void delete_marker(const char *path, const char *name) {
    if (unlink(path) != 0) fprintf(stderr, "\nerreur d'effacement %s%s\n", name, strerror(errno));
}

// Deletes markers of the data directory by name, pausing after each.
static void delete_markers(const char *const *names, int count, unsigned pause) {
    for (int i = 0; i < count; i++) {
        char path[64 + ROOTLEN];
        snprintf(path, sizeof path, "%s/%s", DIR_DATA, names[i]);
        delete_marker(path, names[i]);
        pause_us(pause);
    }
}

void initram(void) {
    SERIAL2 = 0;
    ORDER2 = 0;
    tim_program_ms(&ASKEQUIPONESEC, 1000);
    cpt_offfreq = 0;
    tim_program_ms(&OFFFREQ, 1000);
    tim_program_ms(&ASKPLAQUE, 800);
    memset(data, 0, sizeof data);
    memset(termine, 0, sizeof termine);
    memset(journal_of, 0, sizeof journal_of);
    for (int i = 0; i < NBPLAQUEMAX; i++) {
        SI[i].first_get = 0;
        newplaque[i] = 0;
        NEWCLE[i] = 0;
        vehicule &v = voiture[i];
        v.cle[0] = 0;
        v.plaque[0] = 0;
        v.cartype[0] = 0;
        for (auto &line : v.autreinfo)
            line[0] = 0;
        v.idx = ALL;
        v.serial = 0;
        v.order = 0;
        cle_supr[i][0] = 0;
    }
}

// Step 13: the information file, created anew.
static void write_info_file(void) {
    FILE *f = fopen(PATH_INFO, "w");
    if (!f) {
        fprintf(stderr, "Fichier inexistant.\n");
        return;
    }
    fprintf(f, "\nConcentrateur:\n");
    fprintf(f, "\tJan 26 2018 15:34:18\n");
    const char *lines[] = {save_client, save_protocol, save_type_com,
                           save_port,   save_speed,    save_path};
    for (const char *l : lines)
        fprintf(f, "\t%s\n", l);
    fclose(f);
}

int startup(int argc, char **argv) {
    (void)argv;
    // 1
    order_find = 0;
    nfsrc_gieglan = 0;
    Cpt_plaque = 0;
    printf("%s\n", BANNER);
    fflush(stdout);
    if (argc == 2) return 1;

    share_init(); // from here on the share's work runs away from the loop

    // 2
    run_cmd("mkdir " BOX_PATH("/home/KELDRAN/DATA/log/RES"));
    static const char *const endings[] = {"G", "O", "F", "S", "R", "P", "A", "E"};
    for (const char *e : endings) {
        char cmd[128 + ROOTLEN];
        snprintf(cmd, sizeof cmd, "rm %s/*.%s", DIR_LOG, e);
        run_cmd(cmd);
    }
    outbox_init(); // results still waiting from before are kept and counted

    // 3
    if (access(BOX_PATH("/home/KELDRAN/DATA/CHECK_NO_OPA"), F_OK) == 0) {
        TestOpaPourCI = 0;
        printf(">> Détection NO OPA ");
    } else {
        TestOpaPourCI = 1;
        printf(">> Détection OPA ");
    }

    // 4
    {
        const unsigned long req[] = {GPIO_REQUEST, GPIO_DIR_OUT, GPIO_DIR_OUT};
        const int lines[] = {LED_HEART, LED_GREEN, LED_HEART};
        led_green_status = 0;
        int fd = gpio_open();
        if (fd < 0) {
            printf("Error whilst opening /dev/gpio");
        } else {
            for (int i = 0; i < 3; i++)
                gpio_ioctl(fd, req[i], lines[i]);
            gpio_ioctl(fd, GPIO_SET, LED_GREEN);
            gpio_close(fd);
        }
    }

    // 5
    delete_marker(BOX_PATH("//home/KELDRAN/DATA/BTP1"), "BTP1");
    pause_us(100);
    delete_marker(PATH_GREEN_LED_ON, "GREEN_LED_ON");

    // 6
    read_settings();

    // 7
    lenght_path = (int)strlen(save_path_gieglan);
    sync_hour_ok = sync_hour();

    // 8
    tim_program_ms(&TIME_1S, 2000);
    tim_program_ms(&CLIMBING_LED, 1000);

    // 9
    if (strcmp(save_client, "SPX") != 0) {
        static const char *const be[] = {"BE2", "BE3", "BE4", "BE5"};
        static const char *const btp[] = {"BTP2", "BTP3", "BTP4", "BTP5"};
        fprintf(stderr, "EFFACEMENT BE2,BE3,BE4\n");
        delete_markers(be, 4, 200);
        fprintf(stderr, "EFFACEMENT BTP2,BTP3,BTP4,BTP5\n");
        delete_markers(btp, 4, 100);
    }

    // 10
    delete_marker(BOX_PATH("//home/KELDRAN/DATA/PROD"), "PROD");
    pause_us(300);

    // 11
    initram();
    COMOINPROG[0] = 1;
    // results received but not yet in the outbox when the box stopped are written now
    results_recover();

    // 12
    link_open();

    // 13
    write_info_file();
    fflush(stdout);
    return 0;
}

void programme(void) {
    PCaction(scanequip());
    if (COM_STAT == 0 && COMOINPROG[0] == 1) {
        if (tim_verif_program_ms(ASKPLAQUE)) {
            tim_program_ms(&ASKPLAQUE, 1800);
            if (giegtype == 2) processplaqueliste();
        }
    }
    if (COMOINPROG[0] == 0 && cpt_offfreq > 10) {
        ERREUR = 0;
        giegtype = 0;
        tim_program_ms(&ASKEQUIPONESEC, 1000);
        cpt_offfreq = 0;
        tim_program_ms(&ASKPLAQUE, 800);
    }
}

// Sleeps until the loop has work: the nearest of the timers that gate its work. While
// a reply is awaited on a link that is there, the pass's receive sleeps on the link
// instead, until bytes come.
static void idle(void) {
    if (COM_STAT == 1 && !link_gone) return;
    const TIMEMS *gates[6] = {&OFFFREQ, &CLIMBING_LED, &ASKEQUIPONESEC, &TIME_1S};
    int n = 4;
    // the plate list waits for its timer only while no exchange is open in a dialogue
    if (COM_STAT == 0 && COMOINPROG[0] == 1) gates[n++] = &ASKPLAQUE;
    // a job on the share is looked at until it ends
    if (share_busy()) gates[n++] = &SHARE_POLL;
    heartbeat_idle(gates, n);
}

void loop_pass(void) {
    idle();
    share_poll(); // a job on the share that has ended hands its result over
    programme();
    heartbeat();
    fflush(stdout);
}
