// PC orders and the plate list: the vehicle table kept in step with the PC's orders.
//
// `PCaction` runs once per pass of the loop. Every 5 s it has the reader of the
// station protocol reread the order directory into SI, and the outbox deliver the
// results still waiting; an order whose plate no slot holds gets a free slot (marked to
// be sent), a slot whose order has vanished is marked for withdrawal (the scan sends
// "0150"), and the first slot that holds results is handed to the result writing, one
// per pass, unless the box's disk has just refused a result. A slot whose result is
// complete is handed over by its own key, so a result the disk refused is stored again
// for its own vehicle, whatever frame came since. Results that no slot holds are written
// from the journal of received results at every reading, and as soon as one comes.
//
// The orders are known once a reading of the order directory came back whole since
// start-up (orders_known, set with orders_read_ok): until then the scan takes no result,
// so that a result whose vehicle the box has not yet entered stays with the equipment.
//
// A slot's order is the order of its plate under its key. A vehicle ordered again
// under another key (a re-test: the old order gone, a new one there) has lost its
// order: it is withdrawn under the old key, and the new order, which waits while a
// slot holds its plate, then takes a slot and goes out under its own key.
//
// The reading is a job on the share (share unit): the network check and the reader run
// in a worker, and the table read comes back to the loop a few passes later. A reading
// that failed, was not made (the share unusable) or overran its deadline leaves SI as it
// was, and no vehicle is withdrawn until a whole reading has been made again.
//
// Keys on the wire are 10 characters, so two orders can have one key (names or plates
// that share their first 10 characters). Two vehicles never share a key at the
// equipment: an order whose key a vehicle of the table holds waits, told once, until
// that vehicle's slot is empty. A slot is filled only when empty, and filling it frees
// any result buffer still attached to it.
//
// The plate list sends the vehicles to a hub, one per step: after a dialogue starts
// every vehicle without results is sent again, then only the new ones. The pass after
// a start goes from vehicle to vehicle: a slot with nothing to send costs no step, and
// the pass is over with its last vehicle, at once on an empty table. A vehicle the
// equipment has not taken yet goes before those sent again, so that a new order is
// at the equipment within a step however many vehicles the pass sends again. A vehicle is
// one "0120" message: the key padded to 10, one record per order line with its value
// fitted to the code's size, and the end marker "0905". A vehicle whose message was
// not wholly acknowledged stays to be sent, and is tried again after the other new
// ones.
#include <stdio.h>
#include <string.h>

#include "fgivfa.h"
#include "fgivfbnet.h"
#include "fgivfgl.h"
#include "file_param.h"
#include "journal.h"
#include "network.h"
#include "nod.h"
#include "outbox.h"
#include "plat.h"
#include "share.h"
#include "tim.h"

static int read_share_orders(const char *subdir) {
    if (lenght_path > 2)
        snprintf(dir_lan, sizeof dir_lan, "%s/%s/%s", DIR_SHARE, save_path_gieglan, subdir);
    else
        snprintf(dir_lan, sizeof dir_lan, "%s/%s", DIR_SHARE, subdir);
    return fct_get_info_vehicule_file_gieglan_OTCLAN(dir_lan, ptinfo, save_protocol);
}
static int read_gieglan(void) { return read_share_orders("CG"); }
static int read_otclan(void) { return read_share_orders("CI"); }
static int read_bnet(void) {
    snprintf(dir_lan, sizeof dir_lan, "%s/DataExchange/Orderlisting/", save_path);
    return fct_get_info_vehicule_file_bnet(dir_lan, ptinfo);
}
static int read_asa(void) {
    if (lenght_path > 2)
        snprintf(dir_asa, sizeof dir_asa, "%s/%s/ASA", DIR_SHARE, save_path_gieglan);
    else
        snprintf(dir_asa, sizeof dir_asa, "%s/ASA", DIR_SHARE);
    return fct_get_info_vehicule_file_asa(dir_asa, ptinfo);
}

// Per station protocol: the tags of the plate and fuel lines, and the reader; on_share:
// the reading asks the network check first, and the green LED follows the directory.
struct OrderSource {
    const char *protocol;
    const char *tag_plate;
    const char *tag_fuel;
    int (*read)(void);
    bool on_share;
};
static const OrderSource orderSources[] = {
    {"GIEGLAN", "0200=", "0204=", read_gieglan, true},
    {"BNET", "Plate=", "", read_bnet, false},
    {"OTCLAN", "C001=", "C003=", read_otclan, true},
    {"ASA", "<REGISTRATION>", "<FUEL1>", read_asa, false},
};

int orders_read_ok = 1;

// The reading of the orders, a job on the share: what it found comes back to the loop.
static const OrderSource *reading_source;
static struct {
    int outcome;  // READING_DONE, READING_FAILED, or -1: not read (network check refused)
    int dir_open; // whether the directory opened, for the green LED
} reading;

static void reading_run(void) {
    reading.outcome = -1;
    reading.dir_open = 0;
    share_step();
    if (reading_source->on_share && network_script() != 0) return;
    share_step();
    reading.outcome = reading_source->read();
    reading.dir_open = order_dir_open;
}

