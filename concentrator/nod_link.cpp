// Transport of the equipment link: send the frame built in exped_send (fsend) and
// receive one frame into enveloppe (EQUIP_get) over the configured link.
//
// The bytes go through the backend of the link kind (link.h: the serial line, a USB
// adapter, the Bluetooth device or TCP), chosen at start-up; everything else is the
// same on every link. Every send first drains what the equipment sent unasked (so a
// late answer of an earlier exchange never passes for the answer to this one), and
// every frame sent, purged, received or broken off is written with a time stamp to the
// link log, which is started afresh when it grows beyond 1,500,000 bytes. The first
// send that starts on a serial or Bluetooth link records it in the "connect1" marker;
// a Bluetooth device missing at a send records the loss.
//
// A device or connection that disappears ends a receive at once (EOF or an error on
// the descriptor) and is remembered in link_gone, so the acknowledgement wait does not
// keep polling a dead line. A TCP connection made again after the equipment closed or
// broke the last one is announced in link_renewed: the equipment may have restarted and
// lost the vehicles it held. A receive is bounded in time and bytes; beyond either it
// is a bad receive. A frame with a wrong checksum is refused with "0904" on the spot.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_param.h"
#include "heartbeat.h"
#include "link.h"
#include "nod.h"
#include "tim.h"

char exped_send[SIZE_EXPED];
int lenght;
char enveloppe[SIZE_ENVELOPPE];
char write_one_time;
char path_create_log[40 + ROOTLEN] = BOX_PATH("/home/KELDRAN/DATA/log/log.txt");
char file_create_log[1000];
char link_gone;
char link_renewed;
const LinkBackend *link_backend;

#define PATH_CONNECT1 BOX_PATH("//home/KELDRAN/DATA/connect1")
#define CMD_RM_LOGS "rm " BOX_PATH("/home/KELDRAN/DATA/log") "/*.log"
#define LOG_MAX_SIZE 1500000L
// One receive takes at most this long in all and this many bytes after its STX, so
// equipment that keeps talking without ending its frame cannot hold the loop.
#define RECV_MAX_MS 3000
#define RECV_MAX_BYTES 320
#define BYTE_WAIT_US 2000000L // the wait for one byte

// Backends by the prefix of the "#100#" setting; anything else is an RS232 line.
static const struct {
    const char *prefix;
    const LinkBackend *backend;
} link_kinds[] = {{"RS232", &link_rs232},
                  {"USB", &link_usb},
                  {"BLUETOOTH", &link_bluetooth},
                  {"LAN", &link_tcp}};

static const LinkBackend *backend_of_kind(void) {
    for (const auto &k : link_kinds)
        if (strncmp(save_type_com, k.prefix, strlen(k.prefix)) == 0) return k.backend;
    return &link_rs232;
}

// The backend in use; chosen from the link kind when start-up has not chosen one.
static const LinkBackend *be(void) {
    if (!link_backend) link_backend = backend_of_kind();
    return link_backend;
}

void link_open(void) {
    link_backend = backend_of_kind();
    link_backend->open();
}

int link_usable(void) { return be()->usable(); }
int link_reconnects(void) { return be()->reconnects; }
void link_close(void) { be()->close(); }

// Appends one line of the link log: prefix, the time stamp, two blanks, the text.
static void log_line(const char *prefix, const struct tm *t, const char *text) {
    snprintf(file_create_log, sizeof file_create_log, "%s%02d/%02d/%02d - %02d:%02d:%02d:  %s\r\n",
             prefix, t->tm_mday, t->tm_mon + 1, t->tm_year % 100, t->tm_hour, t->tm_min, t->tm_sec,
             text);
    FILE *f = fopen(path_create_log, "a");
    if (!f) {
        fprintf(stderr, "\n%s introuvable.%s\n", path_create_log, strerror(errno));
        return;
    }
    fputs(file_create_log, f);
    fclose(f);
}

// The link is missing at a send: the loss is recorded once, by deleting "connect1".
static void record_loss(void) {
    if (write_one_time == 1) return;
    if (unlink(PATH_CONNECT1) != 0) {
        fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
        return;
    }
    write_one_time = 1;
    printf("DECONNEXION!!!!!!!!!!!!!!!");
    COM_STAT = 0;
    COMOINPROG[0] = 0;
    effacement = 0;
}

// Starts the link log afresh, together with the other logs of its directory.
static void rotate_log(void) {
    if (unlink(path_create_log) != 0)
        fprintf(stderr, "\nerreur d'effacement %s\n", strerror(errno));
    heartbeat_sleep_us(1000000);
    heartbeat_cmd(CMD_RM_LOGS);
    FILE *f = fopen(path_create_log, "w");
    if (!f)
        fprintf(stderr, "\n%s introuvable.%s\n", path_create_log, strerror(errno));
    else
        fclose(f);
}

