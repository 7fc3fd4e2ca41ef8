// Voice files come from the SD card, written by anyone: the input is written
// as a card voice file under a scratch board root and read back with wavread
// and check_wav_format. The header fields, the reader's result, the sample
// bytes and the verdict are predicted from the bytes themselves; a header
// claiming more data than the file holds must not turn into a huge allocation
// (run with -malloc_limit_mb to catch one).
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_util.h"
#include "storage/voice_files.h"
#include "sys/sys.h"

using fuzz_util::write_file;

namespace {

std::string g_root;


std::string card_file(int n, bool on) {
    char p[64];
    snprintf(p, sizeof p, on ? "/media/card/voice/DO%d_ON.wav" : "/media/card/voice/DO%d_OFF.wav", n);
    return sys_path(p);
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// What the reader must make of these bytes.
struct Expect {
    bool wave = false;        // "WAVEfmt" at offset 8
    wav_header hdr{};         // filled from the format chunk body, zeros where it has none
    bool data_found = false;  // "data" directly behind the format chunk
    uint64_t data_at = 0;
    uint64_t held = 0;        // sample bytes the file really holds (at most the declared length)
    bool acceptable = false;
};

Expect predict(const uint8_t *d, size_t size) {
    Expect e;
    e.wave = size >= 15 && memcmp(d + 8, "WAVEfmt", 7) == 0;
    if (!e.wave) return e;
    const uint64_t body_len = size >= 20 ? le32(d + 16) : 0;
    uint8_t body[18] = {};
    for (uint64_t k = 0; k < sizeof body; k++)
        if (k < body_len && 20 + k < size) body[k] = d[20 + k];
    e.hdr.audio_format = le16(body);
    e.hdr.channels = static_cast<int16_t>(le16(body + 2));
    e.hdr.sample_rate = le32(body + 4);
    e.hdr.byte_rate = le32(body + 8);
    e.hdr.block_align = le16(body + 12);
    e.hdr.bits_per_sample = static_cast<int16_t>(le16(body + 14));
    e.hdr.ext_size = le16(body + 16);
    e.acceptable = e.hdr.channels == 1 && e.hdr.sample_rate == 8000 && e.hdr.bits_per_sample == 16;

    const uint64_t tag_at = 20 + body_len;
    e.data_found = tag_at + 4 <= size && memcmp(d + tag_at, "data", 4) == 0;
    if (e.data_found && tag_at + 8 <= size) {
        const uint64_t declared = le32(d + tag_at + 4);
        e.data_at = tag_at + 8;
        const uint64_t in_file = size - e.data_at;
        e.held = declared < in_file ? declared : in_file;
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The voice-file functions trace on standard output; the reader's own
    // complaints go to standard error (run with -close_fd_mask=2 to hide them).
    if (std::getenv("FUZZ_VERBOSE") == nullptr && std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    g_root = fuzz_util::make_scratch_root("wav", {"/media", "/media/card", "/media/card/voice"});
    sys_set_root(g_root.c_str());
    check(card_file(0, true) == g_root + "/media/card/voice/DO0_ON.wav");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The file goes to an alarm number of its own, so every name is exercised.
    const int n = static_cast<int>(size % 128);
    const std::string on = card_file(n, true), off = card_file(n, false);
    write_file(on, data, size);
    const Expect e = predict(data, size);

    wav_header h;
    memset(&h, 0x5A, sizeof h);
    uint8_t *samples = wavread(on.c_str(), &h);
    if (e.wave) {
        check(h.audio_format == e.hdr.audio_format && h.channels == e.hdr.channels);
        check(h.sample_rate == e.hdr.sample_rate && h.byte_rate == e.hdr.byte_rate);
        check(h.block_align == e.hdr.block_align && h.bits_per_sample == e.hdr.bits_per_sample);
        check(h.ext_size == e.hdr.ext_size);
    }
    check((samples != nullptr) == (e.wave && e.data_found));
    // The buffer holds at least the samples the file has; ASan catches a shorter one.
    if (samples != nullptr && e.held > 0) check(memcmp(samples, data + e.data_at, e.held) == 0);
    free(samples);

    // The verdict rests on the format fields alone, for the ON name only.
    check(check_wav_format(n, 1) == (e.acceptable ? 1 : 0));
    check(check_wav_format(n, 0) == 0);

    // The same file as the OFF recording: any flag other than 1 means OFF.
    check(rename(on.c_str(), off.c_str()) == 0);
    check(check_wav_format(n, 1) == 0);
    check(check_wav_format(n, 0) == (e.acceptable ? 1 : 0));
    check(check_wav_format(n, 2) == (e.acceptable ? 1 : 0));
    check(unlink(off.c_str()) == 0);

    // No file at all is unacceptable.
    check(check_wav_format(n, 1) == 0);
    return 0;
}
