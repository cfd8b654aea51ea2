// Journal of received results: each complete result of the equipment is kept on the
// box's own disk before its last acknowledgement goes out, until its files are in the
// outbox.
#pragma once

#include "dat.h"
#include "plat.h"

// The journal directory, beside the outbox, is DIR_JOURNAL (plat.h): the outbox looks
// there for the entry of a block being handed over.
// A result written at start-up may have lost its acknowledgement in the stop: for this
// long its copy is kept, so that the equipment offering it again is recognised.
#define JOURNAL_REPEAT_S 600

// What an entry holds: the vehicle, the raw result and the order the result was for (the
// instruments it was received with go straight to the identification tables, see
// journal_read).
struct JournalEntry {
    char cle[12];       // the slot's key (the result's key for a result without a slot)
    char plaque[12];    // the slot's plate
    char cartype[4];    // the slot's fuel code
    char key[15];       // the key the result came with (cle_get_data)
    char raw[SIZEDATA]; // the raw result buffer
    char has_order;     // 1 when the order below was found when the result came
    char order_cle[12]; // its key, plate and fuel code, as in SI
    char order_plate[12];
    char order_fuel[4];
    char order_file[255]; // base name of its order file
    char order_name[255]; // the order file's name as read
};

extern unsigned journal_of[NBPLAQUEMAX]; // per slot: the entry of its complete result (0: none)
extern int journal_waiting;              // 1: an entry that no slot holds waits to be written

// Start-up: makes the directory, removes what a stop left half written and sets aside an
// entry that fails its check (as "<n>.bad", never deleted); entry numbers go on above
// those kept (numbers are taken from the outbox, whose entry blocks they name).
void journal_init(void);

// Keeps the complete result raw of slot `slot` (-1: a result that has no slot, known by
// the key it came with, cle_get_data), with the slot's vehicle, the order it was for and
// the instruments of the identification tables; written, flushed, renamed and the
// directory flushed. The entry number, or 0 when the disk refused it.
unsigned journal_write(int slot, const char *raw);

// Reads entry n; 1 when it is whole (its length and check hold). With instruments, the
// instruments it was received with are put into the identification tables (SIHC,
// Cpt_SIHC, the peripheral list), which are cleared first; the caller puts them back.
int journal_read(unsigned n, JournalEntry *e, int instruments);

// The entry's files are in the outbox: it is removed (flushed). With kept, it is kept
// aside for JOURNAL_REPEAT_S instead, as a result whose acknowledgement may have been
// lost. 0 when done.
int journal_forget(unsigned n, int kept);

// An entry that cannot be read whole is set aside as "<n>.bad", told once.
void journal_set_aside(unsigned n);

// The smallest waiting entry above `after`; 0 when there is none.
unsigned journal_next(unsigned after);

// 1 when a result with these raw bytes, come with the key cle_get_data, was written at
// start-up a short while ago (see journal_forget): the equipment offers again a result
// whose acknowledgement it did not get. The kept copy is then removed.
int journal_repeat(const char *raw);
