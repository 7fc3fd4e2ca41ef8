// The serial layer of the AT channel: open and configure a port in raw mode,
// write a command, wait a fixed time, collect what arrived without blocking.
// A descriptor below 0 means no port. This is a seam: unit tests link a
// scripted modem in place of serial.cpp.
#pragma once
#include <cstddef>

int uart_open(const char *path, int speed, int bits, char parity, int stop);
int set_opt(int fd, int speed, int bits, char parity, int stop);
void uart_close(int fd);
int uart_write(int fd, const void *data, int len);
int uart_read(int fd, void *buf, int cap);
// Writes, sleeps wait_ms, clears the 1024-byte buffer and reads at most 1023
// bytes into it, so the answer always stays terminated.
int uart_write_read(int fd, const void *data, int len, char *buf, int wait_ms);
int uart_datasize_in_com(int fd);
int uart_flush(int fd, int selector);
int uart_rx_clear(int fd);
int uart_tx_clear(int fd);
