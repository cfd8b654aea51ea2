// Start-up and main loop of the concentrator.
//
// Start-up prepares the box in a fixed order (log directory, opacimeter marker, LEDs,
// stale markers, configuration, clock, timers, tables, serial line, information file);
// every failure is reported and start-up goes on. The loop then runs for ever: a
// 100 µs pause, one step of equipment work (`programme`), the second counter and the
// heartbeat LED with the liveness file. All periodic work is gated by the one-shot
// timers, so an idle pass costs a few clock readings.
//
// The clock synchronisation and the network check live here too: the PC's time is
// the status-change time that its file server stamps on a file the box creates on the
// share; the network check is the offline marker, then the box's testNetwork.sh.
#include "main.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "dat.h"
#include "file_param.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"
#include "tim.h"

int TestOpaPourCI;
char led_green_status;
unsigned int light_on_off;
unsigned int watch_dog;
int cpt_offfreq;
int fd_tty = -1;
struct termios tio;
int ttyUSB_open;
int sync_hour_ok;
int first_Sync;
int order_find;
int nfsrc_gieglan;
char COMOINPROG[2];

int (*share_stat)(const char *path, struct stat *st) = stat;

#define PATH_INFO BOX_PATH("/home/KELDRAN/DATA/log/periph1info.txt")
#define PATH_OFFLINE BOX_PATH("//home/KELDRAN/DATA/offline.state")
#define PATH_GREEN_LED_ON BOX_PATH("//home/KELDRAN/DATA/GREEN_LED_ON")

int led_requests(const unsigned long *requests, const int *lines, int count) {
    int fd = gpio_open();
    if (fd < 0) {
        printf("Error whilst opening /dev/gpio");
        return -1;
    }
    for (int i = 0; i < count; i++)
        gpio_ioctl(fd, requests[i], lines[i]);
    gpio_close(fd);
    return 0;
}

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

static speed_t speed_of(long bps) {
    static const struct {
        long bps;
        speed_t code;
    } speeds[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},     {9600, B9600},
                  {19200, B19200}, {38400, B38400},   {57600, B57600},   {115200, B115200},
                  {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto &s : speeds)
        if (s.bps == bps) return s.code;
    return B0;
}

void tty_setup(int fd) {
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    speed_t sp = speed_of(atol(save_speed));
    // an unknown speed leaves the line's speed as it is
    if (sp != B0) {
        cfsetispeed(&tio, sp);
        cfsetospeed(&tio, sp);
    }
    tcsetattr(fd, TCSAFLUSH, &tio);
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

// Step 12: the serial line, for RS232 and USB links.
static void open_serial_line(void) {
    if (strncmp(save_type_com, "BLUETOOTH", 9) == 0 || strncmp(save_type_com, "LAN", 3) == 0)
        return;
    int test = open(save_port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (test < 0) {
        fprintf(stderr, "\nPERIPH DE COM PAS PRET %s\n", strerror(errno));
        return;
    }
    close(test);
    fd_tty = open(save_port, O_RDWR | O_NOCTTY);
    if (fd_tty < 0) {
        fprintf(stderr, "\nPERIPH DE COM PAS PRET %s\n", strerror(errno));
        return;
    }
    printf("sve_port:%s\n", save_port);
    tty_setup(fd_tty);
    ttyUSB_open = 1;
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

    // 12
    open_serial_line();

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

void climbing_led_watch_dog(void) {
    if (!tim_verif_program_ms(CLIMBING_LED)) return;
    light_on_off++;
    tim_program_ms(&CLIMBING_LED, 1000);
    if (light_on_off % 2) {
        const unsigned long req[] = {GPIO_SET};
        const int lines[] = {LED_HEART};
        led_requests(req, lines, 1);
        return;
    }
    const unsigned long req[] = {GPIO_CLEAR};
    const int lines[] = {LED_HEART};
    led_requests(req, lines, 1);
    FILE *f = fopen(BOX_PATH("//home/KELDRAN/DATA/watch_dog"), "w");
    if (!f) {
        fprintf(stderr, "\nerreur d'écriture %s\n", strerror(errno));
        return;
    }
    fprintf(f, "%i", watch_dog);
    fclose(f);
}

void loop_pass(void) {
    pause_us(100);
    programme();
    if (tim_verif_program_ms(OFFFREQ)) {
        cpt_offfreq++;
        tim_program_ms(&OFFFREQ, 1000);
        watch_dog++;
    }
    climbing_led_watch_dog();
    fflush(stdout);
}

int testNetwork(void) {
    FILE *f = fopen(PATH_OFFLINE, "r");
    if (f) {
        if (led_green_status) {
            int fd = gpio_open();
            if (fd < 0) {
                printf("Error whilst opening /dev/gpio");
            } else {
                if (unlink(PATH_GREEN_LED_ON) != 0)
                    fprintf(stderr, "\nerreur d'effacement GREEN_LED_ON%s\n", strerror(errno));
                gpio_ioctl(fd, GPIO_SET, LED_GREEN);
                led_green_status = 0;
                fprintf(stderr, "\action d'éteindre la led verte \n");
                gpio_close(fd);
            }
        }
        fprintf(stderr, "\résultat du test de network offline file find \n");
        fclose(f);
        return -1;
    }
    int status = run_cmd("testNetwork.sh");
    fprintf(stderr, "\résultat du test de network %i\n", status);
    return status;
}

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
                run_cmd(cmd);
                run_cmd("hwclock -u -w");
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
        run_cmd("date \"2012-01-01 01:01:01\"");
        run_cmd("hwclock -u -w");
    }
    return result;
}
