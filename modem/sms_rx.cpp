// Received SMS: storage scan, ordering, reassembly, hand-over and removal.
// Only the modem thread runs the sequence; the taker only sets the release flag.
#include "modem/sms_rx.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "journal/journal.h"
#include "modbus/map_layout.h"
#include "modem/serial.h"
#include "modem/sim7100.h"
#include "modem/sms_func.h"
#include "sys/sys.h"

sms_rx_info recv_new_sms_info;

namespace {
constexpr int kBuf = 1024;
constexpr int kSlots = 32;            // stored messages and parts held at once
constexpr int kMaxScan = 255;         // indexes read at most, whatever capacity the storage claims
constexpr int kReadTimeout = 5000;    // ms for a whole AT+CMGR answer: a busy SIM takes seconds
constexpr int kDeleteTimeout = 5000;
constexpr int kQuietMs = 500;         // silence that ends a resynchronisation
constexpr int kResyncMaxMs = 3000;    // a babbling modem does not hold the pass longer
constexpr int kMaxText = 160;

struct rx_slot {
    bool used;
    bool handed;       // part of the message in the mailbox (or taken, not yet released)
    bool done;         // released: to be removed from the storage
    int index;         // storage index
    uint32_t seen;     // order in which this process first read it
    time_t first_seen;
    long long sent_s;  // service-centre time stamp, seconds; LLONG_MAX unknown
    char sender[24];
    bool alnum;
    char scts[16];
    uint8_t dcs;
    uint8_t mode;      // 0 GSM 7-bit (as ISO-8859-1), 8 UCS-2, 4 8-bit data
    pdu_concat concat;
    uint8_t text[PDU_RX_TEXT + 1];
    int text_len;
};

// Status reports for the taker (sms_report_take): a ring under its own lock.
std::mutex g_rep_mu;
sms_report g_reps[SMS_REPORT_QUEUE];
int g_rep_head = 0, g_rep_n = 0;

void queue_report(const pdu_rx &r) {
    sms_report rep{};
    rep.mr = r.mr;
    rep.st = r.st;
    memcpy(rep.recipient, r.address, sizeof rep.recipient);
    rep.recipient[sizeof rep.recipient - 1] = '\0';
    std::lock_guard<std::mutex> l(g_rep_mu);
    if (g_rep_n == SMS_REPORT_QUEUE) {
        printf("--> status report queue full: report for reference %d given up\n", g_reps[g_rep_head].mr);
        g_rep_head = (g_rep_head + 1) % SMS_REPORT_QUEUE;
        g_rep_n--;
    }
    g_reps[(g_rep_head + g_rep_n) % SMS_REPORT_QUEUE] = rep;
    g_rep_n++;
}

rx_slot g_slots[kSlots];
uint32_t g_seen = 0;
bool g_outstanding = false;            // a message handed over, not yet released
std::atomic<int> g_released{0};

int find_slot_by_index(int idx) {
    for (int i = 0; i < kSlots; i++)
        if (g_slots[i].used && g_slots[i].index == idx) return i;
    return -1;
}

int free_slot() {
    for (int i = 0; i < kSlots; i++)
        if (!g_slots[i].used) return i;
    return -1;
}

int held() {
    int n = 0;
    for (const rx_slot &s : g_slots) n += s.used ? 1 : 0;
    return n;
}

void print_hex(const char *what, int idx, const char *text) {
    printf("--> SMS %d: %s, removed; answer in hex:\n", idx, what);
    for (const char *p = text; *p != '\0'; p++) printf("%02X", static_cast<unsigned char>(*p));
    puts("\r");
}

// Reads whatever the modem still sends until it stays quiet, so a late answer
// is never taken for the answer of the next command.
void resync(int fd) {
    char junk[kBuf];
    int quiet = 0;
    for (int waited = 0; quiet < kQuietMs && waited < kResyncMaxMs; waited += 100) {
        sys_usleep(100 * 1000u);
        int r = uart_read(fd, junk, kBuf - 1);
        quiet = r > 0 ? 0 : quiet + 100;
    }
    puts("--> SMS: modem answer late, channel resynchronised\r");
}

// One command whose final result code must arrive; false (after resync) when it did not.
bool exchange_whole(int fd, const char *cmd, char *resp, int timeout_ms) {
    modem_exchange_until(fd, cmd, resp, 100, timeout_ms, nullptr);
    if (modem_answer_final(resp, nullptr)) return true;
    resync(fd);
    return false;
}

bool delete_index(int fd, int idx) {
    char cmd[32], resp[kBuf];
    memset(resp, 0, sizeof resp);
    snprintf(cmd, sizeof cmd, "AT+CMGD=%d\r\n", idx);
    if (!exchange_whole(fd, cmd, resp, kDeleteTimeout)) return false;
    return strstr(resp, "\r\nOK") != nullptr || strncmp(resp, "OK", 2) == 0;
}

// The PDU line of a "+CMGR:" answer; false when there is none.
bool pdu_line(const char *resp, char *pdu, size_t cap) {
    const char *p = strstr(resp, "+CMGR: ");
    if (p == nullptr) return false;
    const char *nl = strstr(p, "\r\n");
    if (nl == nullptr) return false;
    size_t n = strcspn(nl + 2, "\r\n");
    if (n >= cap) n = cap - 1;
    memcpy(pdu, nl + 2, n);
    pdu[n] = '\0';
    return true;
}

// An echoed command names the index it answers; another index is not ours.
bool answer_is_for(const char *resp, int idx) {
    const char *e = strstr(resp, "AT+CMGR=");
    if (e == nullptr) return true;
    return atoi(e + 8) == idx;
}

void keep_deliver(int idx, const pdu_rx &r) {
    int s = free_slot();
    if (s < 0) return;   // the caller stops reading before the table is full
    rx_slot &d = g_slots[s];
    memset(&d, 0, sizeof d);
    d.used = true;
    d.index = idx;
    d.seen = ++g_seen;
    d.first_seen = sys_time();
    long long t = pdu_scts_seconds(r.scts);
    d.sent_s = t < 0 ? LLONG_MAX : t;
    memcpy(d.sender, r.address, sizeof d.sender);
    d.alnum = r.address_alnum;
    memcpy(d.scts, r.scts, sizeof d.scts);
    d.dcs = r.dcs;
    d.mode = r.coding.alphabet == PDU_ALPHA_UCS2 ? 8 : r.coding.alphabet == PDU_ALPHA_8BIT ? 4 : 0;
    d.concat = r.concat;
    memcpy(d.text, r.text, sizeof d.text);
    d.text_len = r.text_len;
}

// Reads one index. 1: a message was kept (or handled and removed); 0: the index
// is empty; -1: the answer did not end, the scan stops.
int read_index(int fd, int idx) {
    char cmd[32], resp[kBuf];
    memset(resp, 0, sizeof resp);
    snprintf(cmd, sizeof cmd, "AT+CMGR=%d\r\n", idx);
    if (!exchange_whole(fd, cmd, resp, kReadTimeout)) {
        printf("--> SMS %d: no whole answer, kept for a later pass\n", idx);
        return -1;
    }
    if (!answer_is_for(resp, idx)) {
        // A late answer of an earlier read: ours may still be coming.
        resync(fd);
        return -1;
    }
    char pdu[kBuf];
    if (!pdu_line(resp, pdu, sizeof pdu)) return 0;
    static pdu_rx r;   // modem thread only; large for its stack
    int kind = pdu[0] == '\0' ? PDU_UNDECODABLE : pdu_decode_rx(pdu, &r);
    if (kind == PDU_RX_DELIVER) {
        keep_deliver(idx, r);
        return 1;
    }
    if (kind == PDU_RX_STATUS_REPORT) {
        printf("--> SMS %d: status report for %s, reference %d, status %d\n", idx, r.address, r.mr, r.st);
        journal_event(JK_STATUS_REPORT, -1, r.st, r.mr, r.address);
        queue_report(r);
    } else if (kind == PDU_RX_COMPRESSED) {
        print_hex("compressed text, which cannot be shown", idx, resp);
        journal_event(JK_SMS_RECEIVED, -1, JRX_UNDECODABLE, r.dcs, pdu);
    } else if (kind == PDU_UNDECODABLE) {
        print_hex("undecodable PDU", idx, resp);
        journal_event(JK_SMS_RECEIVED, -1, JRX_UNDECODABLE, -1, pdu);
    } else {
        print_hex("not a received message (first octet)", idx, resp);
        journal_event(JK_SMS_RECEIVED, -1, JRX_UNDECODABLE, -1, pdu);
    }
    // Recorded or logged whole: it may go.
    delete_index(fd, idx);
    return 1;
}

bool same_group(const rx_slot &a, const rx_slot &b) {
    return a.concat.total != 0 && b.concat.total == a.concat.total && b.concat.ref == a.concat.ref &&
           b.concat.wide == a.concat.wide && b.alnum == a.alnum && strcmp(a.sender, b.sender) == 0;
}

struct group {
    int slots[kSlots];
    int n;
    int total;         // parts expected (1 for a single message)
    int present;       // distinct part numbers held
    long long sent_s;
    uint32_t seen;
    time_t first_seen;
};

void collect(int s, group &g) {
    const rx_slot &a = g_slots[s];
    g.n = 0;
    g.total = a.concat.total == 0 ? 1 : a.concat.total;
    g.sent_s = LLONG_MAX;
    g.seen = UINT32_MAX;
    g.first_seen = a.first_seen;
    bool have[256] = {};
    g.present = 0;
    for (int i = 0; i < kSlots; i++) {
        const rx_slot &b = g_slots[i];
        if (!b.used || b.done || b.handed) continue;
        if (i != s && !same_group(a, b)) continue;
        g.slots[g.n++] = i;
        if (b.sent_s < g.sent_s) g.sent_s = b.sent_s;
        if (b.seen < g.seen) g.seen = b.seen;
        if (b.first_seen < g.first_seen) g.first_seen = b.first_seen;
        int q = b.concat.total == 0 ? 1 : b.concat.seq;
        if (!have[q]) {
            have[q] = true;
            g.present++;
        }
    }
}

bool earlier(const group &a, const group &b) {
    if (a.sent_s != b.sent_s) return a.sent_s < b.sent_s;
    return a.seen < b.seen;
}

// Cuts n bytes of text at a character boundary within cap.
int cut_text(const uint8_t *text, int n, int mode, int cap) {
    if (n <= cap) return n;
    n = cap;
    if (mode == 8) {
        n &= ~1;
        // Never half of a surrogate pair.
        if (n >= 2 && text[n - 2] >= 0xD8 && text[n - 2] <= 0xDB) n -= 2;
    }
    return n;
}

void hand_over(const group &g, bool missing) {
    // Parts in their order; a part number held twice is used once.
    int order[kSlots];
    int n = 0;
    for (int q = 1; q <= 255 && n < g.n; q++)
        for (int i = 0; i < g.n; i++) {
            const rx_slot &b = g_slots[g.slots[i]];
            int bq = b.concat.total == 0 ? 1 : b.concat.seq;
            if (bq == q) {
                order[n++] = g.slots[i];
                break;
            }
        }
    const rx_slot &first = g_slots[order[0]];
    sms_message m;
    memset(&m, 0, sizeof m);
    snprintf(m.phone, sizeof m.phone, "%s", first.sender);
    const char *t = first.scts;
    snprintf(m.time, sizeof m.time, "%c%c/%c%c/%c%c %c%c:%c%c:%c%c", t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
             t[8], t[9], t[10], t[11]);
    m.mode = first.mode;
    uint8_t all[kSlots * (PDU_RX_TEXT + 1)];
    int len = 0;
    for (int i = 0; i < n; i++) {
        const rx_slot &b = g_slots[order[i]];
        memcpy(all + len, b.text, static_cast<size_t>(b.text_len));
        len += b.text_len;
    }
    int kept = cut_text(all, len, m.mode, kMaxText);
    memcpy(m.text, all, static_cast<size_t>(kept));
    m.length = static_cast<uint8_t>(kept);

    sms_rx_info info{};
    if (kept < len) info.flags |= layout::RX_FLAG_CUT;
    if (missing) info.flags |= layout::RX_FLAG_PARTS_MISSING;
    info.sender_alnum = first.alnum;
    info.parts = static_cast<uint8_t>(first.concat.total);
    info.parts_present = static_cast<uint8_t>(g.present);
    info.dcs = first.dcs;
    for (int i = 0; i < g.n; i++) g_slots[g.slots[i]].handed = true;
    printf("--> SMS handed over: %d part(s) of %d, %d bytes%s%s\n", g.present, g.total, kept,
           kept < len ? ", cut" : "", missing ? ", parts missing" : "");

    recv_new_sms = m;
    recv_new_sms_info = info;
    g_outstanding = true;
    g_released.store(0, std::memory_order_release);
    is_new_sms.store(1, std::memory_order_release);
}

// The earliest message that is whole (or waited long enough, or must make room).
void choose(bool table_full) {
    time_t now = sys_time();
    group best{}, oldest{};
    bool have_best = false, have_oldest = false;
    bool best_missing = false;
    bool visited[kSlots] = {};
    for (int s = 0; s < kSlots; s++) {
        if (!g_slots[s].used || g_slots[s].done || g_slots[s].handed || visited[s]) continue;
        group g;
        collect(s, g);
        for (int i = 0; i < g.n; i++) visited[g.slots[i]] = true;
        // A clock set back must not hold parts for ever.
        if (now < g.first_seen)
            for (int i = 0; i < g.n; i++) g_slots[g.slots[i]].first_seen = now;
        bool whole = g.present >= g.total;
        bool waited = now - g.first_seen >= layout::RX_PARTS_WAIT_S;
        if ((whole || waited) && (!have_best || earlier(g, best))) {
            best = g;
            have_best = true;
            best_missing = !whole;
        }
        if (!have_oldest || g.seen < oldest.seen) {
            oldest = g;
            have_oldest = true;
        }
    }
    if (have_best) {
        hand_over(best, best_missing);
    } else if (table_full && have_oldest) {
        // No room for the parts still to come: what arrived goes out.
        hand_over(oldest, true);
    }
}

void remove_released(int fd) {
    if (g_outstanding && g_released.exchange(0, std::memory_order_acq_rel) == 1) {
        for (rx_slot &s : g_slots)
            if (s.used && s.handed) {
                s.handed = false;
                s.done = true;
            }
        g_outstanding = false;
    }
    for (rx_slot &s : g_slots)
        if (s.used && s.done) {
            if (!delete_index(fd, s.index)) return;   // tried again next pass
            s.used = false;
        }
}
}  // namespace

