// Vehicle tables and the state of the equipment dialogue shared between units.
#pragma once

#include "fgpinv.h"
#include "gie.h"
#include "plat.h"

// Equipment dialogue (scan cycle).
extern char COMOINPROG[2]; // element 0: 1 while a dialogue with the equipment may run
extern int TestOpaPourCI;  // 1: orders get the opacimeter check; 0: CHECK_NO_OPA exists
extern char COM_STAT;   // 0: no exchange open; 1: a reply is awaited
extern char giegtype;   // 0 none found yet, 1 single instrument, 2 hub
extern char ERREUR;     // consecutive failures of the dialogue
extern char cou;        // cursor over the slots for withdrawals
extern char cou2;       // cursor over the slots for requests by key
extern char effacement; // 1 while a withdrawal awaits its confirmation frame
extern char nb_periph_present;            // entries in the last peripheral list
extern char type_hardware_connect2[6][2]; // per list position: number, type letter
extern char ask_only_good_periph;         // 1: identify only the kinds of the pending result
extern char stageall;                     // cursor of a full plate-list pass, ALL when none
extern char passplaque[NBPLAQUEMAX];      // 1: tried by the running full pass already
extern char scanplaque;                   // cursor over the slots for new plates
extern char DESTBT[20];                   // Bluetooth destination reported by "0174"

// Result reception.
extern char SERIAL2;          // completion counter of hub results
extern char cle_get_data[15]; // key of the last "0122" result
extern char CURCLEQ;          // slot receiving the current result
extern char RECEP;            // 1 while a result is being received

// PC orders.
extern int orders_known;   // 1 once a reading of the order directory succeeded since start-up
extern char CURCLE;        // slot chosen by the last addcle or effacecar
extern char ORDER2;        // entry counter of the vehicle table
extern char dir_lan[200 + ROOTLEN]; // order directory built for the reader; ID directory
extern char dir_asa[200 + ROOTLEN]; // ASA order directory

// Kind letters of the current vehicle's results (result writers).
extern char type_measure[NBKIND]; // letters in order of first appearance; free places 0x1E
extern char nb_measure;           // number of kind letters
extern char CSM1, CSM2, CSM3, CSM4, CSM5, CSM6; // entries of SM1 rows 0 to 5

// Starts a full pass of the plate list (a dialogue starts): every vehicle without
// results is sent again.
void start_full_pass(void);

// Row of SIHC that holds the identification of the peripheral at list position r of
// type_hardware_connect2: its number (element 0, 1 to 5) less one; -1 when the
// position is out of the list or its number is not 1 to 5.
int sihc_row_of_position(int r);

// 1 when the keys a and b are one key on the link, where a key is sent cut to 10
// characters and padded with blanks.
int same_key(const char *a, const char *b);

// Finds the first vehicle slot of key cle (10 characters); CURCLE takes its position and,
// when falseortrue is 1, it is emptied. 1 when found, 0 otherwise.
int effacecar(const char *cle, char falseortrue);
// Empties vehicle slot i by its index: key, plate, lines, flags, and its result buffer.
void empty_slot(int i);
