// OTCLAN result file. For a finished vehicle the measures of SM (already cut and named by
// the separation) are sorted into one list per kind of test, and one file per kind is
// written, with its copy in the local directory log/RES: the identification of the
// instrument that made the test (lines 01 to 12, each validated, taken from its SIHC
// row), the measures under their OTCLAN names, the SHA-1 fingerprint and the RC4 condensate of the text. An
// image of the text is kept beside the file for the seals. Every failed check leaves an
// error code; a file with an error is kept locally as ".err" instead of being delivered.
// The file goes to the outbox with its share path, its order-file path and its local
// path, and the outbox applies the delivery rules when it leaves (offline, order gone,
// error), with plain file operations: the names come from order files on the share and
// never reach a shell.
#include "fcfotclan.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "cryOTC.h"
#include "dat.h"
#include "file_param.h"
#include "fsm.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"

char temp_plaque[255];
char path_create_otclan[SIZE_OTCLAN_PATH];
char path_otclan_ci[SIZE_OTCLAN_PATH];
char path_otclan_tmp[SIZE_OTCLAN_PATH];

// Room of the image for the text itself: the condensate adds the marker and a NUL.
#define IMAGE_MAX (TAILLEFICHIER - OTC_MARKER - 1)
// Error of a file whose text does not fit the image, so that it cannot be sealed.
#define ERR_IMAGE 55

static int is_spx(void) {
    return strncmp(save_client, "SPX", 3) == 0;
}

// ---- Kinds of test ----------------------------------------------------------------------

enum Variant { ANY, SPX_ONLY, NOT_SPX };

// Kind letter by the numeric value of a GIEGLAN code; the first matching row wins.
struct kindrange {
    int lo, hi;
    Variant variant;
    char letter;
};
static constexpr kindrange kindRanges[] = {
    {500, 516, ANY, 'G'},        {7524, 7524, SPX_ONLY, 'G'}, {7503, 7503, SPX_ONLY, 'G'},
    {7509, 7510, SPX_ONLY, 'G'}, {7514, 7514, SPX_ONLY, 'G'}, {530, 543, ANY, 'O'},
    {7530, 7552, NOT_SPX, 'O'},  {7545, 7567, SPX_ONLY, 'O'}, {485, 499, ANY, 'P'},
    {601, 633, ANY, 'E'},        {7635, 7635, SPX_ONLY, 'E'}, {700, 703, ANY, 'D'},
    {7600, 7650, ANY, 'V'},
};

// Letters of the classification; each has a list of its own, so none is ever merged
// into another kind's file.
static constexpr int kind_letters() {
    int n = 0;
    for (size_t i = 0; i < sizeof kindRanges / sizeof kindRanges[0]; i++) {
        bool seen = false;
        for (size_t j = 0; j < i; j++)
            seen = seen || kindRanges[j].letter == kindRanges[i].letter;
        n += seen ? 0 : 1;
    }
    return n;
}
static_assert(kind_letters() <= NBKIND, "every kind letter needs its own list");

static char kind_of(int code) {
    int spx = is_spx();
    for (const kindrange &r : kindRanges) {
        if (code < r.lo || code > r.hi) continue;
        if ((r.variant == SPX_ONLY && !spx) || (r.variant == NOT_SPX && spx)) continue;
        return r.letter;
    }
    return 0;
}

// File-name suffix and line prefix of each kind.
struct kindfile {
    char letter;
    const char *suffix;
    const char *first;
};
static const kindfile kindFiles[] = {
    {'G', ".G", "PE"}, {'O', ".O", "PO"}, {'P', ".P", "RF"},
    {'E', ".E", "PL"}, {'D', ".D", "D0"}, {'V', ".V", "VO"},
};

static const kindfile *kind_file(char letter) {
    for (const kindfile &k : kindFiles)
        if (k.letter == letter) return &k;
    return nullptr;
}

// Records of SM that get no row in SM_OTCLAN although they stay in SM: the plate and
// the 0204 record. The side-by-side walk skips them.
static const int unpairedCodes[] = {200, 7200, 204};

static int unpaired(int code) {
    for (int c : unpairedCodes)
        if (code == c) return 1;
    return 0;
}

