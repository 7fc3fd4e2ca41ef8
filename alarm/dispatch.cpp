#include "alarm/dispatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "alarm/rings.h"
#include "modem/sim7100.h"
#include "sys/sys.h"

namespace {
constexpr int MAX_FAILURES = 3;
// Pause between offers the mailbox refuses: the modem frees it right after it
// publishes the previous verdict, so the refusal lasts only a moment.
constexpr uint64_t REOFFER_US = 10000;

// A 20-byte phone slot as a terminated string (a 20-character number has no
// terminator of its own).
void slot_to_phone(const char *slot, char out[PHONE_SLOT_LEN + 1]) {
    std::memcpy(out, slot, PHONE_SLOT_LEN);
    out[PHONE_SLOT_LEN] = 0;
}

// Serves the head entry of one ring. Offer hands the working record for the
// current phone to the mailbox (1 accepted, 0 busy); the verdict is read from
// status. Returns nothing: the outcome is written into the entry.
template <typename Evt, typename Offer>
void serve(Evt &head, int (*pop)(), std::atomic<int32_t> &status, Offer offer, const char *wait_fmt,
           const char *ng_fmt, const char *end_fmt) {
    head.status.store(2);
    int count = std::clamp<int>(head.phone_count, 0, MAX_PHONES);
    char phones[MAX_PHONES][PHONE_SLOT_LEN];
    std::memcpy(phones, head.phones, static_cast<size_t>(count) * PHONE_SLOT_LEN);
    head.phones_done = 0;

    int idx = 0, ng = 0;
    while (idx < count) {
        char phone[PHONE_SLOT_LEN + 1];
        slot_to_phone(phones[idx], phone);
        // The mailbox's status belongs to the message it last accepted: wait
        // only once this one is accepted.
        while (offer(phone) == 0) sys_usleep(REOFFER_US);
        int st;
        for (;;) {
            st = status.load();
            printf(wait_fmt, idx, st);
            if (st == 3 || st == 4) break;
            sys_sleep(1);
        }
        if (st == 3) {
            idx++;
            ng = 0;
        } else {
            ng++;
            printf(ng_fmt, ng);
        }
        if (ng >= MAX_FAILURES) break;
    }
    if (ng >= MAX_FAILURES) {
        head.phones_done = idx;
        head.status.store(4);
    } else {
        head.phones_done = count;
        head.status.store(3);
    }
    pop();
    printf(end_fmt, ng, idx);
}
}  // namespace

void sms_buffer_pass() {
    if (sms_event_is_n() <= 0) return;
    sms_event &head = sms_evt[evt_out.load()];
    sms_message work{};
    int len = std::min<int>(head.message.length, sizeof work.text - 1);
    std::memcpy(work.text, head.message.text, static_cast<size_t>(len));
    work.text[len] = 0;
    work.length = static_cast<uint8_t>(len);
    work.mode = head.message.mode;
    serve(
        head, sms_event_pop, send_sms_status,
        [&work](const char *phone) {
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            return sms_send_one(work);
        },
        "--> phone_idx[%d]: %d\r\n", "NG counter: %d\r\n", "ng_cnt=%d, phone_idx=%d\r\n");
}

void voice_buffer_pass() {
    if (voice_event_is_n() <= 0) return;
    voice_event &head = voice_evt[evt_out_voice.load()];
    voice_message work{};
    std::memcpy(work.wav_name, head.wav_name, sizeof work.wav_name);
    work.wav_name[sizeof work.wav_name - 1] = 0;
    serve(
        head, voice_event_pop, send_voice_status,
        [&work](const char *phone) {
            std::memset(work.phone, 0, sizeof work.phone);
            std::memcpy(work.phone, phone, strnlen(phone, PHONE_SLOT_LEN));
            return voice_send_one(work);
        },
        "-->Send Voice: phone_idx[%d]: %d\r\n", "Send Voice: NG counter: %d\r\n",
        "Send Voice: ng_cnt=%d, phone_idx=%d\r\n");
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
