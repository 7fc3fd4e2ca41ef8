#include "alarm/dispatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/delivery.h"
#include "alarm/rings.h"
#include "alarm/supervision.h"
#include "journal/journal.h"
#include "modem/at_parse.h"
#include "modem/sim7100.h"
#include "sys/sys.h"

namespace {
// Failures in a row that give up one phone; the dispatcher then goes on with
// the next phone and the entry ends failed (4).
constexpr int MAX_FAILURES = 3;
// Pause between offers the mailbox refuses: the modem frees it right after it
// publishes the previous verdict, so the refusal lasts only a moment.
constexpr uint64_t REOFFER_US = 10000;
// Longest wait for the modem to take a message, or for its verdict while the
// modem shows no progress on it (modem_progress). A long call or a slow
// network confirmation keeps the modem at work and is waited for whole;
// past the bound the entry is left at the head (status 2), and the next pass
// takes up the hand-over still pending before it offers anything again.
constexpr int VERDICT_WAIT_S = 90;
// A temporary failure (congestion, network time-out, SIM busy, ...) is not
// counted: the phone is tried again after a pause that doubles from the first
// to the last, and given up when such failures have lasted OUTAGE_LIMIT_S.
constexpr int TEMP_PAUSE_FIRST_S = 5, TEMP_PAUSE_LAST_S = 300;
// Longest time an entry waits for the network to come back (modem_creg 1 or
// 5) before it is abandoned as failed.
constexpr int OUTAGE_LIMIT_S = 1800;

bool registered() {
    int32_t c = modem_creg.load();
    return c == 1 || c == 5;
}

// Where the dispatcher stands in the head entry, kept across passes so an
// entry left on a stalled modem goes on where it stopped.
struct progress {
    int slot = -1;   // ring slot these figures belong to, -1 none
    int idx = 0;     // next phone
    int ng = 0;      // failures in a row of that phone
    int missed = 0;  // phones given up
    bool pending = false;   // a hand-over of phone idx awaits its verdict
    int temp_pause = 0;     // s of the next pause after a temporary failure, 0 none yet
    int temp_total = 0;     // s paused for temporary failures of this phone
};

// How a finished hand-over went, as the dispatcher needs it.
struct verdict {
    int code;        // journal code: 0 delivered, else the cause
    int cls;         // CMS_PERMANENT, CMS_TEMPORARY or CMS_OTHER
    char text[64];   // the answer, for the log and the journal
};
progress sms_prog, voice_prog;

struct texts {
    const char *wait, *ng, *end, *tag;
    bool sms;   // verdicts count for the self-supervision's failures in a row
};

// The alarm a recording belongs to: "DO<n>_ON.wav" / "DO<n>_OFF.wav"; -1 other.
int alarm_of_wav(const char *name) {
    int n = 0, digits = 0;
    if (std::strncmp(name, "DO", 2) != 0) return -1;
    for (const char *p = name + 2; *p >= '0' && *p <= '9' && digits < 3; p++, digits++) n = n * 10 + (*p - '0');
    return digits > 0 && name[2 + digits] == '_' ? n : -1;
}

verdict sms_verdict(int st) {
    verdict v{0, CMS_OTHER, "sent"};
    if (st == 3) return v;
    int32_t e = send_sms_error.load(std::memory_order_acquire);
    v.code = e;
    if (e > 0) {
        v.cls = at_cms_class(e);
        snprintf(v.text, sizeof v.text, "+CMS ERROR: %d", e);
    } else if (e == SMS_ERR_BAD_NUMBER) {
        v.cls = CMS_PERMANENT;
        snprintf(v.text, sizeof v.text, "not a dial string");
    } else if (e == SMS_ERR_NO_CONFIRM) {
        snprintf(v.text, sizeof v.text, "no confirmation");
    } else {
        snprintf(v.text, sizeof v.text, "ERROR");
    }
    return v;
}

verdict voice_verdict(int st) {
    int32_t o = send_voice_outcome.load(std::memory_order_acquire);
    verdict v{st == 3 ? 0 : (o != CALL_NONE ? o : -1), o == CALL_NOT_DIALLED ? CMS_PERMANENT : CMS_OTHER, ""};
    int32_t e = send_voice_error.load(std::memory_order_acquire);
    if (e >= 0 && st != 3)
        snprintf(v.text, sizeof v.text, "%s (+CME ERROR: %d)", call_outcome_text(o), e);
    else
        snprintf(v.text, sizeof v.text, "%s", st == 3 ? "played" : call_outcome_text(o));
    return v;
}

// A 20-byte phone slot as a terminated string (a 20-character number has no
// terminator of its own).
void slot_to_phone(const char *slot, char out[PHONE_SLOT_LEN + 1]) {
    std::memcpy(out, slot, PHONE_SLOT_LEN);
    out[PHONE_SLOT_LEN] = 0;
}

// Waits while the modem is not registered. False once the outage has lasted
// OUTAGE_LIMIT_S. The modem wakes this thread when registration comes back
// (sys_wake), so the first try follows it at once, not at a later poll.
bool wait_for_network(const texts &t) {
    printf("%sno network (creg=%d): waiting, the entry stays sending\r\n", t.tag, modem_creg.load());
    const uint64_t limit_us = OUTAGE_LIMIT_S * 1000000ull, start = sys_monotonic_us();
    for (;;) {
        uint64_t seq = sys_wake_seq();
        if (registered()) break;
        uint64_t waited = sys_monotonic_us() - start;
        if (waited >= limit_us) {
            printf("%sno network for %d s: entry abandoned\r\n", t.tag, OUTAGE_LIMIT_S);
            return false;
        }
        sys_wait(seq, std::min<uint64_t>(1000000u, limit_us - waited));
    }
    printf("%snetwork back (creg=%d): going on\r\n", t.tag, modem_creg.load());
    return true;
}

// Serves the head entry of one ring. Offer hands the working record for the
// current phone to the mailbox (1 accepted, 0 busy); the verdict is read from
// status. The outcome is written into the entry; an entry the modem does not
// answer for stays at the head and is taken up again on the next pass.
template <typename Evt, typename Offer, typename Verdict>
void serve(int ring, Evt &head, int slot, progress &pg, int (*pop)(), std::atomic<int32_t> &status,
           std::atomic<int32_t> &busy, Offer offer, verdict (*judge)(int), int alarm, const texts &t,
           Verdict on_verdict) {
    if (pg.slot != slot || head.status.load() != layout::STATUS_SENDING) pg = progress{slot, 0, 0, 0};
    head.status.store(layout::STATUS_SENDING);
    int count = std::clamp<int>(head.phone_count, 0, MAX_PHONES);
    char phones[MAX_PHONES][PHONE_SLOT_LEN];
    std::memcpy(phones, head.phones, static_cast<size_t>(count) * PHONE_SLOT_LEN);

    while (pg.idx < count) {
        // A repeat of an alarm acknowledged meanwhile goes no further.
        if (ack_entry_withdrawn(ring, slot)) {
            printf("%salarm acknowledged: repeat withdrawn before phone %d of %d\r\n", t.tag, pg.idx + 1, count);
            count = pg.idx;
            break;
        }
        char phone[PHONE_SLOT_LEN + 1];
        slot_to_phone(phones[pg.idx], phone);
        // Confirmed before a restart: that phone has it already.
        if (head.done[pg.idx / 32] & (1u << (pg.idx % 32))) {
            pg.idx++;
            pg.ng = 0;
            continue;
        }
        // A hand-over left without its verdict is still the modem's: while
        // the mailbox is busy it is waited for, once its verdict is out it
        // counts; never is the same phone offered on top of it.
        bool resume = false;
        if (pg.pending) {
            pg.pending = false;
            int32_t st0 = status.load();
            if (busy.load() != 0 || st0 == 3 || st0 == 4) {
                resume = true;
                printf("%sgoing on with the pending hand-over to phone %s\r\n", t.tag, phone);
            }
        }
        // A try without network would fail for a reason no phone is to blame for.
        if (!resume && !registered() && !wait_for_network(t)) {
            pg.missed += count - pg.idx;
            pg.idx = count;
            break;
        }
        // The mailbox's status belongs to the message it last accepted: wait
        // only once this one is accepted.
        uint64_t refused_us = 0;
        while (!resume && offer(phone) == 0) {
            if (refused_us >= VERDICT_WAIT_S * 1000000ull) {
                printf("%sthe modem took no message for %d s: phone %s offered again later\r\n", t.tag,
                       VERDICT_WAIT_S, phone);
                return;
            }
            sys_usleep(REOFFER_US);
            refused_us += REOFFER_US;
        }
        // The verdict wakes this thread (sys_wake); the status line is still
        // logged once per second while it waits.
        int st;
        uint32_t seen = modem_progress.load();
        uint64_t line_at = sys_monotonic_us(), idle_since = line_at;
        for (bool first = true;; first = false) {
            uint64_t seq = sys_wake_seq();
            st = status.load();
            uint64_t now = sys_monotonic_us();
            if (first || st == 3 || st == 4 || now - line_at >= 1000000u) {
                printf(t.wait, pg.idx, st);
                line_at = now;
            }
            if (st == 3 || st == 4) break;
            // The bound counts only time in which the modem does nothing.
            uint32_t p = modem_progress.load();
            if (p != seen) {
                seen = p;
                idle_since = now;
            }
            if (now - idle_since >= VERDICT_WAIT_S * 1000000ull) {
                printf("%sno verdict from the modem within %d s: phone %s offered again later\r\n", t.tag,
                       VERDICT_WAIT_S, phone);
                pg.pending = true;
                return;
            }
            sys_wait(seq, line_at + 1000000u - now);
        }
        verdict v = judge(st);
        char jtext[96];
        snprintf(jtext, sizeof jtext, "%s %s", phone, v.text);
        // A delivery is journalled with the entry's progress, in one commit.
        // A failure without a cause of its own is -1: code 0 reads as delivered
        // and would mark the phone served for a restart.
        int code = st == 3 ? 0 : (v.code != 0 ? v.code : -1);
        journal_attempt(head.jid, head.alarm >= 0 ? head.alarm : alarm, pg.idx, code, jtext);
        on_verdict(phone, st);
        if (st == 3) {
            head.done[pg.idx / 32] |= 1u << (pg.idx % 32);
            if (t.sms) supervision_sms_attempt(true);
            pg.idx++;
            pg.ng = 0;
            pg.temp_pause = pg.temp_total = 0;
        } else if (!registered()) {
            printf("%sfailure while the network is away: not counted for phone %s\r\n", t.tag, phone);
        } else if (v.cls == CMS_PERMANENT) {
            printf("%sphone %s refused for good (%s): not tried again\r\n", t.tag, phone, v.text);
            pg.missed++;
            pg.idx++;
            pg.ng = 0;
            pg.temp_pause = pg.temp_total = 0;
        } else if (v.cls == CMS_TEMPORARY) {
            if (pg.temp_total >= OUTAGE_LIMIT_S) {
                printf("%sphone %s failing for %d s (%s): going on with the next phone\r\n", t.tag, phone,
                       pg.temp_total, v.text);
                pg.missed++;
                pg.idx++;
                pg.ng = 0;
                pg.temp_pause = pg.temp_total = 0;
            } else {
                // Not this phone's fault, but the gateway is not delivering.
                if (t.sms) supervision_sms_attempt(false);
                pg.temp_pause = pg.temp_pause == 0 ? TEMP_PAUSE_FIRST_S
                                                   : std::min(2 * pg.temp_pause, TEMP_PAUSE_LAST_S);
                printf("%stemporary failure for phone %s (%s): not counted, tried again in %d s\r\n", t.tag,
                       phone, v.text, pg.temp_pause);
                sys_sleep(static_cast<unsigned>(pg.temp_pause));
                pg.temp_total += pg.temp_pause;
            }
        } else {
            if (t.sms) supervision_sms_attempt(false);
            pg.ng++;
            printf("%sphone %s: %s\r\n", t.tag, phone, v.text);
            printf(t.ng, pg.ng);
            if (pg.ng >= MAX_FAILURES) {
                printf("%sphone %s not reached after %d failures: going on with the next phone\r\n", t.tag, phone,
                       MAX_FAILURES);
                pg.missed++;
                pg.idx++;
                pg.ng = 0;
                pg.temp_pause = pg.temp_total = 0;
            }
        }
    }
    // phones_done counts the phones reached.
    head.phones_done = count - pg.missed;
    const int outcome = pg.missed > 0 ? layout::STATUS_FAILED : layout::STATUS_DONE;
    head.status.store(outcome);
    journal_entry_end(head.jid, head.alarm, outcome, pg.missed);
    pg.slot = -1;
    ack_entry_done(ring, slot);
    pop();
    printf(t.end, pg.missed, pg.idx);
    alarm_waiting_drain();
}
}  // namespace

