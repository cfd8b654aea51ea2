// GIEGLAN result and identification files.
//
// The result writer sorts the measures of one vehicle (SM, after separation) into one
// list per kind letter of test (gas, opacity, headlamps, families E and D), in order
// of arrival, without repeated codes, the plate in every list; then writes one file
// per letter into the share's RES directory, named after the order's key, with the
// instrument identity under "0320" and a checksum line per value. The identification
// writer dumps one peripheral's identification items with their checksums. Every
// line ends CR LF. Both store their files in the outbox, which delivers them to the
// share while it is usable; the files of one vehicle are stored together or not at all.
#include "fcfgl.h"
#include "fsm.h"

#include <stdlib.h>
#include <string.h>

#include "dat.h"
#include "fgpinv.h"
#include "file_param.h"
#include "heartbeat.h"
#include "outbox.h"
#include "plat.h"

char path_create_gieglan[SIZEPATHGIEGLAN + ROOTLEN];
char info_code_320[SIZEINFO320];
FILE *create_file_gieglan;

// Kind letters of the result writer, by numeric value of the code.
struct KindRange {
    int first, last;
    char letter;
};
static const KindRange kind_ranges[] = {
    {500, 516, 'G'}, {530, 543, 'O'}, {485, 499, 'P'}, {601, 633, 'E'}, {700, 703, 'D'},
};
// One letter a range: each letter has a list of its own, none is dropped.
static_assert(sizeof kind_ranges / sizeof kind_ranges[0] <= NBKIND, "a list per kind letter");

// Entry counters of the per-kind lists SM1 rows 0 to 5.
static char *const list_count[NBKIND] = {&CSM1, &CSM2, &CSM3, &CSM4, &CSM5, &CSM6};

// Identification codes whose values make the instrument identity, in this order.
static const char *const identity_codes[] = {"0300", "0301", "0302"};

unsigned int fct_calculate_crc_gieglan(const char *string) {
    unsigned int sum = 0;
    for (unsigned i = 0; string[i]; i++)
        sum += (unsigned char)string[i] * (i % 5 + 1);
    return sum;
}

void fct_copie_sans_espace(char *dest, const char *source) {
    size_t n = 0;
    for (; *source; source++)
        if (!strchr(" \\/:*?\"<>|", *source)) dest[n++] = *source;
    dest[n] = 0;
}

void clean_file_name(char *name) {
    bool leading = true;
    for (unsigned char *p = (unsigned char *)name; *p; p++) {
        leading = leading && *p == ' ';
        if (leading || *p < 0x20 || *p >= 0x7F || strchr("\\:*?\"<>|", *p)) *p = '_';
    }
}

char gieglan_kind_letter(const char *code) {
    int value = atoi(code);
    for (const KindRange &k : kind_ranges)
        if (value >= k.first && value <= k.last) return k.letter;
    return 0;
}

void gieglan_identity(int row, char *out, size_t outsize) {
    out[0] = 0;
    if (row < 0 || row >= NBPERIPH || outsize == 0) return;
    int n = Cpt_SIHC[row];
    if (n > NBCODEGIEGDATAMAX) n = NBCODEGIEGDATAMAX;
    size_t len = 0;
    for (const char *code : identity_codes) {
        for (int i = 0; i < n; i++) {
            const SaveInfoHardwareConnect &item = SIHC[row][i];
            if (strncmp(item.CodeGiegData, code, sizeof item.CodeGiegData) != 0) continue;
            char str[sizeof item.InfoHardwareConnect + 1];
            snprintf(str, sizeof str, "%.*s", (int)sizeof item.InfoHardwareConnect,
                     item.InfoHardwareConnect);
            char clean[sizeof str];
            fct_copie_sans_espace(clean, str);
            // An identity too long for its buffer is cut.
            int w = snprintf(out + len, outsize - len, "%s", clean);
            if (w < 0) return;
            len += (size_t)w;
            if (len >= outsize) {
                out[outsize - 1] = 0;
                return;
            }
        }
    }
}

// Appends SM[i] to list k unless the list already holds a code of the same value.
static void list_append(int k, int i) {
    int n = *list_count[k];
    int value = atoi(SM[i].CodeGiegData);
    for (int j = 0; j < n; j++)
        if (atoi(SM1[k][j].CodeGiegData) == value) return; // a repeated code keeps its first value
    if (n >= NBCODEGIEGDATAMAX) return;
    SM1[k][n] = SM[i];
    espace_fins_ligne(SM1[k][n].CodeGiegData); // a line of the file, checksummed as written
    espace_fins_ligne(SM1[k][n].DataMeasures);
    *list_count[k] = (char)(n + 1);
}

