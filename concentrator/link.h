// Link backends of the transport: how bytes reach the equipment over one link kind.
//
// The transport (nod_link) builds, logs and recognises frames the same way on every
// link and leaves the bytes to one backend, chosen at start-up from the link kind:
// the serial line (RS232, a USB adapter), the Bluetooth serial device, or TCP. A
// backend is a record of operations; tests and fuzz targets may point link_backend at
// one of their own (bytes from memory, for instance).
#pragma once

#include <termios.h>

#include "plat.h"

// Results of a backend's send.
#define LINK_SENT 1    // every byte went out
#define LINK_RENEWED 2 // every byte went out, on a connection made again after a drop

struct LinkBackend {
    int connect1;   // 1: the first send that starts records the link in "connect1"
    int reconnects; // 1: a link found gone may be made again by the next send (TCP)
    // Start-up: makes the link ready where start-up does (the serial line is opened).
    void (*open)(void);
    // One send (sending 1) or receive (0) begins: 0, or -1 when the link is missing
    // (told by the backend, errno set).
    int (*begin)(int sending);
    // Drains what waits on the link unasked, keeping its first bytes as text in purged
    // (SIZE_SOCKBUF characters), then sends the n bytes of buf: LINK_SENT,
    // LINK_RENEWED, or -1 (errno set).
    int (*send)(const char *buf, int n, char *purged);
    // Takes one received byte into *c, waiting for it at most wait_us: 1 taken, 0
    // nothing within the wait, -1 the link is gone. refill 0: a backend that receives
    // in blocks (TCP) hands out what it holds and does not wait for a new block.
    int (*recv)(char *c, long wait_us, int refill);
    // A send failed with error err: the backend recovers what it can.
    void (*failed)(int err);
    // The send or receive ends; gone: the receive found the link gone.
    void (*end)(int sending, int gone);
    // The dialogue gives the link up (the TCP connection is closed).
    void (*close)(void);
    // 1 while the link can carry a frame.
    int (*usable)(void);
};

extern const LinkBackend link_rs232;     // RS232 serial line (/dev/ttyS2)
extern const LinkBackend link_usb;       // USB serial adapter, searched again when it vanishes
extern const LinkBackend link_bluetooth; // Bluetooth serial device, opened around every operation
extern const LinkBackend link_tcp;       // TCP connection to the equipment ("LAN")
extern const LinkBackend *link_backend;  // the backend in use (chosen by link_open)

// Serial backends.
extern int fd_tty;                   // descriptor of the open serial device
extern struct termios tio;           // its line settings
extern int ttyUSB_open;              // 1 once the serial device is open and set up
extern char link_port[30 + ROOTLEN]; // serial device found by the USB search ("" = save_port)
extern char wait_connection;         // 1 while the Bluetooth device is missing

// TCP backend.
extern int socketON; // 1 while the TCP connection is up

// Switches an open serial descriptor to raw mode at the speed of save_speed, after
// draining output and discarding pending input; the settings are kept in tio.
void tty_setup(int fd);
// Start-up: opens and sets up the serial line of an RS232 or USB link.
void open_serial_line(void);
