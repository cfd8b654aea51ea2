// Equipment identification and brand authorisation.
//
// When the scan has found a hub, each peripheral of its list is asked who it is:
// `askforequipinfo` sends the date and time, then "0140" with the peripheral's
// number, and collects the identification items of every frame that comes back into
// the peripheral's row of SIHC (row = number - 1), a repeated code replacing its
// earlier value. The end marker "0905" closes the identification: the brand item
// "0300" is then checked against the list of brands that the configured maker
// accepts (`check_equip`), and for the GIEGLAN station protocol the peripheral's
// identification file is written twice, on the share and in the log directory.
// A refused brand ends the dialogue, so the scan asks for the peripheral list again.
//
// `getinfo` finds one record in a received frame; the scan and the result reception
// use it too. The waits block the loop, so they sleep and receive through the waits
// that service the heartbeat.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "fcfgl.h"
#include "file_param.h"
#include "heartbeat.h"
#include "synchro.h"
#include "nod.h"
#include "plat.h"
#include "tim.h"

// Identification codes in the order in which a frame is searched; the length of
// each value is tailleGiegDataID at the same index.
static const char codesID[25][5] = {
    "0300", "0301", "0302", "0303", "0304", "0305", "0306", "0307", "0308",
    "0309", "0310", "0311", "0312", "0313", "0314", "7003", "7007", "7011",
    "7350", "7351", "7352", "7012", "7353", "7354", "7529"};

// Brand lists: each row the brand padded with blanks to 20 characters; an empty row ends.
const char listeMarqueSPX[][30] = {"SPX                 ", "SPX Service Solution",
                                          "JOHNSON CONTROLS    ", "BOSCH AUTOMOTIVE S2 ",
                                          "BOSCH               ", "Bosch               ",
                                          ""};
const char listeMarqueTECHNO[][30] = {"TECNOTEST           ", ""};
const char listeMarqueKELDRAN[][30] = {"KELDRAN             ", ""};
const char listeMarqueFOG[][30] = {"FOG                 ", "FOG AUTOMOTIVE      ", ""};
const char listeMarqueAVL[][30] = {"AVL DITEST          ", ""};
const char listeMarqueMAHA[][30] = {"MAHA                ", ""};

// Which list applies to which maker: save_client begins with `client` and, when
// `client2` is set, save_client2 begins with it. First matching row wins.
struct BrandChoice {
    const char *client;
    const char *client2;
    const char (*liste)[30];
};
static const BrandChoice brandChoices[] = {
    {"SPX", "TECNO", listeMarqueTECHNO},
    {"SPX", nullptr, listeMarqueSPX},
    {"FOG", nullptr, listeMarqueFOG},
    {"AVL", nullptr, listeMarqueAVL},
    {"MAHA", nullptr, listeMarqueMAHA},
};

