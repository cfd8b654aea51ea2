// ASA order reader.
//
// One text file per vehicle in the ASA order directory of the share (the caller builds
// it: "ASA" under the share, or under the station's sub-directory). Values stand between
// an opening tag and the next '<': the plate after "<REGISTRATION>", the fuel code after
// "<FUEL1>", each anywhere on a line (several tags may share one line); a later line
// with the same tag replaces the earlier value. The file is read once per tag, and each
// value found is printed. Every reading rebuilds SI from the files present; orders are
// keyed by their plate (cut to 10 characters), as OTCLAN orders are.
//
// A file without a plate (or that does not open) gives no order, and its entry never
// keeps the previous file's plate or fuel. At most NBPLAQUEMAX orders are stored,
// beyond them only the order of a vehicle in flight (keep_order_in_flight); a plate is
// cut to 11 characters, a fuel code to 3. A file the share does not let be read keeps
// its order of the last reading, and a reading the share cuts short leaves SI as it was
// (the readers' shared steps). Only regular files are read (open_order_file);
// control bytes in a value become blanks.
#include "fgivfa.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "dat.h"

char tabsrc_asa[MAXFILES][20];
char pathsrc_asa[400 + ROOTLEN];
char readbuf_asa[MAXSIZELINE];
char tag_asa[25];
int tagsize_asa;
char readbuftag_asa[MAXSIZELINE];
int nfsrc_asa;

// One pass over the file for tag_asa; the value of the last line holding the tag is
// left in readbuftag_asa (empty when none). ORDER_UNREADABLE when the share did not let
// the file be read whole, else 0.
static int read_tag(const char *path) {
    readbuftag_asa[0] = 0;
    bool skip;
    FILE *f = open_order_file(path, &skip);
    if (!f) {
        if (skip) return 0;
        fprintf(stderr, "\nFichier introuvable.%s\n", strerror(errno));
        return order_open_failed(path);
    }
    while (read_order_line(f, readbuf_asa, sizeof readbuf_asa, nullptr)) {
        const char *p = tagsize_asa > 0 ? strstr(readbuf_asa, tag_asa) : nullptr;
        if (!p) continue;
        p += tagsize_asa;
        size_t n = strcspn(p, "<");
        size_t body = line_body_len(p);
        snprintf(readbuftag_asa, sizeof readbuftag_asa, "%.*s", (int)(n < body ? n : body), p);
        blank_controls(readbuftag_asa);
    }
    const bool cut = ferror(f);
    fclose(f);
    if (cut) return order_read_failed(path);
    printf("\nDonnee a l'interieur du tag %s : %s", tag_asa, readbuftag_asa);
    return 0;
}

static void set_tag(char **ptinfo, int i) {
    snprintf(tag_asa, sizeof tag_asa, "%s", ptinfo && ptinfo[i] ? ptinfo[i] : "");
    tagsize_asa = (int)strlen(tag_asa);
}

int fct_get_info_vehicule_file_asa(const char *dir_asa, char **ptinfo) {
    nfsrc_asa = 0;
    DIR *dir = opendir(dir_asa);
    if (!dir) return reading_dir_failed(dir_asa);
    reading_begin(dir_asa);

    int err = 0;
    while (struct dirent *de = reading_next(dir, &err)) {
        const char *name = de->d_name;
        if (name[0] == '.') continue;
        nfsrc_asa++;
        if (nfsrc_asa <= MAXFILES)
            snprintf(tabsrc_asa[nfsrc_asa - 1], sizeof tabsrc_asa[0], "%s", name);
        printf("\nDossier source : %s", name);
        if (!order_path(pathsrc_asa, sizeof pathsrc_asa, dir_asa, name)) continue;
        SaveInfo *o = reading_entry();
        set_tag(ptinfo, 0);
        if (read_tag(pathsrc_asa) == ORDER_UNREADABLE) {
            reading_keep(name);
            continue;
        }
        if (readbuftag_asa[strspn(readbuftag_asa, " ")] == 0) continue; // no plate
        snprintf(o->plaqueinfo, sizeof o->plaqueinfo, "%s", readbuftag_asa);
        snprintf(o->cle, 11, "%-10s", readbuftag_asa);
        set_tag(ptinfo, 1);
        if (read_tag(pathsrc_asa) == ORDER_UNREADABLE) {
            reading_keep(name);
            continue;
        }
        snprintf(o->carburantinfo, sizeof o->carburantinfo, "%s", readbuftag_asa);
        snprintf(o->fichier, sizeof o->fichier, "%.*s", (int)strcspn(name, "."), name);
        snprintf(o->nomfichier, sizeof o->nomfichier, "%s", name);
        reading_add(o);
    }
    const int outcome = reading_end(dir, err);

    for (int i = 0; outcome == READING_DONE && i < Cpt_plaque; i++) {
        printf("\nDonnee dans structure : %s", SI[i].plaqueinfo);
        printf("\nDonnee dans structure : %s", SI[i].carburantinfo);
    }
    return outcome;
}
