// The log window comes off the line into agwctl: any 56 register values are
// unpacked without reading past the window, every record's text stays within
// the window's bytes, and the count never exceeds what was asked for. A
// window packed from the records read back unpacks to the same records.
#include <cstdint>
#include <cstring>

#include "journal/window.h"
#include "tests/fuzz/fuzz_util.h"

using namespace layout;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint16_t win[IR_LOG_N] = {};
    memcpy(win, data, size < sizeof win ? size : sizeof win);
    static journal_record recs[16], again[16];
    uint64_t next = 0;
    int max = size > 0 ? data[0] % 17 : 16;
    int n = journal_window_unpack(win, recs, max, &next);
    check(n >= 0 && n <= max && n <= win[0]);
    check(next == ((static_cast<uint64_t>(win[1]) << 16) | win[2]));
    int regs = IR_LOG_RECORDS - IR_LOG;
    for (int i = 0; i < n; i++) {
        size_t len = strnlen(recs[i].text, JOURNAL_TEXT_MAX + 1);
        check(len <= 2u * (IR_LOG_N - regs - LOG_RECORD_HEADER));
        regs += LOG_RECORD_HEADER + static_cast<int>(win[regs + 7] + 1) / 2;
    }
    // Round trip: what was read packs and unpacks to itself (texts without
    // zero bytes, as the journal keeps them, and no longer than they came).
    if (n > 0) {
        uint16_t win2[IR_LOG_N];
        int k = journal_window_pack(recs, n, recs[0].seq, win2);
        check(k >= 1 && k <= n);
        int m = journal_window_unpack(win2, again, 16, nullptr);
        check(m == k);
        for (int i = 0; i < m; i++) {
            check(again[i].seq == (recs[i].seq & 0xFFFFFFFFu) && again[i].kind == (recs[i].kind & 0xFF));
            check(again[i].a == recs[i].a && again[i].b == recs[i].b);
            check(strncmp(again[i].text, recs[i].text, strlen(again[i].text)) == 0);
        }
    }
    return 0;
}
