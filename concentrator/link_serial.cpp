// Serial backends of the transport: the RS232 line, a USB serial adapter and the
// Bluetooth serial device.
//
// RS232 and USB use the serial descriptor opened and set up (raw, at the configured
// speed) at start-up; a USB send that fails because the adapter went away closes it
// and searches the adapter again under its configured name and then /dev/ttyUSB0..9.
// Bluetooth opens /dev/rfcomm0 around every operation, raw with its speed untouched:
// the device's presence is the connection state. Every send first drains the bytes
// waiting on the line; every wait for a byte is a poll on the descriptor, and a device
// that disappears (end of file, hang-up, an error) reads as gone.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "cfg.h"
#include "file_param.h"
#include "heartbeat.h"
#include "link.h"
#include "plat.h"

int fd_tty = -1;
struct termios tio;
int ttyUSB_open;
char link_port[30 + ROOTLEN];
char wait_connection;

// A purge drains at most this many bytes, so equipment that never stops talking
// cannot keep a send from happening.
#define PURGE_MAX 4096

// The Bluetooth device of the receive (0) and of the send (1) under way: a receive
// that refuses a frame sends "0904" while its own device stays open.
static int bt_fd[2] = {-1, -1};

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

// 1 when the device opens for reading and writing (the test handle is closed again).
static int device_opens(const char *name) {
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    close(fd);
    return 1;
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

// The descriptor of the wait for a byte under way, for its slices.
static int waiting_fd = -1;
static int readable_slice(long us) { return wait_readable(waiting_fd, us); }

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

// Purge, then the bytes: LINK_SENT or -1 (errno set; a part of the frame is no frame).
static int send_on(int fd, const char *buf, int n, char *purged) {
    purge_serial(fd, purged);
    long written = (long)write(fd, buf, (size_t)n);
    if (written == n) return LINK_SENT;
    if (written >= 0) errno = EIO;
    return -1;
}

// Next byte of the descriptor, waiting for it at most wait_us.
static int recv_on(int fd, char *c, long wait_us) {
    if (fd < 0) return -1;
    waiting_fd = fd;
    int w = heartbeat_wait(wait_us, readable_slice);
    if (w <= 0) return w;
    ssize_t r = read(fd, c, 1);
    if (r == 1) return 1;
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1; // end of file or an input/output error: the device went away
}

// ---- RS232 and USB ------------------------------------------------------------------

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

static int line_begin(int) { return 0; }
static int line_send(const char *buf, int n, char *purged) { return send_on(fd_tty, buf, n, purged); }
static int usb_send(const char *buf, int n, char *purged) {
    int r = send_on(fd_tty, buf, n, purged);
    if (r > 0 && !ttyUSB_open) {
        // a USB link without its adapter counts as failed, whatever the write did
        errno = EBADF;
        return -1;
    }
    return r;
}
static int line_recv(char *c, long wait_us, int) { return recv_on(fd_tty, c, wait_us); }
static void line_failed(int) {}
static void usb_failed(int err) {
    if (!ttyUSB_open || err == EIO || err == EBADF || err == ENODEV || err == ENXIO) usb_search();
}
static void line_end(int, int) {
    if (fd_tty >= 0) tcdrain(fd_tty); // the output has been transmitted
}
static void no_close(void) {}
static int rs232_usable(void) { return device_opens(save_port); }
static int usb_usable(void) { return device_opens(serial_port()); }

const LinkBackend link_rs232 = {1,         0,         open_serial_line, line_begin,  line_send,
                                line_recv, line_failed, line_end,       no_close,    rs232_usable};
const LinkBackend link_usb = {1,         0,          open_serial_line, line_begin, usb_send,
                              line_recv, usb_failed, line_end,         no_close,   usb_usable};

// ---- Bluetooth --------------------------------------------------------------------

// Opens the Bluetooth device for one operation, raw, its speed untouched; -1 (errno
// set) when it is missing. While the device was missing the open waits 1.5 s first.
static int bt_open(void) {
    if (access(save_port, F_OK) != 0) return -1;
    if (wait_connection == 1) {
        printf("Connexion...");
        fflush(stdout);
        heartbeat_sleep_us(1500000);
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

static void bt_start(void) {}

static int bt_begin(int sending) {
    int fd = bt_open();
    if (fd < 0) {
        if (sending) {
            fprintf(stderr, "\nATTENTE DE CONNEXION periph 1 %s\n", strerror(errno));
        } else if (wait_connection != 1) {
            fprintf(stderr, "\nATTENTE DE CONNEXION PERIPH 1 %s\n", strerror(errno));
            wait_connection = 1;
        }
        return -1;
    }
    if (!sending) wait_connection = 0;
    bt_fd[sending ? 1 : 0] = fd;
    return 0;
}
static int bt_send(const char *buf, int n, char *purged) { return send_on(bt_fd[1], buf, n, purged); }
static int bt_recv(char *c, long wait_us, int) { return recv_on(bt_fd[0], c, wait_us); }
static void bt_end(int sending, int) {
    int &fd = bt_fd[sending ? 1 : 0];
    if (fd >= 0) close(fd);
    fd = -1;
}
static int bt_usable(void) { return device_opens(save_port); }

const LinkBackend link_bluetooth = {1,       0,           bt_start, bt_begin, bt_send,
                                    bt_recv, line_failed, bt_end,   no_close, bt_usable};
