// File helpers shared by the unit tests that work in a temporary board root.
#pragma once
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace test_files {
namespace fs = std::filesystem;

inline std::string slurp(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Writes text to p, making its directories first.
inline void put(const fs::path &p, const std::string &text) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

// A fresh directory under /tmp named after the test program.
inline fs::path temp_root(const char *name) {
    std::string tmpl = std::string("/tmp/agw_") + name + "_XXXXXX";
    char *dir = mkdtemp(tmpl.data());
    return dir ? fs::path(dir) : fs::path();
}
// A WAV file of the given shape, odd ones included (a LIST chunk, lengths
// that lie), for the voice-file checks.
struct WavShape {
    uint16_t format = 1;
    uint16_t channels = 1;
    uint32_t rate = 8000;
    uint16_t bits = 16;
    uint32_t fmt_len = 16;          // format chunk body length
    bool list_chunk = false;        // a LIST chunk between format and data
    uint32_t data_len = 64;         // bytes really present
    uint64_t claimed_data = ~0ull;  // data length written in the header (default: data_len)
    uint32_t claimed_fmt = 0;       // format length written in the header (0: fmt_len)
};

inline void wav_le(std::string &s, uint64_t v, int n) {
    for (int i = 0; i < n; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline std::string wav_bytes(const WavShape &w) {
    std::string body;
    wav_le(body, w.format, 2);
    wav_le(body, w.channels, 2);
    wav_le(body, w.rate, 4);
    wav_le(body, w.rate * w.channels * w.bits / 8, 4);
    wav_le(body, w.channels * w.bits / 8, 2);
    wav_le(body, w.bits, 2);
    while (body.size() < w.fmt_len) body.push_back(0);
    std::string s = "RIFF";
    wav_le(s, 0, 4);   // set below, once the size is known
    s += "WAVEfmt ";
    wav_le(s, w.claimed_fmt ? w.claimed_fmt : w.fmt_len, 4);
    s += body;
    if (w.list_chunk) {
        s += "LIST";
        wav_le(s, 10, 4);
        s += "INFOISFT\2\0";
    }
    s += "data";
    wav_le(s, w.claimed_data == ~0ull ? w.data_len : w.claimed_data, 4);
    for (uint32_t i = 0; i < w.data_len; i++) s.push_back(static_cast<char>(i * 7));
    const uint64_t riff = s.size() - 8;
    for (int i = 0; i < 4; i++) s[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
    return s;
}

}  // namespace test_files
