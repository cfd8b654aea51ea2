// Frame assembly and emission with acknowledgement, and the hand-over of finished
// vehicles to the result writers.
//
// A message is built record by record in exped_send: starttrame writes STX and the
// first record and keeps it in tete as the message header; addtrame appends ETB
// records and, when the next record would push the frame past MAXBYTE, closes and
// sends the frame built so far and starts the next one with the header again; endtrame
// closes and sends the last frame. Every frame that awaits an acknowledgement stays in
// exped_send while waitfor900 listens, so each repeat sends the very same bytes; it is
// sent at most three times, with about 4 s of listening after each sending. A serial
// or Bluetooth device that has gone ends the wait at once; on TCP a connection that
// cannot be made (equipment restarting) still gets its full wait after each sending,
// slept rather than polled, and each repeat connects anew, so equipment back within
// about 8 s still gets the frame. trame_ok tells whether every frame of the current
// message was acknowledged.
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
#include "nod.h"
#include "outbox.h"
#include "tim.h"

int j;
char tete[SIZE_TETE];
char currentport;
int thelastcode;
char trame_ok;
char codeb[5];
char datab[81];

// Room that a frame keeps behind its records: ETX, two checksum characters, EOT.
#define TRAILER 4

// Appends ETB, the code (four characters at most) and the text up to its end, to an
// ETB within it, or to the room left before the trailer, whichever comes first: a
// record never runs past MAXBYTE, however long its text.
static void append_record(const char *code, const char *txt) {
    exped_send[j++] = ETB;
    for (int k = 0; k < 4 && code[k]; k++)
        exped_send[j++] = code[k];
    for (int k = 0; txt[k] && txt[k] != ETB && j < MAXBYTE - TRAILER; k++)
        exped_send[j++] = txt[k];
    exped_send[j] = 0;
}

void starttrame(char dest, const char *code, const char *txt) {
    j = 0;
    trame_ok = 1;
    currentport = dest;
    exped_send[j++] = STX;
    for (int k = 0; k < 4 && code[k]; k++)
        exped_send[j++] = code[k];
    for (int k = 0; txt[k] && j < MAXBYTE - TRAILER; k++)
        exped_send[j++] = txt[k];
    exped_send[j] = 0;
    // the header repeated by the frames of a long message (dialogue headers are short)
    snprintf(tete, sizeof tete, "%s", exped_send);
}

void addtrame(const char *code, const char *txt) {
    if (j + (int)strlen(txt) + 9 <= MAXBYTE) {
        append_record(code, txt);
        return;
    }
    addcsum(0); // the frame so far goes out (its acknowledgement is not looked at)
    j = (int)strlen(tete);
    memcpy(exped_send, tete, (size_t)j);
    // a record that does not fit even behind the header alone is cut to the frame
    append_record(code, txt);
}

int endtrame(void) { return addcsum(0); }

int singlecode(char dest, const char *code, const char *txt, char Check900) {
    starttrame(dest, code, txt);
    return addcsum(Check900 ? 1 : 0);
}

int addcsum(int mode) {
    if (j > MAXBYTE - TRAILER) j = MAXBYTE - TRAILER; // the builders above keep this room
    exped_send[j++] = ETX;
    frame_csum(exped_send, j, exped_send + j);
    j += 2;
    exped_send[j++] = EOT;
    exped_send[j] = 0;
    fsend(currentport);
    if (mode != 0) return 0;
    int recu = waitfor900();
    if (!recu) trame_ok = 0;
    return recu;
}

int waitfor900(void) {
    int nbt = 1;
    int recu = 0;
    int serial = strncmp(save_type_com, "LAN", 3) != 0;
    while (nbt <= 3) {
        tim_program_ms(&START_MIN2, 4050);
        while (!tim_verif_program_ms(START_MIN2) && !recu && nbt != 4) {
            thelastcode = EQUIP_get();
            if (thelastcode == 900)
                recu = 1;
            else if (thelastcode >= 901 && thelastcode <= 909 && thelastcode != 904)
                nbt = 4; // the equipment answered, but not with an acknowledgement
            if (!link_gone) continue;
            if (serial) break; // the device went away: nothing more can come on this line
            // TCP without a connection: the equipment may be restarting. This sending's
            // wait is slept out, and the next sending tries the connection again.
            tim_sleep_out(START_MIN2);
        }
        if (serial && !link_usable()) nbt = 4; // the device went away
        if (!recu && nbt <= 2) {
            printf("waitfor900 PBrecep");
            fsend(currentport);
            printf("waitfor900 PBrecep2");
        } else {
            nbt = 4;
        }
        nbt++;
    }
    return recu;
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
    termine[i] = 0;
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
        if (code == 0) pause_us(100);
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
            pause_us(1000000);
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
