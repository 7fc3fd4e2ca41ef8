#include "alarm/supervision.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/rings.h"
#include "board/timebase.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "msg/ucs2.h"
#include "storage/sdcard.h"
#include "sys/sys.h"

namespace {
using namespace layout;

constexpr int SMS_CHARS = 70;         // one UCS-2 SMS
constexpr int PENDING_MAX = 8;

// Written by the listener and the SMS dispatcher, read by the pass.
std::atomic<uint32_t> g_request_tick{0};    // GetTimeTicks of the last request
std::atomic<uint32_t> g_requests{0};        // requests counted, published after the tick
std::atomic<int32_t> g_fail_run{0};         // failed SMS attempts in a row
std::atomic<uint32_t> g_fail_first_tick{0}; // tick of the run's first failure

struct pending_msg {
    int kind;   // JSUP_*
    uint16_t mask;
    uint8_t text[2 * SMS_CHARS];
    int len;
};

// Everything below belongs to the polling thread's pass.
struct state {
    bool started = false;
    uint32_t last_tick = 0;
    uint64_t now_ms = 0;   // since the first pass, summed from tick deltas: no wrap

    uint32_t requests_seen = 0;
    bool any_request = false;
    uint64_t last_request_ms = 0;
    bool silent = false;
    uint64_t silent_since = 0;   // the last request before the silence (or the start)

    bool hb_armed = false;
    uint16_t hb_key[3] = {};     // time, interval, unit the series was armed with
    time_t hb_done = 0;          // latest heartbeat moment already handled

    bool outage = false;
    uint64_t outage_since = 0;
    bool cannot = false;
    uint64_t cannot_since = 0;
    int delayed_at_onset = 0;
    uint32_t changes_at_onset = 0;

