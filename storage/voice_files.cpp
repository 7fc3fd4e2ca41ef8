#include "storage/voice_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "modbus/regmap.h"
#include "storage/sdcard.h"
#include "sys/sys.h"

std::string voice_file_name(int n, bool on) {
    char name[32];
    snprintf(name, sizeof name, on ? "DO%d_ON.wav" : "DO%d_OFF.wav", n);
    return name;
}

namespace {
constexpr int kAlarms = layout::ALARMS;
constexpr int kPresenceReg = layout::IR_WAV_PRESENT;   // 16 registers, then the format bitmaps
constexpr int kFormatReg = layout::IR_WAV_VALID;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Reads n bytes at off; false when the file does not hold them all.
bool read_at(FILE *f, uint64_t off, void *dst, size_t n) {
    if (fseeko(f, static_cast<off_t>(off), SEEK_SET) != 0) return false;
    return fread(dst, 1, n, f) == n;
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string card_file(int n, bool on) { return sys_path((VOICE_CARD_DIR + voice_file_name(n, on)).c_str()); }

std::string link_file(int n, bool on) { return sys_path((VOICE_LINK_DIR + voice_file_name(n, on)).c_str()); }

// A dangling link still counts as present.
bool entry_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void make_link(const std::string &target, const std::string &link) {
    // Two spaces before the link name, as the board's scripts expect.
    std::string cmd = "ln -s " + target + "  " + link;
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        puts("popen() ln -s error!");
        return;
    }
    sys_pclose(p);
}
}  // namespace

namespace {
// Opens a voice file for reading without ever waiting on it: non-blocking, and
// only a regular file is read (a FIFO or a device on the card would stall the start).
File open_regular(const char *path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return File{};
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return File{};
    }
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) close(fd);
    return File(f);
}

// Reads the header and the chunk sizes only, never the samples. Fills hdr and
// the place and length of the sample data held by the file; false when the
// data chunk is not found.
bool read_header(FILE *f, wav_header *hdr, uint64_t *data_at, size_t *data_n) {
    struct stat st;
    uint64_t size = (fstat(fileno(f), &st) == 0 && st.st_size > 0) ? static_cast<uint64_t>(st.st_size) : 0;

    char form[7];
    if (!read_at(f, 8, form, sizeof form) || memcmp(form, "WAVEfmt", sizeof form) != 0) {
        fprintf(stderr, "The file is not in WAVE format!\n");
        return false;
    }

    uint8_t word[4] = {};
    uint64_t body_len = read_at(f, 16, word, 4) ? le32(word) : 0;

    // The record is filled from the start of the body; a longer body is skipped,
    // and nothing is read beyond the end of the file.
    uint8_t body[sizeof(wav_header)] = {};
    uint64_t avail = size > 20 ? size - 20 : 0;
    size_t take = static_cast<size_t>(std::min<uint64_t>({body_len, sizeof body, avail}));
    if (take > 0 && !read_at(f, 20, body, take)) take = 0;
    hdr->audio_format = le16(body);
    hdr->channels = static_cast<int16_t>(le16(body + 2));
    hdr->sample_rate = le32(body + 4);
    hdr->byte_rate = le32(body + 8);
    hdr->block_align = le16(body + 12);
    hdr->bits_per_sample = static_cast<int16_t>(le16(body + 14));
    hdr->ext_size = le16(body + 16);

    // The data chunk must follow the format chunk directly.
    const uint64_t tag_at = 20 + body_len;
    char tag[4];
    if (tag_at + 4 > size || !read_at(f, tag_at, tag, 4) || memcmp(tag, "data", 4) != 0) {
        fprintf(stderr, "Locating data start point failed!\n");
        return false;
    }
    uint64_t data_len = read_at(f, tag_at + 4, word, 4) ? le32(word) : 0;
    *data_at = tag_at + 8;
    // Never more than the file holds, whatever the chunk claims.
    uint64_t held = size > *data_at ? size - *data_at : 0;
    *data_n = static_cast<size_t>(std::min(data_len, held));
    return true;
}
}  // namespace