static int begins(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// A maker without a list of its own accepts every brand on a GIEGLAN station.
const char (*choose_brand_list(void))[30] {
    for (const BrandChoice &c : brandChoices)
        if (begins(save_client, c.client) && (!c.client2 || begins(save_client2, c.client2)))
            return c.liste;
    if (strcmp(save_protocol, "GIEGLAN") == 0) return nullptr;
    return listeMarqueKELDRAN;
}

static int is_end(char c) { return c == ETX || c == EOT || c == 0; }

char getinfo(const char *code, const char *txt, int length, char *destin) {
    int i = 0;
    while (i <= MAXBYTE && !is_end(txt[i])) {
        // move to the next segment start
        while (i <= MAXBYTE && txt[i] != STX && txt[i] != ETB && !is_end(txt[i]))
            i++;
        if (i > MAXBYTE || is_end(txt[i])) return 0;
        if (strncmp(txt + i + 1, code, 4) == 0) {
            if (length == 0) return 1;
            // copy of the code's length; a shorter value ends at the next control byte
            // instead of taking the next record's ETB and code into itself
            const char *src = txt + i + 5;
            int k = 0;
            while (k < length && src[k] && src[k] != STX && src[k] != ETB && !is_end(src[k])) {
                destin[k] = src[k];
                k++;
            }
            destin[k] = 0;
            return 1;
        }
        i++;
    }
    return 0;
}

char check_equip(char adr, const char *code, const char (*listeMarque)[30]) {
    const char *brand = "";
    if ((unsigned char)adr < NBPERIPH) { // a negative adr is out of range too
        int n = Cpt_SIHC[(int)adr];
        for (int k = 0; k < n && k < NBCODEGIEGDATAMAX; k++)
            if (strcmp(SIHC[(int)adr][k].CodeGiegData, code) == 0)
                brand = SIHC[(int)adr][k].InfoHardwareConnect;
    }
    for (int r = 0; listeMarque[r][0]; r++) {
        if (strcmp(listeMarque[r], brand) == 0) {
            printf("Equipement %s \n", brand);
            return 1;
        }
    }
    printf("Erreur: equipement %s=%s non autorisé!\n", code, brand);
    return 0;
}

// Files one item under row `row`: replaces the value of every item of the same code,
// or appends it when the row has none.
static void store_item(int row, const char *code, const char *value) {
    int n = Cpt_SIHC[row];
    int found = 0;
    for (int k = 0; k < n; k++) {
        if (strcmp(SIHC[row][k].CodeGiegData, code) == 0) {
            snprintf(SIHC[row][k].InfoHardwareConnect, sizeof SIHC[row][k].InfoHardwareConnect,
                     "%s", value);
            found = 1;
        }
    }
    if (found || n >= NBCODEGIEGDATAMAX) return;
    snprintf(SIHC[row][n].CodeGiegData, sizeof SIHC[row][n].CodeGiegData, "%s", code);
    snprintf(SIHC[row][n].InfoHardwareConnect, sizeof SIHC[row][n].InfoHardwareConnect, "%s",
             value);
    Cpt_SIHC[row] = n + 1;
}

void fill_identification(int row, const char *frame) {
    if (row < 0 || row >= NBPERIPH) return;
    for (int k = 0; k < 25; k++) {
        char value[21];
        int len = tailleGiegDataID[k];
        if (len > 20) len = 20;
        if (getinfo(codesID[k], frame, len, value)) store_item(row, codesID[k], value);
    }
}

static void wait_ms(uint32_t ms) {
    tim_program_ms(&START_MIN2, ms);
    heartbeat_sleep_out(START_MIN2);
}

// The identification was accepted: for GIEGLAN its file goes to the share's ID
// directory and to the log directory.
static void write_id_files(int row, char letter) {
    if (strcmp(save_protocol, "GIEGLAN") != 0) return;
    if (lenght_path > 2)
        snprintf(dir_lan, sizeof dir_lan, "%s/%s/ID/", DIR_SHARE, save_path_gieglan);
    else
        snprintf(dir_lan, sizeof dir_lan, "%s/ID/", DIR_SHARE);
    fct_create_idfile_gieglan((char)row, letter, dir_lan);
    fct_create_idfile_gieglan((char)row, letter, BOX_PATH("//home/KELDRAN/DATA/log/"));
}

int askforequipinfo(char adr, char type_harware_conect, char heureON) {
    // only peripherals 1 to 5 have a row in SIHC
    if (adr < 1 || adr > NBPERIPH) {
        printf("\nperipherique %d hors table, non identifie\n", (int)adr);
        return 1;
    }
    const int row = adr - 1;
    int result = 1;
    int fin = 0;
    time_t started = now_s();
    struct tm t;
    localtime_r(&started, &t);

    if (sync_hour_ok != 0 && heureON == 1) {
        wait_ms(500);
        char hour[32];
        snprintf(hour, sizeof hour, "%02d%02d%02d%02d%02d%02d", t.tm_mday, t.tm_mon + 1,
                 t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        singlecode(EQUIP, "0130", hour, 0);
    }

    Cpt_SIHC[row] = 0;

    wait_ms(500);
    char num[4] = {'0', '0', (char)('0' + adr), 0};
    singlecode(EQUIP, "0140", num, 1);
    tim_program_ms(&START_MIN2, 5000);

    do {
        int code = 0;
        // the receives service the heartbeat; a link that is gone brings nothing, so the
        // wait is slept out
        while ((code = EQUIP_get()) == 0 && !tim_verif_program_ms(START_MIN2))
            if (link_gone) heartbeat_sleep_out(START_MIN2);
        if (code == 0) continue;
        // the acknowledgement below goes through the link's buffers: work on a copy
        char frame[SIZE_ENVELOPPE];
        memcpy(frame, enveloppe, sizeof frame);
        frame[sizeof frame - 1] = 0;

        if (code == 99) singlecode(EQUIP, "0904", "", 1);
        if (code < 900) {
            singlecode(EQUIP, "0900", "", 1);
            tim_program_ms(&START_MIN2, 6000);
        }
        fill_identification(row, frame);
        if (getinfo("0905", frame, 0, nullptr)) {
            result = 0;
            const char(*liste)[30] = choose_brand_list();
            char ok = liste ? check_equip((char)row, "0300", liste) : 1;
            if (ok) {
                fin = 1;
                write_id_files(row, type_harware_conect);
            } else {
                giegtype = 0;
                COMOINPROG[0] = 0;
            }
        }
    } while (!fin && !tim_verif_program_ms(START_MIN2));
    return result;
}