static void reading_end(int how) {
    // a reading that overran was told already; what it found since is not the share now
    if (how == SHARE_LATE_DONE || (how == SHARE_LOST && !orders_read_ok)) return;
    orders_read_ok = how == SHARE_DONE && reading.outcome == READING_DONE;
    if (orders_read_ok && !orders_known) {
        orders_known = 1; // the vehicles of the share are known: results may be taken
        printf("\nordres lus: les resultats de l'equipement sont pris\n");
    }
    // the green LED follows the directory: dark when it did not open, or not in time
    if (reading_source->on_share && how == SHARE_DONE && reading.outcome != -1)
        green_led_follow(reading.dir_open);
    if (reading_source->on_share && how == SHARE_LATE) green_led_follow(0);
    outbox_deliver(); // then the results still waiting, oldest first
}

static const ShareJob readingJob = {
    "lecture des ordres",
    reading_run,
    reading_end,
    {{&reading, sizeof reading}, {SI, sizeof SI}, {&Cpt_plaque, sizeof Cpt_plaque}},
    0,
};

// Starts the reading of the station protocol's orders; false when the share is busy.
static bool read_orders(void) {
    for (const OrderSource &src : orderSources) {
        if (strcmp(save_protocol, src.protocol) != 0) continue;
        snprintf(Info.plaque, sizeof Info.plaque, "%s", src.tag_plate);
        snprintf(Info.carburant, sizeof Info.carburant, "%s", src.tag_fuel);
        if (share_busy()) return false;
        if (src.on_share && network_offline()) { // offline: no reading, SI stays
            orders_read_ok = 0;
            outbox_deliver();
            return true;
        }
        reading_source = &src;
        return share_start(&readingJob);
    }
    printf("protocole inconnue\n");
    return true;
}

static int slot_of_plate(const char *plate) {
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (strcmp(voiture[s].plaque, plate) == 0) return s;
    return -1;
}

static int slot_of_key(const char *key) {
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (voiture[s].cle[0] && strncmp(voiture[s].cle, key, 10) == 0) return s;
    return -1;
}

// The order of the vehicle in slot s: the order of its plate whose key goes on the
// link as the slot's; -1 when there is none (the vehicle is to be withdrawn).
static int order_of_slot(int s) {
    for (int i = 0; i < Cpt_plaque && i < NBPLAQUEMAX; i++)
        if (strcmp(SI[i].plaqueinfo, voiture[s].plaque) == 0 && same_key(SI[i].cle, voiture[s].cle))
            return i;
    return -1;
}

// Per slot: the plate of the order told to wait for this slot's key, so that it is
// told once.
static char key_wait_told[NBPLAQUEMAX][sizeof SI[0].plaqueinfo];

// Order i waits: the vehicle in slot s holds its key.
static void key_busy(int i, int s) {
    if (strcmp(key_wait_told[s], SI[i].plaqueinfo) == 0) return;
    snprintf(key_wait_told[s], sizeof key_wait_told[s], "%s", SI[i].plaqueinfo);
    fprintf(stderr, "\nOrdre %s (plaque %s) en attente: cle %s deja prise par la plaque %s\n",
            SI[i].fichier, SI[i].plaqueinfo, voiture[s].cle, voiture[s].plaque);
}

// Enters order i into the slot that addcle has just chosen.
static void fill_slot(int i) {
    const SaveInfo &o = SI[i];
    vehicule &v = voiture[(int)CURCLE];
    key_wait_told[(int)CURCLE][0] = 0;
    if (v.idx < NBDATA) memset(data[v.idx], 0, SIZEDATA); // no buffer is left to nobody
    snprintf(v.cle, sizeof v.cle, "%-10.10s", o.cle);
    snprintf(v.plaque, sizeof v.plaque, "%s", o.plaqueinfo);
    snprintf(v.cartype, sizeof v.cartype, "%.3s", o.carburantinfo);
    int k = 0;
    for (; k < NBCODEFICHIERID && o.autreinfo[k][0]; k++)
        snprintf(v.autreinfo[k], sizeof v.autreinfo[k], "%s", o.autreinfo[k]);
    for (; k < NBCODEFICHIERID; k++)
        v.autreinfo[k][0] = 0;
    v.idx = ALL;
    v.serial = 0;
    termine[(int)CURCLE] = 0;
    newplaque[(int)CURCLE] = 1;
    passplaque[(int)CURCLE] = 0; // a new vehicle, whatever the pass did with the slot
    NEWCLE[(int)CURCLE] = 0;
    ORDER2++;
    v.order = (uint8_t)ORDER2;
}

