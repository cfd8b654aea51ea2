// GIEGLAN and OTCLAN order reader.
//
// Every reading rebuilds the order table SI from nothing out of the order files present
// in one directory of the share: GIEGLAN "CG" files (key from the file name, data lines
// filtered by code unless the maker is SPX) or OTCLAN ".CI" files (validated field by
// field and by their SHA-1 fingerprint first, data lines converted to GIEGLAN lines;
// an OTCLAN file holds exactly one plate line and one fingerprint line, and what follows
// the fingerprint, which it does not cover, is never given to the equipment).
// A file that yields no plate, or an OTCLAN file with any fault, is left out. The
// reading tells whether the directory opened; the green LED and its GREEN_LED_ON marker
// follow it (green_led_follow, in the loop's process).
//
// A failed reading is not an absence. The share is a network mount: a directory or a
// file may fail to open or to be read (the PC holds the file open, an I/O error, a time
// out). Only "no such file" means the order is not there. A reading builds its table
// apart and makes it SI once the directory has been listed whole; a listing cut short
// leaves SI as the last good reading left it. An order file that the share does not let
// be read keeps its entry of the last reading, and is read again at the next one. So an
// order leaves SI only after a whole reading that no longer lists it.
//
// Bounds: at most NBPLAQUEMAX orders are stored; beyond them an order is kept only when
// its vehicle is in flight, in place of one still waiting for a slot (so that a full
// directory never has a vehicle withdrawn whose order is still there); a name
// longer than 19 characters is read by its full name (only its row in tabsrc_gieglan is
// cut); a plate is cut to 11 characters; a stored data line keeps its code and as much
// of its value as fits SIZELIGNEFICHIERID with its CR LF; an OTCLAN file whose text up
// to its fingerprint does not fit imageFichier is refused.
//
// Only regular files are orders: anything else in the directory is passed over, judged
// on the descriptor of a non-blocking open. Control bytes in a key, a plate or a value
// become blanks.
#include "fgivfgl.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cryOTC.h"
#include "dat.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "heartbeat.h"

#define PATH_GREEN_LED_ON BOX_PATH("//home/KELDRAN/DATA/GREEN_LED_ON")

int nfsrc_gieglan;
char tabsrc_gieglan[MAXFILES][20];
char pathsrc_gieglan[400 + ROOTLEN];
char readbuf_gieglan[MAXSIZELINE];
char tag_gieglan[25];
int tagsize_gieglan;
char tag_gieglan2[25];
char readbuftag_gieglan[MAXSIZELINE];
char buf_convGieglan[MAXSIZELINE];

// Codes of a GIEGLAN order given to the equipment of makers other than SPX.
static const char *const kept_codes[] = {"0200", "0203", "0204", "0205", "0206"};

// Field checks of an OTCLAN order: the value's length must lie in [min, max] and pass
// the format check.
enum FieldCheck { F_ASCII, F_ASCII2, F_LETTRE2, F_NUMBER, F_DATE, F_CHOICE };
struct OtcField {
    const char *tag;     // "C001=" ...
    int min, max;        // accepted value lengths
    FieldCheck check;    // format check
    int decimals;        // F_NUMBER: decimals required
    const char *choices; // F_CHOICE: the accepted one-letter values
};
static const OtcField otc_fields[] = {
    {"C001=", 1, 11, F_ASCII, 0, nullptr},  {"C002=", 8, 8, F_DATE, 0, nullptr},
    {"C003=", 0, 2, F_LETTRE2, 0, nullptr}, {"C004=", 0, 1, F_CHOICE, 0, "AT"},
    {"C005=", 0, 1, F_CHOICE, 0, "ON"},     {"C006=", 0, 50, F_ASCII, 0, nullptr},
    {"C007=", 0, 30, F_ASCII, 0, nullptr},  {"C008=", 0, 80, F_ASCII, 0, nullptr},
    {"C009=", 0, 6, F_NUMBER, 0, nullptr},  {"C010=", 0, 3, F_NUMBER, 0, nullptr},
    {"C011=", 0, 4, F_ASCII, 0, nullptr},   {"C012=", 14, 14, F_DATE, 0, nullptr},
    {"C013=", 0, 5, F_NUMBER, 2, nullptr},  {"C014=", 0, 15, F_ASCII2, 0, nullptr},
    {"C015=", 0, 7, F_NUMBER, 1, nullptr},  {"C016=", 0, 6, F_NUMBER, 0, nullptr},
    {"C017=", 0, 25, F_ASCII2, 0, nullptr}, {"C018=", 0, 5, F_NUMBER, 0, nullptr},
    {"C019=", 0, 1, F_CHOICE, 0, "ON"},
};