// Builds type_measure, nb_measure and the lists SM1 rows 0 to 5 from SM.
// Measures without a letter belong to the kind of the measure before them; those
// before any lettered measure go to the first kind. The plate goes into every list.
static void classify_measures(void) {
    memset(type_measure, 0x1E, sizeof type_measure);
    nb_measure = 0;
    for (char *c : list_count)
        *c = 0;
    int n = Cpt_SM;
    if (n > NBCODEGIEGDATAMAX) n = NBCODEGIEGDATAMAX;
    int kind = 0;
    for (CSM = 0; CSM < n; CSM++) {
        const char *code = SM[CSM].CodeGiegData;
        char letter = gieglan_kind_letter(code);
        if (letter) {
            int k = 0;
            while (k < nb_measure && type_measure[k] != letter)
                k++;
            if (k == nb_measure) type_measure[(int)nb_measure++] = letter;
            kind = k;
        }
        if (atoi(code) == 200) {
            for (int k = 0; k < NBKIND; k++)
                list_append(k, CSM);
        } else if (code[0]) {
            list_append(kind, CSM);
        }
    }
}

// The plate value of the current result, "" when SM holds no plate record at CODE_200.
static const char *plate_value(void) {
    if (CODE_200 < 0 || CODE_200 >= NBCODEGIEGDATAMAX) return "";
    const SaveMeasures &m = SM[CODE_200];
    if (strcmp(m.CodeGiegData, "0200") != 0 && strcmp(m.CodeGiegData, "7200") != 0) return "";
    return m.DataMeasures;
}

// Length of t without its trailing blanks.
static size_t trimmed_len(const char *t) {
    size_t n = strlen(t);
    while (n > 0 && t[n - 1] == ' ')
        n--;
    return n;
}

// The order a result belongs to, as an index in SI (-1 when none): the order whose key
// the result carries on the link; only when no order has that key, an order of the
// result's plate (the plate value, or the key of a station that keys its vehicles by
// plate). A plate ordered again under a new key thus keeps the measures of each key
// apart while both orders are there.
static int order_of_result(const char *plate) {
    const int n = Cpt_plaque < NBPLAQUEMAX ? Cpt_plaque : NBPLAQUEMAX;
    if (trimmed_len(cle_get_data) > 0)
        for (int i = 0; i < n; i++)
            if (same_key(SI[i].cle, cle_get_data)) return i;
    for (int i = 0; i < n; i++)
        if (same_field(SI[i].plaqueinfo, plate) || same_field(SI[i].plaqueinfo, cle_get_data))
            return i;
    return -1;
}

// Base name of the result files: the key of the result's order (order_of_result).
// When no order matches, the result is still written, named after the key of the
// result, else after the plate value. A '/' never reaches the name, and what the share
// cannot take becomes '_'. Returns 0 when there is no name at all.
// *slot is the order's index in SI, -1 when none matches.
static int result_name(char *name, size_t size, int *slot) {
    const char *plate = plate_value();
    const char *found = nullptr;
    *slot = order_of_result(plate);
    if (*slot >= 0) found = SI[*slot].cle;
    if (!found || !found[0]) {
        found = cle_get_data[0] ? cle_get_data : plate;
        fprintf(stderr, "\naucun ordre pour la plaque %s ni la cle %s: resultat nomme %s\n", plate,
                cle_get_data, found);
    }
    size_t n = 0;
    const char *end = found + trimmed_len(found); // a padded key names no file with blanks
    for (const char *p = found; p < end && n + 1 < size; p++)
        if (*p != '/') name[n++] = *p;
    name[n] = 0;
    clean_file_name(name);
    if (!name[0]) fprintf(stderr, "\nresultat sans plaque ni cle: non ecrit\n");
    return name[0] != 0;
}

// Writes the list k of the kind letter as the file for path_create_gieglan, into the
// outbox.
static void write_result_file(int k, char letter) {
    create_file_gieglan = outbox_begin(path_create_gieglan, "", "");
    FILE *f = create_file_gieglan;
    if (!f) return;
    // The peripheral of this kind: the first list position with the letter.
    int row = -1;
    for (int r = 0; r < NBPERIPH; r++) {
        if (type_hardware_connect2[r][1] == letter) {
            row = sihc_row_of_position(r);
            break;
        }
    }
    if (row < 0) fprintf(stderr, "\naucun peripherique identifie pour le type %c\n", letter);
    char identity[SIZEINFO320 - 2];
    gieglan_identity(row, identity, sizeof identity);
    snprintf(info_code_320, sizeof info_code_320, "%s.%c", identity, letter);
    espace_fins_ligne(info_code_320);

    const int n = *list_count[k];
    fprintf(f, "[MESURES]\r\n");
    fprintf(f, "0320=%s\r\n", info_code_320);
    for (CSM = 0; CSM < n; CSM++)
        fprintf(f, "%s=%s\r\n", SM1[k][CSM].CodeGiegData, SM1[k][CSM].DataMeasures);
    fprintf(f, "[CRC]\r\n");
    fprintf(f, "0320=%d\r\n", (int)fct_calculate_crc_gieglan(info_code_320));
    for (CSM = 0; CSM < n; CSM++)
        fprintf(f, "%s=%d\r\n", SM1[k][CSM].CodeGiegData,
                (int)fct_calculate_crc_gieglan(SM1[k][CSM].DataMeasures));
    outbox_end(f, OUTBOX_RESULT);
    create_file_gieglan = nullptr;
}