// Sends one whole frame (NUL-terminated) over the link, logging it.
static void link_send(const char *frame) {
    struct tm start = *now_local();
    const LinkBackend *b = be();

    long logsize = 0;
    struct stat st;
    int have_size = stat(path_create_log, &st) == 0;
    if (have_size)
        logsize = (long)st.st_size;
    else
        fprintf(stderr, "\nerreur stat %s\n", strerror(errno));

    if (b->begin(1) < 0) {
        record_loss();
        return;
    }
    if (b->connect1 && write_one_time != 2) {
        FILE *f = fopen(PATH_CONNECT1, "w");
        if (!f) {
            fprintf(stderr, "\nerreur d'écriture %s\n", strerror(errno));
        } else {
            fclose(f);
            write_one_time = 2;
        }
    }
    printf("\ntaille log.txt:%d\n", (int)logsize);
    if (have_size && logsize > LOG_MAX_SIZE) rotate_log();

    lenght = (int)strlen(frame);
    char purged[SIZE_SOCKBUF];
    purged[0] = 0;
    int sent = b->send(frame, lenght, purged);
    int err = errno;
    if (sent > 0) {
        link_gone = 0;
        if (sent == LINK_RENEWED) link_renewed = 1;
        if (purged[0]) {
            printf("purge : > %s <\n", purged);
            log_line("PURGE:", &start, purged);
        }
        log_line("SEND:", &start, frame);
        printf("\nwrite char : %d %s \n ", lenght, frame);
    } else {
        printf("Erreur %d %s\n", err, strerror(err));
        b->failed(err);
    }
    b->end(1, 0);
}

void fsend(char dest) {
    (void)dest; // the party addressed is implied by the link
    exped_send[SIZE_EXPED - 1] = 0;
    link_send(exped_send);
}

// The whole of the current receive (RECV_MAX_MS).
static TIMEMS recv_time;

// Next byte of the link into *c, waiting for it 2 s at most, and no longer than what
// is left of the receive: 1 taken, 0 nothing within the wait, -1 the link is gone.
static int next_byte(char *c, int refill) {
    int64_t left = tim_left_us(recv_time);
    return be()->recv(c, left < BYTE_WAIT_US ? (long)left : BYTE_WAIT_US, refill);
}

// Refuses a received frame with "0904", sent at once without waiting for an
// acknowledgement; the frame that may be waiting in exped_send for its own
// acknowledgement stays as it is (the wait repeats those very bytes).
static void refuse_frame(void) {
    char frame[10];
    int n = 0;
    frame[n++] = STX;
    memcpy(frame + n, "0904", 4);
    n += 4;
    frame[n++] = ETX;
    frame_csum(frame, n, frame + n);
    n += 2;
    frame[n++] = EOT;
    frame[n] = 0;
    link_send(frame);
}

int EQUIP_get(void) {
    memset(enveloppe, 0, MAXBYTE);
    const LinkBackend *b = be();
    if (b->begin(0) < 0) {
        link_gone = 1;
        return 0;
    }

    int code = 0;
    char c = 0;
    tim_program_ms(&recv_time, RECV_MAX_MS);
    int r = next_byte(&c, 1); // the first wait, up to 2 s
    if (r > 0) {
        // hunt for the STX that opens a frame; bytes before it are dropped
        tim_program_ms(&START_MIN2, 300);
        while (c != STX && !tim_verif_program_ms(START_MIN2)) {
            r = next_byte(&c, 0);
            if (r <= 0) break;
        }
    }
    if (r > 0 && c == STX) {
        int n = 0, st = frame_feed(enveloppe, &n, c);
        tim_program_ms(&START_MIN2, 300);
        // 300 ms for each byte, but no more than RECV_MAX_MS and RECV_MAX_BYTES in all
        for (int taken = 0; st == FRAME_MORE && !tim_verif_program_ms(START_MIN2) &&
                            !tim_verif_program_ms(recv_time) && taken < RECV_MAX_BYTES;
             taken++) {
            r = next_byte(&c, 1);
            if (r <= 0) break;
            tim_program_ms(&START_MIN2, 300);
            st = frame_feed(enveloppe, &n, c);
        }
        if (st == FRAME_DONE) {
            code = frame_code(enveloppe);
            log_line("RECEIVE: ", now_local(), enveloppe);
            printf("Receive : %s\n", enveloppe);
            if (checkcsum(enveloppe) != 0) {
                code = 0;
                refuse_frame();
            }
        } else {
            log_line("BAD RECEIVE: ", now_local(), enveloppe);
        }
    }

    link_gone = r < 0;
    b->end(0, link_gone);
    return code;
}
