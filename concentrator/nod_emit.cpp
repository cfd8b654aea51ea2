// Hand-over of finished vehicles to the result writers.
//
// sendbuffer cuts a raw result buffer (ETB code text records) into the measure table
// SM and calls the writer of the station protocol; senddatamulti picks the finished
// vehicle(s) of a key, has their results written and empties their slots once the
// outbox has taken the results (a vehicle whose results it refused keeps them).
//
// A finished vehicle's result is in the journal of received results (journal.cpp) since
// before its acknowledgement. It is written from there, its files numbered in the entry's
// block of the outbox; once the outbox holds them the entry is removed, and only then are
// they delivered. A result whose entry no slot holds (one without a vehicle, one whose
// vehicle was withdrawn or took another result since, or one found at start-up) is
// written from its entry alone: the tables lend it a slot for its vehicle, an order
// entry for its order (when SI has none of its plate) and the key it came with, for the
// time of the writing. While the box has received no peripheral list since it started
// (at start-up, say) the instruments the result was received with are lent too; once it
// knows its own, those are used, as a hand-over does.
#include <stdio.h>
#include <string.h>

#include "fcfbnet.h"
#include "fcfgl.h"
#include "fcfotclan.h"
#include "file_param.h"
#include "fsm.h"
#include "heartbeat.h"
#include "journal.h"
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

// The raw result of slot i: its journal entry's (the slot's buffer may have been taken by
// a reception since), else its buffer.
static char *result_of(int i) {
    static JournalEntry e;
    if (journal_of[i] && journal_read(journal_of[i], &e, 0)) return e.raw;
    return data[voiture[i].idx];
}

// Writes the result files of a vehicle from its raw result, with slot the vehicle's slot
// and n its journal entry (0: none); under OTCLAN after the identification refresh when
// refresh is set. Once the outbox holds them the entry is removed (kept aside with kept,
// see journal_forget) and, with deliver, they go to the share. 0 when the outbox refused
// them (or the entry could not be removed): they are written again later.
static int write_result(char *raw, int slot, unsigned n, int refresh, int kept, int deliver) {
    const unsigned refused = outbox_refused;
    outbox_journal = n; // the files written now are the entry's
    sendbuffer(raw, (char)slot);
    if (strcmp(save_protocol, "OTCLAN") == 0) {
        outbox_journal = 0;
        if (refresh) {
            heartbeat_sleep_us(1000000);
            for (int attempt = 0; attempt < 3 && !poll_equipment(); attempt++) {
            }
        }
        outbox_journal = n;
        fct_separate_measures();
        fct_create_file_otclan((char)slot);
    }
    outbox_journal = 0;
    if (outbox_refused != refused) return 0;
    if (n && journal_forget(n, kept) != 0) {
        // the files must not go while the entry stays: they are written again with it
        outbox_drop_block(n);
        outbox_holding = 1;
        tim_program_ms(&OUTBOX_RETRY, OUTBOX_RETRY_MS);
        return 0;
    }
    if (n && deliver) outbox_deliver();
    return 1;
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
            const unsigned n = journal_of[best];
            outbox_journal = n;
            sendbuffer(result_of(best), (char)best);
            outbox_journal = 0;
            if (otclan) poll_equipment();
            // an OTCLAN file is written by the key's hand-over only: here its entry stays,
            // and the next pass writes it from there
            if (outbox_refused == refused && (!n || otclan || journal_forget(n, 0) == 0)) {
                termine[best] = 0;
                if (n && otclan) journal_waiting = 1;
                if (n && !otclan) outbox_deliver();
            } else if (n) {
                outbox_drop_block(n); // kept for the next try
            }
        }
    }

    for (int i = 0; i < NBPLAQUEMAX; i++) {
        vehicule &v = voiture[i];
        if (!v.cle[0] || strncmp(v.cle, key, 10) != 0 || !termine[i] || v.idx >= NBDATA) continue;
        // the outbox could not take it: the slot keeps it
        if (!write_result(result_of(i), i, journal_of[i], otclan, 0, 1)) continue;
        journal_of[i] = 0;
        termine[i] = 0;
        NEWCLE[i] = 0;
        newplaque[i] = 0;
        CURCLE = (char)i;
        empty_slot(i);
    }
}

// ---- Results written from the journal ---------------------------------------------------

// What the tables lent to a result written from its entry held before.
static struct {
    vehicule slot;
    SaveInfo order;
    int order_at;
    int orders;
    char key[sizeof cle_get_data];
} lent;

