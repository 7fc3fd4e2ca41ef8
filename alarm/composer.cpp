#include "alarm/composer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "alarm/ack.h"
#include "alarm/rings.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "storage/sdcard.h"
#include "storage/voice_files.h"
#include "sys/sys.h"

edge_trigger alarm_edge_trigger[layout::ALARMS];

namespace {
using layout::ALARM_ON;
using layout::ALARM_OFF;
constexpr int TEXT_REGS = layout::TEXT_N;     // one ON or OFF text
constexpr int VAR_TEXT_REG = layout::HR_VARIABLE_TEXT;
constexpr int VAR_TEXT_REGS = layout::HR_VARIABLE_TEXT_N;
constexpr int TEXT_CAP = 160;

// The listener and the edge thread share the trigger table; every access to
// a record goes through this lock, so a trigger set between the edge thread's
// test and its clearing cannot be lost. The composer never runs under it.
std::mutex edge_mu;

bool enable_bit(int first_reg, int alarm) {
    return ((hr_get(first_reg + layout::enable_word(alarm)) >> layout::enable_bit(alarm)) & 1) != 0;
}

// Phones of the groups selected by mask (bit g = group g), groups and
// numbers in ascending order, duplicates kept. Returns the count.
int collect_phones(uint16_t mask, char (*phones)[PHONE_SLOT_LEN]) {
    int count = 0;
    for (int g = 0; g < 16; g++) {
        if (((mask >> g) & 1) == 0) continue;
        for (int n = 0; n < 16 && count < MAX_PHONES; n++) {
            char num[PHONE_SLOT_LEN + 1];
            regmap_phone(phone_reg(g, n), num);
            if (num[0] == 0) continue;
            printf("Group %d ,Send Number:%s\n", g, num);
            // All 20 bytes: a 20-character number fills its slot unterminated.
            std::memcpy(phones[count], num, PHONE_SLOT_LEN);
            count++;
        }
    }
    return count;
}

// False only when the ring is full. change: the open alarm change the entry
// carries (closed for the SMS ring in the entry's commit), 0 none.
bool queue_sms(int alarm, uint16_t value, const char (*phones)[PHONE_SLOT_LEN], int count, uint64_t change) {
    int first;
    if (value == ALARM_ON)
        first = alarm_text_reg(alarm);
    else if (value == ALARM_OFF)
        first = alarm_text_reg(alarm) + TEXT_REGS;
    else
        return true;

    uint8_t text[TEXT_CAP] = {};
    int len = regmap_text(first, TEXT_REGS, text, TEXT_CAP);
    printf("Send SMS Contens Length:%d\n", len);
    // Zero registers are skipped as in the fixed texts: a NUL character in an
    // SMS is corrupted data on the phone.
    if (hr_get(layout::HR_VARIABLE_ON) == 1) len += regmap_text(VAR_TEXT_REG, VAR_TEXT_REGS, text + len, TEXT_CAP - len);

    sms_message msg{};
    std::memcpy(msg.text, text, static_cast<size_t>(len));
    msg.length = static_cast<uint8_t>(len);
    msg.mode = 8;
    int res = sms_event_put(msg, phones, count, alarm, change);
    printf("res of sms_event_put() = %d\r\n", res);
    printf("sms_event_is_n()=%d\r\n", sms_event_is_n());
    if (res == -1) return false;
    ack_note_queued(alarm, 0, res);
    // Each queued alarm SMS takes the next status record in turn (0, 1, .. 15,
    // then 0 again), so the master follows the last 16 in input registers
    // 0..15; input register 16 names the ring slot of the last one.
    int k = static_cast<int>(sms_status_next.fetch_add(1) % layout::IR_SLOTS);
    sms_buffer_status[k].status.store(layout::STATUS_QUEUED);
    sms_buffer_status[k].slot.store(res);
    ir_set(layout::IR_LAST_SLOT, static_cast<uint16_t>(res));
    return true;
}

// False only when the ring is full. A recording that is missing or unfit
// closes change for the voice ring: nothing will come of it.
bool queue_voice(int alarm, uint16_t value, const char (*phones)[PHONE_SLOT_LEN], int count, uint64_t change) {
    bool on;
    if (value == ALARM_ON)
        on = true;
    else if (value == ALARM_OFF)
        on = false;
    else
        return true;

    const std::string name = voice_file_name(alarm, on);
    std::string path = sys_path((VOICE_CARD_DIR + name).c_str());
    if (access(path.c_str(), F_OK) != 0) {
        printf(on ? "Voice ON File: %s does not exist!! Send Voice Alarm:%d Error!!\r\n"
                  : "Voice OFF File: %s does not exist!! Send Voice Alarm:%d Error!!\r\n",
               path.c_str(), alarm);
        journal_change_settled(change, JCHANGE_VOICE);
        return true;
    }
    if (check_wav_format(alarm, on ? 1 : 0) == 0) {
        printf(on ? "Voice ON File: %s format is Incorrect!! Send Voice Alarm:%d Error!!\r\n"
                  : "Voice OFF File: %s format is Incorrect!! Send Voice Alarm:%d Error!!\r\n",
               path.c_str(), alarm);
        journal_change_settled(change, JCHANGE_VOICE);
        return true;
    }
    voice_message vm{};
    snprintf(vm.wav_name, sizeof vm.wav_name, "%s", name.c_str());
    int res = voice_event_put(vm, phones, count, alarm, change);
    printf("res of voice_event_put() = %d\r\n", res);
    printf("voice_event_is_n()=%d\r\n", voice_event_is_n());
    if (res == -1) return false;
    ack_note_queued(alarm, 1, res);
    return true;
}

// Changes that found their ring full wait here, composed later in order of
// arrival: per ring (0 SMS, 1 voice), alarm and value (0 OFF, 1 ON), the
// arrival number, 0 when none. A repeat of a waiting change is the same alarm
// state and is not kept twice. Guarded by compose_mu, which also serialises
// composing, so a new change never overtakes a waiting one.
constexpr int SMS_RING = 0, VOICE_RING = 1;
uint32_t waiting_seq[2][layout::ALARMS][2];
// The open alarm change each waiting record carries into its ring (0 none:
// a repeat); the journal keeps it open until the entry is queued, so a
// restart composes it again.
uint64_t waiting_id[2][layout::ALARMS][2];
// A waiting ON that is a repeat of an unacknowledged alarm: the escalation
// groups it adds, and whether it is only a repeat (dropped when the alarm is
// acknowledged or goes OFF; a real ON change is never dropped).
uint16_t waiting_extra[2][layout::ALARMS];
bool waiting_repeat[2][layout::ALARMS];
int waiting_n[2];
uint32_t next_seq = 1;
std::mutex compose_mu;

void wait_change(int ring, int alarm, uint16_t value, uint16_t extra = 0, bool repeat = false, uint64_t change = 0) {
    const int bit = ring == SMS_RING ? JCHANGE_SMS : JCHANGE_VOICE;
    if (value != ALARM_ON && value != ALARM_OFF) {
        journal_change_settled(change, bit);
        return;
    }
    uint32_t &w = waiting_seq[ring][alarm][value == ALARM_ON ? 1 : 0];
    uint64_t &id = waiting_id[ring][alarm][value == ALARM_ON ? 1 : 0];
    // A waiting record that carries an older change covers this one too.
    if (id != 0)
        journal_change_settled(change, bit);
    else
        id = change;
    if (value == ALARM_ON) {
        // A real change waiting already stays one; the groups add up.
        waiting_repeat[ring][alarm] = w == 0 ? repeat : (waiting_repeat[ring][alarm] && repeat);
        waiting_extra[ring][alarm] = static_cast<uint16_t>((w == 0 ? 0 : waiting_extra[ring][alarm]) | extra);
    }
    if (w == 0) {
        w = next_seq++;
        waiting_n[ring]++;
    }
    alarms_waiting.store(waiting_n[0] + waiting_n[1]);
    if_send_sms_buffer_full.store(1);
    printf("%s queue full: alarm %d %s waits (%d waiting)\r\n", ring == SMS_RING ? "SMS" : "Voice", alarm,
           value == ALARM_ON ? "ON" : "OFF", waiting_n[ring]);
}

// Composes the waiting changes of one ring, oldest first, while it has room.
void drain_ring(int ring) {
    while (waiting_n[ring] > 0) {
        int best_a = -1, best_v = 0;
        for (int a = 0; a < layout::ALARMS; a++)
            for (int v = 0; v < 2; v++) {
                uint32_t w = waiting_seq[ring][a][v];
                if (w != 0 && (best_a < 0 || w < waiting_seq[ring][best_a][best_v])) {
                    best_a = a;
                    best_v = v;
                }
            }
        uint16_t value = best_v == 1 ? ALARM_ON : ALARM_OFF;
        // The phones and texts in force now: the master may have mended them meanwhile.
        char phones[MAX_PHONES][PHONE_SLOT_LEN] = {};
        uint16_t extra = best_v == 1 ? waiting_extra[ring][best_a] : 0;
        int count = collect_phones(static_cast<uint16_t>(hr_get(layout::HR_GROUP_MASK + best_a) | extra), phones);
        uint64_t id = waiting_id[ring][best_a][best_v];
        bool ok = ring == SMS_RING ? queue_sms(best_a, value, phones, count, id)
                                   : queue_voice(best_a, value, phones, count, id);
        if (!ok) return;
        waiting_seq[ring][best_a][best_v] = 0;
        waiting_id[ring][best_a][best_v] = 0;
        if (best_v == 1) {
            waiting_extra[ring][best_a] = 0;
            waiting_repeat[ring][best_a] = false;
        }
        waiting_n[ring]--;
    }
}

// Drops the waiting ON repeats of alarm (compose_mu held).
void drop_waiting_repeat(int alarm) {
    for (int ring = 0; ring < 2; ring++) {
        uint32_t &w = waiting_seq[ring][alarm][1];
        if (w == 0 || !waiting_repeat[ring][alarm]) continue;
        w = 0;
        journal_change_settled(waiting_id[ring][alarm][1], ring == SMS_RING ? JCHANGE_SMS : JCHANGE_VOICE);
        waiting_id[ring][alarm][1] = 0;
        waiting_repeat[ring][alarm] = false;
        waiting_extra[ring][alarm] = 0;
        waiting_n[ring]--;
        printf("alarm %d: waiting repeat dropped\r\n", alarm);
    }
    alarms_waiting.store(waiting_n[0] + waiting_n[1]);
}
}  // namespace

