#include "modem/serial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "sys/sys.h"

namespace {
constexpr int kAnswerBuf = 1024;

speed_t speed_code(int speed) {
    switch (speed) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B115200;
    }
}

// The whole line setting, built from nothing so that settings left by earlier
// users of the device never carry over: raw in and out, no echo, no flow control.
void make_termios(struct termios *tio, int speed, int bits, char parity, int stop) {
    memset(tio, 0, sizeof *tio);
    tio->c_cflag |= CLOCAL | CREAD;
    if (bits == 7)
        tio->c_cflag |= CS7;
    else if (bits == 8)
        tio->c_cflag |= CS8;

    switch (parity) {
    case 'N':
        tio->c_cflag &= ~PARENB;
        break;
    case 'O':
        tio->c_cflag |= PARENB | PARODD;
        tio->c_iflag |= INPCK;
        break;
    case 'E':
        tio->c_iflag |= INPCK;
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
        break;
    default:
        break;
    }

    speed_t s = speed_code(speed);
    cfsetispeed(tio, s);
    cfsetospeed(tio, s);

    if (stop == 2)
        tio->c_cflag |= CSTOPB;
    else
        tio->c_cflag &= ~CSTOPB;

    tio->c_cc[VTIME] = 30;
    tio->c_cc[VMIN] = 1;
}
}  // namespace

int set_opt(int fd, int speed, int bits, char parity, int stop) {
    struct termios oldtio;
    if (tcgetattr(fd, &oldtio) != 0) {
        puts("setupserial 1");
        printf("errno=%d\n", errno);
        return -1;
    }
    struct termios tio;
    make_termios(&tio, speed, bits, parity, stop);
    tcflush(fd, TCIFLUSH);
    tcflush(fd, TCOFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        puts("com set error");
        return -1;
    }
    return 0;
}

int uart_open(const char *path, int speed, int bits, char parity, int stop) {
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        printf("open %s error: %d\n", path, fd);
        return fd;
    }
    int r = set_opt(fd, speed, bits, parity, stop);
    if (r < 0) {
        printf("set opt error: %d\n", r);
        // The caller never sees this descriptor; the supervisor retries every
        // second, so keeping it would leak one descriptor per pass.
        close(fd);
        return r;
    }
    return fd;
}

void uart_close(int fd) {
    if (fd < 0) return;
    close(fd);
}

int uart_write(int fd, const void *data, int len) {
    if (fd < 0 || data == nullptr || len < 0) return -1;
    return static_cast<int>(write(fd, data, static_cast<size_t>(len)));
}

int uart_datasize_in_com(int fd) {
    if (fd < 0) return -1;
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) < 0) return -2;
    return n;
}

int uart_read(int fd, void *buf, int cap) {
    if (fd < 0 || buf == nullptr || cap < 0) return 0;
    int waiting = uart_datasize_in_com(fd);
    if (waiting < 0) return 0;
    int n = waiting < cap ? waiting : cap;
    // Only what is already queued is asked for, so this never blocks.
    ssize_t r = read(fd, buf, static_cast<size_t>(n));
    return static_cast<int>(r);
}

int uart_write_read(int fd, const void *data, int len, char *buf, int wait_ms) {
    if (buf == nullptr) return 0;
    uart_write(fd, data, len);
    if (wait_ms > 0) sys_usleep(static_cast<uint64_t>(wait_ms) * 1000u);
    memset(buf, 0, kAnswerBuf);
    // One byte short of the buffer: callers search the answer as text.
    return uart_read(fd, buf, kAnswerBuf - 1);
}

int uart_flush(int fd, int selector) {
    if (fd < 0) return -1;
    if (selector == 0)
        tcflush(fd, TCOFLUSH);
    else if (selector == 1)
        tcflush(fd, TCIFLUSH);
    else
        tcflush(fd, TCIOFLUSH);
    return 0;
}

int uart_rx_clear(int fd) { return uart_flush(fd, 1); }

int uart_tx_clear(int fd) { return uart_flush(fd, 0); }
