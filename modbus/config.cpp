#include "modbus/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "modbus/regmap.h"
#include "journal/journal.h"
#include "sys/sys.h"

namespace {
constexpr int DI_BYTES = MB_DISCRETE;       // 8
constexpr int DO_BYTES = MB_COILS;          // 256
constexpr int AI_BYTES = MB_INPUT * 2;      // 512
constexpr int AO_BYTES = MB_HOLDING * 2;    // 68800
static_assert(CONFIG_OFF_DO == CONFIG_OFF_DI + DI_BYTES);
static_assert(CONFIG_OFF_AI == CONFIG_OFF_DO + DO_BYTES);
static_assert(CONFIG_OFF_AO == CONFIG_OFF_AI + AI_BYTES);
static_assert(CONFIG_SIZE == CONFIG_OFF_AO + AO_BYTES);

// Owns one descriptor; closes it on every way out.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

// Opens the configuration file for reading. Only a regular file counts: a
// directory or a FIFO in its place must neither block the start nor be
// taken for an all-zero image.
int open_for_reading(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads up to n bytes at off; what the file does not hold stays as it was
// (the callers pass zeroed buffers, so a short file reads as zeros).
void read_at(int fd, uint8_t *buf, size_t n, off_t off) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, buf + got, n - got, off + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
}

bool write_all(int fd, const uint8_t *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, buf + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

void fsync_dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t get_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// One text of the default alarm texts: a character per register, its code in
// the high byte.
void put_default_text(int reg, const char *text) {
    for (int k = 0; text[k] != '\0'; k++) hr_set(reg + k, static_cast<uint16_t>(static_cast<uint8_t>(text[k]) << 8));
}
}  // namespace

int64_t getSystemTime() {
    struct timeval tv;
    sys_gettimeofday(&tv);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + static_cast<int64_t>(tv.tv_usec) / 1000;
}

// The image goes to a temporary file beside the configuration file, which is
// renamed over it only once complete and on disk: a power cut during a save
// leaves either the old or the new image, never a torn one.
int save_config() {
    int64_t start = getSystemTime();
    if (data_mapping.load() == nullptr) {
        puts("save config: no register map\r");
        return -1;
    }
    const std::string path = sys_path("/APP/config.ini");
    const std::string tmp = path + ".tmp";
    Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.fd < 0) {
        puts("open file fail\r");
        return -1;
    }
    puts("Open file success for saving\r");

    std::array<uint8_t, CONFIG_SIZE> img{};
    config_to_image(img.data());
    bool ok = true;

    puts("Save Modbus DI Data...\r");
    ok = ok && write_all(fd.fd, img.data() + CONFIG_OFF_DI, DI_BYTES);
    puts("Save Modbus DO Data...\r");
    ok = ok && write_all(fd.fd, img.data() + CONFIG_OFF_DO, DO_BYTES);
    puts("Save Modbus AI Data...\r");
    ok = ok && write_all(fd.fd, img.data() + CONFIG_OFF_AI, AI_BYTES);
    puts("Save Modbus AO Data...\r");
    ok = ok && write_all(fd.fd, img.data() + CONFIG_OFF_AO, AO_BYTES);

