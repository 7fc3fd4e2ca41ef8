#include "net/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "sys/sys.h"

namespace {
constexpr int kWriteCounterMax = 4;
std::atomic<int> g_write_fail{0};

void print_error(int err) {
    char buf[128];
    // GNU strerror_r: thread-safe, may return a static text instead of buf.
    const char *msg = strerror_r(err, buf, sizeof buf);
    printf("perror: %s\n", msg);
}
}  // namespace

int net_connect(const char *host, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        puts("->net_connect Error: open socket Error\r");
        return -1;
    }
    int rcvbuf = 10000, sndbuf = 100;
    struct timeval tmo = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tmo, sizeof tmo);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tmo, sizeof tmo);
    // A server that goes away must not end the daemon on the next write.
    signal(SIGPIPE, SIG_IGN);

    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (host == nullptr || getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
        puts("->net_connect Error: get host Error\r");
        close(fd);
        return -2;
    }
    struct sockaddr_in addr;
    memcpy(&addr, res->ai_addr, sizeof addr);
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<uint16_t>(port));

    int r = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    if (r < 0) {
        int err = errno;
        printf("->net_connect Error: connecting Error, %d, %d\r\n", r, err);
        close(fd);
        return -3;
    }
    puts("->net_connect OK\r");
    return fd;
}

void net_close(int fd) {
    if (fd >= 0) close(fd);
}

int net_readn(int fd, char *buf, int size) {
    if (buf == nullptr || size <= 0) {
        puts("read error\r");
        print_error(EINVAL);
        return -1;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 5);
    if (r < 0) {
        int err = errno;
        puts("socket error\r");
        print_error(err);
        return -3;
    }
    if (r == 0) return -4;
    ssize_t n = read(fd, buf, static_cast<size_t>(size));
    if (n > 0) {
        puts("read success\r");
        return static_cast<int>(n);
    }
    if (n == 0) return -2;
    int err = errno;
    puts("read error\r");
    print_error(err);
    return -1;
}

int recv_NonBlocking(int fd, char *buf, int size) { return net_readn(fd, buf, size); }

int net_check_write_status(int rc, int fd) {
    if (rc > 0) return 0;
    int n = ++g_write_fail;
    if (n < kWriteCounterMax) {
        printf("write fail, rc=%d\r\n", rc);
        return -1;
    }
    printf("write-fail-counter > WriteCounterMax --> close socket, rc=%d\r\n", rc);
    g_write_fail = 0;
    net_close(fd);
    sys_usleep(500 * 1000);
    return -2;
}

int net_write_fail_count() { return g_write_fail.load(); }

void net_write_fail_reset() { g_write_fail = 0; }
