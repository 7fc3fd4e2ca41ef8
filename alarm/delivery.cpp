#include "alarm/delivery.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "alarm/ack.h"
#include "alarm/messages.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "modem/sms_func.h"
#include "modem/sms_rx.h"
#include "msg/phone.h"
#include "sys/sys.h"

namespace {
using namespace layout;

// One SMS awaiting its report.
struct record {
    bool used;
    int alarm;
    uint64_t jid;       // its entry in the journal, 0 none
    int idx;            // phone index in its entry
    int mr;
    int round;          // acknowledgement round it belongs to, 0 none
    uint32_t gen;       // the alarm's entry it belongs to (alarm_state::gen)
    uint64_t sent_us;   // monotonic
    uint64_t order;     // sends in order, for "oldest" and "latest"
    char phone[PHONE_SLOT_LEN + 1];
};

// The alarm's latest SMS entry: phones in it, phones confirmed delivered.
struct alarm_state {
    uint32_t gen;
    int expected;
    int confirmed;
};

std::mutex mu;   // guards everything below
record table[DELIVERY_TABLE];
alarm_state alarms[ALARMS];
uint64_t sends = 0;
uint16_t failed_count = 0, unconfirmed_count = 0;
bool was_on = false;

int used_count_locked() {
    int n = 0;
    for (const record &r : table) n += r.used ? 1 : 0;
    return n;
}

// Settles a record (mu held): journal, counts, the acknowledgement round
// (outside the lock: the caller collects it).
struct ack_note {
    int alarm, round;
};
void settle_locked(record &r, int outcome, int st, ack_note *note) {
    char text[128];
    int n = st >= 0 ? snprintf(text, sizeof text, "%s reference %d status 0x%02X", r.phone, r.mr, st)
                    : snprintf(text, sizeof text, "%s reference %d", r.phone, r.mr);
    if (r.jid != 0 && n > 0 && static_cast<size_t>(n) < sizeof text)
        snprintf(text + n, sizeof text - static_cast<size_t>(n), ", entry %llu",
                 static_cast<unsigned long long>(r.jid));
    journal_event(JK_DELIVERY, r.alarm, r.idx, outcome, text);
    alarm_state &a = alarms[r.alarm];
    if (outcome == DLR_DELIVERED) {
        if (r.gen == a.gen) a.confirmed++;
        printf("delivery report: alarm %d phone %s delivered (reference %d)\r\n", r.alarm, r.phone, r.mr);
    } else {
        if (outcome == DLR_FAILED) {
            failed_count++;
            printf("delivery report: alarm %d phone %s failed for good, status 0x%02X (reference %d)\r\n", r.alarm,
                   r.phone, st, r.mr);
        } else {
            unconfirmed_count++;
            printf("delivery report: alarm %d phone %s sent, not confirmed (reference %d)\r\n", r.alarm, r.phone,
                   r.mr);
        }
        *note = {r.alarm, r.round};
    }
    r.used = false;
}

void publish_locked() {
    uint16_t bits[HR_ENABLE_N] = {};
    for (int a = 0; a < ALARMS; a++) {
        const alarm_state &s = alarms[a];
        if (s.expected > 0 && s.confirmed >= s.expected)
            bits[enable_word(a)] = static_cast<uint16_t>(bits[enable_word(a)] | 1u << enable_bit(a));
    }
    for (int j = 0; j < HR_ENABLE_N; j++) hr_set(HR_DLR_DELIVERED + j, bits[j]);
    hr_set(HR_DLR_FAILED_COUNT, failed_count);
    hr_set(HR_DLR_UNCONFIRMED_COUNT, unconfirmed_count);
    hr_set(HR_DLR_WAITING, static_cast<uint16_t>(used_count_locked()));
}

void clear_registers() {
    for (int r = 0; r < HR_DLR_STATUS_N; r++) hr_set(HR_DLR_STATUS_FIRST + r, 0);
}

void forget_locked() {
    std::memset(table, 0, sizeof table);
    std::memset(alarms, 0, sizeof alarms);
    sends = 0;
    failed_count = unconfirmed_count = 0;
}
}  // namespace

bool delivery_reports_on() { return hr_get(HR_DLR_ON) != 0; }

int delivery_wait_s() {
    int v = hr_get(HR_DLR_WAIT);
    if (hr_get(HR_DLR_UNIT) == 1) return v == 0 ? DLR_WAIT_DEFAULT_MIN * 60 : v;
    return (v == 0 ? DLR_WAIT_DEFAULT_MIN : v) * 60;
}

void delivery_entry_start(int alarm, int count) {
    if (alarm < 0 || alarm >= ALARMS) return;
    std::lock_guard<std::mutex> l(mu);
    alarm_state &a = alarms[alarm];
    a.gen++;
    a.expected = count;
    a.confirmed = 0;
}

