// The socket layer of the telemetry push: IPv4 stream connections with
// bounded waits, short polled reads and the write-failure counter.
#pragma once

int net_connect(const char *host, int port);   // descriptor, -1 socket, -2 host lookup, -3 connect
void net_close(int fd);
// Waits 5 ms for data, then one read: > 0 bytes, -1 read error, -2 peer closed,
// -3 wait error, -4 nothing arrived.
int net_readn(int fd, char *buf, int size);
int recv_NonBlocking(int fd, char *buf, int size);
// 0 when rc > 0; -1 a failed write; -2 the fourth failed write since the last
// close: the descriptor is closed.
int net_check_write_status(int rc, int fd);
int net_write_fail_count();                     // failed writes since the last close
void net_write_fail_reset();
