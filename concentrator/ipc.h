// TCP client of the equipment link: one connection to the equipment's address,
// made with a non-blocking connect completed through select, and kept non-blocking.
#pragma once

#include <netinet/in.h>

extern int SocketDescriptor;              // the TCP socket (-1 when none)
extern struct sockaddr_in ServerAddress;  // the equipment: IPv4, equipPort, equipIp

// Connects to equipIp:equipPort, waiting at most the time given; 1 when connected, -1 otherwise.
int initSocketC(int timeOutSec, int timeOutUsec);
// One receive of at most tailleDuBuffer - 1 bytes into buffer, NUL-terminated; 1, or -1
// on a receive error or when the equipment has closed the connection.
int getSocketC(char *buffer, int tailleDuBuffer);
// Waits up to the time given for data (servicing the heartbeat), then getSocketC; 0 when
// nothing arrived in time.
int getSocketCTimeout(char *buffer, int tailleDuBuffer, int timeOutSec, int timeOutUsec);
// Sends the NUL-terminated text without its terminator, broken-pipe signals suppressed;
// 1, or -1 on error.
int putSocketC(const char *buffer);
// Prints the closing message and closes the socket.
void closeSocketC(void);