static char *const kindCount[NBKIND] = {&CSM1, &CSM2, &CSM3, &CSM4, &CSM5, &CSM6};

int codetoi(const char *str) {
    int v = 0;
    for (int i = 0; i < 5 && str[i]; i++)
        v = v * 10 + (str[i] >= '0' && str[i] <= '9' ? str[i] - '0' : 0);
    return v;
}

void Get_Measure_Type(void) {
    for (int k = 0; k < NBKIND; k++) {
        *kindCount[k] = 0;
        type_measure[k] = 0x1E;
    }
    nb_measure = 0;
    // Records before the first one with a letter go with the first kind found.
    int kind = 0;
    int pos = 0;
    int n = Cpt_SM < NBCODEGIEGDATAMAX ? Cpt_SM : NBCODEGIEGDATAMAX;
    int paired = CSM_OTCLAN < NBCODEGIEGDATAMAX ? CSM_OTCLAN : NBCODEGIEGDATAMAX;
    for (CSM = 0; CSM < n; CSM++) {
        const SaveMeasures &rec = SM[CSM];
        int code = codetoi(rec.CodeGiegData);
        char letter = kind_of(code);
        if (letter) {
            int k = 0;
            while (k < nb_measure && type_measure[k] != letter)
                k++;
            if (k == nb_measure) type_measure[(int)nb_measure++] = letter;
            kind = k;
        }
        if (rec.CodeGiegData[0] == 0 || unpaired(code)) continue;
        if (pos >= paired || SM_OTCLAN[pos].CodeGiegData[0] == 0) continue;
        char &count = *kindCount[kind];
        if (count < NBCODEGIEGDATAMAX) SM1[kind][(int)count++] = SM_OTCLAN[pos];
        pos++;
    }
}

void sortMesure(SaveMeasures *table, int taille) {
    for (int i = 0; i < taille; i++) {
        int min = codetoi(table[i].CodeGiegData);
        int chosen = i;
        for (int j = i; j < taille; j++) {
            int v = codetoi(table[j].CodeGiegData);
            if (v < min) {
                min = v;
                chosen = j;
            }
        }
        if (chosen != i) {
            SaveMeasures t = table[i];
            table[i] = table[chosen];
            table[chosen] = t;
        }
    }
}

void supprime_espace_debut(char *source) {
    size_t i = 0;
    while (source[i] == ' ')
        i++;
    if (i == 0 || source[i] == 0) return;
    memmove(source, source + i, strlen(source + i) + 1);
}

static void to_upper(char *s) {
    for (; *s; s++)
        if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
}

int parseurIdOTC(char *source) {
    supprime_espace_debut(source);
    supprime_espace_fin(source);
    to_upper(source);
    return check_ascii(source) || source[0] == 0 ? 1 : 0;
}

int parseurMesureOTC(char *source, int type) {
    supprime_espace_debut(source);
    if (type != 1) supprime_espace_fin(source);
    to_upper(source);
    return check_ascii(source) ? 1 : 0;
}

int periph_row(int n) {
    if (n < 0 || n > 5) return -1;
    int number = (unsigned char)type_hardware_connect2[n][0];
    return number >= 1 && number <= NBPERIPH ? number - 1 : -1;
}

// ---- Identification lines ---------------------------------------------------------------

// What a line checks beyond parseurIdOTC.
enum IdCheck { ID_PLAIN, ID_MIN3, ID_DATE, ID_VERSION };
// When a line is asked for at all.
enum IdWhen { ALWAYS, NOT_PL, PO_OPA02 };

// One candidate item of a line: its code, the only prefix under which it counts (none:
// every prefix), the error when parseurIdOTC refuses it and the error when the line's
// own check refuses it.
struct idcand {
    const char *code;
    const char *onlyFirst;
    int errParse;
    int errCheck;
};
struct idline {
    int num;
    IdCheck check;
    IdWhen when;
    int missing;
    idcand other[6]; // other makers, ending with an empty code
    idcand spx[6];   // SPX variant
};

