// BNET result file.
//
// Under BNET the headlamp result of a vehicle goes to the PC as one small file of
// bracketed sections and "key=value" lines (LF line ends), named after the plate, in
// DataExchange/ImportResults under the BNET base directory. The values are written as
// received in SM (no measure separation under BNET); each kind of line is one pass over
// SM, so a code received twice gives two lines and a code not received gives none. The
// fog-beam section is written only when both fog-lamp states came. The file is stored
// in the outbox, which delivers it while the share is usable.
//
// The vehicle is the slot Cur_plaque of voiture; its order is found in SI by the slot's
// plate, since the two tables are filled independently. When the order has vanished in
// the meantime the slot's own plate (the same text) names the file, so no result is
// lost. The plate is a file name: a '/' in it is written '_' in the name, so the file
// always lands in ImportResults, and so is anything else the PC's share cannot take in a
// name (the Plate line keeps the plate as it is).
#include "fcfbnet.h"
#include "fcfgl.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "dat.h"
#include "file_param.h"
#include "fsm.h"
#include "outbox.h"

char path_create_bnet[160];
FILE *create_file_bnet;
char BnetMesure[60];

#define NOT_RECEIVED 10 // a state not received

// Positions in "DD.MM.YYYY hh:mm:ss" that receive the 14 digits of an 0494 date.
static const char DateHeure[] = "DD.MM.YYYY hh:mm:ss";
static const int Conv[14] = {0, 1, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15, 17, 18};

// Received headlamp states and what the file says. Any other value is written "-1",
// like a failed lamp: a state the box does not understand must never read as passed.
static const struct {
    const char *received;
    const char *written;
} state_map[] = {{"0", "-1"}, {"1", "1"}, {"2", "-1"}, {"9", "0"}};
static const char *const state_unknown = "-1";

// How a line of the light sections carries its value.
enum LineKind { L_STATE, L_CUTOFF };
struct LightLine {
    const char *code; // the SM code read
    const char *key;  // the line's key
    LineKind kind;
};
static const LightLine low_beam[] = {
    {"0492", "VerticalPositionRight_State", L_STATE},
    {"0490", "VerticalPositionLeft_State", L_STATE},
    {"0493", "VerticalCutoffRight", L_CUTOFF},
    {"0491", "VerticalCutoffLeft", L_CUTOFF},
};
static const LightLine fog_beam[] = {
    {"0499", "VerticalPositionRight_State", L_STATE},
    {"0485", "VerticalPositionLeft_State", L_STATE},
    {"0497", "VerticalCutoffRight", L_CUTOFF},
    {"0496", "VerticalCutoffLeft", L_CUTOFF},
};

// Identification items of the test device, in the order of their passes.
static const struct {
    const char *code;
    const char *key;
} device_items[] = {{"0300", "Manufacturer"},
                    {"0301", "Type"},
                    {"0302", "SerialNumber"},
                    {"0313", "SoftwareVersion"}};

static int sm_count(void) {
    return Cpt_SM < 0 ? 0 : Cpt_SM > NBCODEGIEGDATAMAX ? NBCODEGIEGDATAMAX : Cpt_SM;
}

static const char *mapped_state(const char *received) {
    for (const auto &m : state_map)
        if (strcmp(received, m.received) == 0) return m.written;
    return state_unknown;
}

static void header(const char *name) {
    fprintf(create_file_bnet, "\n%s\n", name);
}
// One "key=value" line; a CR or LF of the link in the value is written as a blank, so
// that it can neither end the line nor add one.
static void line(const char *key, const char *value) {
    char text[sizeof BnetMesure];
    snprintf(text, sizeof text, "%s", value);
    espace_fins_ligne(text);
    fprintf(create_file_bnet, "%s=%s\n", key, text);
}

// One pass over SM: a line for every record of the code.
static void light_lines(const LightLine &l) {
    for (CSM = 0; CSM < sm_count(); CSM++) {
        if (strcmp(SM[CSM].CodeGiegData, l.code) != 0) continue;
        if (l.kind == L_STATE)
            snprintf(BnetMesure, sizeof BnetMesure, "%s", mapped_state(SM[CSM].DataMeasures));
        else
            snprintf(BnetMesure, sizeof BnetMesure, "%s0", SM[CSM].DataMeasures);
        line(l.key, BnetMesure);
    }
}

// The last value of a state code as a number, NOT_RECEIVED when the code did not come.
static int last_state(const char *code) {
    int v = NOT_RECEIVED;
    for (CSM = 0; CSM < sm_count(); CSM++)
        if (strcmp(SM[CSM].CodeGiegData, code) == 0) v = atoi(SM[CSM].DataMeasures);
    return v;
}

