#include "journal/resume.h"

#include <cstdio>
#include <cstring>

#include "alarm/rings.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

namespace {
struct resume_pass {
    int64_t oldest;        // entries queued before this expire
    int resumed = 0;
    int expired_n = 0;
    uint64_t expired[64];  // the rings hold at most 2 x 17 entries
    int expired_ring[64], expired_alarm[64];
    uint64_t refused[64];
    int refused_n = 0;
};

void put_back(const journal_entry &e, void *arg) {
    resume_pass &p = *static_cast<resume_pass *>(arg);
    if (e.time < p.oldest) {
        if (p.expired_n < 64) {
            p.expired[p.expired_n] = e.id;
            p.expired_ring[p.expired_n] = e.ring;
            p.expired_alarm[p.expired_n++] = e.alarm;
        }
        return;
    }
    int slot;
    if (e.ring == 0) {
        sms_message m{};
        memcpy(m.text, e.body, static_cast<size_t>(e.body_len));
        m.length = static_cast<uint8_t>(e.body_len);
        m.mode = static_cast<uint8_t>(e.mode);
        slot = sms_event_put_resumed(m, e.phones, e.count, e.alarm, e.id, e.done);
        if (slot >= 0) {
            // What the master read before the restart, it reads again.
            if (e.alarm >= 0) {
                sms_buffer_status[0].status.store(1);
                sms_buffer_status[0].slot.store(slot);
                ir_set(layout::IR_SLOT_STATUS, layout::STATUS_QUEUED * 256);
                ir_set(layout::IR_LAST_SLOT, static_cast<uint16_t>(slot));
            } else {
                sms_dynamic_buffer_id.store(slot);
                ir_set(layout::IR_DYNAMIC_STATUS, layout::STATUS_QUEUED * 256);
            }
        }
    } else {
        voice_message m{};
        memcpy(m.wav_name, e.body, sizeof m.wav_name - 1);
        slot = voice_event_put_resumed(m, e.phones, e.count, e.alarm, e.id, e.done);
    }
    if (slot < 0) {
        if (p.refused_n < 64) p.refused[p.refused_n++] = e.id;
        return;
    }
    int confirmed = 0;
    for (int i = 0; i < e.count; i++) confirmed += (e.done[i / 32] >> (i % 32)) & 1;
    printf("journal: resumed %s entry of alarm %d, %d of %d phones already served\r\n", e.ring ? "voice" : "SMS",
           e.alarm, confirmed, e.count);
    p.resumed++;
}
}  // namespace

int journal_resume() {
    static resume_pass p;
    p = resume_pass{};
    int minutes = hr_get(layout::HR_JOURNAL_RESUME);
    if (minutes == 0) minutes = layout::JOURNAL_RESUME_DEFAULT_MIN;
    p.oldest = static_cast<int64_t>(sys_time()) - 60ll * minutes;
    journal_open_entries(put_back, &p);
    // Recorded once the entries are read: the journal is not re-entered from its callback.
    for (int i = 0; i < p.expired_n; i++) {
        printf("journal: %s entry of alarm %d older than %d min: not sent\r\n", p.expired_ring[i] ? "voice" : "SMS",
               p.expired_alarm[i], minutes);
        journal_event(JK_EXPIRED, p.expired_alarm[i], p.expired_ring[i], 0, nullptr);
        journal_entry_drop(p.expired[i]);
    }
    for (int i = 0; i < p.refused_n; i++) journal_entry_drop(p.refused[i]);
    journal_expired.store(p.expired_n);
    journal_publish();
    return p.resumed;
}