uint8_t *wavread(const char *path, wav_header *hdr) {
    *hdr = wav_header{};
    File f = open_regular(path);
    if (!f) {
        fprintf(stderr, "Can not open the wave file: %s.\n", path);
        return nullptr;
    }
    uint64_t data_at = 0;
    size_t n = 0;
    if (!read_header(f.get(), hdr, &data_at, &n)) return nullptr;
    auto *buf = static_cast<uint8_t *>(malloc(n > 0 ? n : 1));
    if (buf == nullptr) {
        fprintf(stderr, "Memory alloc failed!\n");
        return nullptr;
    }
    if (n > 0) (void)read_at(f.get(), data_at, buf, n);
    return buf;
}

int wav_read_header(const char *path, wav_header *hdr) {
    *hdr = wav_header{};
    File f = open_regular(path);
    if (!f) {
        fprintf(stderr, "Can not open the wave file: %s.\n", path);
        return 0;
    }
    uint64_t data_at = 0;
    size_t n = 0;
    return read_header(f.get(), hdr, &data_at, &n) ? 1 : 0;
}

int check_wav_format(int n, int on) {
    std::string path = card_file(n, on == 1);
    // Judged by the format fields alone, even when the data chunk was not found;
    // the samples are never read here (this runs in the listener's path).
    wav_header h{};
    (void)wav_read_header(path.c_str(), &h);
    return (h.channels == 1 && h.sample_rate == 8000 && h.bits_per_sample == 16) ? 1 : 0;
}

int pow_ne(int x, int y) {
    printf("\r\nSTART_z=%d,x=%d,y=%d\r\n", 1, x, y);
    // Unsigned product: an overflow wraps instead of being undefined.
    unsigned z = 1;
    for (int i = 1; i <= y; i++) {
        z *= static_cast<unsigned>(x);
        printf("\r\nz=%d\r\n", static_cast<int>(z));
    }
    return static_cast<int>(z);
}

int link_wav_to_var() {
    const std::string dir = sys_path(VOICE_LINK_DIR);
    std::string cmd = "mkdir " + dir;
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        printf("popen()-mkdir %s error!\n", dir.c_str());
    } else {
        char line[128];
        while (sys_pipe_gets(p, line, sizeof line)) {
            if (strstr(line, "File exists") != nullptr)
                printf("%s already creat!!\r\n", dir.c_str());
            else
                printf("creat %s error!!\r\n", dir.c_str());
        }
        sys_pclose(p);
    }

    bool missing = false;
    for (int n = 0; n < kAlarms; n++) {
        std::string on = link_file(n, true);
        if (!entry_exists(on)) {
            printf("Voice ON File: %s not exist!!.\r\n", on.c_str());
            missing = true;
        }
        if (!entry_exists(link_file(n, false))) missing = true;
    }
    if (!missing) return 1;

    // ln -s leaves existing entries alone, so only the missing links are made.
    for (int n = 0; n < kAlarms; n++) {
        make_link(card_file(n, true), link_file(n, true));
        make_link(card_file(n, false), link_file(n, false));
        sys_usleep(10000);
    }
    return 1;
}

void check_wav_exist_format() {
    if (if_sd_card != 1) {
        puts("SD card does not exist.\r");
        for (int r = kPresenceReg; r < kFormatReg + layout::IR_WAV_N; r++) ir_set(r, 0);
        return;
    }
    uint16_t presence = 0, format = 0;
    int k = 0, j = 0;
    for (int n = 0; n < kAlarms; n++) {
        std::string on = card_file(n, true);
        if (access(on.c_str(), F_OK) == 0) {
            printf("Voice ON File: %s exist.\r\n", on.c_str());
            uint16_t w = static_cast<uint16_t>(pow_ne(2, k));
            presence = static_cast<uint16_t>(presence + w);
            if (check_wav_format(n, 1) == 1)
                format = static_cast<uint16_t>(format + w);
            else
                printf("Voice ON File: %s format is Incorrect!!\r\n", on.c_str());
        }
        std::string off = card_file(n, false);
        if (access(off.c_str(), F_OK) == 0) {
            printf("Voice OFF File: %s exist.\r\n", off.c_str());
            uint16_t w = static_cast<uint16_t>(pow_ne(2, k + 1));
            presence = static_cast<uint16_t>(presence + w);
            if (check_wav_format(n, 0) == 1)
                format = static_cast<uint16_t>(format + w);
            else
                printf("Voice OFF File: %s format is Incorrect!!\r\n", off.c_str());
        }
        k += 2;
        if (k > 14) {
            ir_set(kPresenceReg + j, presence);
            ir_set(kFormatReg + j, format);
            presence = format = 0;
            k = 0;
            j++;
        }
        sys_usleep(10000);
    }
}