std::atomic<int32_t> alarms_waiting{0};
std::atomic<uint32_t> alarm_sms_changes{0};

int compose_group_sms(uint16_t mask, const uint8_t *text, int len) {
    if (text == nullptr || len < 0) return -2;
    std::lock_guard<std::mutex> l(compose_mu);
    char phones[MAX_PHONES][PHONE_SLOT_LEN] = {};
    int count = collect_phones(mask, phones);
    if (count == 0) return -2;
    // Alarm changes waiting for room go first: this text waits behind them.
    if (waiting_n[SMS_RING] > 0) return -1;
    sms_message msg{};
    int n = len < TEXT_CAP ? len : TEXT_CAP;
    std::memcpy(msg.text, text, static_cast<size_t>(n));
    msg.length = static_cast<uint8_t>(n);
    msg.mode = 8;
    int res = sms_event_put(msg, phones, count);
    printf("res of sms_event_put() = %d\r\n", res);
    printf("sms_event_is_n()=%d\r\n", sms_event_is_n());
    if (res == -1) if_send_sms_buffer_full.store(1);
    return res;
}

void alarm_waiting_drain() {
    std::lock_guard<std::mutex> l(compose_mu);
    if (waiting_n[SMS_RING] + waiting_n[VOICE_RING] == 0) return;
    drain_ring(SMS_RING);
    drain_ring(VOICE_RING);
    alarms_waiting.store(waiting_n[0] + waiting_n[1]);
}

