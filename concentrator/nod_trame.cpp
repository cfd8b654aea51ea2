// Frame assembly and emission with acknowledgement.
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
#include <stdio.h>
#include <string.h>

#include "heartbeat.h"
#include "nod.h"
#include "tim.h"

int j;
char tete[SIZE_TETE];
char currentport;
int thelastcode;
char trame_ok;

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
    // a serial or Bluetooth device that went away stays gone for the rest of the wait
    int serial = !link_reconnects();
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
            heartbeat_sleep_out(START_MIN2);
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
