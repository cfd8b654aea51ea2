// Equipment link and dialogue: frames and checksum (nod_frame), transport (nod_link:
// serial, Bluetooth, TCP, with the link log), frame assembly and emission with
// acknowledgement (nod_trame), the hand-over of finished vehicles to the result
// writers (nod_emit), the equipment scan (nod_scan), identification (nod_ident),
// result reception (nod_recep), PC orders and the plate list (nod_orders).
#pragma once

#include <stdint.h>

#include "cfg.h"
#include "dat.h"
#include "plat.h"

// ---- Frames and checksum ----------------------------------------------------------
struct datasize {
    char code[5]; // four digits and the terminator
    int32_t size; // length of the code's text
};
extern const datasize giegDataSize[50];   // data codes and sizes, ending with an empty row
extern const char tailleGiegDataID[25];   // lengths of the identification items, in read order

// 0 when the received frame (NUL-terminated) is sound, 1 otherwise.
int checkcsum(const char *str);
// Text length of a data code (0 when unknown); "0200" is 11 long under OTCLAN.
int codeToSize(const char *code);

// The two checksum characters (upper-case hexadecimal of the XOR) of the first n
// bytes of s, into out[0] and out[1].
void frame_csum(const char *s, int n, char *out);

// Recognition of a received frame, one byte at a time (frame_feed's results).
#define FRAME_MORE 0  // byte taken or dropped; the frame goes on
#define FRAME_DONE 1  // EOT after at least 9 bytes: a complete frame stands in buf
#define FRAME_SHORT 2 // EOT after fewer than 9 bytes: no frame
// Takes one received byte into buf (SIZE_ENVELOPPE bytes, kept NUL-terminated). *n
// counts the bytes of the frame so far, 0 while bytes before the first STX are
// dropped; a further STX restarts at the start; from the 81st byte on each byte lands
// on position 80, which the terminator takes, so an overlong frame fails its check.
// After FRAME_DONE or FRAME_SHORT the caller sets *n to 0 for the next frame.
int frame_feed(char *buf, int *n, char c);
// Result code of a received frame: the number of its 3rd to 5th bytes ("0900" = 900).
int frame_code(const char *frame);
// Record search in a received frame: the text that follows the record `code` (a
// record opened by STX or ETB), or nullptr when the frame's ETX, EOT, end or
// position 80 comes first.
const char *frame_record(const char *frame, const char *code);
// Copies the len characters that follow the record `code` into dest (destsize bytes,
// terminated; a shorter text ends at the frame's end). 1 when found, else 0.
int frame_record_text(const char *frame, const char *code, int len, char *dest,
                      int destsize);

// ---- Transport ----------------------------------------------------------------------
extern char exped_send[SIZE_EXPED];     // the frame to send, NUL-terminated
extern int lenght;                      // length of the frame being sent
extern char enveloppe[SIZE_ENVELOPPE];  // the last frame received, STX at index 0
extern char write_one_time;             // "connect1" state: 0 unknown, 1 deleted, 2 created
extern char path_create_log[40 + ROOTLEN]; // the link log
extern char file_create_log[1000];      // the link log line being written
extern char link_gone;                  // 1: the last receive found the device or connection gone
extern char link_renewed;               // 1: TCP connected again after the equipment dropped it

// Start-up: chooses the backend of the link kind (link.h) and opens the link where
// start-up does (the serial line of an RS232 or USB link).
void link_open(void);
// 1 while the link can carry a frame: the serial or Bluetooth device opens for
// reading and writing; on TCP the connection is up.
int link_usable(void);
// 1 when a link found gone may be made again by the next send (TCP connects on a
// send), 0 when it stays gone until its device comes back.
int link_reconnects(void);
// The dialogue gives the link up: the TCP connection is closed (nothing on the others).
void link_close(void);

// Sends exped_send over the configured link, logging it; failures handled inside.
void fsend(char dest);
// Waits for one frame into enveloppe; its result code (e.g. 900 for "0900") or 0.
int EQUIP_get(void);

// ---- Frame assembly and emission ----------------------------------------------------
extern int j;                  // bytes of exped_send in use
extern char tete[SIZE_TETE];   // header of the current message
extern char currentport;       // destination given to starttrame
extern int thelastcode;        // code of the last frame received while awaiting "0900"
extern char trame_ok;          // 1 while every frame of the current message was acknowledged

void starttrame(char dest, const char *code, const char *txt);
void addtrame(const char *code, const char *txt);
int endtrame(void);
int singlecode(char dest, const char *code, const char *txt, char Check900);
int addcsum(int mode);
int waitfor900(void);

// ---- Hand-over of finished vehicles to the result writers ------------------------------
extern char codeb[5];          // code of the record being cut by sendbuffer
extern char datab[81];         // text of the record being cut by sendbuffer

void sendbuffer(char *dataequip, char Cur_plaque);
void senddatamulti(char dest, const char *cle, char Cur_plaque);
// Start-up: writes every result kept in the journal of received results (the files of
// results that were received but not yet in the outbox when the box stopped), with the
// vehicle, order and instruments each was received with; the first order reading
// delivers them.
void results_recover(void);
// In the loop: writes the results of the journal that no slot holds (see nod_emit.cpp).
void results_replay(void);

// ---- Equipment scan, identification, result reception --------------------------------
// One step of the equipment scan; the code of the frame read in this step, or 0.
int scanequip(void);
// Reads the peripheral list "0101" in `frame` into nb_periph_present and
// type_hardware_connect2: entries five bytes apart from byte 6, up to the "0905"
// segment or, without one, the end of the records; at most 6 entries. 1 when an
// opacimeter ('O') is among them.
int read_periph_list(const char *frame);
int askforequipinfo(char adr, char type_harware_conect, char heureON);
char check_equip(char adr, const char *code, const char (*listeMarque)[30]);
// Brands accepted per maker: rows of 20 characters (blank-padded), ending with an empty row.
extern const char listeMarqueSPX[][30];
extern const char listeMarqueTECHNO[][30];
extern const char listeMarqueKELDRAN[][30];
extern const char listeMarqueFOG[][30];
extern const char listeMarqueAVL[][30];
extern const char listeMarqueMAHA[][30];
// The brand list of the configured maker and protocol; nullptr: every brand accepted.
const char (*choose_brand_list(void))[30];
char getinfo(const char *code, const char *txt, int length, char *destin);
// Files the identification items of one received frame under SIHC row `row` (0 to 4):
// each of the 25 identification codes found replaces the value of the same code in the
// row, or is appended while the row has room.
void fill_identification(int row, const char *frame);
// Receives a whole result whose first frame is in enveloppe (type 1: "0111", 2: "0122").
void savdata(int type);
extern int indecr;     // write position in the result buffer
extern int indlec;     // read position in the frame
extern int count_time; // seconds waited for the next frame of a result

// ---- PC orders and plate list ---------------------------------------------------------
// Handling of the PC's orders, once per pass, with the code of the scan step.
void PCaction(int code);
extern int orders_read_ok; // 1 when the last order reading read the directory whole (or
                           // none was made yet): only then are vanished orders withdrawn
char addcle(const char *cle);
// One step of the plate list sent to a hub.
void processplaqueliste(void);
void transmetplaqueliste(int index);
void sendplaque(int index);