void alarm_waiting_clear_sms() {
    std::lock_guard<std::mutex> l(compose_mu);
    if (waiting_n[SMS_RING] > 0)
        printf("clear all send buffer: %d waiting alarm changes dropped\r\n", waiting_n[SMS_RING]);
    ack_forget_entries(SMS_RING);
    // Cleared by the master: closed in the journal now, never composed again.
    for (auto &a : waiting_id[SMS_RING])
        for (uint64_t &id : a) {
            journal_change_settled(id, JCHANGE_SMS);
            id = 0;
        }
    journal_changes_flush();
    std::memset(waiting_seq[SMS_RING], 0, sizeof waiting_seq[SMS_RING]);
    std::memset(waiting_extra[SMS_RING], 0, sizeof waiting_extra[SMS_RING]);
    std::memset(waiting_repeat[SMS_RING], 0, sizeof waiting_repeat[SMS_RING]);
    waiting_n[SMS_RING] = 0;
    alarms_waiting.store(waiting_n[SMS_RING] + waiting_n[VOICE_RING]);
}

void alarm_waiting_reset() {
    std::lock_guard<std::mutex> l(compose_mu);
    std::memset(waiting_seq, 0, sizeof waiting_seq);
    std::memset(waiting_id, 0, sizeof waiting_id);
    std::memset(waiting_extra, 0, sizeof waiting_extra);
    std::memset(waiting_repeat, 0, sizeof waiting_repeat);
    waiting_n[0] = waiting_n[1] = 0;
    next_seq = 1;
    alarms_waiting.store(0);
}

