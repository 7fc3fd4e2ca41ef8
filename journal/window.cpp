#include "journal/window.h"

#include <cstring>

using namespace layout;

int journal_window_pack(const journal_record *recs, int n, uint64_t cursor, uint16_t *win) {
    memset(win, 0, sizeof(uint16_t) * IR_LOG_N);
    int pos = IR_LOG_RECORDS - IR_LOG;
    int k = 0;
    for (; k < n; k++) {
        const journal_record &r = recs[k];
        int room = IR_LOG_N - pos - LOG_RECORD_HEADER;
        int len = static_cast<int>(strnlen(r.text, JOURNAL_TEXT_MAX));
        if (room < 0 || (k > 0 && (len + 1) / 2 > room)) break;
        if (len > 2 * room) len = 2 * room;
        uint16_t *p = win + pos;
        p[0] = static_cast<uint16_t>(((r.kind & 0xFF) << 8) | ((r.alarm + 1) & 0xFF));
        p[1] = static_cast<uint16_t>(r.seq >> 16);
        p[2] = static_cast<uint16_t>(r.seq);
        p[3] = static_cast<uint16_t>(static_cast<uint64_t>(r.time) >> 16);
        p[4] = static_cast<uint16_t>(r.time);
        p[5] = static_cast<uint16_t>(r.a);
        p[6] = static_cast<uint16_t>(r.b);
        p[7] = static_cast<uint16_t>(len);
        for (int i = 0; i < len; i += 2) {
            uint8_t hi = static_cast<uint8_t>(r.text[i]);
            uint8_t lo = i + 1 < len ? static_cast<uint8_t>(r.text[i + 1]) : 0;
            p[LOG_RECORD_HEADER + i / 2] = static_cast<uint16_t>((hi << 8) | lo);
        }
        pos += LOG_RECORD_HEADER + (len + 1) / 2;
    }
    uint64_t next = k == 0 ? cursor : k < n ? recs[k].seq : recs[k - 1].seq + 1;
    win[0] = static_cast<uint16_t>(k);
    win[1] = static_cast<uint16_t>(next >> 16);
    win[2] = static_cast<uint16_t>(next);
    return k;
}

int journal_window_unpack(const uint16_t *win, journal_record *out, int max, uint64_t *next) {
    int count = win[0];
    if (next) *next = (static_cast<uint64_t>(win[1]) << 16) | win[2];
    int pos = IR_LOG_RECORDS - IR_LOG;
    int k = 0;
    for (; k < count && k < max; k++) {
        if (pos + LOG_RECORD_HEADER > IR_LOG_N) break;   // a window that lies about its count
        const uint16_t *p = win + pos;
        journal_record &r = out[k];
        r.kind = p[0] >> 8;
        r.alarm = (p[0] & 0xFF) - 1;
        r.seq = (static_cast<uint64_t>(p[1]) << 16) | p[2];
        r.time = static_cast<int64_t>((static_cast<uint64_t>(p[3]) << 16) | p[4]);
        r.a = static_cast<int16_t>(p[5]);
        r.b = static_cast<int16_t>(p[6]);
        int len = p[7];
        int room = 2 * (IR_LOG_N - pos - LOG_RECORD_HEADER);
        if (len > room) len = room;
        for (int i = 0; i < len; i++) {
            uint16_t w = p[LOG_RECORD_HEADER + i / 2];
            r.text[i] = static_cast<char>(i % 2 == 0 ? w >> 8 : w & 0xFF);
        }
        r.text[len] = 0;
        pos += LOG_RECORD_HEADER + (len + 1) / 2;
    }
    return k;
}
