// Named parsers of the modem's answers; see at_parse.h.
#include "modem/at_parse.h"

#include <cstring>

namespace {
struct named_code {
    const char *text;
    int code;
};
// TS 27.007 9.2: the verbose texts of +CME ERROR the module gives.
constexpr named_code kCme[] = {
    {"phone failure", 0}, {"no connection to phone", 1}, {"operation not allowed", 3},
    {"operation not supported", 4}, {"PH-SIM PIN required", 5}, {"SIM not inserted", 10},
    {"SIM PIN required", 11}, {"SIM PUK required", 12}, {"SIM failure", 13}, {"SIM busy", 14},
    {"SIM wrong", 15}, {"incorrect password", 16}, {"SIM PIN2 required", 17}, {"SIM PUK2 required", 18},
    {"memory full", 20}, {"invalid index", 21}, {"not found", 22}, {"memory failure", 23},
    {"text string too long", 24}, {"invalid characters in text string", 25}, {"dial string too long", 26},
    {"invalid characters in dial string", 27}, {"no network service", 30}, {"network timeout", 31},
    {"network not allowed - emergency calls only", 32}, {"unknown", 100},
};
// TS 27.005 3.2.5 codes under the texts the module uses for them.
constexpr named_code kCms[] = {
    {"ME failure", 300}, {"SMS service of ME reserved", 301}, {"operation not allowed", 302},
    {"operation not supported", 303}, {"invalid PDU mode parameter", 304}, {"invalid text mode parameter", 305},
    {"SIM not inserted", 310}, {"SIM PIN required", 311}, {"SIM failure", 313}, {"SIM busy", 314},
    {"SIM wrong", 315}, {"memory failure", 320}, {"invalid memory index", 321}, {"memory full", 322},
    {"SMSC address unknown", 330}, {"no network service", 331}, {"network timeout", 332},
    {"unknown error", 500},
};

bool starts(const at_line &l, const char *prefix) {
    size_t n = strlen(prefix);
    return l.len >= n && memcmp(l.p, prefix, n) == 0;
}
bool equals(const at_line &l, const char *text) { return l.len == strlen(text) && memcmp(l.p, text, l.len) == 0; }

bool same_text_nocase(const char *a, size_t n, const char *b) {
    if (strlen(b) != n) return false;
    for (size_t i = 0; i < n; i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int lookup(const named_code *table, size_t n, const char *text, size_t len) {
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t')) len--;
    while (len > 0 && (*text == ' ' || *text == '"')) {
        text++;
        len--;
    }
    if (len > 0 && text[len - 1] == '"') len--;
    for (size_t i = 0; i < n; i++)
        if (same_text_nocase(text, len, table[i].text)) return table[i].code;
    return -1;
}

// Reads a decimal number of at most 6 digits at *p (within end), skipping
// spaces before it; false when there is none.
bool number(const char **p, const char *end, int *out) {
    const char *q = *p;
    while (q < end && *q == ' ') q++;
    int v = 0, digits = 0;
    while (q < end && *q >= '0' && *q <= '9' && digits < 6) {
        v = v * 10 + (*q - '0');
        q++;
        digits++;
    }
    if (digits == 0 || (q < end && *q >= '0' && *q <= '9')) return false;
    *p = q;
    *out = v;
    return true;
}

// The rest of the line after the prefix is only spaces.
bool rest_blank(const char *p, const char *end) {
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    return p == end;
}
}  // namespace

bool at_next_line(const char **cursor, at_line *out) {
    if (cursor == nullptr || *cursor == nullptr || out == nullptr) return false;
    const char *p = *cursor;
    while (*p == '\r' || *p == '\n') p++;
    if (*p == '\0') {
        *cursor = p;
        return false;
    }
    size_t n = strcspn(p, "\r\n");
    out->p = p;
    out->len = n;
    *cursor = p + n;
    return true;
}

bool at_line_whole(const at_line &l) { return l.p[l.len] != '\0'; }

bool at_parse_cmgs(const at_line &l, int *mr) {
    if (!starts(l, "+CMGS:")) return false;
    const char *p = l.p + 6, *end = l.p + l.len;
    int v = 0;
    if (!number(&p, end, &v) || v > 255) return false;
    if (mr) *mr = v;
    return true;
}

int at_cme_code(const char *text, size_t len) { return lookup(kCme, sizeof kCme / sizeof kCme[0], text, len); }

bool at_parse_error(const at_line &l, at_error *out) {
    at_error e{0, -1};
    const char *rest = nullptr;
    if (equals(l, "ERROR")) {
        e.kind = AT_ERR_PLAIN;
    } else if (starts(l, "+CME ERROR:")) {
        e.kind = AT_ERR_CME;
        rest = l.p + 11;
    } else if (starts(l, "+CMS ERROR:")) {
        e.kind = AT_ERR_CMS;
        rest = l.p + 11;
    } else {
        return false;
    }
    if (rest != nullptr) {
        const char *end = l.p + l.len, *p = rest;
        int v = 0;
        if (number(&p, end, &v) && rest_blank(p, end)) {
            e.code = v;
        } else {
            size_t n = static_cast<size_t>(end - rest);
            e.code = e.kind == AT_ERR_CME ? at_cme_code(rest, n) : lookup(kCms, sizeof kCms / sizeof kCms[0], rest, n);
        }
    }
    if (out) *out = e;
    return true;
}

bool at_find_error(const char *answer, at_error *out) {
    const char *c = answer;
    at_line l;
    while (at_next_line(&c, &l))
        if (at_parse_error(l, out)) return true;
    return false;
}

bool at_parse_creg(const at_line &l, int *n, int *stat) {
    if (!starts(l, "+CREG:")) return false;
    const char *p = l.p + 6, *end = l.p + l.len;
    int a = 0, b = 0;
    if (!number(&p, end, &a)) return false;
    const char *q = p;
    if (q < end && *q == ',' && (q++, number(&q, end, &b))) {
        // "<n>,<stat>": the answer. "<stat>,<lac>,..." (a quoted LAC) is the
        // unsolicited form with location.
        if (n) *n = a;
        if (stat) *stat = b;
        return true;
    }
    if (q < end && *q == '"') {
        if (n) *n = -1;
        if (stat) *stat = a;
        return true;
    }
    if (!rest_blank(p, end)) return false;
    if (n) *n = -1;
    if (stat) *stat = a;
    return true;
}

bool at_parse_csq(const at_line &l, int *rssi, int *ber) {
    if (!starts(l, "+CSQ:")) return false;
    const char *p = l.p + 5, *end = l.p + l.len;
    int a = 0, b = 0;
    if (!number(&p, end, &a) || p >= end || *p != ',') return false;
    p++;
    if (!number(&p, end, &b)) return false;
    if (rssi) *rssi = a;
    if (ber) *ber = b;
    return true;
}

int at_call_notice(const at_line &l, int *code) {
    if (code) *code = -1;
    if (starts(l, "VOICE CALL: RING")) return CN_RING;
    if (starts(l, "VOICE CALL: BEGIN") || starts(l, "CONNECT")) return CN_BEGIN;
    if (starts(l, "VOICE CALL: END")) return CN_END;
    if (equals(l, "NO CARRIER")) return CN_NO_CARRIER;
    if (equals(l, "BUSY")) return CN_BUSY;
    if (equals(l, "NO ANSWER")) return CN_NO_ANSWER;
    if (equals(l, "NO DIALTONE") || equals(l, "NO DIAL TONE")) return CN_NO_DIALTONE;
    if (starts(l, "+WAVSTATE: wav play stop")) return CN_WAV_STOP;
    if (starts(l, "+RXDTMF:")) {
        size_t i = 8;
        while (i < l.len && l.p[i] == ' ') i++;
        if (i >= l.len) return CN_NONE;
        if (code) *code = static_cast<unsigned char>(l.p[i]);
        return CN_DTMF;
    }
    at_error e;
    if (at_parse_error(l, &e) && e.kind != AT_ERR_CMS) {
        if (code) *code = e.code;
        return CN_ERROR;
    }
    return CN_NONE;
}

int at_cms_class(int code) {
    switch (code) {
    case 1: case 8: case 10: case 21: case 28: case 29: case 30: case 50: case 69: case 81:
    case 95: case 96: case 97: case 98: case 99: case 111: case 127: case 304: case 305:
        return CMS_PERMANENT;
    case 27: case 38: case 41: case 42: case 47: case 192: case 300: case 301: case 314: case 320: case 331:
    case 332:
        return CMS_TEMPORARY;
    case 255:
        return CMS_OTHER;
    default:
        return code >= 128 && code <= 255 ? CMS_PERMANENT : CMS_OTHER;
    }
}