// Conversion of OTCLAN order lines to GIEGLAN lines: value cut to len, then the target
// code for SPX makers or for the others ("" = not kept); with opa, the other makers'
// code is kept only when orders get the opacimeter check (TestOpaPourCI).
struct OtcConv {
    const char *tag;
    int len;
    const char *spx;
    const char *other;
    bool opa;
};
static const OtcConv otc_conv[] = {
    {"C001=", 11, "7200", "0200", false}, {"C002=", 8, "0203", "0203", false},
    {"C003=", 2, "7204", "0204", false},  {"C004=", 1, "7205", "0205", false},
    {"C005=", 1, "7206", "0206", false},  {"C006=", 50, "7213", "", false},
    {"C007=", 30, "7214", "", false},     {"C009=", 6, "7271", "", false},
    {"C010=", 3, "7272", "", false},      {"C011=", 4, "0212", "", false},
    {"C012=", 14, "7273", "", false},     {"C013=", 5, "7274", "7905", true},
    {"C014=", 15, "7275", "", false},     {"C015=", 7, "7276", "", false},
    {"C016=", 6, "7277", "", false},      {"C017=", 25, "7278", "7909", true},
    {"C018=", 5, "7279", "", false},      {"C019=", 1, "7280", "7911", true},
};

static bool starts(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

static bool maker_spx(void) {
    return strncmp(save_client, "SPX", 3) == 0;
}

size_t line_body_len(const char *line) {
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        n--;
    return n;
}

// Copies the value of a "tag=value" line (from its sixth character, without the line
// end) into dst.
static void field_value(const char *line, char *dst, size_t size) {
    size_t n = line_body_len(line);
    size_t from = n > 5 ? 5 : n;
    snprintf(dst, size, "%.*s", (int)(n - from), line + from);
}

int CheckCodeUtile(const char *chaine) {
    for (const char *code : kept_codes)
        if (strncmp(chaine, code, 4) == 0) return 0;
    return 1;
}

int convDataCItoCG(const char *chaine, char *dest) {
    for (const OtcConv &c : otc_conv) {
        if (!starts(chaine, c.tag)) continue;
        const char *code = maker_spx() ? c.spx : c.other;
        if (!maker_spx() && c.opa && TestOpaPourCI == 0) code = "";
        if (code[0] == 0) return 1;
        char value[MAXSIZELINE];
        field_value(chaine, value, sizeof value);
        snprintf(dest, SIZELIGNEFICHIERID, "%s=%.*s\r\n", code, c.len, value);
        return 0;
    }
    return 1;
}

bool read_order_line(FILE *f, char *buf, int size, void (*image)(const char *piece)) {
    // The line ends at LF only, whatever it holds: a NUL byte, which ends the text of the
    // line, must not make the next line look like the rest of this one.
    char rest[MAXSIZELINE];
    int n = 0, r = 0, c = EOF;
    bool whole = true; // the line fits buf, which has not gone to image yet
    while ((c = getc(f)) != EOF) {
        if (n < size - 1) {
            buf[n++] = (char)c;
        } else {
            if (whole) {
                buf[n] = 0;
                if (image) image(buf);
                whole = false;
            }
            rest[r++] = (char)c;
            if (r == (int)sizeof rest - 1) {
                rest[r] = 0;
                if (image) image(rest);
                r = 0;
            }
        }
        if (c == '\n') break;
    }
    buf[n] = 0;
    if (n == 0 && c == EOF) return false;
    rest[r] = 0;
    if (image && (whole || r > 0)) image(whole ? buf : rest);
    return true;
}

bool order_path(char *dst, size_t size, const char *dir, const char *name) {
    size_t d = strlen(dir);
    const char *sep = d > 0 && dir[d - 1] == '/' ? "" : "/";
    int n = snprintf(dst, size, "%s%s%s", dir, sep, name);
    if (n >= 0 && (size_t)n < size) return true;
    fprintf(stderr, "\n%s%s%s introuvable1.%s\n", dir, sep, name, strerror(ENAMETOOLONG));
    return false;
}

FILE *open_order_file(const char *path, bool *skip) {
    *skip = false;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *skip = true;
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (!f) close(fd);
    return f;
}

void blank_controls(char *text) {
    size_t n = line_body_len(text);
    for (size_t k = 0; k < n; k++)
        if ((unsigned char)text[k] < 0x20) text[k] = ' ';
}

static bool next_line(FILE *f, void (*image)(const char *chunk)) {
    return read_order_line(f, readbuf_gieglan, sizeof readbuf_gieglan, image);
}

// The OTCLAN file image: the file's text up to its fingerprint line.
static size_t image_len;
static bool image_open;     // still collecting (the fingerprint line not reached)
static bool image_overflow; // the text did not fit imageFichier

static void image_append(const char *chunk) {
    if (!image_open) return;
    size_t n = strlen(chunk);
    if (image_len + n >= sizeof imageFichier) {
        image_overflow = true;
        image_open = false;
        return;
    }
    memcpy(imageFichier + image_len, chunk, n + 1);
    image_len += n;
}

// The fingerprint line is not part of the image itself: only its tag is (appended when
// the line is met). Chunks are whole lines, or the pieces of a line too long for the
// line buffer.
static bool image_line_start; // the next chunk begins a line
static bool image_skipping;   // the chunks of the fingerprint line are not taken

static void image_append_line(const char *chunk) {
    size_t n = strlen(chunk);
    bool first = image_line_start;
    image_line_start = n > 0 && chunk[n - 1] == '\n';
    if (first) image_skipping = starts(chunk, "EMPREINTE=");
    if (!image_skipping) image_append(chunk);
}

static int field_format_bad(const OtcField &fd, const char *value) {
    switch (fd.check) {
    case F_ASCII:
        return check_ascii(value);
    case F_ASCII2:
        return check_AsciiV2(value);
    case F_LETTRE2:
        return check_lettreV2(value);
    case F_NUMBER:
        return check_Number(value, fd.decimals);
    case F_DATE:
        return check_date(value);
    case F_CHOICE:
        return !(strlen(value) == 1 && strchr(fd.choices, value[0]));
    }
    return 1;
}

// Validates one OTCLAN order file; 0 when it may be read, 1 when it is refused (or is no
// regular file, or is not there), ORDER_UNREADABLE when the share did not let it be read
// whole. Every fault is reported, the checks go on to the end of the file.
static int otclan_refused(const char *name, const char *path) {
    int refused = 0;
    if (check_ascii(name)) {
        fprintf(stderr, "%s: Nom du fichier KO!!\n", name);
        refused = 1;
    }
    bool skip;
    FILE *f = open_order_file(path, &skip);
    if (!f) return skip ? 1 : order_open_failed(path);
    imageFichier[0] = 0;
    image_len = 0;
    image_open = true;
    image_overflow = false;
    image_line_start = true;
    image_skipping = false;
    int plates = 0, fingerprints = 0;
    bool uncovered = false; // a line the fingerprint does not cover (past its line)
    char value[MAXSIZELINE];
    while (next_line(f, image_append_line)) {
        const char *line = readbuf_gieglan;
        if (fingerprints > 0 && line[0] != '[' && line_body_len(line) > 0) uncovered = true;
        if (starts(line, "C001=")) plates++;
        if (starts(line, "EMPREINTE=")) {
            fingerprints++;
            if (!image_open) continue; // a second fingerprint, or the image overflowed
            image_append("EMPREINTE=");
            image_open = false;
            if (image_overflow) continue;
            char hash[41];
            CalSha1(imageFichier, hash);
            if (strncmp(hash, line + 10, 40) != 0) {
                fprintf(stderr, "%s: EMPREINTE KO!!\n", name);
                refused = 1;
            }
            continue;
        }
        for (const OtcField &fd : otc_fields) {
            if (!starts(line, fd.tag)) continue;
            field_value(line, value, sizeof value);
            int len = (int)strlen(value);
            if (len < fd.min || len > fd.max) {
                fprintf(stderr, "%s: Taille %.4s KO!!\n", name, fd.tag);
                refused = 1;
            }
            if (field_format_bad(fd, value)) {
                fprintf(stderr, "%s: Format %.4s KO!!\n", name, fd.tag);
                refused = 1;
            }
            break;
        }
    }
    const bool cut = ferror(f);
    fclose(f);
    if (cut) return order_read_failed(path);
    if (image_overflow) {
        fprintf(stderr, "%s: Taille fichier KO!!\n", name);
        refused = 1;
    }
    // One plate and one fingerprint: two plate lines must not stand in for the fingerprint.
    if (plates != 1 || fingerprints != 1) {
        fprintf(stderr, "%s: Balise obligatoire KO!! %d\n", name, plates + fingerprints);
        refused = 1;
    }
    if (uncovered) fprintf(stderr, "%s: lignes apres EMPREINTE ignorees\n", name);
    return refused;
}

// Stores one data line in the order, with its line end as CR LF; a line too long for
// the order's row keeps its beginning.
static void store_line(SaveInfo *o, int row, const char *line) {
    int room = SIZELIGNEFICHIERID - 3;
    size_t n = line_body_len(line);
    snprintf(o->autreinfo[row], SIZELIGNEFICHIERID, "%.*s\r\n", (int)(n < (size_t)room ? n : room),
             line);
}

// Reads one order file into o; 1 when it yielded a plate, 0 when it gives no order,
// ORDER_UNREADABLE when the share did not let it be read whole.
static int read_order(SaveInfo *o, const char *name, const char *path, bool otclan) {
    bool skip;
    FILE *f = open_order_file(path, &skip);
    if (!f) return skip ? 0 : order_open_failed(path);
    memset(o, 0, sizeof *o);
    snprintf(o->fichier, sizeof o->fichier, "%.*s", (int)strcspn(name, "."), name);
    snprintf(o->nomfichier, sizeof o->nomfichier, "%s", name);
    if (!otclan) snprintf(o->cle, 11, "%s", name);
    o->cle[strcspn(o->cle, ".")] = 0;

    bool spx = maker_spx(), found = false, crc = false;
    int stored = 0;
    while (next_line(f, nullptr)) {
        const char *line = readbuf_gieglan;
        // What follows the fingerprint is not covered by it: never given to the equipment.
        if (otclan && starts(line, "EMPREINTE=")) break;
        if (!crc && stored < NBCODEFICHIERID) {
            if (line[0] == '[') {
                if (starts(line, "[CRC]")) crc = true;
            } else if (otclan) {
                if (convDataCItoCG(line, buf_convGieglan) == 0)
                    snprintf(o->autreinfo[stored++], SIZELIGNEFICHIERID, "%s", buf_convGieglan);
            } else if (spx || CheckCodeUtile(line) == 0) {
                store_line(o, stored++, line);
            }
        }
        if (!found && starts(line, tag_gieglan)) {
            found = true;
            const char *p = line + tagsize_gieglan;
            snprintf(readbuftag_gieglan, sizeof readbuftag_gieglan, "%.*s", (int)line_body_len(p),
                     p);
            if (otclan) {
                snprintf(o->plaqueinfo, sizeof o->plaqueinfo, "%-11s", readbuftag_gieglan);
                snprintf(o->cle, 11, "%-11s", readbuftag_gieglan);
            } else {
                snprintf(o->plaqueinfo, sizeof o->plaqueinfo, "%-10s", readbuftag_gieglan);
            }
        }
    }
    const bool cut = ferror(f);
    fclose(f);
    if (cut || !found) {
        memset(o, 0, sizeof *o);
        return cut ? order_read_failed(path) : 0;
    }
    blank_controls(o->cle);
    blank_controls(o->plaqueinfo);
    for (char *line : o->autreinfo)
        blank_controls(line);
    return 1;
}

static bool in_flight(const char *plate) {
    for (const vehicule &v : voiture)
        if (v.plaque[0] && strcmp(v.plaque, plate) == 0) return true;
    return false;
}

// The table a reading builds, made SI once the directory has been read whole.
static SaveInfo fresh[NBPLAQUEMAX];
static int fresh_n;
static SaveInfo beyond; // an order read while the table is full
static const char *reading_dir;

static bool in_table(const char *plate) {
    for (int i = 0; i < fresh_n; i++)
        if (strcmp(fresh[i].plaqueinfo, plate) == 0) return true;
    return false;
}

bool keep_order_in_flight(const SaveInfo *o) {
    if (in_flight(o->plaqueinfo) && !in_table(o->plaqueinfo)) {
        for (int i = NBPLAQUEMAX - 1; i >= 0; i--) {
            if (!in_flight(fresh[i].plaqueinfo)) {
                fprintf(stderr, "\nTable des ordres pleine: %s ignore\n", fresh[i].fichier);
                fresh[i] = *o;
                return true;
            }
        }
    }
    fprintf(stderr, "\nTable des ordres pleine: %s ignore\n", o->fichier);
    return false;
}

int order_dir_open;

int order_open_failed(const char *path) {
    const int err = errno;
    fprintf(stderr, "\n%s introuvable1.%s\n", path, strerror(err));
    return err == ENOENT ? 0 : ORDER_UNREADABLE;
}

int order_read_failed(const char *path) {
    fprintf(stderr, "\n%s illisible.%s\n", path, strerror(errno ? errno : EIO));
    return ORDER_UNREADABLE;
}

int reading_dir_failed(const char *dir) {
    const int err = errno;
    fprintf(stderr, "Le dossier %s est introuvable", dir);
    order_dir_open = 0;
    if (err != ENOENT) {
        fprintf(stderr, "\nLecture des ordres impossible (%s): ordres de la derniere lecture gardes\n",
                strerror(err));
        return READING_FAILED;
    }
    Cpt_plaque = 0; // no such directory: no order
    memset(SI, 0, sizeof SI);
    return READING_DONE;
}

void reading_begin(const char *dir) {
    order_dir_open = 1;
    reading_dir = dir;
    fresh_n = 0;
    memset(fresh, 0, sizeof fresh);
}

SaveInfo *reading_entry(void) {
    SaveInfo *o = fresh_n < NBPLAQUEMAX ? &fresh[fresh_n] : &beyond;
    memset(o, 0, sizeof *o);
    return o;
}

void reading_add(const SaveInfo *o) {
    if (o == &fresh[fresh_n] && fresh_n < NBPLAQUEMAX)
        fresh_n++;
    else
        keep_order_in_flight(o);
}

void reading_keep(const char *name) {
    for (int i = 0; i < Cpt_plaque && i < NBPLAQUEMAX; i++) {
        if (strcmp(SI[i].nomfichier, name) != 0) continue;
        fprintf(stderr, "\nOrdre %s garde tel qu'a la derniere lecture\n", name);
        SaveInfo *o = reading_entry();
        *o = SI[i];
        reading_add(o);
        return;
    }
}

int reading_end(DIR *dir, int err) {
    closedir(dir);
    if (err) {
        fprintf(stderr, "\nLecture du dossier %s interrompue (%s): ordres de la derniere lecture gardes\n",
                reading_dir, strerror(err));
        return READING_FAILED;
    }
    memcpy(SI, fresh, sizeof SI);
    Cpt_plaque = fresh_n;
    return READING_DONE;
}

struct dirent *reading_next(DIR *dir, int *err) {
    errno = 0;
    struct dirent *de = readdir(dir);
    if (!de) *err = errno;
    return de;
}

// The green LED and its marker follow the order directory: lit while it opens.
static void green_led_off(void) {
    if (!led_green_status) return;
    printf("\nPAS CONNEXION");
    int fd = gpio_open();
    if (fd < 0) {
        printf("Error whilst opening /dev/gpio");
        return;
    }
    printf("\nPAS CONNEXION");
    if (unlink(PATH_GREEN_LED_ON) != 0)
        fprintf(stderr, "\nerreur d'effacement GREEN_LED_ON%s\n", strerror(errno));
    gpio_ioctl(fd, GPIO_SET, LED_GREEN);
    led_green_status = 0;
    gpio_close(fd);
}

static void green_led_on(void) {
    if (led_green_status) return;
    int fd = gpio_open();
    if (fd < 0) {
        printf("Error whilst opening /dev/gpio");
        return;
    }
    printf("\nCONNEXION");
    FILE *m = fopen(PATH_GREEN_LED_ON, "w");
    if (!m)
        fprintf(stderr, "\nerreur d'écriture GREEN LED ON %s\n", strerror(errno));
    else
        fclose(m);
    gpio_ioctl(fd, GPIO_CLEAR, LED_GREEN);
    led_green_status = 1;
    gpio_close(fd);
}

void green_led_follow(int open) {
    if (open)
        green_led_on();
    else
        green_led_off();
}

int fct_get_info_vehicule_file_gieglan_OTCLAN(const char *dir_gieglan, char **ptinfo,
                                              const char *protocol) {
    nfsrc_gieglan = 0;
    DIR *dir = opendir(dir_gieglan);
    if (!dir) return reading_dir_failed(dir_gieglan);
    reading_begin(dir_gieglan);

    snprintf(tag_gieglan, sizeof tag_gieglan, "%s", ptinfo && ptinfo[0] ? ptinfo[0] : "");
    snprintf(tag_gieglan2, sizeof tag_gieglan2, "%s", ptinfo && ptinfo[1] ? ptinfo[1] : "");
    tagsize_gieglan = (int)strlen(tag_gieglan);
    bool otclan = strcmp(protocol, "OTCLAN") == 0;

    int err = 0;
    while (struct dirent *de = reading_next(dir, &err)) {
        const char *name = de->d_name;
        if (name[0] == '.') continue;
        nfsrc_gieglan++;
        size_t len = strlen(name);
        if (otclan && (len < 3 || strcmp(name + len - 3, ".CI") != 0)) continue;
        if (fresh_n < NBPLAQUEMAX)
            snprintf(tabsrc_gieglan[fresh_n], sizeof tabsrc_gieglan[0], "%s", name);
        if (!order_path(pathsrc_gieglan, sizeof pathsrc_gieglan, dir_gieglan, name)) continue;
        int r = otclan ? otclan_refused(name, pathsrc_gieglan) : 0;
        SaveInfo *o = reading_entry();
        if (r == 0) r = read_order(o, name, pathsrc_gieglan, otclan);
        else if (r == 1) r = 0;
        if (r == ORDER_UNREADABLE)
            reading_keep(name);
        else if (r == 1)
            reading_add(o);
    }
    return reading_end(dir, err);
}
