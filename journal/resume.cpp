#include "journal/resume.h"

#include <cstdio>
#include <cstring>

#include "alarm/composer.h"
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

// The open entries, copied out of the journal: the rings' locks are never
// taken under the journal's (the dispatchers take them the other way round).
constexpr int MAX_OPEN = 2 * EVT_SLOTS;
journal_entry g_open[MAX_OPEN];
int g_open_n;

void collect(const journal_entry &e, void *) {
    if (g_open_n < MAX_OPEN) g_open[g_open_n++] = e;
}

void put_back(const journal_entry &e, resume_pass &p) {
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
                // A resumed alarm SMS takes the next status record, as a new one does.
                int k = static_cast<int>(sms_status_next.fetch_add(1) % layout::IR_SLOTS);
                sms_buffer_status[k].status.store(layout::STATUS_QUEUED);
                sms_buffer_status[k].slot.store(slot);
                ir_set(layout::IR_SLOT_STATUS + k, layout::STATUS_QUEUED * layout::STATUS_SCALE);
                ir_set(layout::IR_LAST_SLOT, static_cast<uint16_t>(slot));
            } else {
                sms_dynamic_buffer_id.store(slot);
                ir_set(layout::IR_DYNAMIC_STATUS, layout::STATUS_QUEUED * layout::STATUS_SCALE);
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
// Alarm changes the master saw acknowledged that were not yet in the rings
// when the restart came: waiting for room, inside their edge delay, or not yet
// composed. Copied out first, as the entries are.
constexpr int MAX_CHANGES = 1024;
journal_change g_changes[MAX_CHANGES];
int g_changes_n, g_changes_more;

void collect_change(const journal_change &c, void *) {
    if (g_changes_n < MAX_CHANGES)
        g_changes[g_changes_n++] = c;
    else
        g_changes_more++;
}

// Composed again in the order they came, after the resumed entries: those
// that find the ring full wait as before, an edge delay starts again.
int resume_changes(int64_t oldest, int minutes) {
    g_changes_n = g_changes_more = 0;
    journal_open_changes(collect_change, nullptr);
    if (g_changes_more > 0)
        printf("journal: %d more open alarm changes than %d: the newest wait for the next start\r\n",
               g_changes_more, MAX_CHANGES);
    int expired = 0;
    bool edge = hr_get(layout::HR_EDGE_MODE) == 1;
    for (int i = 0; i < g_changes_n; i++) {
        const journal_change &c = g_changes[i];
        const char *v = c.value == layout::ALARM_ON ? "ON" : "OFF";
        if (c.time < oldest) {
            printf("journal: alarm %d %s accepted before the restart is older than %d min: not sent\r\n",
                   c.alarm, v, minutes);
            journal_event(JK_EXPIRED, c.alarm, JEXP_CHANGE, c.value == layout::ALARM_ON ? 1 : 0, nullptr);
            journal_change_settled(c.id, JCHANGE_ALL);
            expired++;
        } else if (edge && c.rings == JCHANGE_ALL) {
            // (A change with a ring closed had fired already: composed below.)
            printf("journal: alarm %d %s was in its edge delay at the restart: delay started again\r\n",
                   c.alarm, v);
            edge_trigger_resume(c.alarm, c.value, c.id);
        } else {
            printf("journal: alarm %d %s was acknowledged but not queued before the restart: queued now\r\n",
                   c.alarm, v);
            modbus_do_fixed_sms(static_cast<uint16_t>(c.alarm), c.value, c.id, c.rings);
        }
    }
    // What was found done with is written before anything new arrives.
    journal_changes_flush();
    return expired;
}
}  // namespace

int journal_resume() {
    static resume_pass p;
    p = resume_pass{};
    int minutes = hr_get(layout::HR_JOURNAL_RESUME);
    if (minutes == 0) minutes = layout::JOURNAL_RESUME_DEFAULT_MIN;
    p.oldest = static_cast<int64_t>(sys_time()) - 60ll * minutes;
    g_open_n = 0;
    journal_open_entries(collect, nullptr);
    for (int i = 0; i < g_open_n; i++) put_back(g_open[i], p);
    // Recorded once the entries are read: the journal is not re-entered from its callback.
    for (int i = 0; i < p.expired_n; i++) {
        printf("journal: %s entry of alarm %d older than %d min: not sent\r\n", p.expired_ring[i] ? "voice" : "SMS",
               p.expired_alarm[i], minutes);
        journal_event(JK_EXPIRED, p.expired_alarm[i], p.expired_ring[i], 0, nullptr);
        journal_entry_drop(p.expired[i]);
    }
    for (int i = 0; i < p.refused_n; i++) journal_entry_drop(p.refused[i]);
    int changes_expired = resume_changes(p.oldest, minutes);
    journal_expired.store(p.expired_n + changes_expired);
    journal_publish();
    return p.resumed;
}
