// Transport of the equipment link: send the frame built in exped_send (fsend) and
// receive one frame into enveloppe (EQUIP_get) over the configured link kind.
//
// RS232 and USB use the serial descriptor opened at start-up; a USB send that fails
// because the adapter went away closes it and searches the adapter again under its
// configured name and then /dev/ttyUSB0..9. Bluetooth opens /dev/rfcomm0 around every
// operation: the device's presence is the connection state, recorded by the
// "connect1" marker. TCP connects on the first send and after every drop. Every send
// first drains what the equipment sent unasked (so a late answer of an earlier
// exchange never passes for the answer to this one), and every frame sent, purged,
// received or broken off is written with a time stamp to the link log, which is
// started afresh when it grows beyond 1,500,000 bytes.
//
// A device or connection that disappears ends a receive at once (EOF or an error on
// the descriptor) and is remembered in link_gone, so the acknowledgement wait does not
// keep polling a dead line. A TCP connection made again after the equipment closed or
// broke the last one is announced in link_renewed: the equipment may have restarted and
// lost the vehicles it held. A receive is bounded in time and bytes; beyond either it
// is a bad receive.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "file_param.h"
#include "ipc.h"
#include "nod.h"
#include "tim.h"

char exped_send[SIZE_EXPED];
int lenght;
char enveloppe[SIZE_ENVELOPPE];
int socketON;
char wait_connection;
char write_one_time;
char path_create_log[40 + ROOTLEN] = BOX_PATH("/home/KELDRAN/DATA/log/log.txt");
char file_create_log[1000];
char link_port[30 + ROOTLEN];
char link_gone;
char link_renewed;

int fd_tty = -1;
struct termios tio;
int ttyUSB_open;

// 1 from the moment the equipment closed or broke the TCP connection until one is made
// again (link_renewed is then set).
static char peer_dropped;

#define PATH_CONNECT1 BOX_PATH("//home/KELDRAN/DATA/connect1")
#define CMD_RM_LOGS "rm " BOX_PATH("/home/KELDRAN/DATA/log") "/*.log"
#define LOG_MAX_SIZE 1500000L
// A purge drains at most this many bytes, so equipment that never stops talking
// cannot keep a send from happening.
#define PURGE_MAX 4096
// One receive takes at most this long in all and this many bytes after its STX, so
// equipment that keeps talking without ending its frame cannot hold the loop.
#define RECV_MAX_MS 3000
#define RECV_MAX_BYTES 320
#define BYTE_WAIT_US 2000000L // the wait for one byte

enum { LINK_RS232, LINK_USB, LINK_BT, LINK_TCP };

// Link kinds by the prefix of the "#100#" setting; anything else is a serial line.
static const struct {
    const char *prefix;
    int kind;
} link_kinds[] = {{"RS232", LINK_RS232}, {"USB", LINK_USB}, {"BLUETOOTH", LINK_BT}, {"LAN", LINK_TCP}};

static int link_kind(void) {
    for (const auto &k : link_kinds)
        if (strncmp(save_type_com, k.prefix, strlen(k.prefix)) == 0) return k.kind;
    return LINK_RS232;
}

static speed_t speed_of(long bps) {
    static const struct {
        long bps;
        speed_t code;
    } speeds[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},     {9600, B9600},
                  {19200, B19200}, {38400, B38400},   {57600, B57600},   {115200, B115200},
                  {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto &s : speeds)
        if (s.bps == bps) return s.code;
    return B0;
}

void tty_setup(int fd) {
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    speed_t sp = speed_of(atol(save_speed));
    // an unknown speed leaves the line's speed as it is
    if (sp != B0) {
        cfsetispeed(&tio, sp);
        cfsetospeed(&tio, sp);
    }
    tcsetattr(fd, TCSAFLUSH, &tio);
}

