#include "board/i2c.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sys/sys.h"

int i2c_fd = -1;

namespace {
struct FreeDeleter {
    void operator()(uint8_t *p) const { free(p); }
};
using Buf = std::unique_ptr<uint8_t, FreeDeleter>;

// The bus is opened for each transfer and closed at its end.
struct Bus {
    int fd;
    Bus() : fd(open(sys_path("/dev/i2c-0").c_str(), O_RDWR)) { i2c_fd = fd; }
    ~Bus() {
        if (fd >= 0) close(fd);
    }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
    void setup() const {
        // Timeout in units of 10 ms; failures here do not stop the transfer.
        (void)ioctl(fd, I2C_TIMEOUT, 1);
        (void)ioctl(fd, I2C_RETRIES, 2);
    }
};
}  // namespace

int InitI2C() {
    std::string dev = sys_path("/dev/i2c-0");
    int fd = open(dev.c_str(), O_RDWR);
    i2c_fd = fd;
    if (fd < 0) {
        printf("I2C_W>> open %s error %d\n", dev.c_str(), fd);
        return 0;
    }
    // Only proves that the bus opens; every transfer opens it again.
    close(fd);
    return 1;
}

int I2C_Write(uint8_t dev, uint8_t reg, uint8_t n, const uint8_t *data) {
    Bus bus;
    if (bus.fd < 0) {
        printf("I2C_W>> open %s error %d\n", sys_path("/dev/i2c-0").c_str(), bus.fd);
        return -1;
    }
    bus.setup();
    Buf buf(static_cast<uint8_t *>(malloc(static_cast<size_t>(n) + 1)));
    if (!buf) {
        puts("I2C_W>> malloc error\r");
        return -2;
    }
    buf.get()[0] = reg;
    if (n > 0 && data != nullptr) memcpy(buf.get() + 1, data, n);

    struct i2c_msg msg;
    msg.addr = static_cast<__u16>(dev >> 1);
    msg.flags = 0;
    msg.len = static_cast<__u16>(n + 1);
    msg.buf = buf.get();
    struct i2c_rdwr_ioctl_data xfer;
    xfer.msgs = &msg;
    xfer.nmsgs = 1;
    int ret = ioctl(bus.fd, I2C_RDWR, &xfer);
    if (ret < 0) {
        perror("ioctl error");
        printf("I2C_W>> Write error, ret=%d\r\n", ret);
        return -3;
    }
    return 1;
}

int I2C_Read(uint8_t dev, uint8_t reg, uint8_t n, uint8_t *data) {
    Bus bus;
    if (bus.fd < 0) {
        printf("I2C_R>> open %s error %d\n", sys_path("/dev/i2c-0").c_str(), bus.fd);
        return -1;
    }
    bus.setup();
    Buf out(static_cast<uint8_t *>(malloc(1)));
    Buf in(static_cast<uint8_t *>(malloc(n > 0 ? n : 1)));
    if (!out || !in) {
        puts("I2C_R>> malloc error\r");
        return -2;
    }
    out.get()[0] = reg;
    in.get()[0] = 0;

    struct i2c_msg msgs[2];
    msgs[0].addr = static_cast<__u16>(dev >> 1);
    msgs[0].flags = 0;
    msgs[0].len = 1;
    msgs[0].buf = out.get();
    msgs[1].addr = static_cast<__u16>(dev >> 1);
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = n;
    msgs[1].buf = in.get();
    struct i2c_rdwr_ioctl_data xfer;
    xfer.msgs = msgs;
    xfer.nmsgs = 2;
    int ret = ioctl(bus.fd, I2C_RDWR, &xfer);
    if (ret < 0) {
        perror("ioctl error");
        printf("I2C_R>> Read error, ret=%d(0x%X)\r\n", ret, static_cast<unsigned>(ret));
        return -3;
    }
    if (n > 0 && data != nullptr) memcpy(data, in.get(), n);
    return 1;
}