    pending_msg pending[PENDING_MAX];
    int npending = 0;
};
state S;

// Milliseconds from an event's tick to the pass's tick; an event stamped just
// after the pass read its tick is "now", not 49 days ago.
uint64_t age_ms(uint32_t tick, uint32_t event_tick) {
    uint32_t age = tick - event_tick;
    return age > 0x80000000u ? 0 : age;
}

uint64_t unit_ms() { return hr_get(HR_SUP_UNIT) == 1 ? 1000 : 60000; }
const char *unit_name() { return hr_get(HR_SUP_UNIT) == 1 ? "s" : "min"; }

// The text goes into the journal now and into the queue as soon as it has
// room (the pass offers it again until then, oldest first).
void emit(int kind, int figure, uint16_t mask, const char *text) {
    printf("supervision: %s\r\n", text);
    journal_event(JK_SUPERVISION, -1, kind, figure, text);
    if (mask == 0) return;
    if (S.npending == PENDING_MAX) {
        // Eight messages waiting means the queue has been stuck for a long
        // time; the oldest is the least useful (the journal keeps it).
        printf("supervision: queue stuck, oldest waiting message given up\r\n");
        std::memmove(&S.pending[0], &S.pending[1], sizeof(pending_msg) * (PENDING_MAX - 1));
        S.npending--;
    }
    pending_msg &p = S.pending[S.npending];
    p.kind = kind;
    p.mask = mask;
    p.len = utf8_to_sms_ucs2(text, p.text, sizeof p.text);
    if (p.len <= 0) return;
    S.npending++;
}

void offer_pending() {
    while (S.npending > 0) {
        pending_msg &p = S.pending[0];
        int res = compose_group_sms(p.mask, p.text, p.len);
        if (res == -1) {
            printf("supervision: SMS queue full, message waits\r\n");
            return;
        }
        if (res == -2) printf("supervision: no phone in groups 0x%04X, message not sent\r\n", p.mask);
        std::memmove(&S.pending[0], &S.pending[1], sizeof(pending_msg) * (PENDING_MAX - 1));
        S.npending--;
    }
}

// "5s", "12m", "30h", "99d": at most three characters.
void short_age(uint64_t ms, char out[8]) {
    uint64_t s = ms / 1000;
    if (s < 60)
        snprintf(out, 8, "%us", static_cast<unsigned>(s));
    else if (s < 3600)
        snprintf(out, 8, "%um", static_cast<unsigned>(s / 60));
    else if (s < 48 * 3600)
        snprintf(out, 8, "%uh", static_cast<unsigned>(s / 3600));
    else
        snprintf(out, 8, "%ud", static_cast<unsigned>(s / 86400 > 99 ? 99 : s / 86400));
}

const char *registration_word() {
    int32_t cpin = modem_cpin_status.load();
    if (cpin == 1) return "PIN";
    if (cpin != 0) return "noSIM";
    switch (modem_creg.load()) {
    case 1: return "home";
    case 5: return "roam";
    case 2: return "srch";
    case 3: return "deny";
    default: return "noreg";
    }
}

// Network system modes as the modem numbers them.
const char *net_word(char buf[8]) {
    static const char *const names[] = {"none", "GSM", "GPRS", "EDGE", "UMTS", "HSDPA", "HSUPA", "HSPA", "LTE"};
    int32_t t = modem_net_type.load();
    if (t >= 0 && t <= 8) return names[t];
    snprintf(buf, 8, "net%d", t >= 0 && t <= 99 ? t : 99);
    return buf;
}

int active_alarms() {
    int n = 0;
    for (int i = 0; i < ALARMS; i++)
        if (edge_trigger_get(i).value == ALARM_ON) n++;
    return n;
}

int queue_depth() {
    int n = sms_event_is_n() + alarms_waiting.load();
    return n > 999 ? 999 : n;
}

// The latest heartbeat moment at or before now: the time of day tod (minutes
// after midnight, local time) and, with an interval, every every_s seconds
// after it until the next day's time of day. 0 when the clock gives none.
time_t heartbeat_due(time_t now, int tod, int64_t every_s) {
    struct tm lt {};
    if (localtime_r(&now, &lt) == nullptr) return 0;
    lt.tm_hour = tod / 60;
    lt.tm_min = tod % 60;
    lt.tm_sec = 0;
    lt.tm_isdst = -1;
    time_t anchor = mktime(&lt);
    if (anchor == -1) return 0;
    if (anchor > now) {
        lt.tm_mday -= 1;   // yesterday's series is still running
        lt.tm_hour = tod / 60;
        lt.tm_min = tod % 60;
        lt.tm_sec = 0;
        lt.tm_isdst = -1;
        anchor = mktime(&lt);
        if (anchor == -1 || anchor > now) return 0;
    }
    if (every_s <= 0) return anchor;
    return anchor + (now - anchor) / every_s * every_s;
}

void heartbeat_step() {
    uint16_t groups = hr_get(HR_SUP_HEARTBEAT_GROUPS);
    uint16_t key[3] = {hr_get(HR_SUP_HEARTBEAT_TIME), hr_get(HR_SUP_HEARTBEAT_EVERY), hr_get(HR_SUP_UNIT)};
    if (groups == 0 || key[0] >= SUP_MINUTES_PER_DAY) {
        S.hb_armed = false;
        return;
    }
    int64_t every_s = static_cast<int64_t>(key[1]) * static_cast<int64_t>(unit_ms() / 1000);
    time_t due = heartbeat_due(sys_time(), key[0], every_s);
    if (due == 0) return;
    if (!S.hb_armed || std::memcmp(key, S.hb_key, sizeof key) != 0) {
        // A new series starts from now: a moment already past is not sent late.
        S.hb_armed = true;
        std::memcpy(S.hb_key, key, sizeof key);
        S.hb_done = due;
        return;
    }
    if (due < S.hb_done) S.hb_done = due;   // the clock was set back
    if (due <= S.hb_done) return;
    S.hb_done = due;
    char text[SMS_CHARS + 1];
    supervision_heartbeat_text(text, sizeof text);
    emit(JSUP_HEARTBEAT, queue_depth(), groups, text);
}

void master_step(uint32_t tick) {
    uint16_t bound = hr_get(HR_SUP_SILENT_AFTER);
    if (bound == 0) S.silent = false;   // switched off: the silence is forgotten
    uint32_t req = g_requests.load(std::memory_order_acquire);
    if (req != S.requests_seen) {
        S.requests_seen = req;
        uint64_t age = age_ms(tick, g_request_tick.load(std::memory_order_relaxed));
        S.last_request_ms = S.now_ms - (age < S.now_ms ? age : S.now_ms);
        S.any_request = true;
        if (S.silent) {
            S.silent = false;
            uint64_t units = (S.last_request_ms - S.silent_since) / unit_ms();
            char text[SMS_CHARS + 1];
            snprintf(text, sizeof text, "Requests from the PLC again after %llu %s",
                     static_cast<unsigned long long>(units), unit_name());
            emit(JSUP_MASTER_BACK, static_cast<int>(units), hr_get(HR_SUP_SILENT_GROUPS), text);
        }
    }
    if (bound == 0) return;
    uint64_t since = S.any_request ? S.last_request_ms : 0;
    if (!S.silent && S.now_ms - since >= bound * unit_ms()) {
        S.silent = true;
        S.silent_since = since;
        char text[SMS_CHARS + 1];
        snprintf(text, sizeof text, "No request from the PLC for %u %s", bound, unit_name());
        emit(JSUP_MASTER_SILENT, bound, hr_get(HR_SUP_SILENT_GROUPS), text);
    }
}

void delivery_step(uint32_t tick) {
    uint16_t outage_bound = hr_get(HR_SUP_OUTAGE_AFTER);
    uint16_t fails_n = hr_get(HR_SUP_FAILS_IN_ROW);
    int32_t creg = modem_creg.load();
    bool net_ok = (creg == 1 || creg == 5) && modem_cpin_status.load() == 0;
    if (net_ok) {
        S.outage = false;
    } else if (!S.outage) {
        S.outage = true;
        S.outage_since = S.now_ms;
    }
    if (outage_bound == 0 && fails_n == 0) {
        // Off: the flag reads 0 (also one an old saved image might carry).
        if (S.cannot || di_get(DI_CANNOT_DELIVER) != 0) di_set(DI_CANNOT_DELIVER, 0);
        S.cannot = false;
        return;
    }
    int run = g_fail_run.load();
    bool by_outage = outage_bound != 0 && S.outage && S.now_ms - S.outage_since >= outage_bound * unit_ms();
    bool by_fails = fails_n != 0 && run >= fails_n;
    if (!S.cannot && (by_outage || by_fails)) {
        S.cannot = true;
        if (by_outage) {
            S.cannot_since = S.outage_since;
        } else {
            uint64_t age = age_ms(tick, g_fail_first_tick.load());
            S.cannot_since = S.now_ms - (age < S.now_ms ? age : S.now_ms);
        }
        S.delayed_at_onset = sms_event_is_n() + alarms_waiting.load();
        S.changes_at_onset = alarm_sms_changes.load();
        char text[96];
        if (by_outage)
            snprintf(text, sizeof text, "Cannot deliver: %s for %u %s", registration_word(), outage_bound,
                     unit_name());
        else
            snprintf(text, sizeof text, "Cannot deliver: %d failed SMS attempts in a row", run);
        printf("supervision: %s\r\n", text);
        journal_event(JK_SUPERVISION, -1, JSUP_CANNOT_DELIVER, by_outage ? outage_bound : run, text);
    } else if (S.cannot && net_ok && (fails_n == 0 || run < fails_n)) {
        S.cannot = false;
        uint64_t units = (S.now_ms - S.cannot_since) / unit_ms();
        int delayed = S.delayed_at_onset + static_cast<int>(alarm_sms_changes.load() - S.changes_at_onset);
        char text[SMS_CHARS + 1];
        snprintf(text, sizeof text, "Delivery possible again after %llu %s, %d alarms delayed",
                 static_cast<unsigned long long>(units), unit_name(), delayed);
        emit(JSUP_DELIVER_AGAIN, static_cast<int>(units), hr_get(HR_SUP_DELIVER_GROUPS), text);
    }
    di_set(DI_CANNOT_DELIVER, S.cannot ? 1 : 0);
}
}  // namespace

