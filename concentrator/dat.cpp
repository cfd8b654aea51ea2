// Vehicle tables, order, measure and identification tables, and the dialogue state
// shared by the units of the concentrator. Everything is a process global that lives
// as long as the process; the comments in the headers say which unit fills what. The
// few operations that every unit of the dialogue needs on the tables live here too.
#include "dat.h"

#include <stdio.h>
#include <string.h>

vehicule voiture[NBPLAQUEMAX];
char data[NBDATA][SIZEDATA];
char termine[NBPLAQUEMAX];
char newplaque[NBPLAQUEMAX];
char NEWCLE[NBPLAQUEMAX];
char cle_supr[NBPLAQUEMAX][12];

SaveInfo SI[NBPLAQUEMAX];
int Cpt_plaque;

SaveMeasures SM[NBCODEGIEGDATAMAX];
int Cpt_SM;
int CSM;
SaveMeasures SM_OTCLAN[NBCODEGIEGDATAMAX];
int CSM_OTCLAN;
SaveMeasures SM1[NBKIND][NBCODEGIEGDATAMAX];
int CODE_200;

SaveInfoHardwareConnect SIHC[NBPERIPH][NBCODEGIEGDATAMAX];
int Cpt_SIHC[NBPERIPH + 1];

New_vehicule Info;
char *ptinfo[2] = {Info.plaque, Info.carburant};

char imageFichier[TAILLEFICHIER];

char COMOINPROG[2];
int TestOpaPourCI;
char COM_STAT;
char giegtype;
char ERREUR;
char cou;
char cou2;
char effacement;
char nb_periph_present;
char type_hardware_connect2[6][2];
char ask_only_good_periph;
char stageall = ALL;
char passplaque[NBPLAQUEMAX];
char scanplaque;
char DESTBT[20];

char SERIAL2;
char cle_get_data[15];
char CURCLEQ;
char RECEP;

int orders_known;
char CURCLE;
char ORDER2;
char dir_lan[200 + ROOTLEN];
char dir_asa[200 + ROOTLEN];

char type_measure[NBKIND] = {0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0x1E};
char nb_measure;
char CSM1, CSM2, CSM3, CSM4, CSM5, CSM6;

void start_full_pass(void) {
    stageall = 0;
    memset(passplaque, 0, sizeof passplaque);
}

int sihc_row_of_position(int r) {
    if (r < 0 || r >= 6) return -1;
    int number = (unsigned char)type_hardware_connect2[r][0];
    if (number < 1 || number > NBPERIPH) return -1;
    return number - 1;
}

void empty_slot(int i) {
    vehicule &v = voiture[i];
    if (v.idx < NBDATA) memset(data[v.idx], 0, SIZEDATA);
    memset(v.cle, 0, sizeof v.cle);
    memset(v.plaque, 0, sizeof v.plaque);
    memset(v.cartype, 0, sizeof v.cartype);
    memset(v.autreinfo, 0, sizeof v.autreinfo);
    v.idx = ALL;
    v.serial = 0;
    v.order = 0;
    newplaque[i] = 0;
    passplaque[i] = 0;
    termine[i] = 0;
}

int same_key(const char *a, const char *b) {
    char ka[11], kb[11];
    snprintf(ka, sizeof ka, "%-10.10s", a);
    snprintf(kb, sizeof kb, "%-10.10s", b);
    return strcmp(ka, kb) == 0;
}

int effacecar(const char *cle, char falseortrue) {
    // the first slot of the key; the dialogue empties the slot it decided for by its
    // index instead (empty_slot), since two slots may once have shared a key
    for (int i = 0; i < NBPLAQUEMAX; i++) {
        if (!voiture[i].cle[0] || strncmp(voiture[i].cle, cle, 10) != 0) continue;
        CURCLE = (char)i;
        if (falseortrue == 1) empty_slot(i);
        return 1;
    }
    return 0;
}