void PCaction(int code) {
    (void)code;
    // every 5 s the orders are read again (once the share is free), then the results
    // still waiting are delivered, and the results that no slot holds are written
    if (tim_verif_program_ms(TIME_1S) && read_orders()) {
        journal_waiting = 1;
        tim_program_ms(&TIME_1S, 5000);
    }
    outbox_poll();
    if (journal_waiting) results_replay();
    for (int i = 0; i < Cpt_plaque && i < NBPLAQUEMAX; i++) {
        if (slot_of_plate(SI[i].plaqueinfo) >= 0) continue;
        char key[11];
        snprintf(key, sizeof key, "%-10.10s", SI[i].cle);
        int s = slot_of_key(key);
        if (s >= 0) {
            key_busy(i, s);
            continue;
        }
        // no slot holds the key: addcle gives an empty slot, never another vehicle's
        if (addcle(key)) fill_slot(i);
    }
    // a vehicle is withdrawn only after a whole reading that no longer lists its order
    for (int s = 0; s < NBPLAQUEMAX && orders_read_ok; s++)
        if (voiture[s].plaque[0] && order_of_slot(s) < 0) NEWCLE[s] = 1;
    // A complete result is handed over by its slot's own key (a single instrument's
    // frames carry none, and the last frame received may be another vehicle's); else the
    // first slot with a buffer goes with the key of the last frame, as designed.
    int s = 0;
    while (s < NBPLAQUEMAX && !(termine[s] && voiture[s].cle[0] && voiture[s].idx != ALL))
        s++;
    const int own = s < NBPLAQUEMAX;
    if (!own)
        for (s = 0; s < NBPLAQUEMAX && voiture[s].idx == ALL; s++) {
        }
    // the box's disk refused the last result: later
    if (s < NBPLAQUEMAX && outbox_ready())
        senddatamulti(PC, own ? voiture[s].cle : &enveloppe[5], (char)s);
}

char addcle(const char *cle) {
    int slot = -1;
    for (int s = 0; s < NBPLAQUEMAX; s++) {
        if (strncmp(voiture[s].cle, cle, 10) == 0) {
            slot = s;
            break;
        }
        if (slot < 0 && voiture[s].cle[0] == 0) slot = s;
    }
    if (slot < 0) return 0;
    snprintf(voiture[slot].cle, sizeof voiture[slot].cle, "%.10s", cle);
    CURCLE = (char)slot;
    return 1;
}

// The first slot from `from` on that a full pass sends: a vehicle without results that
// is not to be withdrawn and that the pass has not tried yet; ALL when none is left.
static char next_of_pass(int from) {
    for (int s = from; s < NBPLAQUEMAX; s++)
        if (voiture[s].cle[0] && voiture[s].idx == ALL && !NEWCLE[s] && !passplaque[s])
            return (char)s;
    return ALL;
}

// The next new plate from the cursor on, round the table (ALL when none); during a full
// pass, only one the pass has not tried yet.
static int next_new_plate(void) {
    if ((unsigned char)scanplaque >= NBPLAQUEMAX) scanplaque = 0; // past the end or negative
    for (int k = 0; k < NBPLAQUEMAX; k++) {
        const int s = (scanplaque + k) % NBPLAQUEMAX;
        if (newplaque[s] && (stageall == ALL || !passplaque[s])) {
            scanplaque = (char)s;
            return s;
        }
    }
    return ALL;
}

void processplaqueliste(void) {
    // During a full pass a vehicle that the equipment has not taken yet (a new order) goes
    // before those sent again, one a step, so that it is there within a step of its
    // reading; the pass then leaves it out.
    int s = next_new_plate();
    if (stageall != ALL && s == ALL) {
        // the slots between two vehicles are passed over in the same step (a cursor past
        // the end or negative ends the pass)
        stageall = (unsigned char)stageall < NBPLAQUEMAX ? next_of_pass(stageall) : ALL;
        if (stageall != ALL) {
            s = stageall;
            passplaque[s] = 1;
            sendplaque(s);
            stageall = next_of_pass(s + 1); // over after its last vehicle
            return;
        }
        // nothing (left) to send again: this step goes to the new plates
        s = next_new_plate();
    }
    if (s == ALL) return;
    if (stageall != ALL) passplaque[s] = 1;
    transmetplaqueliste(s);
    // not taken (or to be withdrawn): the other new vehicles go first, this one later
    if (newplaque[s] && voiture[s].idx == ALL) scanplaque++;
}

void transmetplaqueliste(int index) {
    CURCLE = (char)index;
    if (voiture[index].idx == ALL && !NEWCLE[index]) sendplaque(index);
}

void sendplaque(int index) {
    const vehicule &v = voiture[index];
    char key[11];
    snprintf(key, sizeof key, "%-10.10s", v.cle);
    starttrame(EQUIP, "0120", key);
    for (int k = 0; k < NBCODEFICHIERID && v.autreinfo[k][0]; k++) {
        const char *line = v.autreinfo[k];
        // the value: the line without its code, '=' and the line end CR LF
        int len = (int)strlen(line) - 7;
        if (len <= 0) continue;
        char code[5];
        snprintf(code, sizeof code, "%.4s", line);
        int size = codeToSize(code);
        char value[SIZELIGNEFICHIERID];
        if (size > 0)
            snprintf(value, sizeof value, "%-*.*s", size, size < len ? size : len, line + 5);
        else
            snprintf(value, sizeof value, "%.*s", len, line + 5);
        addtrame(code, value);
    }
    addtrame("0905", "");
    int recu = endtrame();
    // a vehicle the equipment did not acknowledge whole is sent again
    newplaque[index] = recu && trame_ok ? 0 : 1;
}