void supervision_master_request() {
    g_request_tick.store(GetTimeTicks(), std::memory_order_relaxed);
    g_requests.fetch_add(1, std::memory_order_release);
}

void supervision_sms_attempt(bool delivered) {
    if (delivered) {
        g_fail_run.store(0);
        return;
    }
    if (g_fail_run.load() == 0) g_fail_first_tick.store(GetTimeTicks());
    g_fail_run.fetch_add(1);
}

int supervision_heartbeat_text(char *out, int cap) {
    char age[8] = "-";
    if (S.any_request) short_age(S.now_ms - S.last_request_ms, age);
    const char *sd = if_sd_card.load() == 0 ? "no" : di_get(DI_SD_CARD) ? "ok" : "err";
    int32_t csq = modem_csq.load();
    char net[8];
    int unack = ack_unacknowledged_count();
    // Every field is bounded so the whole stays within one SMS (70 characters).
    return snprintf(out, static_cast<size_t>(cap), "Alive CSQ%d %s %s Q%d Alm%d Unack%d PLC%s SD%s FW%d-%02d-%02d",
                    csq >= 0 && csq <= 99 ? csq : 99, registration_word(), net_word(net), queue_depth(),
                    active_alarms(), unack < 0 ? 0 : unack > 999 ? 999 : unack, age, sd, IDENT[2],
                    IDENT[3] >> 8, IDENT[3] & 0xFF);
}

void supervision_pass() {
    uint32_t tick = GetTimeTicks();
    if (!S.started) {
        S.started = true;
        S.last_tick = tick;
    }
    S.now_ms += age_ms(tick, S.last_tick);   // a wrap is harmless; a clock set back adds 0
    S.last_tick = tick;

    master_step(tick);
    delivery_step(tick);
    heartbeat_step();
    offer_pending();
}

void supervision_reset() {
    S = state{};
    g_request_tick = 0;
    g_requests = 0;
    g_fail_run = 0;
    g_fail_first_tick = 0;
}

int supervision_pending() { return S.npending; }
