// BNET order reader.
//
// The PC drops one text file per vehicle into DataExchange/Orderlisting under the BNET
// base directory; the only thing the box takes from it is the plate, on the first line
// that begins with the plate tag ("Plate="). Every reading rebuilds SI from the files
// present. BNET orders carry no key of their own, so each is keyed by its plate (cut to
// 10 characters, as OTCLAN orders are): the equipment then tells the vehicles apart and
// returns each result under its own key.
//
// A file without a plate (no tag, an empty value, or a file that does not open) gives no
// order: a vehicle without a plate can be neither sent to the equipment nor named in a
// result file, and its entry must not keep the previous file's plate. At most
// NBPLAQUEMAX orders are stored, beyond them only the order of a vehicle in flight
// (keep_order_in_flight); a plate is cut to 11
// characters; a file the share does not let be read keeps its order of the last reading
// and a reading the share cuts short leaves SI as it was (the readers' shared steps); a carriage return before the line feed is not part of the plate, and other
// control bytes in it become blanks. Only regular files are read (open_order_file).
#include "fgivfbnet.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "dat.h"

char tabsrc_bnet[MAXFILES][20];
char pathsrc_bnet[400 + ROOTLEN];
char readbuf_bnet[MAXSIZELINE];
char tag_bnet[25];
int tagsize_bnet;
char readbuftag_bnet[MAXSIZELINE];
int nfsrc_bnet;

// Looks for the plate in one file; 1 with the plate in readbuftag_bnet, 0 when the file
// gives none, ORDER_UNREADABLE when the share did not let it be read whole.
static int read_plate(const char *path) {
    bool skip;
    FILE *f = open_order_file(path, &skip);
    if (!f) {
        if (skip) return 0;
        fprintf(stderr, "\nFichier introuvable.\n");
        return order_open_failed(path);
    }
    bool found = false;
    while (!found && read_order_line(f, readbuf_bnet, sizeof readbuf_bnet, nullptr)) {
        if (strncmp(readbuf_bnet, tag_bnet, tagsize_bnet) != 0) continue;
        const char *p = readbuf_bnet + tagsize_bnet;
        snprintf(readbuftag_bnet, sizeof readbuftag_bnet, "%.*s", (int)line_body_len(p), p);
        blank_controls(readbuftag_bnet);
        printf("\nDonnee a l'interieur du tag %s : %s", tag_bnet, readbuftag_bnet);
        found = readbuftag_bnet[strspn(readbuftag_bnet, " ")] != 0;
    }
    const bool cut = !found && ferror(f);
    fclose(f);
    if (cut) return order_read_failed(path);
    return found ? 1 : 0;
}

int fct_get_info_vehicule_file_bnet(const char *dir_bnet, char **ptinfo) {
    nfsrc_bnet = 0;
    DIR *dir = opendir(dir_bnet);
    if (!dir) return reading_dir_failed(dir_bnet);
    reading_begin(dir_bnet);
    snprintf(tag_bnet, sizeof tag_bnet, "%s", ptinfo && ptinfo[0] ? ptinfo[0] : "");
    tagsize_bnet = (int)strlen(tag_bnet);

    int err = 0;
    while (struct dirent *de = reading_next(dir, &err)) {
        const char *name = de->d_name;
        if (name[0] == '.') continue;
        nfsrc_bnet++;
        if (nfsrc_bnet <= MAXFILES)
            snprintf(tabsrc_bnet[nfsrc_bnet - 1], sizeof tabsrc_bnet[0], "%s", name);
        printf("\nDossier source : %s", name);
        if (!order_path(pathsrc_bnet, sizeof pathsrc_bnet, dir_bnet, name)) continue;
        const int r = read_plate(pathsrc_bnet);
        if (r == ORDER_UNREADABLE) reading_keep(name);
        if (r != 1) continue;
        SaveInfo *o = reading_entry();
        snprintf(o->plaqueinfo, sizeof o->plaqueinfo, "%-10s", readbuftag_bnet);
        snprintf(o->cle, 11, "%-10s", readbuftag_bnet);
        snprintf(o->fichier, sizeof o->fichier, "%.*s", (int)strcspn(name, "."), name);
        snprintf(o->nomfichier, sizeof o->nomfichier, "%s", name);
        reading_add(o);
    }
    return reading_end(dir, err);
}