static const idline idLines[] = {
    {1, ID_PLAIN, ALWAYS, 4, {{"0300", nullptr, 3, 0}}, {{"0300", nullptr, 3, 0}}},
    {2, ID_PLAIN, ALWAYS, 6, {{"0301", nullptr, 5, 0}}, {{"0301", nullptr, 5, 0}}},
    {3, ID_PLAIN, ALWAYS, 9, {{"7003", nullptr, 7, 0}}, {{"7350", nullptr, 8, 0}}},
    {4, ID_MIN3, ALWAYS, 11, {{"0302", nullptr, 10, 10}}, {{"0302", nullptr, 10, 10}}},
    {5, ID_PLAIN, ALWAYS, 14, {{"0303", nullptr, 12, 0}}, {{"0313", nullptr, 13, 0}}},
    {6, ID_DATE, NOT_PL, 16, {{"0312", nullptr, 15, 15}}, {{"0312", nullptr, 15, 15}}},
    {7, ID_VERSION, ALWAYS, 19, {{"7007", nullptr, 17, 0}}, {{"7351", nullptr, 18, 0}}},
    {8, ID_PLAIN, ALWAYS, 22, {{"0200", nullptr, 20, 0}}, {{"7200", nullptr, 11, 0}}},
    {9,
     ID_DATE,
     ALWAYS,
     33,
     {{"7009", nullptr, 23, 24}},
     {{"7634", "PL", 25, 26},
      {"7486", nullptr, 27, 28},
      {"7544", "PO", 29, 30},
      {"7523", "PE", 31, 32},
      {"7750", nullptr, 31, 32}}},
    {10,
     ID_DATE,
     ALWAYS,
     46,
     {{"7010", nullptr, 34, 35},
      {"0494", nullptr, 36, 37},
      {"0543", "PO", 38, 39},
      {"0630", "PL", 40, 41},
      {"0513", "PE", 42, 43},
      {"0703", nullptr, 44, 45}},
     {{"7010", nullptr, 34, 35},
      {"0494", nullptr, 36, 37},
      {"0543", "PO", 38, 39},
      {"0630", "PL", 40, 41},
      {"0513", "PE", 42, 43},
      {"0703", nullptr, 44, 45}}},
    {11, ID_PLAIN, ALWAYS, 49, {{"7011", nullptr, 47, 0}}, {{"7352", nullptr, 48, 0}}},
    {12, ID_PLAIN, PO_OPA02, 54, {{"7529", nullptr, 52, 0}}, {{"7354", nullptr, 53, 0}}},
};

// The key item (no line): its value derives the condensate key.
#define KEY_CODE_OTHER "7012"
#define KEY_CODE_SPX "7353"
#define ERR_KEY_MISSING 50
#define ERR_NO_SLOT 1
#define ERR_NO_KIND 2
#define ERR_MEASURE 51

// State of the file being written. Each file of a call starts afresh, so that one
// file's error never keeps another back, and a kind without an instrument never takes
// the previous file's instrument row, version text or last measure name.
static int erreur;
static int current;
static char lastCode[6];
static char versionSpecOTCLAN[6];
static size_t imageLen;
static int imageFull;

// Candidate of the line for this item code under this prefix, or nullptr.
static const idcand *candidate_of(const idline &line, const char *code, const char *first) {
    const idcand *c = is_spx() ? line.spx : line.other;
    for (int i = 0; i < 6 && c[i].code; i++) {
        if (c[i].onlyFirst && strcmp(c[i].onlyFirst, first) != 0) continue;
        if (strcmp(c[i].code, code) == 0) return &c[i];
    }
    return nullptr;
}

// Writes text to the file and appends it to the image.
static void emit(FILE *f, const char *text) {
    fputs(text, f);
    size_t n = strlen(text);
    if (imageFull || imageLen + n > IMAGE_MAX) {
        imageFull = 1;
        return;
    }
    memcpy(imageFichier + imageLen, text, n + 1);
    imageLen += n;
}

static int item_count(int row) {
    if (row < 0 || row >= NBPERIPH) return 0;
    int n = Cpt_SIHC[row];
    return n < 0 ? 0 : n > NBCODEGIEGDATAMAX ? NBCODEGIEGDATAMAX : n;
}