void fct_create_file_gieglan(char Cur_plaque) {
    (void)Cur_plaque; // the order is found by plate and key
    classify_measures();
    for (int k = 0; k < nb_measure; k++) {
        const char letter = type_measure[k];
        char name[sizeof SM[0].DataMeasures + 1];
        int slot;
        if (!result_name(name, sizeof name, &slot)) continue;
        int w;
        if (lenght_path < 3)
            w = snprintf(path_create_gieglan, sizeof path_create_gieglan, "%s/RES/%s.%c", DIR_SHARE,
                         name, letter);
        else
            w = snprintf(path_create_gieglan, sizeof path_create_gieglan, "%s/%s/RES/%s.%c",
                         DIR_SHARE, save_path_gieglan, name, letter);
        printf("Nom du ficher Res=%s\r\n", path_create_gieglan);
        if (slot >= 0) {
            printf("Nom SI[i].cle=%s|\r\n", SI[slot].cle);
            printf("Nom SI[i].plaqueinfo=%s|\r\n", SI[slot].plaqueinfo);
        }
        printf("Nom SM[CODE_200]=%s|\r\n", plate_value());
        printf("Nom cle_get_data=%s|\r\n", cle_get_data);
        if (w < 0 || (size_t)w >= sizeof path_create_gieglan) {
            fprintf(stderr, "\nchemin trop long: %s\n", path_create_gieglan);
            continue;
        }
        write_result_file(k, letter);
    }
    outbox_commit();
}

// The value of an identification item as its line holds it: terminated, and a CR or
// LF of the link written as a blank.
static const char *item_value(const SaveInfoHardwareConnect &it, char *out, size_t size) {
    snprintf(out, size, "%.*s", (int)sizeof it.InfoHardwareConnect, it.InfoHardwareConnect);
    espace_fins_ligne(out);
    return out;
}

void fct_create_idfile_gieglan(char adr, char type_hardware_connect, const char *PATH) {
    const int row = (unsigned char)adr;
    if (row >= NBPERIPH) {
        fprintf(stderr, "\nperipherique %d hors table: pas de fichier d'identification\n", row + 1);
        return;
    }
    char identity[SIZEINFO320 - 2];
    gieglan_identity(row, identity, sizeof identity);
    clean_file_name(identity);
    int w = snprintf(path_create_gieglan, sizeof path_create_gieglan, "%s%s.%c", PATH, identity,
                     type_hardware_connect);
    printf("%s\n", path_create_gieglan);
    if (w < 0 || (size_t)w >= sizeof path_create_gieglan) {
        fprintf(stderr, "\nchemin trop long: %s\n", path_create_gieglan);
        return;
    }
    create_file_gieglan = outbox_begin(path_create_gieglan, "", "");
    FILE *f = create_file_gieglan;
    if (!f) {
        outbox_commit(); // reports the refusal
        heartbeat_sleep_us(2000000);
        return;
    }
    int n = Cpt_SIHC[row];
    if (n > NBCODEGIEGDATAMAX) n = NBCODEGIEGDATAMAX;
    if (n < 0) n = 0;
    char value[sizeof SIHC[0][0].InfoHardwareConnect + 1];
    fprintf(f, "[IDENTIFICATION]\r\n");
    for (int i = 0; i < n; i++)
        fprintf(f, "%.*s=%s\r\n", (int)sizeof SIHC[row][i].CodeGiegData,
                SIHC[row][i].CodeGiegData, item_value(SIHC[row][i], value, sizeof value));
    fprintf(f, "[CRC]\r\n");
    for (int i = 0; i < n; i++)
        fprintf(f, "%.*s=%d\r\n", (int)sizeof SIHC[row][i].CodeGiegData, SIHC[row][i].CodeGiegData,
                (int)fct_calculate_crc_gieglan(item_value(SIHC[row][i], value, sizeof value)));
    printf("\nEcriture de: %s\r\n", path_create_gieglan);
    outbox_end(f, OUTBOX_IDENT);
    create_file_gieglan = nullptr;
    outbox_commit();
}
