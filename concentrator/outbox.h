// Outbox of the result files: every file meant for the PC is first stored whole on the
// box's own disk, then delivered to its place on the share while the share is usable.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "plat.h"
#include "tim.h"

// The outbox directory (start-up never cleans it) and the status file for technicians.
#define DIR_OUTBOX BOX_PATH("//home/KELDRAN/DATA/outbox")
#define PATH_OUTBOX_STATUS BOX_PATH("/home/KELDRAN/DATA/log/outbox.txt")
// Room for any path an entry remembers (destination, order file, local copy).
#define SIZE_OUTBOX_PATH (300 + ROOTLEN)

// Delivery rule of an entry, kept in the entry itself.
#define OUTBOX_RESULT 'R'     // copied to its place on the share
#define OUTBOX_IDENT 'I'      // the same; a newer entry for the same place replaces it
#define OUTBOX_OTCLAN 'O'     // sealed OTCLAN file: delivered while its order file is there
#define OUTBOX_OTCLAN_ERR 'E' // OTCLAN file with an error: becomes the local ".err" copy

// A delivery pass tries at most this many files, and starts no new one after this time.
#define OUTBOX_PASS_FILES 8
#define OUTBOX_PASS_MS 200
// After the box's disk refused a result, the hand-over waits this long before retrying.
#define OUTBOX_RETRY_MS 5000
// Local copies of delivered OTCLAN results are kept this many days.
#define OUTBOX_KEEP_DAYS 7
// Ending of a local copy whose order file was gone at delivery: kept for good.
#define OUTBOX_ORPHAN ".orphelin"
// A result whose name is still taken on the share by a file the PC has not taken yet
// waits this long at most for it, then goes over it.
#define OUTBOX_SAME_NAME_S 60

extern int outbox_pending;      // entries waiting for delivery, at the last count
extern long outbox_oldest_age;  // age in seconds of the oldest of them, at the last count
extern unsigned outbox_seq;     // number of the next entry: above every number in the outbox
extern unsigned outbox_refused; // results the box's disk could not take, since start
extern int outbox_holding;      // 1 from a refused result until a result is stored again
extern TIMEMS OUTBOX_RETRY;     // when the refused result may be handed over again
// The journal entry whose result the next entries are written from (0: none). Its
// entries are numbered in its block and replace what a former try left there; their
// commit does not deliver (the journal entry must be gone first).
extern unsigned outbox_journal;

// Entry numbers come in blocks of this many: the files of one commit (a vehicle's, or
// one identification file), which are delivered together.
#define OUTBOX_BLOCK 16

// Start-up: makes the outbox, removes entries half written when the box stopped (never
// delivered), makes the OTCLAN local copies of the waiting entries again where a stop
// left them missing or short, numbers new entries after the kept ones and writes the
// status file.
void outbox_init(void);

// Opens a new entry for a file whose place is dest; order and local are the OTCLAN order
// file and local copy ("" for the other protocols). The caller writes the file's bytes
// into the stream and hands it to outbox_end. nullptr when the box's disk refuses (the
// next outbox_commit then reports the refusal).
FILE *outbox_begin(const char *dest, const char *order, const char *local);
// Closes an entry opened by outbox_begin with its delivery rule; the entry is flushed to
// the disk but not yet part of the outbox.
void outbox_end(FILE *f, char rule);
// Makes every entry ended since the last commit part of the outbox at once, then tries a
// delivery. 0 when one of them could not be stored: none is kept, outbox_refused grows
// and the hand-over pauses (outbox_ready) so that the vehicle keeps its result.
int outbox_commit(void);
// 0 while a refused result waits for its retry, else 1.
int outbox_ready(void);

// A block of entry numbers above every number in use, for a new journal entry.
unsigned outbox_new_block(void);
// Numbers up to the end of this block are in use (a journal entry kept from before).
void outbox_reserve(unsigned block);
// Takes the entries of a block back out of the outbox (their journal entry could not be
// removed: they are written again with it later).
void outbox_drop_block(unsigned block);

// Asks for a delivery pass: when entries wait and the share is usable (testNetwork), the
// oldest first, a block (the files of one commit) at a time, bounded in files and time,
// as a job on the share (a worker process, each file with its deadline). A pass asked
// for while the share is busy is made as soon as it is free (outbox_poll). Rewrites the
// status file when the count or age changed.
void outbox_deliver(void);
// Once a pass of the loop: starts the pass asked for once the share is free.
void outbox_poll(void);

// The weekly clean-up of the local OTCLAN copies: removes those older than
// OUTBOX_KEEP_DAYS, except ".err" and orphan copies and copies still waiting.
void outbox_clean_copies(void);

// 1 when name is a number in ten digits (as the box names its entries: another name
// would not open the entry it numbers) followed by ext, the number not above most; the
// number in *n.
int numbered_name(const char *name, const char *ext, unsigned long long most, unsigned *n);

// CRC-32 (the polynomial of zip and Ethernet) of n bytes, going on from crc (0 to start).
uint32_t crc32_of(uint32_t crc, const void *bytes, size_t n);

// Appends "INFO: <date> - <time>:  <what> <path><tail>" to the link log.
void outbox_log(const char *what, const char *path, const char *tail);