static void write_identification(FILE *f, const char *first) {
    char ligne[80];
    for (const idline &line : idLines) {
        if (line.when == NOT_PL && strcmp(first, "PL") == 0) continue;
        if (line.when == PO_OPA02 &&
            (strcmp(first, "PO") != 0 || strcmp(versionSpecOTCLAN, "OPA02") != 0))
            continue;
        int n = item_count(current);
        const idcand *cand = nullptr;
        int i = 0;
        for (; i < n && !cand; i++)
            cand = candidate_of(line, SIHC[current][i].CodeGiegData, first);
        if (!cand) {
            erreur = line.missing;
            continue;
        }
        char *value = SIHC[current][i - 1].InfoHardwareConnect;
        if (parseurIdOTC(value)) erreur = cand->errParse;
        if (line.check == ID_MIN3 && strlen(value) < 3) erreur = cand->errCheck;
        if (line.check == ID_DATE && check_date(value)) erreur = cand->errCheck;
        if (line.check == ID_VERSION)
            snprintf(versionSpecOTCLAN, sizeof versionSpecOTCLAN, "%.5s", value);
        snprintf(ligne, sizeof ligne, "%s%02d=%s\r\n", first, line.num, value);
        emit(f, ligne);
    }

    const char *keyCode = is_spx() ? KEY_CODE_SPX : KEY_CODE_OTHER;
    int n = item_count(current);
    for (int i = 0; i < n; i++) {
        if (strcmp(SIHC[current][i].CodeGiegData, keyCode) != 0) continue;
        // A value too short to make a key counts as missing, so the file never goes out
        // sealed with the key of another instrument.
        if (strnlen(SIHC[current][i].InfoHardwareConnect, 10) < 10) break;
        initCleOTC(SIHC[current][i].InfoHardwareConnect);
        return;
    }
    erreur = ERR_KEY_MISSING;
}

static void write_measures(FILE *f, int kind) {
    char ligne[80];
    int count = *kindCount[kind];
    SaveMeasures *list = SM1[kind];
    sortMesure(list, count);
    for (CSM = 0; CSM < count; CSM++) {
        SaveMeasures &m = list[CSM];
        if (parseurMesureOTC(m.DataMeasures, strcmp(m.CodeGiegData, "PLM14") == 0 ? 1 : 0))
            erreur = ERR_MEASURE;
        if (m.DataMeasures[0] == 0 && strcmp(m.CodeGiegData, "PLM04") != 0) continue;
        if (strcmp(m.CodeGiegData, lastCode) != 0) {
            snprintf(ligne, sizeof ligne, "%s=%s\r\n", m.CodeGiegData, m.DataMeasures);
            emit(f, ligne);
        }
        snprintf(lastCode, sizeof lastCode, "%s", m.CodeGiegData);
    }
}

// ---- The file ---------------------------------------------------------------------------

// Name of the vehicle's order file as the order reader found it in the directory.
static char order_name[sizeof SI[0].nomfichier];

// Base name of the vehicle's order: the fichier of the first order with the plate of SM;
// order_name is that order's file name.
static void find_base_name(void) {
    temp_plaque[0] = 0;
    order_name[0] = 0;
    if (CODE_200 < 0 || CODE_200 >= NBCODEGIEGDATAMAX) return;
    const SaveMeasures &plate = SM[CODE_200];
    if (strcmp(plate.CodeGiegData, "0200") != 0 && strcmp(plate.CodeGiegData, "7200") != 0) return;
    if (plate.DataMeasures[0] == 0) return;
    for (int s = 0; s < NBPLAQUEMAX; s++) {
        if (same_field(SI[s].plaqueinfo, plate.DataMeasures)) {
            snprintf(temp_plaque, sizeof temp_plaque, "%.*s", (int)sizeof SI[s].fichier - 1,
                     SI[s].fichier);
            snprintf(order_name, sizeof order_name, "%s", SI[s].nomfichier);
            return;
        }
    }
}