    ok = ok && fsync(fd.fd) == 0;
    ok = (close(fd.release()) == 0) && ok;
    if (!ok) {
        printf("write file fail: %s\r\n", strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        printf("replace file fail: %s\r\n", strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    fsync_dir_of(path);
    journal_event(JK_CONFIG, -1, 0, 0, nullptr);

    printf("Time Spent: %lld ms\n", static_cast<long long>(getSystemTime() - start));
    return 0;
}

int read_config() {
    std::array<uint8_t, DI_BYTES> di{};
    std::array<uint8_t, DO_BYTES> dout{};
    std::array<uint8_t, AI_BYTES> ai{};
    std::array<uint8_t, AO_BYTES> ao{};
    int64_t start = getSystemTime();

    Fd fd(open_for_reading(sys_path("/APP/config.ini")));
    if (fd.fd < 0) {
        puts("open file fail\r");
        return -1;
    }
    puts("open config file success\r");

    read_at(fd.fd, di.data(), di.size(), CONFIG_OFF_DI);
    puts("Set Modbus DI Data...\r");
    for (int i = 0; i < MB_DISCRETE; i++) di_set(i, di[i]);

    read_at(fd.fd, dout.data(), dout.size(), CONFIG_OFF_DO);
    puts("Set Modbus DO Data...\r");
    for (int i = 0; i < MB_COILS; i++) coil_set(i, dout[i]);

    read_at(fd.fd, ai.data(), ai.size(), CONFIG_OFF_AI);
    puts("Set Modbus AI Data...\r");
    for (int i = 0; i < MB_INPUT; i++) ir_set(i, get_le16(ai.data() + 2 * i));

    read_at(fd.fd, ao.data(), ao.size(), CONFIG_OFF_AO);
    puts("Set Modbus AO Data...\r");
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, get_le16(ao.data() + 2 * i));

    close(fd.release());
    puts("set config file success\r");
    printf("Time Spent: %lld ms\n", static_cast<long long>(getSystemTime() - start));
    return 0;
}

namespace {
// A DI or DO byte of the image holds one bit: 0 or 1.
bool bits_ok(const uint8_t *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (b[i] > 1) return false;
    return true;
}
}  // namespace

bool config_image_ok(const uint8_t *img, size_t n) {
    return img != nullptr && n == static_cast<size_t>(CONFIG_SIZE) && bits_ok(img + CONFIG_OFF_DI, DI_BYTES) &&
           bits_ok(img + CONFIG_OFF_DO, DO_BYTES);
}

int check_config() {
    Fd fd(open_for_reading(sys_path("/APP/config.ini")));
    if (fd.fd < 0) {
        puts("open file fail\r");
        return -1;
    }
    puts("open config file success\r");

    std::array<uint8_t, DI_BYTES> di{};
    read_at(fd.fd, di.data(), di.size(), CONFIG_OFF_DI);
    puts("Check Modbus DI Data...\r");
    if (!bits_ok(di.data(), di.size())) return -1;

    std::array<uint8_t, DO_BYTES> dout{};
    read_at(fd.fd, dout.data(), dout.size(), CONFIG_OFF_DO);
    puts("Check Modbus DO Data...\r");
    if (!bits_ok(dout.data(), dout.size())) return -1;

    close(fd.release());
    puts("check config file success\r");
    return 0;
}

void config_to_image(uint8_t *img) {
    for (int i = 0; i < MB_DISCRETE; i++) img[CONFIG_OFF_DI + i] = di_get(i);
    for (int i = 0; i < MB_COILS; i++) img[CONFIG_OFF_DO + i] = coil_get(i);
    for (int i = 0; i < MB_INPUT; i++) put_le16(img + CONFIG_OFF_AI + 2 * i, ir_get(i));
    for (int i = 0; i < MB_HOLDING; i++) put_le16(img + CONFIG_OFF_AO + 2 * i, hr_get(i));
}

void config_from_image(const uint8_t *img, size_t n) {
    std::array<uint8_t, CONFIG_SIZE> full{};
    std::memcpy(full.data(), img, n < full.size() ? n : full.size());
    for (int i = 0; i < MB_DISCRETE; i++) di_set(i, full[CONFIG_OFF_DI + i]);
    for (int i = 0; i < MB_COILS; i++) coil_set(i, full[CONFIG_OFF_DO + i]);
    for (int i = 0; i < MB_INPUT; i++) ir_set(i, get_le16(full.data() + CONFIG_OFF_AI + 2 * i));
    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, get_le16(full.data() + CONFIG_OFF_AO + 2 * i));
}

void config_fill_defaults() {
    using namespace layout;
    for (int i = 0; i < MB_DISCRETE; i++) di_set(i, 0);
    for (int i = 0; i < MB_COILS; i++) coil_set(i, 0);
    for (int i = 0; i < MB_INPUT; i++) ir_set(i, 0);
    for (int i = 0; i < IR_IDENT_N; i++) ir_set(IR_IDENT + i, IDENT[i]);

    for (int i = 0; i < MB_HOLDING; i++) hr_set(i, 0);
    hr_set(HR_PIN, static_cast<uint16_t>((DEFAULT_PIN[0] << 8) | DEFAULT_PIN[1]));
    hr_set(HR_PIN + 1, static_cast<uint16_t>((DEFAULT_PIN[2] << 8) | DEFAULT_PIN[3]));
    hr_set(HR_SLAVE_ADDRESS, 1);
    hr_set(HR_SERIAL, SERIAL_DEFAULT);
    hr_set(HR_SENDER_FILTER, 1);

    char text[24];
    for (int i = 0; i < ALARMS; i++) {
        snprintf(text, sizeof text, "Channel%d ON", i);
        put_default_text(alarm_text_reg(i), text);
        snprintf(text, sizeof text, "Channel%d OFF", i);
        put_default_text(alarm_off_text_reg(i), text);
    }
}

void set_config_default() {
    puts("Set Modbus DI Data...\r");
    puts("Set Modbus DO Data...\r");
    puts("Set Modbus AI Data...\r");
    puts("Set Modbus AO Data...\r");
    config_fill_defaults();
}