int modbus_do_fixed_sms(uint16_t alarm, uint16_t value, uint64_t change, int rings) {
    if (alarm >= layout::ALARMS) {
        journal_change_settled(change, JCHANGE_ALL);
        return -1;
    }
    int a = alarm;
    bool sms_on = enable_bit(layout::HR_SMS_ENABLE, a);
    bool voice_on = enable_bit(layout::HR_VOICE_ENABLE, a);
    printf("Send Fixed SMS Number:%d\n", a);
    printf("SMS Alarm %d Status is:%d\n", a, sms_on ? 1 : 0);
    printf("VOICE Alarm %d Status is:%d\n", a, voice_on ? 1 : 0);
    // Before composing: the entries queued below belong to the new state.
    ack_alarm_change(a, value);

    std::lock_guard<std::mutex> l(compose_mu);
    // A repeat still waiting is superseded by the real change: an OFF ends
    // the repeats, an ON is the first round again.
    drop_waiting_repeat(a);
    char phones[MAX_PHONES][PHONE_SLOT_LEN] = {};
    int count = collect_phones(hr_get(layout::HR_GROUP_MASK + a), phones);
    const bool on_off = value == ALARM_ON || value == ALARM_OFF;
    const bool sms = (rings & JCHANGE_SMS) != 0 && sms_on && count > 0 && on_off;
    const bool voice = (rings & JCHANGE_VOICE) != 0 && voice_on && if_sd_card.load() != 0 && count > 0 && on_off;
    if (sms) alarm_sms_changes.fetch_add(1);
    // What the change needs nothing from is closed for it.
    journal_change_settled(change, (sms ? 0 : JCHANGE_SMS) | (voice ? 0 : JCHANGE_VOICE));

    // Behind a waiting change of the same ring, a new one waits too.
    if (sms && (waiting_n[SMS_RING] > 0 || !queue_sms(a, value, phones, count, change)))
        wait_change(SMS_RING, a, value, 0, false, change);
    if (voice && (waiting_n[VOICE_RING] > 0 || !queue_voice(a, value, phones, count, change)))
        wait_change(VOICE_RING, a, value, 0, false, change);
    return 0;
}

int alarm_compose_repeat(int alarm, uint16_t extra_groups) {
    if (alarm < 0 || alarm >= layout::ALARMS) return -1;
    bool sms_on = enable_bit(layout::HR_SMS_ENABLE, alarm);
    bool voice_on = enable_bit(layout::HR_VOICE_ENABLE, alarm);
    printf("Repeat of alarm %d (escalation groups 0x%04X)\r\n", alarm, extra_groups);
    std::lock_guard<std::mutex> l(compose_mu);
    char phones[MAX_PHONES][PHONE_SLOT_LEN] = {};
    int count = collect_phones(static_cast<uint16_t>(hr_get(layout::HR_GROUP_MASK + alarm) | extra_groups), phones);
    int waits = 0;
    if (sms_on && count > 0 && (waiting_n[SMS_RING] > 0 || !queue_sms(alarm, ALARM_ON, phones, count, 0))) {
        wait_change(SMS_RING, alarm, ALARM_ON, extra_groups, true);
        waits = 1;
    }
    if (voice_on && if_sd_card.load() != 0 && count > 0 &&
        (waiting_n[VOICE_RING] > 0 || !queue_voice(alarm, ALARM_ON, phones, count, 0))) {
        wait_change(VOICE_RING, alarm, ALARM_ON, extra_groups, true);
        waits = 1;
    }
    return waits;
}

void alarm_repeat_cancel(int alarm) {
    if (alarm < 0 || alarm >= layout::ALARMS) return;
    std::lock_guard<std::mutex> l(compose_mu);
    drop_waiting_repeat(alarm);
}