// Builds the three paths; 0 when one of them does not fit (the file is then not written:
// a cut name would be another file's).
static int build_paths(const char *suffix) {
    // The order file is looked for under the name it was read by ("A.B.CI" for the base
    // name "A"); without an order, under the base name and ".CI".
    char ci[sizeof order_name + 4];
    if (order_name[0])
        snprintf(ci, sizeof ci, "%s", order_name);
    else
        snprintf(ci, sizeof ci, "%.*s.CI", (int)sizeof order_name - 1, temp_plaque);
    int a, b, c;
    if (lenght_path < 3) {
        a = snprintf(path_create_otclan, sizeof path_create_otclan, "%s/RES/%s%s", DIR_SHARE,
                     temp_plaque, suffix);
        b = snprintf(path_otclan_ci, sizeof path_otclan_ci, "%s/CI/%s", DIR_SHARE, ci);
    } else {
        a = snprintf(path_create_otclan, sizeof path_create_otclan, "%s/%s/RES/%s%s", DIR_SHARE,
                     save_path_gieglan, temp_plaque, suffix);
        b = snprintf(path_otclan_ci, sizeof path_otclan_ci, "%s/%s/CI/%s", DIR_SHARE,
                     save_path_gieglan, ci);
    }
    c = snprintf(path_otclan_tmp, sizeof path_otclan_tmp, "%s/%s%s", DIR_LOCAL_RES, temp_plaque,
                 suffix);
    return a >= 0 && b >= 0 && c >= 0 && (size_t)a < sizeof path_create_otclan &&
           (size_t)b < sizeof path_otclan_ci && (size_t)c < sizeof path_otclan_tmp;
}

static void write_seals(FILE *f) {
    char hash[41];
    emit(f, "[CRC]\r\n");
    emit(f, "EMPREINTE=");
    CalSha1(imageFichier, hash);
    emit(f, hash);
    emit(f, "\r\n");
    emit(f, "CONDENSAT=");
    if (imageFull) {
        // The text outgrew the image: the seals would not cover the file.
        fprintf(stderr, "\nFichier trop long pour le sceau %s\n", path_otclan_tmp);
        erreur = ERR_IMAGE;
    }
    size_t taille = strlen(imageFichier);
    CalRC4OTC(imageFichier);
    for (size_t i = 0; i < taille + OTC_MARKER; i++)
        fprintf(f, "%02X", (unsigned char)imageFichier[i]);
    fputs("\r\n", f);
    if (erreur != 0) fprintf(f, "err=%d\r\n", erreur);
}

void fct_create_file_otclan(char Cur_plaque) {
    (void)Cur_plaque; // the slot is found by the plate
    Get_Measure_Type();

    for (int kind = 0; kind < nb_measure; kind++) {
        char letter = type_measure[kind];
        erreur = 0;
        current = -1; // no instrument of the letter: every identification line is missing
        snprintf(lastCode, sizeof lastCode, "AAA00");
        snprintf(versionSpecOTCLAN, sizeof versionSpecOTCLAN, "XXXYY");
        find_base_name();
        if (temp_plaque[0] == 0) erreur = ERR_NO_SLOT;
        const kindfile *kf = kind_file(letter);
        if (!kf) erreur = ERR_NO_KIND;
        const char *suffix = kf ? kf->suffix : "";
        const char *first = kf ? kf->first : "";
        if (!build_paths(suffix)) {
            fprintf(stderr, "\nChemin trop long pour %s%s\n", temp_plaque, suffix);
            continue;
        }
        for (int n = 0; n < NBPERIPH && n < nb_periph_present; n++) {
            if (type_hardware_connect2[n][1] == letter) {
                current = periph_row(n);
                break;
            }
        }

        mkdir(DIR_LOCAL_RES, 0755);
        FILE *f = outbox_begin(path_create_otclan, path_otclan_ci, path_otclan_tmp);
        if (!f) {
            fprintf(stderr, "Fichier inexistant.\n");
            continue;
        }
        imageLen = 0;
        imageFull = 0;
        imageFichier[0] = 0;
        emit(f, "[IDENTIFICATION]\r\n");
        write_identification(f, first);
        emit(f, "[MESURES]\r\n");
        write_measures(f, kind);
        write_seals(f);
        // the delivery rules are applied when the file leaves the outbox
        outbox_end(f, erreur != 0 ? OUTBOX_OTCLAN_ERR : OUTBOX_OTCLAN);
    }
    outbox_commit();
}
