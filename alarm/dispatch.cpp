#include "alarm/dispatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "alarm/composer.h"
#include "alarm/rings.h"
#include "alarm/supervision.h"
#include "modem/sim7100.h"
#include "sys/sys.h"

namespace {
// Failures in a row that give up one phone; the dispatcher then goes on with
// the next phone and the entry ends failed (4).
constexpr int MAX_FAILURES = 3;
// Pause between offers the mailbox refuses: the modem frees it right after it
// publishes the previous verdict, so the refusal lasts only a moment.
constexpr uint64_t REOFFER_US = 10000;
// Longest wait for the modem to take a message or to give its verdict. The
// modem waits up to 60 s for the network's confirmation of an SMS, so this
// lies well above that; past it the entry is left at the head (status 2) and
// the same phone is offered again on a later pass.
constexpr int VERDICT_WAIT_S = 90;
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
};
progress sms_prog, voice_prog;

struct texts {
    const char *wait, *ng, *end, *tag;
    bool sms;   // verdicts count for the self-supervision's failures in a row
};

// A 20-byte phone slot as a terminated string (a 20-character number has no
// terminator of its own).
void slot_to_phone(const char *slot, char out[PHONE_SLOT_LEN + 1]) {
    std::memcpy(out, slot, PHONE_SLOT_LEN);
    out[PHONE_SLOT_LEN] = 0;
}

// Waits while the modem is not registered. False once the outage has lasted
// OUTAGE_LIMIT_S.
bool wait_for_network(const texts &t) {
    printf("%sno network (creg=%d): waiting, the entry stays sending\r\n", t.tag, modem_creg.load());
    for (int s = 0; !registered(); s++) {
        if (s >= OUTAGE_LIMIT_S) {
            printf("%sno network for %d s: entry abandoned\r\n", t.tag, OUTAGE_LIMIT_S);
            return false;
        }
        sys_sleep(1);
    }
    printf("%snetwork back (creg=%d): going on\r\n", t.tag, modem_creg.load());
    return true;
}

// Serves the head entry of one ring. Offer hands the working record for the
// current phone to the mailbox (1 accepted, 0 busy); the verdict is read from
// status. The outcome is written into the entry; an entry the modem does not
// answer for stays at the head and is taken up again on the next pass.
template <typename Evt, typename Offer>
void serve(Evt &head, int slot, progress &pg, int (*pop)(), std::atomic<int32_t> &status, Offer offer,
           const texts &t) {
    if (pg.slot != slot || head.status.load() != layout::STATUS_SENDING) pg = progress{slot, 0, 0, 0};
    head.status.store(layout::STATUS_SENDING);
    int count = std::clamp<int>(head.phone_count, 0, MAX_PHONES);
    char phones[MAX_PHONES][PHONE_SLOT_LEN];
    std::memcpy(phones, head.phones, static_cast<size_t>(count) * PHONE_SLOT_LEN);

    while (pg.idx < count) {
        char phone[PHONE_SLOT_LEN + 1];
        slot_to_phone(phones[pg.idx], phone);
        // A try without network would fail for a reason no phone is to blame for.
        if (!registered() && !wait_for_network(t)) {
            pg.missed += count - pg.idx;
            pg.idx = count;
            break;
        }
        // The mailbox's status belongs to the message it last accepted: wait
        // only once this one is accepted.
        uint64_t refused_us = 0;
        while (offer(phone) == 0) {
            if (refused_us >= VERDICT_WAIT_S * 1000000ull) {
                printf("%sthe modem took no message for %d s: phone %s offered again later\r\n", t.tag,
                       VERDICT_WAIT_S, phone);
                return;
            }
            sys_usleep(REOFFER_US);
            refused_us += REOFFER_US;
        }
        int st;
        for (int s = 0;; s++) {
            st = status.load();
            printf(t.wait, pg.idx, st);
            if (st == 3 || st == 4) break;
            if (s >= VERDICT_WAIT_S) {
                printf("%sno verdict from the modem within %d s: phone %s offered again later\r\n", t.tag,
                       VERDICT_WAIT_S, phone);
                return;
            }
            sys_sleep(1);
        }
        if (st == 3) {
            if (t.sms) supervision_sms_attempt(true);
            pg.idx++;
            pg.ng = 0;
        } else if (!registered()) {
            printf("%sfailure while the network is away: not counted for phone %s\r\n", t.tag, phone);
        } else {
            if (t.sms) supervision_sms_attempt(false);
            pg.ng++;
            printf(t.ng, pg.ng);
            if (pg.ng >= MAX_FAILURES) {
                printf("%sphone %s not reached after %d failures: going on with the next phone\r\n", t.tag, phone,
                       MAX_FAILURES);
                pg.missed++;
                pg.idx++;
                pg.ng = 0;
            }
        }
    }
    // phones_done counts the phones reached.
    head.phones_done = count - pg.missed;
    head.status.store(pg.missed > 0 ? layout::STATUS_FAILED : layout::STATUS_DONE);
    pg.slot = -1;
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
    serve(
        head, evt_out.load(), sms_prog, sms_event_pop, send_sms_status,
        [&work](const char *phone) {
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            return sms_send_one(work);
        },
        texts{"--> phone_idx[%d]: %d\r\n", "NG counter: %d\r\n", "ng_cnt=%d, phone_idx=%d\r\n", "", true});
}

void voice_buffer_pass() {
    alarm_waiting_drain();
    if (voice_event_is_n() <= 0) return;
    voice_event &head = voice_evt[evt_out_voice.load()];
    voice_message work{};
    std::memcpy(work.wav_name, head.wav_name, sizeof work.wav_name);
    work.wav_name[sizeof work.wav_name - 1] = 0;
    serve(
        head, evt_out_voice.load(), voice_prog, voice_event_pop, send_voice_status,
        [&work](const char *phone) {
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            return voice_send_one(work);
        },
        texts{"-->Send Voice: phone_idx[%d]: %d\r\n", "Send Voice: NG counter: %d\r\n",
              "Send Voice: ng_cnt=%d, phone_idx=%d\r\n", "Send Voice: ", false});
}

void *thread_sms_buffer(void *) {
    for (;;) {
        sms_buffer_pass();
        sys_sleep(1);
    }
    return nullptr;
}

void *thread_voice_buffer(void *) {
    for (;;) {
        voice_buffer_pass();
        sys_sleep(1);
    }
    return nullptr;
}
