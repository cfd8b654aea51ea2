// TCP client of the equipment link ("LAN" link kind).
//
// The socket is made non-blocking before connect, so a connection to equipment that
// does not answer costs at most the time given to initSocketC; select reports the end
// of the connection attempt and the socket's pending error says how it ended. The
// socket stays non-blocking: receives are always preceded by a wait for data, and
// sends suppress the broken-pipe signal so a dropped connection is only an error code.
// The waits for the connection, for data and for room to send sleep in select and
// service the heartbeat.
//
// The address is read from the parameter file verbatim; blanks around it are not part
// of it. An address that still does not parse is told once, naming the value, and no
// connection is attempted.
#include "ipc.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "file_param.h"
#include "heartbeat.h"

int SocketDescriptor = -1;
struct sockaddr_in ServerAddress;

// Closes the socket after a failed attempt, keeping errno for the caller's message.
static int connect_failed(const char *message, int err) {
    printf(message, equipIp, equipPort);
    close(SocketDescriptor);
    SocketDescriptor = -1;
    errno = err;
    return -1;
}

// The equipment's address from equipIp without the blanks around it, into
// ServerAddress; 0 when it is no dotted-decimal IPv4 address (told once per value).
static int equipment_address(void) {
    static char told[sizeof equipIp] = "";
    const char *p = equipIp;
    while (*p == ' ' || *p == '\t')
        p++;
    int n = (int)strlen(p);
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        n--;
    char ip[sizeof equipIp];
    snprintf(ip, sizeof ip, "%.*s", n, p);
    if (inet_pton(AF_INET, ip, &ServerAddress.sin_addr) == 1) {
        told[0] = 0;
        return 1;
    }
    if (strcmp(told, equipIp) != 0) {
        printf("\nAdresse IP de l'equipement invalide: \"%s\"\n", equipIp);
        snprintf(told, sizeof told, "%s", equipIp);
    }
    return 0;
}

// One slice of a wait for the socket to become writable: select's result.
static int writable_slice(long us) {
    fd_set wset;
    FD_ZERO(&wset);
    FD_SET(SocketDescriptor, &wset);
    struct timeval tv = {us / 1000000, us % 1000000};
    return select(SocketDescriptor + 1, nullptr, &wset, nullptr, &tv);
}

int initSocketC(int timeOutSec, int timeOutUsec) {
    if (SocketDescriptor >= 0) close(SocketDescriptor); // a connection given up without closing
    SocketDescriptor = -1;
    memset(&ServerAddress, 0, sizeof ServerAddress);
    ServerAddress.sin_family = AF_INET;
    ServerAddress.sin_port = htons((uint16_t)equipPort);
    if (!equipment_address()) {
        errno = EINVAL;
        return -1;
    }
    SocketDescriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (SocketDescriptor < 0) return -1;
    fcntl(SocketDescriptor, F_SETFL, fcntl(SocketDescriptor, F_GETFL) | O_NONBLOCK);
    if (connect(SocketDescriptor, (struct sockaddr *)&ServerAddress, sizeof ServerAddress) != 0) {
        if (errno != EINPROGRESS)
            return connect_failed("Impossible de se connecter à %s:%d \n", errno);
        if (heartbeat_wait((long)timeOutSec * 1000000 + timeOutUsec, writable_slice) != 1)
            return connect_failed("Impossible2 de se connecter à %s:%d \n", ETIMEDOUT);
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(SocketDescriptor, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            return connect_failed("Impossible de se connecter à %s:%d \n", errno);
        if (err != 0) return connect_failed("Impossible de se connecter à %s:%d \n", err);
    }
    printf("Connexion à %s sur le port %d\n", equipIp, equipPort);
    return 1;
}

int getSocketC(char *buffer, int tailleDuBuffer) {
    buffer[0] = 0;
    if (tailleDuBuffer < 2) return 1;
    ssize_t n = recv(SocketDescriptor, buffer, (size_t)(tailleDuBuffer - 1), 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 1;
        return -1;
    }
    buffer[n] = 0;
    return n == 0 ? -1 : 1; // nothing to read although select said so: the peer has closed
}

// One slice of a wait for data: 1 when the socket became readable.
static int readable_slice(long us) {
    fd_set rset;
    FD_ZERO(&rset);
    FD_SET(SocketDescriptor, &rset);
    struct timeval tv = {us / 1000000, us % 1000000};
    return select(SocketDescriptor + 1, &rset, nullptr, nullptr, &tv) == 1;
}

int getSocketCTimeout(char *buffer, int tailleDuBuffer, int timeOutSec, int timeOutUsec) {
    buffer[0] = 0;
    if (SocketDescriptor < 0) return 0;
    if (!heartbeat_wait((long)timeOutSec * 1000000 + timeOutUsec, readable_slice)) return 0;
    return getSocketC(buffer, tailleDuBuffer);
}

int putSocketC(const char *buffer) {
    size_t len = strlen(buffer), done = 0;
    while (done < len) {
        ssize_t n = send(SocketDescriptor, buffer + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // the socket's send buffer is full: wait a little for room
            if (heartbeat_wait(2000000, writable_slice) != 1) return -1;
            continue;
        }
        if (n < 0) return -1;
        done += (size_t)n;
    }
    return 1;
}

void closeSocketC(void) {
    printf("Fermeture de la connexion à %s:%d \n", equipIp, equipPort);
    if (SocketDescriptor >= 0) close(SocketDescriptor);
    SocketDescriptor = -1;
}