void sms_buffer_pass() {
    alarm_waiting_drain();
    if (sms_event_is_n() <= 0) return;
    sms_event &head = sms_evt[evt_out.load()];
    sms_message work{};
    int len = std::min<int>(head.message.length, sizeof work.text - 1);
    std::memcpy(work.text, head.message.text, static_cast<size_t>(len));
    work.text[len] = 0;
    work.length = static_cast<uint8_t>(len);
    work.mode = head.message.mode;
    // Delivery reports: an alarm's SMS asks for one, and an entry taken up
    // fresh (not one left pending) starts its alarm's count again.
    const bool report = head.alarm >= 0 && delivery_reports_on();
    if (report && (sms_prog.slot != evt_out.load() || head.status.load() != layout::STATUS_SENDING))
        delivery_entry_start(head.alarm, head.phone_count);
    serve(
        0, head, evt_out.load(), sms_prog, sms_event_pop, send_sms_status, is_send_sms,
        [&work, &head, report](const char *phone) {
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            // More phones of this entry or more entries behind it: the modem
            // may keep the network's link open for them.
            bool more = sms_prog.idx + 1 < std::clamp<int>(head.phone_count, 0, MAX_PHONES) || sms_event_is_n() > 1;
            send_sms_more.store(more ? 1 : 0, std::memory_order_release);
            return sms_send_one(work, report);
        },
        sms_verdict, -1,   // an SMS entry does not name its alarm
        texts{"--> phone_idx[%d]: %d\r\n", "NG counter: %d\r\n", "ng_cnt=%d, phone_idx=%d\r\n", "", true},
        // A sent SMS that asked for a report waits for it under its reference.
        [&head](const char *phone, int st) {
            if (st == 3 && send_sms_srr.load() != 0)
                delivery_sent(head.alarm, head.jid, sms_prog.idx, phone, send_sms_mr.load());
        });
}

