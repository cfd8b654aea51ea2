// TCP backend of the transport ("LAN" link kind), over the TCP client ipc.
//
// The connection is made by a send when there is none: on the first send and after
// every drop. Before a frame goes out, what the equipment sent unasked is drained; a
// connection that the equipment has closed or broken is closed on this side too, and a
// connection made again after that is told to the transport (the equipment may have
// restarted and lost the vehicles it held). A receive takes what one receive of the
// socket brings into a queue and hands it out byte by byte; without a connection
// there is nothing to receive.
#include <errno.h>
#include <stdio.h>

#include "cfg.h"
#include "heartbeat.h"
#include "ipc.h"
#include "link.h"

int socketON;

// 1 from the moment the equipment closed or broke the connection until one is made
// again.
static char peer_dropped;

// Input queue: what the last receive brought, consumed from tcp_head.
static char tcp_queue[SIZE_SOCKBUF];
static int tcp_head;

// The equipment closed or broke the connection: it is closed on this side too.
static void tcp_dropped(void) {
    socketON = 0;
    closeSocketC();
    peer_dropped = 1;
}

static void tcp_open(void) {}

static int tcp_begin(int sending) {
    if (sending) return 0;
    tcp_queue[0] = 0;
    tcp_head = 0;
    return socketON == 1 ? 0 : -1;
}

static int tcp_send(const char *buf, int, char *purged) {
    if (socketON == 1 && getSocketCTimeout(purged, SIZE_SOCKBUF, 0, 100) < 0) {
        // the equipment has closed the connection: the frame goes out on a new one
        tcp_dropped();
        purged[0] = 0;
    }
    int renewed = 0;
    if (socketON == 0 && initSocketC(2, 0) == 1) {
        socketON = 1;
        renewed = peer_dropped;
        peer_dropped = 0;
    }
    if (socketON != 1) return -1; // no connection: errno tells why
    if (purged[0]) printf("purge : %s\n", purged);
    if (putSocketC(buf) != 1) return -1;
    return renewed ? LINK_RENEWED : LINK_SENT;
}

static int tcp_recv(char *c, long wait_us, int refill) {
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

static void tcp_failed(int err) {
    if (socketON == 1 && (err == EPIPE || err == ECONNRESET || err == ENOTCONN)) tcp_dropped();
}

static void tcp_end(int sending, int gone) {
    if (sending) return;
    tcp_queue[0] = 0; // bytes after the frame are dropped
    tcp_head = 0;
    if (gone && socketON == 1) tcp_dropped(); // the equipment closed the connection
}

static void tcp_close(void) {
    if (socketON != 1) return;
    socketON = 0;
    closeSocketC();
}

static int tcp_usable(void) { return socketON == 1; }

const LinkBackend link_tcp = {0,        1,          tcp_open, tcp_begin, tcp_send,
                              tcp_recv, tcp_failed, tcp_end,  tcp_close, tcp_usable};
