#include "msg/ucs2.h"

#include <cstdio>

std::string utf8_to_ucs2(const std::string &in, std::u16string &out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        auto c = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        int n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; n = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; n = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; n = 4; }
        else return "invalid UTF-8";
        if (i + n > in.size()) return "invalid UTF-8";
        for (int k = 1; k < n; k++) {
            auto d = static_cast<unsigned char>(in[i + k]);
            if ((d & 0xC0) != 0x80) return "invalid UTF-8";
            cp = cp << 6 | (d & 0x3F);
        }
        i += n;
        if (cp > 0xFFFF) {
            char m[96];
            snprintf(m, sizeof m, "character U+%04X is outside the basic multilingual plane (UCS-2)", cp);
            return m;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) return "invalid UTF-8 (surrogate)";
        if (cp == 0) return "a NUL character cannot be stored";
        out.push_back(static_cast<char16_t>(cp));
    }
    return "";
}

std::string ucs2_to_utf8(const std::u16string &in) {
    std::string s;
    for (char16_t u : in) {
        uint32_t cp = (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u;
        if (cp < 0x80) s += static_cast<char>(cp);
        else if (cp < 0x800) { s += static_cast<char>(0xC0 | cp >> 6); s += static_cast<char>(0x80 | (cp & 0x3F)); }
        else {
            s += static_cast<char>(0xE0 | cp >> 12);
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return s;
}

int utf8_to_sms_ucs2(const char *in, uint8_t *out, int cap) {
    std::u16string u;
    if (in == nullptr || !utf8_to_ucs2(in, u).empty()) return -1;
    int n = 0;
    for (char16_t c : u) {
        if (n + 2 > cap) break;
        out[n++] = static_cast<uint8_t>(c >> 8);
        out[n++] = static_cast<uint8_t>(c & 0xFF);
    }
    return n;
}