void edge_trigger_write(int n, uint16_t value, uint64_t change) {
    if (n < 0 || n > 127) {
        journal_change_settled(change, JCHANGE_ALL);
        return;
    }
    puts("Alarm Edge Mode...\r");
    int32_t delay = hr_get(layout::edge_delay_reg(n));
    int32_t v = value;
    int32_t prev;
    bool changed;
    uint64_t superseded = change;
    {
        std::lock_guard<std::mutex> l(edge_mu);
        edge_trigger &t = alarm_edge_trigger[n];
        t.delay = delay;
        prev = t.value;
        changed = prev != v;
        // Only the edge thread clears a pending trigger: clearing it here on a
        // repeated value would drop a change the edge thread has not seen yet.
        if (changed) {
            t.triggered = 1;
            // The delay starts again for the new value: the change pending
            // before it never fires, the new one does.
            superseded = t.change;
            t.change = change;
        }
        t.value = v;
    }
    // A repeated value is covered by the change pending or fired before it.
    journal_change_settled(superseded, JCHANGE_ALL);
    printf("alarm_now_status:%x\r\n", static_cast<unsigned>(prev));
    if (changed)
        printf("Alarm %d Trigger!!...edge\r\n", n);
    else
        printf("Alarm %d Trigger the same...edge\r\n", n);
}

bool edge_trigger_is_change(int n, uint16_t value) {
    if (n < 0 || n > 127) return false;
    std::lock_guard<std::mutex> l(edge_mu);
    return alarm_edge_trigger[n].value != static_cast<int32_t>(value);
}

void edge_trigger_resume(int n, uint16_t value, uint64_t change) {
    if (n < 0 || n > 127) return;
    int32_t delay = hr_get(layout::edge_delay_reg(n));
    uint64_t superseded;
    {
        std::lock_guard<std::mutex> l(edge_mu);
        edge_trigger &t = alarm_edge_trigger[n];
        superseded = t.change;
        t.delay = delay;
        t.value = value;
        t.triggered = 1;
        t.change = change;
    }
    journal_change_settled(superseded, JCHANGE_ALL);
}

void edge_trigger_note(int n, uint16_t value) {
    if (n < 0 || n > 127) return;
    std::lock_guard<std::mutex> l(edge_mu);
    alarm_edge_trigger[n].value = value;
}

void edge_trigger_reset(bool keep_resumed) {
    std::lock_guard<std::mutex> l(edge_mu);
    for (auto &t : alarm_edge_trigger) {
        if (keep_resumed && t.change != 0) continue;
        t.change = 0;
        t.value = 0;
        t.triggered = 0;
        t.armed = 0;
        t.ticks = 0;
    }
}

edge_trigger edge_trigger_get(int n) {
    if (n < 0 || n > 127) return edge_trigger{};
    std::lock_guard<std::mutex> l(edge_mu);
    return alarm_edge_trigger[n];
}

void edge_poll_pass() {
    if (hr_get(layout::HR_EDGE_MODE) != 1) return;
    for (int i = 0; i < layout::ALARMS; i++) {
        bool seen = false, fire = false;
        int32_t ticks, delay, value;
        uint64_t change = 0;
        {
            std::lock_guard<std::mutex> l(edge_mu);
            edge_trigger &t = alarm_edge_trigger[i];
            if (t.triggered == 1) {
                // Test and clear in one step: a new write waits for the lock.
                t.triggered = 0;
                t.armed = 1;
                t.ticks = 1;
                seen = true;
            }
            if (t.armed == 0) continue;
            ticks = t.ticks;
            delay = t.delay;
            value = t.value;
            if (static_cast<int64_t>(ticks) * 100 >= delay) {
                fire = true;
                t.ticks = 0;
                t.armed = 0;
                change = t.change;   // the composer carries it on
                t.change = 0;
            }
            t.ticks++;
        }
        if (seen) printf("Alarm %d Trigger!!(Edge Mode)\r\n", i);
        printf("Alarm %d Edge time:%d (Edge Mode)\r\n", i, ticks);
        if (fire) {
            // Outside the lock: composing reads many registers and fills a ring.
            journal_event(JK_ALARM_CHANGE, i, value == ALARM_ON ? 1 : 0, JSRC_EDGE, nullptr);
            modbus_do_fixed_sms(static_cast<uint16_t>(i), static_cast<uint16_t>(value), change);
            printf("Alarm %d Edge time:%d, Send %x SMS!!\r\n", i, delay, static_cast<unsigned>(value));
        }
    }
}

void *thread_mb_edge_poll(void *) {
    for (;;) {
        edge_poll_pass();
        // Repeats of unacknowledged alarms: cheap unless a second has passed.
        ack_tick();
        sys_usleep(10000);
    }
    return nullptr;
}
