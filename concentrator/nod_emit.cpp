// Hand-over of finished vehicles to the result writers.
//
// sendbuffer cuts a raw result buffer (ETB code text records) into the measure table
// SM and calls the writer of the station protocol; senddatamulti picks the finished
// vehicle(s) of a key, has their results written and empties their slots once the
// outbox has taken the results (a vehicle whose results it refused keeps them).
#include <stdio.h>
#include <string.h>

#include "fcfbnet.h"
#include "fcfgl.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "fsm.h"
#include "heartbeat.h"
#include "nod.h"
#include "outbox.h"
#include "tim.h"

char codeb[5];
char datab[81];

static void write_gieglan(char Cur_plaque) {
    fct_separate_measures();
    fct_create_file_gieglan(Cur_plaque);
}
static void write_bnet(char Cur_plaque) { fct_create_file_bnet(Cur_plaque); }
// Under OTCLAN the file is written by senddatamulti, after the identification refresh.
static void write_later(char) {}

// What sendbuffer does with the measures, by station protocol.
static const struct {
    const char *protocol;
    void (*write)(char Cur_plaque);
} result_writers[] = {{"GIEGLAN", write_gieglan}, {"BNET", write_bnet}, {"OTCLAN", write_later}};

void sendbuffer(char *dataequip, char Cur_plaque) {
    memset(SM, 0, sizeof SM);
    Cpt_SM = 0;
    int len = (int)strnlen(dataequip, SIZEDATA);
    int i = 0;
    while (i < len && Cpt_SM < NBCODEGIEGDATAMAX) {
        if (dataequip[i++] != ETB) continue; // bytes outside records are skipped
        int k = 0;
        while (k < 4 && i < len && dataequip[i] != ETB && dataequip[i] != ETX)
            codeb[k++] = dataequip[i++];
        codeb[k] = 0;
        k = 0;
        while (i < len && dataequip[i] != ETB && dataequip[i] != ETX) {
            if (k < (int)sizeof datab - 1) datab[k++] = dataequip[i];
            i++;
        }
        datab[k] = 0;
        snprintf(SM[Cpt_SM].CodeGiegData, sizeof SM[Cpt_SM].CodeGiegData, "%s", codeb);
        snprintf(SM[Cpt_SM].DataMeasures, sizeof SM[Cpt_SM].DataMeasures, "%s", datab);
        Cpt_SM++;
        if (i >= len || dataequip[i] == ETX) break; // the record ended the buffer
    }
    for (const auto &w : result_writers) {
        if (strcmp(save_protocol, w.protocol) == 0) {
            w.write(Cur_plaque);
            return;
        }
    }
    printf("protocole inconnu");
}

// OTCLAN: asks the equipment for its instruments again and runs scan steps for up to
// 5 s, so that the identification is fresh when the result file is sealed. 1 when a
// step read a frame.
static int poll_equipment(void) {
    ask_only_good_periph = 1;
    singlecode(EQUIP, "0100", "", 1);
    COM_STAT = 1;
    tim_program_ms(&START_MIN, 5000);
    tim_program_ms(&ASKEQUIPONESEC, 5000);
    int code = 0;
    while (code == 0 && !tim_verif_program_ms(START_MIN)) {
        code = scanequip();
        // nothing read and no receive that waits on the link: sleep until a step can
        // do something (a request, the reply's time-out) or the refresh is over
        static const TIMEMS *const gates[] = {&START_MIN, &ASKEQUIPONESEC};
        if (code == 0 && (COM_STAT == 0 || link_gone)) heartbeat_idle(gates, 2);
    }
    ask_only_good_periph = 0;
    return code != 0;
}

void senddatamulti(char dest, const char *cle, char Cur_plaque) {
    (void)dest;
    // Results are written for the slot that holds them; Cur_plaque (the first slot
    // holding any result) need not be that slot.
    (void)Cur_plaque;
    // The key usually lives in the received frame, which the polls below overwrite.
    char key[11];
    snprintf(key, sizeof key, "%.10s", cle);
    int otclan = strcmp(save_protocol, "OTCLAN") == 0;

    if (strncmp(key, "??????????", 10) == 0) {
        int best = -1;
        for (int i = 0; i < NBPLAQUEMAX; i++) {
            const vehicule &v = voiture[i];
            if (!termine[i] || v.idx >= NBDATA || v.serial == 0 || v.serial > (uint8_t)SERIAL2)
                continue;
            if (best < 0 || v.serial <= voiture[best].serial) best = i; // later slot wins a tie
        }
        if (best >= 0) {
            const unsigned refused = outbox_refused;
            sendbuffer(data[voiture[best].idx], (char)best);
            if (otclan) poll_equipment();
            if (outbox_refused == refused) termine[best] = 0; // else kept for the next try
        }
    }

    for (int i = 0; i < NBPLAQUEMAX; i++) {
        vehicule &v = voiture[i];
        if (!v.cle[0] || strncmp(v.cle, key, 10) != 0 || !termine[i] || v.idx >= NBDATA) continue;
        const unsigned refused = outbox_refused;
        sendbuffer(data[v.idx], (char)i);
        if (otclan) {
            heartbeat_sleep_us(1000000);
            for (int attempt = 0; attempt < 3 && !poll_equipment(); attempt++) {
            }
            fct_separate_measures();
            fct_create_file_otclan((char)i);
        }
        if (outbox_refused != refused) continue; // the outbox could not take it: the slot keeps it
        termine[i] = 0;
        NEWCLE[i] = 0;
        newplaque[i] = 0;
        CURCLE = (char)i;
        empty_slot(i);
    }
}
