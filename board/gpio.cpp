#include "board/gpio.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "sys/sys.h"

namespace {
// Closes the sysfs file on every path out of an operation.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::string line_file(int gpio, const char *leaf) {
    char p[64];
    snprintf(p, sizeof p, "/sys/class/gpio/gpio%d/%s", gpio, leaf);
    return sys_path(p);
}

int exported(const std::string &value_path) { return access(value_path.c_str(), F_OK); }

// The kernel takes the text with its terminating zero byte. No truncation:
// a reader of the simulated board's plain files never sees an empty value.
int write_text(const std::string &path, const char *text) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return fd;
    Fd f(fd);
    ssize_t r = write(fd, text, strlen(text) + 1);
    (void)r;
    return 0;
}

struct PinSetup {
    int gpio, dir, active_low, value;
};
// The board pin table, in the order the lines are configured.
constexpr PinSetup kPins[] = {
    {27, 0, 1, 0}, {26, 0, 1, 0}, {28, 0, 1, 0}, {30, 0, 1, 0}, {7, 0, 1, 0},
    {5, 0, 0, 0},  {80, 0, 0, 0}, {29, 1, 0, 0}, {4, 1, 0, 0},  {25, 1, 0, 0},
    {6, 1, 0, 0},  {92, 1, 0, 0}, {77, 1, 0, 0}, {0, 1, 0, 0},
};

constexpr int kStaLed = 77;
constexpr int kGpsLed = 92;
}  // namespace

int GPIO_open(int gpio) {
    std::string value = line_file(gpio, "value");
    if (exported(value) == 0) return 0;

    int fd = open(sys_path("/sys/class/gpio/export").c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) {
        perror("open fail\n");
        return fd;
    }
    Fd f(fd);
    char num[16];
    int len = snprintf(num, sizeof num, "%d", gpio);
    ssize_t w = write(fd, num, static_cast<size_t>(len));
    if (w != len) {
        perror("write fail");
        // A partial write is a failed export: a positive count would pass for success.
        return w < 0 ? static_cast<int>(w) : -1;
    }
    sys_usleep(1000);
    int r = exported(value);
    if (r != 0) perror("create fail\n");
    return r;
}

int GPIO_set_dir(int gpio, int out) {
    int r = write_text(line_file(gpio, "direction"), out ? "out" : "in");
    if (r < 0) printf("gpio(%d)/direction", gpio);
    return r;
}

int GPIO_set_active(int gpio, int active_low) {
    int r = write_text(line_file(gpio, "active_low"), active_low ? "1" : "0");
    if (r < 0) printf("gpio(%d)/active_low", gpio);
    return r;
}

int GPIO_set_value(int gpio, int value) {
    int r = write_text(line_file(gpio, "value"), value ? "1" : "0");
    if (r < 0) perror("gpio/set-value");
    return r;
}

int GPIO_get_value(int gpio) {
    std::string path = line_file(gpio, "value");
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        printf("usr_gpio_get_value open %s error %d\n", path.c_str(), fd);
        return fd;
    }
    Fd f(fd);
    off_t off = lseek(fd, 0, SEEK_SET);
    if (off < 0) {
        printf("usr_gpio_get_value lseek %s error %d\n", path.c_str(), static_cast<int>(off));
        return static_cast<int>(off);
    }
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    if (n <= 0) {
        printf("usr_gpio_get_value read %s error %d\n", path.c_str(), static_cast<int>(n));
        return static_cast<int>(n);
    }
    return c == '1' ? 1 : 0;
}

int GPIO_io_init(int gpio, int dir, int active_low, int value) {
    if (GPIO_open(gpio) < 0) {
        printf("[%d]gpio init error\r\n", gpio);
        return -1;
    }
    sys_usleep(1000);
    GPIO_set_dir(gpio, dir);
    GPIO_set_active(gpio, active_low);
    if (dir) GPIO_set_value(gpio, value);
    return 0;
}

void InitGPIO() {
    sys_sleep(1);
    for (const PinSetup &p : kPins) GPIO_io_init(p.gpio, p.dir, p.active_low, p.value);
}

uint8_t DIV(uint8_t ch) {
    static constexpr int lines[5] = {27, 26, 28, 30, 7};
    // No line is wired to a higher channel; it reads as 0.
    if (ch > 4) return 0;
    return static_cast<uint8_t>(GPIO_get_value(lines[ch]));
}

int ONDO(uint8_t ch) { return GPIO_set_value(ch == 0 ? 29 : 4, 1); }
int OFFDO(uint8_t ch) { return GPIO_set_value(ch == 0 ? 29 : 4, 0); }
int DOV(uint8_t ch) { return GPIO_get_value(ch == 0 ? 29 : 4); }
int AI0_LOW() { return GPIO_set_value(25, 0); }
int AI0_HIGH() { return GPIO_set_value(25, 1); }
int AI1_LOW() { return GPIO_set_value(6, 0); }
int AI1_HIGH() { return GPIO_set_value(6, 1); }

int STA_LED_ON() { return GPIO_set_value(kStaLed, 1); }
int STA_LED_OFF() { return GPIO_set_value(kStaLed, 0); }
int STA_LED_V() { return GPIO_get_value(kStaLed); }
int STA_LED_INVERSE() { return GPIO_set_value(kStaLed, GPIO_get_value(kStaLed) ? 0 : 1); }

int GPS_LED_ON() { return GPIO_set_value(kGpsLed, 1); }
int GPS_LED_OFF() { return GPIO_set_value(kGpsLed, 0); }
int GPS_LED_V() { return GPIO_get_value(kGpsLed); }
int GPS_LED_INVERSE() { return GPIO_set_value(kGpsLed, GPIO_get_value(kGpsLed) ? 0 : 1); }

int PIN_INIT_V() { return GPIO_get_value(5); }