void delivery_sent(int alarm, uint64_t jid, int idx, const char *phone, int mr) {
    if (alarm < 0 || alarm >= ALARMS || phone == nullptr) return;
    int round = ack_round_now(alarm);
    ack_note note{-1, 0};
    {
        std::lock_guard<std::mutex> l(mu);
        record *free_rec = nullptr, *oldest = nullptr;
        for (record &r : table) {
            if (!r.used) {
                if (free_rec == nullptr) free_rec = &r;
            } else if (oldest == nullptr || r.order < oldest->order) {
                oldest = &r;
            }
        }
        if (free_rec == nullptr) {
            // Full: the longest-waiting record gives way, as if its bound had passed.
            printf("delivery report table full (%d): the oldest record is given up\r\n", DELIVERY_TABLE);
            settle_locked(*oldest, DLR_UNCONFIRMED, -1, &note);
            free_rec = oldest;
        }
        record &r = *free_rec;
        r = record{};
        r.used = true;
        r.alarm = alarm;
        r.jid = jid;
        r.idx = idx;
        r.mr = mr;
        r.round = round;
        r.gen = alarms[alarm].gen;
        r.sent_us = sys_monotonic_us();
        r.order = ++sends;
        std::strncpy(r.phone, phone, PHONE_SLOT_LEN);
        r.phone[PHONE_SLOT_LEN] = 0;
        // Without a reference (a module that gave none) no report can be
        // matched: the record waits out its bound and counts as not confirmed.
        if (mr < 0) printf("delivery report: alarm %d phone %s sent without a reference\r\n", alarm, r.phone);
    }
    if (note.alarm >= 0) ack_sms_unconfirmed(note.alarm, note.round);
}

int delivery_report(int mr, int st, const char *recipient) {
    if (recipient == nullptr) return -2;
    int cls = pdu_st_class_of(static_cast<uint8_t>(st & 0xFF));
    ack_note note{-1, 0};
    int outcome;
    {
        std::lock_guard<std::mutex> l(mu);
        // References wrap at 256: the latest send to that phone is the one.
        record *match = nullptr;
        for (record &r : table)
            if (r.used && r.mr == mr && phone_same(r.phone, recipient) && (match == nullptr || r.order > match->order))
                match = &r;
        if (match == nullptr) {
            printf("delivery report for %s, reference %d, status 0x%02X: no SMS awaits it\r\n", recipient, mr, st);
            return -2;
        }
        if (cls == PDU_ST_PENDING) {
            printf("delivery report: alarm %d phone %s not reached yet, status 0x%02X: the network tries on\r\n",
                   match->alarm, match->phone, st);
            return -1;
        }
        outcome = cls == PDU_ST_DELIVERED ? DLR_DELIVERED : DLR_FAILED;
        settle_locked(*match, outcome, st, &note);
        publish_locked();
    }
    if (note.alarm >= 0) ack_sms_unconfirmed(note.alarm, note.round);
    return outcome;
}

void delivery_pass() {
    bool on = delivery_reports_on();
    sms_report rep;
    if (!on) {
        while (sms_report_take(&rep) == 1) {}
        std::lock_guard<std::mutex> l(mu);
        // Switched off: nothing is awaited any more, and the registers go back to zero.
        if (was_on) {
            forget_locked();
            clear_registers();
        }
        was_on = false;
        return;
    }
    was_on = true;
    while (sms_report_take(&rep) == 1) delivery_report(rep.mr, rep.st, rep.recipient);

    ack_note notes[DELIVERY_TABLE];
    int n = 0;
    {
        std::lock_guard<std::mutex> l(mu);
        uint64_t now = sys_monotonic_us();
        uint64_t bound = static_cast<uint64_t>(delivery_wait_s()) * 1000000u;
        for (record &r : table) {
            if (!r.used || now - r.sent_us < bound) continue;
            ack_note note{-1, 0};
            settle_locked(r, DLR_UNCONFIRMED, -1, &note);
            if (note.alarm >= 0) notes[n++] = note;
        }
        publish_locked();
    }
    for (int i = 0; i < n; i++) ack_sms_unconfirmed(notes[i].alarm, notes[i].round);
}

void delivery_start() {
    std::lock_guard<std::mutex> l(mu);
    forget_locked();
    was_on = false;
    clear_registers();
}

int delivery_waiting() {
    std::lock_guard<std::mutex> l(mu);
    return used_count_locked();
}

void delivery_reset() {
    std::lock_guard<std::mutex> l(mu);
    forget_locked();
    was_on = false;
}