void open_serial_line(void) {
    if (strncmp(save_type_com, "BLUETOOTH", 9) == 0 || strncmp(save_type_com, "LAN", 3) == 0)
        return;
    int test = open(save_port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (test < 0) {
        fprintf(stderr, "\nPERIPH DE COM PAS PRET %s\n", strerror(errno));
        return;
    }
    close(test);
    fd_tty = open(save_port, O_RDWR | O_NOCTTY);
    if (fd_tty < 0) {
        fprintf(stderr, "\nPERIPH DE COM PAS PRET %s\n", strerror(errno));
        return;
    }
    printf("sve_port:%s\n", save_port);
    tty_setup(fd_tty);
    ttyUSB_open = 1;
}

// The serial device in use: the one the USB search found, else the configured one.
static const char *serial_port(void) { return link_port[0] ? link_port : save_port; }

// TCP input queue: what the last receive brought, consumed from tcp_head.
static char tcp_queue[SIZE_SOCKBUF];
static int tcp_head;

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

// Waits up to us microseconds for the descriptor to become readable: 1 ready (data,
// end of file or hang-up: the read tells which), 0 nothing in time, -1 no usable
// descriptor.
static int wait_readable(int fd, long us) {
    if (fd < 0) return -1;
    struct pollfd p = {fd, POLLIN, 0};
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    return (p.revents & POLLNVAL) ? -1 : 1;
}

// Opens the Bluetooth device for one operation, raw, its speed untouched; -1 (errno
// set) when it is missing. While the device was missing the open waits 1.5 s first.
static int bt_open(void) {
    if (access(save_port, F_OK) != 0) return -1;
    if (wait_connection == 1) {
        printf("Connexion...");
        fflush(stdout);
        pause_us(1500000);
    }
    int fd = open(save_port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    printf("sve_port:%s\n", save_port);
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Bluetooth device missing at a send: the loss is recorded once, by deleting "connect1".
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
    pause_us(1000000);
    run_cmd(CMD_RM_LOGS);
    FILE *f = fopen(path_create_log, "w");
    if (!f)
        fprintf(stderr, "\n%s introuvable.%s\n", path_create_log, strerror(errno));
    else
        fclose(f);
}

// Drains the bytes waiting on a serial descriptor; the first 254 are kept as text.
static void purge_serial(int fd, char *kept) {
    int nkept = 0;
    for (int total = 0; total < PURGE_MAX; total++) {
        if (wait_readable(fd, 100) != 1) break;
        char c;
        if (read(fd, &c, 1) != 1) break; // nothing more, or the device is gone
        if (nkept < SIZE_SOCKBUF - 1) kept[nkept++] = c;
    }
    kept[nkept] = 0;
}

// The USB adapter went away: close it and take the first adapter that opens, the
// configured name first, then /dev/ttyUSB0 to /dev/ttyUSB9.
static void usb_search(void) {
    if (fd_tty >= 0) close(fd_tty);
    fd_tty = -1;
    ttyUSB_open = 0;
    char name[30 + ROOTLEN];
    for (int k = -1; k < 10; k++) {
        if (k < 0)
            snprintf(name, sizeof name, "%s", save_port);
        else
            snprintf(name, sizeof name, "%s%d", BOX_PATH("/dev/ttyUSB"), k);
        printf("Reconnection sur %s\n", name);
        int test = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (test >= 0) {
            close(test);
            fd_tty = open(name, O_RDWR | O_NOCTTY);
        }
        if (test < 0 || fd_tty < 0) {
            fprintf(stderr, "\nPERIPH DE COM PAS PRET %s\n", strerror(errno));
            continue;
        }
        printf("sve_port:%s\n", name);
        tty_setup(fd_tty);
        ttyUSB_open = 1;
        snprintf(link_port, sizeof link_port, "%s", name);
        return;
    }
}

// The equipment closed or broke the TCP connection: it is closed on this side too.
static void tcp_dropped(void) {
    socketON = 0;
    closeSocketC();
    peer_dropped = 1;
}

int link_usable(void) {
    int kind = link_kind();
    if (kind == LINK_TCP) return socketON == 1;
    int fd = open(kind == LINK_USB ? serial_port() : save_port, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    close(fd);
    return 1;
}

void fsend(char dest) {
    (void)dest; // the party addressed is implied by the link
    struct tm start = *now_local();
    int kind = link_kind();

    long logsize = 0;
    struct stat st;
    int have_size = stat(path_create_log, &st) == 0;
    if (have_size)
        logsize = (long)st.st_size;
    else
        fprintf(stderr, "\nerreur stat %s\n", strerror(errno));

    int fd = fd_tty;
    if (kind == LINK_BT) {
        fd = bt_open();
        if (fd < 0) {
            fprintf(stderr, "\nATTENTE DE CONNEXION periph 1 %s\n", strerror(errno));
            record_loss();
            return;
        }
    }
    if (kind != LINK_TCP && write_one_time != 2) {
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

    exped_send[SIZE_EXPED - 1] = 0;
    lenght = (int)strlen(exped_send);
    char purged[SIZE_SOCKBUF];
    purged[0] = 0;
    int ok = 0, err = 0;
    long written = -1;
    if (kind == LINK_TCP) {
        if (socketON == 1 && getSocketCTimeout(purged, SIZE_SOCKBUF, 0, 100) < 0) {
            // the equipment has closed the connection: the frame goes out on a new one
            tcp_dropped();
            purged[0] = 0;
        }
        if (socketON == 0 && initSocketC(2, 0) == 1) {
            socketON = 1;
            if (peer_dropped) link_renewed = 1;
            peer_dropped = 0;
        }
        err = errno;
        if (socketON == 1) {
            if (purged[0]) printf("purge : %s\n", purged);
            ok = putSocketC(exped_send) == 1;
            err = errno;
            if (ok) written = lenght;
        }
    } else {
        purge_serial(fd, purged);
        written = (long)write(fd, exped_send, (size_t)lenght);
        err = errno;
        ok = written == lenght;
        if (written >= 0 && !ok) err = EIO; // a part of the frame is no frame
        if (kind == LINK_USB && !ttyUSB_open) ok = 0;
    }

    if (ok) {
        link_gone = 0;
        if (purged[0]) {
            printf("purge : > %s <\n", purged);
            log_line("PURGE:", &start, purged);
        }
        log_line("SEND:", &start, exped_send);
        printf("\nwrite char : %ld %s \n ", written, exped_send);
    } else {
        printf("Erreur %d %s\n", err, strerror(err));
        if (kind == LINK_TCP && socketON == 1 &&
            (err == EPIPE || err == ECONNRESET || err == ENOTCONN))
            tcp_dropped();
        if (kind == LINK_USB && (!ttyUSB_open || err == EIO || err == EBADF || err == ENODEV ||
                                 err == ENXIO))
            usb_search();
    }

    if (kind == LINK_RS232 || kind == LINK_USB) {
        if (fd_tty >= 0) tcdrain(fd_tty);
    } else if (kind == LINK_BT) {
        close(fd);
    }
}

// The whole of the current receive (RECV_MAX_MS).
static TIMEMS recv_time;

// The wait for one byte: 2 s, or what is left of the receive when that is less.
static long byte_wait_us(void) {
    int64_t left = tim_left_us(recv_time);
    return left < BYTE_WAIT_US ? (long)left : BYTE_WAIT_US;
}

// Next byte of the link into *c, waiting for it at most the byte wait: 1 taken, 0
// nothing within the wait, -1 the device or the connection is gone. On TCP the queue is
// read first; refill allows a new receive when it is empty.
static int next_byte(int kind, int fd, char *c, int refill) {
    long wait_us = byte_wait_us();
    if (kind == LINK_TCP) {
        if (tcp_head < SIZE_SOCKBUF && tcp_queue[tcp_head]) {
            *c = tcp_queue[tcp_head++];
            return 1;
        }
        if (!refill) return 0;
        tcp_head = 0;
        int r = getSocketCTimeout(tcp_queue, SIZE_SOCKBUF, (int)(wait_us / 1000000),
                                  (int)(wait_us % 1000000));
        if (r < 0) return -1;
        if (r == 0 || !tcp_queue[0]) return 0;
        *c = tcp_queue[tcp_head++];
        return 1;
    }
    int w = wait_readable(fd, wait_us);
    if (w <= 0) return w;
    ssize_t r = read(fd, c, 1);
    if (r == 1) return 1;
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1; // end of file or an input/output error: the device went away
}

// Refuses a received frame with "0904" without losing the frame that may be waiting
// in exped_send for its acknowledgement (the wait repeats those very bytes).
static void refuse_frame(void) {
    static char saved[SIZE_EXPED];
    static char saved_tete[SIZE_TETE];
    memcpy(saved, exped_send, sizeof saved);
    memcpy(saved_tete, tete, sizeof saved_tete);
    int saved_j = j, saved_lenght = lenght;
    char saved_port = currentport, saved_ok = trame_ok;
    singlecode(EQUIP, "0904", "", 1);
    memcpy(exped_send, saved, sizeof saved);
    memcpy(tete, saved_tete, sizeof saved_tete);
    j = saved_j;
    lenght = saved_lenght;
    currentport = saved_port;
    trame_ok = saved_ok;
}

int EQUIP_get(void) {
    memset(enveloppe, 0, MAXBYTE);
    int kind = link_kind();
    int fd = fd_tty;
    if (kind == LINK_BT) {
        fd = bt_open();
        if (fd < 0) {
            if (wait_connection != 1) {
                fprintf(stderr, "\nATTENTE DE CONNEXION PERIPH 1 %s\n", strerror(errno));
                wait_connection = 1;
            }
            link_gone = 1;
            return 0;
        }
        wait_connection = 0;
    }
    if (kind == LINK_TCP) {
        tcp_queue[0] = 0;
        tcp_head = 0;
        if (socketON != 1) {
            link_gone = 1;
            return 0;
        }
    }

    int code = 0;
    char c = 0;
    tim_program_ms(&recv_time, RECV_MAX_MS);
    int r = next_byte(kind, fd, &c, 1); // the first wait, up to 2 s
    if (r > 0) {
        // hunt for the STX that opens a frame; bytes before it are dropped
        tim_program_ms(&START_MIN2, 300);
        while (c != STX && !tim_verif_program_ms(START_MIN2)) {
            r = next_byte(kind, fd, &c, 0);
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
            r = next_byte(kind, fd, &c, 1);
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
    if (kind == LINK_TCP) {
        tcp_queue[0] = 0; // bytes after the frame are dropped
        tcp_head = 0;
        if (r < 0 && socketON == 1) tcp_dropped(); // the equipment closed the connection
    } else if (kind == LINK_BT) {
        close(fd);
    } else if (fd_tty >= 0) {
        tcdrain(fd_tty);
    }
    return code;
}