void voice_buffer_pass() {
    alarm_waiting_drain();
    if (voice_event_is_n() <= 0) return;
    voice_event &head = voice_evt[evt_out_voice.load()];
    voice_message work{};
    std::memcpy(work.wav_name, head.wav_name, sizeof work.wav_name);
    work.wav_name[sizeof work.wav_name - 1] = 0;
    serve(
        1, head, evt_out_voice.load(), voice_prog, voice_event_pop, send_voice_status, is_send_voice,
        [&work](const char *phone) {
            // Never a new call while one is still up.
            if (modem_call_state.load() != 0) return 0;
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            // Read by the modem when it starts the call: the previous call is over.
            voice_key_wanted.store(ack_key_wanted(work.wav_name) ? 1 : 0);
            return voice_send_one(work);
        },
        voice_verdict, alarm_of_wav(work.wav_name),
        texts{"-->Send Voice: phone_idx[%d]: %d\r\n", "Send Voice: NG counter: %d\r\n",
              "Send Voice: ng_cnt=%d, phone_idx=%d\r\n", "Send Voice: ", false},
        // A key pressed in the call may acknowledge its alarm.
        [&work](const char *phone, int st) {
            // The callee heard the message even when the hang-up was not confirmed.
            if (st == 3 || st == 4) ack_call_result(phone, work.wav_name, static_cast<char>(send_voice_key.load()));
        });
}

namespace {
// The next entry is taken at once; an empty ring is waited on until a
// producer queues something (sys_wake), or for a second (the composer's
// waiting table is drained on every pass).
void dispatch_loop(void (*pass)(), int (*queued)()) {
    for (;;) {
        uint64_t seq = sys_wake_seq();
        pass();
        if (queued() <= 0) sys_wait(seq, 1000000u);
    }
}
}  // namespace

void *thread_sms_buffer(void *) {
    dispatch_loop(sms_buffer_pass, sms_event_is_n);
    return nullptr;
}

void *thread_voice_buffer(void *) {
    dispatch_loop(voice_buffer_pass, voice_event_is_n);
    return nullptr;
}
