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
// cut to 11 characters, a fuel code to 3. Only regular files are read (open_order_file);
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
// left in readbuftag_asa (empty when none).
static void read_tag(const char *path) {
    readbuftag_asa[0] = 0;
    bool skip;
    FILE *f = open_order_file(path, &skip);
    if (!f) {
        if (!skip) fprintf(stderr, "\nFichier introuvable.%s\n", strerror(errno));
        return;
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
    fclose(f);
    printf("\nDonnee a l'interieur du tag %s : %s", tag_asa, readbuftag_asa);
}

static void set_tag(char **ptinfo, int i) {
    snprintf(tag_asa, sizeof tag_asa, "%s", ptinfo && ptinfo[i] ? ptinfo[i] : "");
    tagsize_asa = (int)strlen(tag_asa);
}

void fct_get_info_vehicule_file_asa(const char *dir_asa, char **ptinfo) {
    nfsrc_asa = 0;
    Cpt_plaque = 0;
    DIR *dir = opendir(dir_asa);
    if (!dir) {
        fprintf(stderr, "Le dossier %s est introuvable", dir_asa);
        return;
    }
    memset(SI, 0, sizeof SI);

    struct dirent *de;
    while ((de = readdir(dir)) != nullptr) {
        const char *name = de->d_name;
        if (name[0] == '.') continue;
        nfsrc_asa++;
        bool full = Cpt_plaque >= NBPLAQUEMAX;
        if (!full) snprintf(tabsrc_asa[Cpt_plaque], sizeof tabsrc_asa[0], "%s", name);
        printf("\nDossier source : %s", name);
        if (!order_path(pathsrc_asa, sizeof pathsrc_asa, dir_asa, name)) continue;
        static SaveInfo beyond; // an order read while the table is full
        SaveInfo *o = full ? &beyond : &SI[Cpt_plaque];
        if (full) memset(o, 0, sizeof *o);
        set_tag(ptinfo, 0);
        read_tag(pathsrc_asa);
        if (readbuftag_asa[strspn(readbuftag_asa, " ")] == 0) continue; // no plate
        snprintf(o->plaqueinfo, sizeof o->plaqueinfo, "%s", readbuftag_asa);
        snprintf(o->cle, 11, "%-10s", readbuftag_asa);
        set_tag(ptinfo, 1);
        read_tag(pathsrc_asa);
        snprintf(o->carburantinfo, sizeof o->carburantinfo, "%s", readbuftag_asa);
        snprintf(o->fichier, sizeof o->fichier, "%.*s", (int)strcspn(name, "."), name);
        if (!full)
            Cpt_plaque++;
        else
            keep_order_in_flight(o);
    }
    closedir(dir);

    for (int i = 0; i < Cpt_plaque; i++) {
        printf("\nDonnee dans structure : %s", SI[i].plaqueinfo);
        printf("\nDonnee dans structure : %s", SI[i].carburantinfo);
    }
}
