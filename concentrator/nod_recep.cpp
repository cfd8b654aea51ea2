// Result reception: a result of the equipment, over as many frames as it needs.
//
// The scan calls `savdata` with the first frame of a result in enveloppe ("0111"
// from a single instrument, "0122" plus the vehicle's key from a hub). `savdata` keeps
// the link until the end marker "0905" arrives: it acknowledges every frame with
// "0900" and appends the segments of each frame, without the frame's leading segment,
// to the raw result buffer attached to the vehicle's slot. A hub's result goes to the
// slot of its key and a free buffer among 0 to 9; a single instrument's to slot 0 and
// buffer 0. On the end marker the marker is removed from the buffer and the slot is
// marked complete. Five seconds without a frame abandon the result: the partial text
// is logged to debug_122.txt and the buffer cleared.
//
// A result that has no place (no slot for its key, or every hub buffer in use) is
// received into a spare buffer of its own, never into the buffer of another vehicle, and
// kept like any other: it is written under the key it came with. (The scan takes no
// result at all before the box has read the PC's orders since it started, so a result
// has no slot only when its order is not, or no longer, on the share.)
//
// Before the last "0900" of a result goes out, the result is kept in the journal of
// received results, on the box's own disk (journal.cpp): once the equipment has been
// told, the result survives a stop. A result that the equipment offers again, after a
// stop cut its acknowledgement off, is recognised and acknowledged without being kept
// twice.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "heartbeat.h"
#include "journal.h"
#include "nod.h"
#include "plat.h"
#include "tim.h"

#define PATH_DEBUG_122 BOX_PATH("//home/KELDRAN/DATA/log/debug_122.txt")
#define DEBUG_122_MAX 1500000L
#define NB_HUB_BUFFERS 10 // hub results use buffers 0 to 9
#define SIZE_0612 22      // a "0612" segment, ETB and code included, padded to this

int indecr;
int indlec;
int count_time;

// The buffer of a result that has no slot.
static char spare[SIZEDATA];

// Buffer b holds nothing and no slot but `slot` has it attached.
static int buffer_free(int b, int slot) {
    if (data[b][0]) return 0;
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (s != slot && voiture[s].idx == b) return 0;
    return 1;
}

// Chooses the slot and buffer of a hub result with key `key`; the slot, or -1 when the
// result has no place (it then goes to the spare buffer).
static int hub_place(const char *key) {
    int slot = -1;
    for (int s = 0; s < NBPLAQUEMAX; s++)
        if (voiture[s].cle[0] && strncmp(voiture[s].cle, key, 10) == 0) slot = s;
    if (slot < 0) {
        printf("\nresultat %s sans vehicule: ecrit sous sa cle\n", key);
        return -1;
    }
    // a slot that already has a buffer receives the new result there
    int b = voiture[slot].idx;
    if (b != ALL && b < NB_HUB_BUFFERS) {
        memset(data[b], 0, SIZEDATA);
    } else {
        for (b = 0; b < NB_HUB_BUFFERS && !buffer_free(b, slot); b++) {
        }
        if (b == NB_HUB_BUFFERS) {
            printf("\nresultat %s: tampons 0 a 9 occupes, ecrit depuis le journal\n", key);
            return -1;
        }
    }
    CURCLEQ = (char)slot;
    voiture[slot].idx = (uint8_t)b;
    return slot;
}

// Appends the segments of `frame` after its leading one to `buf` (nullptr: the result
// is kept nowhere). A segment that does not fit whole cuts the result there; `cut`
// then stays set so that nothing later is appended.
static void store_segments(const char *frame, char *buf, int *cut) {
    indlec = 0;
    while (frame[indlec] && frame[indlec] != ETX && frame[indlec] != EOT) {
        while (frame[indlec] && frame[indlec] != ETB && frame[indlec] != ETX &&
               frame[indlec] != EOT)
            indlec++;
        if (frame[indlec] != ETB) break;
        const int is0612 = strncmp(frame + indlec + 1, "0612", 4) == 0;
        char seg[SIZE_ENVELOPPE + SIZE_0612];
        int n = 0;
        seg[n++] = ETB;
        indlec++;
        while (frame[indlec] && frame[indlec] != ETB && frame[indlec] != ETX &&
               frame[indlec] != EOT && n < (int)sizeof seg - 1) {
            char c = frame[indlec++];
            if (is0612 && (c < '0' || c > 'z')) c = ' ';
            seg[n++] = c;
        }
        if (is0612)
            while (n < SIZE_0612)
                seg[n++] = ' ';
        if (!buf || *cut) continue;
        if (indecr + n > SIZEDATA - 1) {
            printf("\nresultat trop long: coupe a %d caracteres\n", indecr);
            *cut = 1;
            continue;
        }
        memcpy(buf + indecr, seg, (size_t)n);
        indecr += n;
        buf[indecr] = 0;
    }
    indlec = 0;
}

// Removes the end marker "0905" segment, the last of the buffer, with its ETB.
static void remove_end_marker(char *buf) {
    int i = indecr - 1;
    while (i >= 0 && buf[i] != ETB)
        i--;
    if (i < 0 || strncmp(buf + i + 1, "0905", 4) != 0) return;
    memset(buf + i, 0, (size_t)(indecr - i));
    indecr = i;
}

