// Factory provisioning program.
//
// Polls the production file once a second and serves at most one request per pass:
// the date and time request ("#002#" at 1) first, then the serial-number request
// ("#030#" a number from 2 to 199999 with "#031#" at 0), then the reboot request
// ("#032#" at 1). Each request is acknowledged by rewriting its state line, which is
// what keeps it from being served again; the program itself keeps nothing between
// passes. Lines are looked up and rewritten with the parameter-file unit of the
// concentrator, compiled into this program.
//
// Input is checked before it is acted on: a pass whose production file does not open
// serves nothing, a date that is not a day of the calendar or a time that does not
// have the expected digits never reaches the date command, and the box is rebooted
// only once the acknowledgement of the reboot request is stored (otherwise it would
// reboot again at every start). A serial number is acknowledged only once written into
// the board identity file; until then the request waits, tried again every pass and
// reported once.
#include "prod.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "file_param.h"
#include "plat.h"

char save_info[60];
char status_info;
char save_hour[60];
char save_serial[60];
int get_serial_number;
char state_serial;
char state_CONFIG;
char save_date[60];
char chaine[100];
char chaine2[100];
char chaine3[50];
char path_create_gieglan[60 + ROOTLEN];
int serial_reported;

// Positions of the digits of a blank-free date, day first: DD?MM?YYYY.
static const int date_digits[] = {0, 1, 3, 4, 6, 7, 8, 9};
#define DATE_LEN 10

static int is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Days of each month of a common year; February has 29 in a leap year.
static const int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

static int days_in_month(int month, int year) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : month_days[month - 1];
}

// Value of two digits at s, or -1 when they are not two digits.
static int two_digits(const char *s) {
    if (!is_digit(s[0]) || !is_digit(s[1])) return -1;
    return (s[0] - '0') * 10 + (s[1] - '0');
}

// Decimal value of a line's text as atoi reads it (leading blanks, sign, digits),
// held within the range of an int instead of overflowing.
static long number_of(const char *text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return v;
}

// A state line's value. A line without a number (absent, empty or blank) and a value
// that a char cannot hold are no state at all: an absent "#031#" is not taken for 0,
// nor 257 for 1.
static char state_of(const char *text) {
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p == '+' || *p == '-') p++;
    if (!is_digit(*p)) return STATE_NONE;
    long v = number_of(text);
    return v >= 0 && v < STATE_NONE ? (char)v : (char)STATE_NONE;
}

// Copies src into dst without its blanks, cut to the size of dst.
static void drop_blanks(const char *src, char *dst, size_t size) {
    size_t n = 0;
    for (; *src && n + 1 < size; src++)
        if (*src != ' ' && *src != '\t') dst[n++] = *src;
    dst[n] = 0;
}

// Builds chaine3 (year-month-day) from the blank-free date in chaine. 0 when the
// text is too short or does not hold a day of the calendar where it is read.
static int build_date(void) {
    if (strlen(chaine) < DATE_LEN) return 0;
    for (int pos : date_digits)
        if (!is_digit(chaine[pos])) return 0;
    int day = two_digits(chaine), month = two_digits(chaine + 3);
    int year = two_digits(chaine + 6) * 100 + two_digits(chaine + 8);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(month, year)) return 0;
    snprintf(chaine3, sizeof chaine3, "%.4s-%.2s-%.2s", chaine + 6, chaine + 3, chaine);
    return 1;
}

// 1 when t is a time of day h:mm, hh:mm, h:mm:ss or hh:mm:ss. Nothing else goes into
// the date command, which is a shell line.
static int time_ok(const char *t) {
    int h;
    const char *p;
    if (is_digit(t[0]) && is_digit(t[1])) {
        h = two_digits(t);
        p = t + 2;
    } else if (is_digit(t[0])) {
        h = t[0] - '0';
        p = t + 1;
    } else {
        return 0;
    }
    if (h > 23 || *p != ':') return 0;
    int m = two_digits(p + 1);
    if (m < 0 || m > 59) return 0;
    p += 3;
    if (*p == 0) return 1;
    if (*p != ':') return 0;
    int s = two_digits(p + 1);
    return s >= 0 && s <= 59 && p[3] == 0;
}

const char *write_information(const char *info, const char *title, const char *path) {
    // A path cut to the buffer would name another file: it is refused whole.
    if (snprintf(path_create_gieglan, sizeof path_create_gieglan, "%s", path) >=
        (int)sizeof path_create_gieglan) {
        fprintf(stderr, "\nFichier introuvable.%s\n", strerror(ENAMETOOLONG));
        return "";
    }
    char text[100];
    char line[110];
    snprintf(text, sizeof text, "%s%s", title, info);
    snprintf(line, sizeof line, "%-40s\n", text);
    int r = replace_line_in_file(path_create_gieglan, title, line);
    // A file that is there but cannot be written is reported by the caller, once.
    if (r == -1 && errno == ENOENT) fprintf(stderr, "\nFichier introuvable.%s\n", strerror(errno));
    return r == 0 ? "ok" : "";
}