// The end date "DDMMYYYYhhmmss" laid into DD.MM.YYYY hh:mm:ss; a shorter value ends the
// text after its last digit.
static void real_end(const char *value) {
    snprintf(BnetMesure, sizeof BnetMesure, "%s", DateHeure);
    int n = 0;
    while (n < 14 && value[n]) {
        BnetMesure[Conv[n]] = value[n];
        n++;
    }
    if (n < 14) BnetMesure[n ? Conv[n - 1] + 1 : 0] = 0;
}

// The plate of the slot's order, found by the slot's plate; the slot's own plate when
// the order is no longer in SI.
static const char *vehicle_plate(int slot) {
    const char *plate = voiture[slot].plaque;
    for (int i = 0; i < Cpt_plaque && i < NBPLAQUEMAX; i++)
        if (strcmp(SI[i].plaqueinfo, plate) == 0) return SI[i].plaqueinfo;
    return plate;
}

void fct_create_file_bnet(char Cur_plaque) {
    int slot = (unsigned char)Cur_plaque;
    if (slot >= NBPLAQUEMAX) {
        fprintf(stderr, "\nFichier introuvable.%s\n", strerror(EINVAL));
        return;
    }
    char plate[sizeof SI[0].plaqueinfo];
    snprintf(plate, sizeof plate, "%s", vehicle_plate(slot));
    supprime_espace_fin(plate);
    char name[sizeof plate];
    snprintf(name, sizeof name, "%s", plate);
    for (char *p = name; *p; p++)
        if (*p == '/') *p = '_';
    clean_file_name(name);
    snprintf(path_create_bnet, sizeof path_create_bnet, "%s/DataExchange/ImportResults/%s.dat",
             save_path, name);

    create_file_bnet = outbox_begin(path_create_bnet, "", "");
    if (!create_file_bnet) {
        fprintf(stderr, "\nFichier introuvable.%s\n", strerror(errno));
        outbox_commit(); // reports the refusal: the vehicle keeps its result
        return;
    }
    header("[Vehicle1]");
    line("Plate", plate);
    header("[Vehicle1/OrderPos/Light]");
    line("Did", "Light_2_000");

    int EtatDroit = last_state("0492"), EtatGauche = last_state("0490");
    int AbDroit = last_state("0499"), AbGauche = last_state("0485");
    bool fog = AbDroit != NOT_RECEIVED && AbGauche != NOT_RECEIVED;
    const char *status = "5";
    if (AbDroit == NOT_RECEIVED && AbGauche == NOT_RECEIVED) {
        if (EtatDroit == 1 && EtatGauche == 1)
            status = "3";
        else if (EtatDroit == 9 && EtatGauche == 9)
            status = "2";
    } else {
        if (EtatDroit == 1 && EtatGauche == 1 && AbDroit == 1 && AbGauche == 1)
            status = "3";
        else if (EtatDroit == 9 && EtatGauche == 9 && AbDroit == 9 && AbGauche == 9)
            status = "2";
    }
    line("Status", status);
    for (CSM = 0; CSM < sm_count(); CSM++) {
        if (strcmp(SM[CSM].CodeGiegData, "0494") != 0) continue;
        real_end(SM[CSM].DataMeasures);
        line("RealEnd", BnetMesure);
    }

    // The test device is the headlamp tester of the peripheral list (else the first
    // peripheral behind the hub); its identification row follows from its number.
    int pos = 1;
    for (int n = 1; n < nb_periph_present && n < 6; n++)
        if (type_hardware_connect2[n][1] == 'P') {
            pos = n;
            break;
        }
    const int row = sihc_row_of_position(pos);
    int items = row < 0                             ? 0
                : Cpt_SIHC[row] < 0                 ? 0
                : Cpt_SIHC[row] > NBCODEGIEGDATAMAX ? NBCODEGIEGDATAMAX
                                                    : Cpt_SIHC[row];
    header("[Vehicle1/Result1/Light/TestDevice]");
    for (const auto &d : device_items)
        for (int i = 0; i < items; i++) {
            if (strcmp(SIHC[row][i].CodeGiegData, d.code) != 0) continue;
            snprintf(BnetMesure, sizeof BnetMesure, "%s", SIHC[row][i].InfoHardwareConnect);
            supprime_espace_fin(BnetMesure);
            line(d.key, BnetMesure);
        }

    header("[Vehicle1/Result1/Light/LowBeam]");
    for (const LightLine &l : low_beam)
        light_lines(l);
    if (fog) {
        header("[Vehicle1/Result1/Light/FogBeam]");
        for (const LightLine &l : fog_beam)
            light_lines(l);
    }
    outbox_end(create_file_bnet, OUTBOX_RESULT);
    create_file_bnet = nullptr;
    outbox_commit();
}