int sms_check_new_one_info(sms_message *out, sms_rx_info *info) {
    if (out == nullptr || is_new_sms.load(std::memory_order_acquire) == 0) return 0;
    if (info != nullptr) *info = recv_new_sms_info;
    return sms_check_new_one(out);
}

void sms_rx_release() { g_released.store(1, std::memory_order_release); }

void sms_rx_reset() {
    memset(g_slots, 0, sizeof g_slots);
    g_seen = 0;
    g_outstanding = false;
    g_released.store(0);
    memset(&recv_new_sms_info, 0, sizeof recv_new_sms_info);
    std::lock_guard<std::mutex> l(g_rep_mu);
    g_rep_head = g_rep_n = 0;
}

int sms_rx_held() { return held(); }

int sms_report_take(sms_report *out) {
    if (out == nullptr) return 0;
    std::lock_guard<std::mutex> l(g_rep_mu);
    if (g_rep_n == 0) return 0;
    *out = g_reps[g_rep_head];
    g_rep_head = (g_rep_head + 1) % SMS_REPORT_QUEUE;
    g_rep_n--;
    return 1;
}

void sms_forget_delivered() { sms_rx_reset(); }

void modem_sms_recv_sequence(int fd) {
    char resp[kBuf];
    memset(resp, 0, sizeof resp);
    if (isDebug) puts("==== Try to Recv SMS ====");
    remove_released(fd);

    // No whole storage report: nothing is read this pass (the status commands'
    // usual bound, so a silent modem does not lengthen the pass).
    modem_exchange(fd, "AT+CPMS?\r\n", resp, 100);
    if (!modem_answer_final(resp, nullptr)) return;
    int used = 0, total = 0;
    const char *p = strstr(resp, "+CPMS: ");
    const char *c1 = p ? strchr(p, ',') : nullptr;
    if (c1 != nullptr) {
        used = modem_field_value(c1 + 1);
        const char *c2 = strchr(c1 + 1, ',');
        if (c2 != nullptr) total = modem_field_value(c2 + 1);
    }
    if (isDebug) {
        printf("mem_used=%d\n", used);
        printf("mem_total=%d\n", total);
    }
    int known = held();
    if (used > known) {
        printf("--> new SMS coming (%d/%d)\n", used, total);
        int last = total < kMaxScan ? total : kMaxScan;
        int wanted = used - known;
        for (int idx = 0; idx < last && wanted > 0 && held() < kSlots; idx++) {
            if (find_slot_by_index(idx) >= 0) continue;
            int r = read_index(fd, idx);
            if (r < 0) break;
            if (r > 0) wanted--;
        }
    }
    if (!g_outstanding && is_new_sms.load(std::memory_order_acquire) == 0) choose(held() >= kSlots);
    if (isDebug) puts("==== End recv. SMS ====");
}