// 1 when slot i holds entry n (it hands the result over itself).
static int held(unsigned n) {
    for (int i = 0; i < NBPLAQUEMAX; i++)
        if (journal_of[i] == n && termine[i] && voiture[i].cle[0]) return 1;
    return 0;
}

// The last entry found at start-up: its result may have lost its acknowledgement.
static unsigned last_at_start;

// Writes the result of entry n from the entry alone (see the head); 1 once its files are
// stored (delivered at once with deliver).
static int write_entry(unsigned n, int deliver) {
    static JournalEntry e;
    const int instruments = nb_periph_present == 0; // none known: the result's are lent
    if (!journal_read(n, &e, instruments)) {
        journal_set_aside(n);
        return 1;
    }
    int k = 0; // a free slot, else the first one, lent
    while (k < NBPLAQUEMAX && voiture[k].cle[0])
        k++;
    if (k == NBPLAQUEMAX) k = 0;
    lent.slot = voiture[k];
    vehicule &v = voiture[k];
    memset(&v, 0, sizeof v);
    snprintf(v.cle, sizeof v.cle, "%s", e.cle);
    snprintf(v.plaque, sizeof v.plaque, "%s", e.plaque);
    snprintf(v.cartype, sizeof v.cartype, "%s", e.cartype);
    v.idx = ALL;
    lent.order_at = -1;
    lent.orders = Cpt_plaque;
    int known = !e.has_order;
    for (int i = 0; i < Cpt_plaque && i < NBPLAQUEMAX && !known; i++)
        known = strcmp(SI[i].plaqueinfo, e.order_plate) == 0;
    if (!known) {
        const int m = Cpt_plaque >= 0 && Cpt_plaque < NBPLAQUEMAX ? Cpt_plaque : NBPLAQUEMAX - 1;
        lent.order_at = m;
        lent.order = SI[m];
        SaveInfo &o = SI[m];
        memset(&o, 0, sizeof o);
        snprintf(o.cle, sizeof o.cle, "%s", e.order_cle);
        snprintf(o.plaqueinfo, sizeof o.plaqueinfo, "%s", e.order_plate);
        snprintf(o.carburantinfo, sizeof o.carburantinfo, "%s", e.order_fuel);
        snprintf(o.fichier, sizeof o.fichier, "%s", e.order_file);
        snprintf(o.nomfichier, sizeof o.nomfichier, "%s", e.order_name);
        if (m >= Cpt_plaque) Cpt_plaque = m + 1;
    }
    memcpy(lent.key, cle_get_data, sizeof lent.key);
    snprintf(cle_get_data, sizeof cle_get_data, "%s", e.key);

    printf("\njournal: resultat %s (plaque %s) ecrit depuis le journal\n", e.cle, e.plaque);
    const int ok = write_result(e.raw, k, n, 0, n == last_at_start, deliver);

    memcpy(cle_get_data, lent.key, sizeof lent.key);
    if (lent.order_at >= 0) SI[lent.order_at] = lent.order;
    Cpt_plaque = lent.orders;
    voiture[k] = lent.slot;
    if (instruments) { // back to none, as they were
        memset(SIHC, 0, sizeof SIHC);
        memset(Cpt_SIHC, 0, sizeof Cpt_SIHC);
        memset(type_hardware_connect2, 0, sizeof type_hardware_connect2);
        nb_periph_present = 0;
    }
    if (ok) // a slot that had it without holding it (a single instrument's empty slot)
        for (int i = 0; i < NBPLAQUEMAX; i++)
            if (journal_of[i] == n) journal_of[i] = 0, termine[i] = 0;
    return ok;
}

void results_replay(void) {
    journal_waiting = 0;
    for (unsigned n = journal_next(0); n; n = journal_next(n)) {
        if (held(n)) continue;
        if (!outbox_ready() || !write_entry(n, 1)) {
            journal_waiting = 1; // refused: again at the next pass
            return;
        }
    }
}

void results_recover(void) {
    journal_init();
    // the last result may have lost its acknowledgement: its entry is kept aside a while
    last_at_start = 0;
    for (unsigned n = journal_next(0); n; n = journal_next(n))
        last_at_start = n;
    // the files are delivered by the first order reading; the disk refusing, the rest
    // waits for the loop
    for (unsigned n = journal_next(0); n; n = journal_next(n))
        if (!write_entry(n, 0)) break;
}