// The complete result in buf (of slot `slot`, -1: none) is kept on the disk before its
// last acknowledgement; one the equipment offers again is dropped instead.
static void keep_result(int slot, char *buf) {
    if (journal_repeat(buf)) {
        printf("\nresultat %s deja recu avant l'arret: pas ecrit une seconde fois\n", cle_get_data);
        memset(buf, 0, SIZEDATA);
        if (slot >= 0) { // as after a hand-over: the vehicle comes again from its order
            if (journal_of[slot]) journal_waiting = 1;
            NEWCLE[slot] = 0;
            empty_slot(slot);
        }
        return;
    }
    const unsigned n = journal_write(slot, buf);
    if (slot < 0) {
        if (n) journal_waiting = 1; // written by the next pass of the loop
        return;
    }
    // an older result that the slot held, not yet written, is written on its own
    if (journal_of[slot] && journal_of[slot] != n) journal_waiting = 1;
    journal_of[slot] = n; // 0: the disk refused it, the slot alone keeps it
}

static void log_line(const char *fmt_head, const struct tm *t, const char *text) {
    FILE *f = fopen(PATH_DEBUG_122, "a");
    if (!f) {
        fprintf(stderr, "\n%s introuvable.%s\n", PATH_DEBUG_122, strerror(errno));
        return;
    }
    fprintf(f, "%s%02d/%02d/%02d - %02d:%02d:%02d:  %i %s\r\n", fmt_head, t->tm_mday,
            t->tm_mon + 1, t->tm_year % 100, t->tm_hour, t->tm_min, t->tm_sec, 0, text);
    fclose(f);
}

static void rotate_debug_log(void) {
    struct stat st;
    if (stat(PATH_DEBUG_122, &st) != 0 || st.st_size <= DEBUG_122_MAX) return;
    if (unlink(PATH_DEBUG_122) != 0)
        fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
    heartbeat_sleep_us(1000000);
    FILE *f = fopen(PATH_DEBUG_122, "w");
    if (!f) {
        fprintf(stderr, "\n%s introuvable.%s\n", PATH_DEBUG_122, strerror(errno));
        return;
    }
    fclose(f);
}

// Counts the seconds of silence into count_time each time TIME_1S runs out, and re-arms
// it for one second. A receive attempt may itself wait two seconds, so an expiry of a
// timer armed here counts every whole second since its arming; the first expiry (the
// timer was armed by the order reading) counts one.
static void count_seconds(int *armed_here) {
    if (!tim_verif_program_ms(TIME_1S)) return;
    int secs = 1;
    if (*armed_here) {
        struct timeval tv;
        now_tv(&tv);
        long long ms = (long long)(tv.tv_sec - TIME_1S.s) * 1000 + (tv.tv_usec - TIME_1S.us) / 1000;
        if (ms / 1000 > 1) secs = (int)(ms / 1000 > 5 ? 5 : ms / 1000);
    }
    count_time += secs;
    tim_program_ms(&TIME_1S, 1000);
    *armed_here = 1;
}

void savdata(int type) {
    (void)type; // the frame itself says which kind of result it is
    time_t started = now_s();
    struct tm t;
    localtime_r(&started, &t);
    indecr = indlec = 0;
    RECEP = 0;
    count_time = 0;
    int complete = 0;
    int cut = 0;
    int slot = -1;
    int armed_here = 0;
    char *buf = nullptr;
    char frame[SIZE_ENVELOPPE];
    memcpy(frame, enveloppe, sizeof frame);
    frame[sizeof frame - 1] = 0;
    int code = (frame[2] - '0') * 100 + (frame[3] - '0') * 10 + (frame[4] - '0');

    while (!complete && count_time < 5) {
        count_seconds(&armed_here);
        if (RECEP == 0) {
            char key[11];
            if (getinfo("0122", frame, 10, key)) {
                snprintf(cle_get_data, sizeof cle_get_data, "%s", key);
                RECEP = 1;
                indecr = indlec = 0;
                code = 122;
                slot = hub_place(key);
            } else if (getinfo("0111", frame, 0, nullptr)) {
                cle_get_data[0] = 0; // no key on the link: the result names its order by plate
                RECEP = 1;
                indecr = indlec = 0;
                code = 111;
                slot = 0;
                CURCLEQ = 0;
                voiture[0].idx = 0;
            }
            buf = slot >= 0 ? data[voiture[slot].idx] : RECEP ? spare : nullptr;
            if (buf) buf[0] = 0;
        }
        if (code == 111 || code == 122) store_segments(frame, buf, &cut);
        if (getinfo("0905", frame, 0, nullptr)) {
            complete = 1;
            RECEP = 0;
            if (buf) {
                remove_end_marker(buf);
                if (slot >= 0) {
                    if (giegtype == 2) {
                        SERIAL2++;
                        voiture[slot].serial = (uint8_t)SERIAL2;
                    }
                    termine[slot] = 1;
                }
                keep_result(slot, buf);
            }
        }
        singlecode(EQUIP, "0900", "", 1);
        count_time = 0;
        if (complete) break;

        code = 0;
        while (count_time < 5) {
            code = EQUIP_get();
            if (code) break;
            // a link that is gone brings nothing: the second is slept out
            if (link_gone) heartbeat_sleep_out(TIME_1S);
            count_seconds(&armed_here);
        }
        if (code) {
            memcpy(frame, enveloppe, sizeof frame);
            frame[sizeof frame - 1] = 0;
        } else {
            singlecode(EQUIP, "0900", "", 1);
            log_line("BAD RESCUE MODE 900 SEND:", &t, buf ? buf : "");
        }
    }
    if (complete) return;

    rotate_debug_log();
    log_line("SEND:", &t, buf ? buf : "");
    if (buf) memset(buf, 0, SIZEDATA);
}