// Copies the value of a tag of the production file into a buffer.
#define READ_PROD(buf, tag)                                                                        \
    snprintf(buf, sizeof buf, "%s", read_code_param_file(tag, PATH_PRODUCTION))

static int serve_date(void) {
    drop_blanks(read_code_param_file("#028#", PATH_PRODUCTION), chaine, sizeof chaine);
    snprintf(save_date, sizeof save_date, "%s", chaine);
    int date_ok = build_date();
    drop_blanks(read_code_param_file("#029#", PATH_PRODUCTION), chaine, sizeof chaine);
    snprintf(save_hour, sizeof save_hour, "%s", chaine);
    if (!date_ok || !time_ok(save_hour)) {
        // Left pending: the request is served once the file holds a usable date and time.
        fprintf(stderr, "\nDate ou heure invalide, demande non servie : [%s] [%s]\n", save_date,
                save_hour);
        return PASS_NONE;
    }

    FILE *f = fopen(PATH_PROD_MARKER, "w");
    if (!f)
        fprintf(stderr, "\nerreur d'écriture PROD %s\n", strerror(errno));
    else
        fclose(f);
    run_cmd("chmod 777 " BOX_PATH("/mnt/usbflash/PARAM_VARN.txt"));
    run_cmd("chmod 777 " BOX_PATH("/mnt/usbflash2/PARAM_VARN.txt"));

    printf("\n%s", chaine3);
    snprintf(save_date, sizeof save_date, "%s", chaine3);
    snprintf(chaine2, sizeof chaine2, "date -u \"%s %s\"", save_date, save_hour);
    run_cmd(chaine2);
    printf("\n%s", chaine2);
    run_cmd("hwclock -u -w");
    printf("\nhwclock -u -w envoyé au systeme");
    write_code_param_file("#002#", "4", PATH_PRODUCTION, 40);
    return PASS_DATE;
}

static int serve_serial(void) {
    snprintf(save_serial, sizeof save_serial, "\"%i\"", get_serial_number);
    const char *written = write_information(save_serial, TITLE_SERIAL, PATH_BOARD_ID);
    const int err = errno;
    if (strcmp(written, "ok") != 0 && access(PATH_BOARD_ID, F_OK) == 0) {
        // The file is there but did not take the line (a read-only file system, a
        // directory that takes no new file for a line of another length): not
        // acknowledged, tried again every pass, reported once per request.
        if (serial_reported != get_serial_number)
            fprintf(stderr, "\nnumero de serie %d non ecrit dans %s : %s, demande en attente\n",
                    get_serial_number, PATH_BOARD_ID, strerror(err));
        serial_reported = get_serial_number;
        return PASS_NONE;
    }
    serial_reported = 0;
    // Acknowledged also when the board identity file is missing: the request is not
    // retried once a second for a file that nobody will create.
    write_code_param_file("#031#", "1", PATH_PRODUCTION, 40);
    printf("\necriture serial_number envoyé au systeme");
    return PASS_SERIAL;
}

static int serve_reboot(void) {
    if (strcmp(write_code_param_file("#032#", "2", PATH_PRODUCTION, 10), "ok") != 0) {
        fprintf(stderr, "\nredemarrage annule : etat #032# non enregistre\n");
        return PASS_NONE;
    }
    fflush(stdout);
    pause_us(3000000);
    run_cmd("reboot");
    return PASS_REBOOT;
}

int prod_pass(void) {
    // A file that does not open serves nothing: no lookup result stands for a request.
    FILE *f = fopen(PATH_PRODUCTION, "r");
    if (!f) {
        fprintf(stderr, "\nFichier introuvable.\n");
        return PASS_NONE;
    }
    fclose(f);

    READ_PROD(save_info, "#002#");
    status_info = state_of(save_info);
    READ_PROD(save_serial, "#030#");
    get_serial_number = (int)number_of(save_serial);
    READ_PROD(save_info, "#031#");
    state_serial = state_of(save_info);
    READ_PROD(save_info, "#032#");
    state_CONFIG = state_of(save_info);

    if (status_info == 1) return serve_date();
    if (get_serial_number > SERIAL_MIN && get_serial_number <= SERIAL_MAX && state_serial == 0)
        return serve_serial();
    if (state_CONFIG == 1) return serve_reboot();
    return PASS_NONE;
}
