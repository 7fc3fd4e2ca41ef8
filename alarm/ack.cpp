#include "alarm/ack.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "alarm/composer.h"
#include "alarm/rings.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "msg/phone.h"
#include "sys/sys.h"

namespace {
using namespace layout;

// Kept in the journal as is: fixed layout, no pointers.
struct alarm_state {
    uint8_t active;      // ON (only alarms that need acknowledging are followed)
    uint8_t unacked;
    uint8_t round;       // rounds sent, 1 = the first message
    uint8_t exhausted;   // out of rounds, nobody acknowledged
    uint8_t failed;      // an entry of the last round failed
    uint8_t pad;
    uint16_t groups;     // groups the alarm went to: who may acknowledge it
    int64_t due;         // wall-clock s of the next round, 0 none
    int16_t slot[2];     // entries of the last round still to be judged, -1 none
    int16_t pad2[2];
};

struct saved_state {
    uint32_t magic;
    uint32_t version;
    alarm_state a[ALARMS];
};
constexpr uint32_t MAGIC = 0x41434b31;   // "ACK1"
constexpr const char *STATE_NAME = "ack";

std::mutex mu;            // guards st and the counters below
alarm_state st[ALARMS];
bool loaded = false;      // the journal's state read (at the first tick)
int64_t last_tick = -1;
uint16_t ack_count = 0;
// Per ring slot: alarm + 1 when the entry there is a repeat (round 2 on), else 0.
uint8_t repeat_slot[2][EVT_SLOTS];

constexpr int TEXT_CAP = 140;   // bytes of a UCS-2 notice: 70 characters

bool required(int alarm) {
    return ((hr_get(HR_ACK_REQUIRED + enable_word(alarm)) >> enable_bit(alarm)) & 1) != 0;
}

int interval_s() {
    int v = hr_get(HR_ACK_INTERVAL);
    return v == 0 ? ACK_INTERVAL_DEFAULT : v;
}

int rounds_max() {
    int v = hr_get(HR_ACK_ROUNDS);
    if (v == 0) return ACK_ROUNDS_DEFAULT;
    return v > ACK_ROUNDS_MAX ? ACK_ROUNDS_MAX : v;
}

void clear_one(alarm_state &s) {
    s = alarm_state{};
    s.slot[0] = s.slot[1] = -1;
}

bool phone_in_groups(const char *phone, uint16_t groups) {
    for (int g = 0; g < GROUPS; g++) {
        if (((groups >> g) & 1) == 0) continue;
        for (int n = 0; n < PHONES_PER_GROUP; n++) {
            char num[PHONE_SLOT_LEN + 1];
            regmap_phone(phone_reg(g, n), num);
            if (num[0] != 0 && phone_same(num, phone)) return true;
        }
    }
    return false;
}

// Registers from the table (mu held).
void publish_locked() {
    uint16_t active[8] = {}, unacked[8] = {}, failed[8] = {};
    int exhausted = 0, unacked_n = 0;
    for (int a = 0; a < ALARMS; a++) {
        const alarm_state &s = st[a];
        uint16_t bit = static_cast<uint16_t>(1u << enable_bit(a));
        if (s.active) active[enable_word(a)] |= bit;
        if (s.unacked) {
            unacked[enable_word(a)] |= bit;
            unacked_n++;
            if (s.exhausted) exhausted++;
        }
        if (s.failed) failed[enable_word(a)] |= bit;
        uint16_t round = s.unacked ? s.round : 0;
        if (hr_get(HR_ACK_ROUND + a) != round) hr_set(HR_ACK_ROUND + a, round);
    }
    for (int j = 0; j < 8; j++) {
        ir_set(IR_ACK_ACTIVE + j, active[j]);
        ir_set(IR_ACK_UNACKED + j, unacked[j]);
        ir_set(IR_ACK_FAILED + j, failed[j]);
    }
    ir_set(IR_ACK_EXHAUSTED, static_cast<uint16_t>(exhausted));
    ir_set(IR_ACK_UNACKED_COUNT, static_cast<uint16_t>(unacked_n));
}

void save_locked() {
    static saved_state s;   // 3 KB: not on the stack of every caller
    s.magic = MAGIC;
    s.version = 1;
    std::memcpy(s.a, st, sizeof st);
    journal_state_save(STATE_NAME, &s, sizeof s);
}

long load_locked() {
    static saved_state s;
    std::memset(&s, 0, sizeof s);
    long n = journal_state_load(STATE_NAME, &s, sizeof s);
    if (n != static_cast<long>(sizeof s) || s.magic != MAGIC || s.version != 1) {
        if (n >= 0) printf("acknowledgement state in the journal not usable (%ld bytes): starting clean\r\n", n);
        return n;
    }
    int kept = 0;
    for (int a = 0; a < ALARMS; a++) {
        st[a] = s.a[a];
        // The rings did not survive: nothing left to judge.
        st[a].slot[0] = st[a].slot[1] = -1;
        if (st[a].round > ACK_ROUNDS_MAX) st[a].round = ACK_ROUNDS_MAX;
        if (st[a].unacked) kept++;
    }
    printf("acknowledgement state restored: %d alarms unacknowledged\r\n", kept);
    return n;
}

void ensure_loaded_locked() {
    if (loaded) return;
    loaded = true;
    load_locked();
    // The rounds in a saved configuration are last run's: the table's count.
    publish_locked();
}

// Records an acknowledgement of alarm (mu held); false when it was not
// unacknowledged.
bool acknowledge_locked(int alarm, int how, const char *who) {
    alarm_state &s = st[alarm];
    if (!s.unacked) return false;
    s.unacked = 0;
    s.exhausted = 0;
    s.due = 0;
    s.round = 0;
    ack_count++;
    if (ack_count == 0) ack_count = 1;   // 0 stays "none yet"
    ir_set(IR_ACK_COUNT, ack_count);
    ir_set(IR_ACK_LAST_ALARM, static_cast<uint16_t>(alarm));
    ir_set(IR_ACK_LAST_HOW, static_cast<uint16_t>(how));
    int len = static_cast<int>(strnlen(who, 2 * IR_ACK_LAST_PHONE_N));
    for (int r = 0; r < IR_ACK_LAST_PHONE_N; r++) {
        uint8_t hi = 2 * r < len ? static_cast<uint8_t>(who[2 * r]) : 0;
        uint8_t lo = 2 * r + 1 < len ? static_cast<uint8_t>(who[2 * r + 1]) : 0;
        ir_set(IR_ACK_LAST_PHONE + r, static_cast<uint16_t>(hi << 8 | lo));
    }
    static const int jhow[] = {JACK_SMS, JACK_SMS, JACK_KEY, JACK_MASTER};
    journal_event(JK_ACK, alarm, jhow[how], 0, who);
    printf("alarm %d acknowledged by %s (%s)\r\n", alarm, who,
           how == ACK_HOW_SMS ? "SMS reply" : how == ACK_HOW_KEY ? "key in the call" : "the master");
    return true;
}

// Appends ASCII text as big-endian UCS-2, bounded.
void put_text(uint8_t *out, int &len, const char *s) {
    for (int i = 0; s[i] != 0 && len + 2 <= TEXT_CAP; i++) {
        out[len++] = 0;
        out[len++] = static_cast<uint8_t>(s[i]);
    }
}

// "alarm 5" / "alarms 5, 7" for the first count alarms of list.
void alarm_list(char *buf, size_t cap, const int *list, int count) {
    int used = snprintf(buf, cap, count == 1 ? "alarm" : "alarms");
    for (int i = 0; i < count && used > 0 && static_cast<size_t>(used) < cap; i++)
        used += snprintf(buf + used, cap - static_cast<size_t>(used), "%s %d", i == 0 ? "" : ",", list[i]);
}

// Queues one UCS-2 notice; a full ring loses only this courtesy message.
void send_notice(const char (*phones)[PHONE_SLOT_LEN], int count, const char *text) {
    if (count <= 0) return;
    sms_message msg{};
    int len = 0;
    put_text(msg.text, len, text);
    msg.length = static_cast<uint8_t>(len);
    msg.mode = 8;
    int res = sms_event_put(msg, phones, count);
    printf("acknowledgement notice \"%s\" to %d phones: slot %d\r\n", text, count, res);
}

// Phones of groups, each once, without skip (the one who acknowledged).
int notice_phones(uint16_t groups, const char *skip, char (*phones)[PHONE_SLOT_LEN]) {
    int count = 0;
    for (int g = 0; g < GROUPS; g++) {
        if (((groups >> g) & 1) == 0) continue;
        for (int n = 0; n < PHONES_PER_GROUP && count < MAX_PHONES; n++) {
            char num[PHONE_SLOT_LEN + 1];
            regmap_phone(phone_reg(g, n), num);
            if (num[0] == 0 || (skip != nullptr && phone_same(num, skip))) continue;
            bool dup = false;
            for (int k = 0; k < count && !dup; k++) dup = strncmp(phones[k], num, PHONE_SLOT_LEN) == 0;
            if (dup) continue;
            std::memcpy(phones[count++], num, PHONE_SLOT_LEN);
        }
    }
    return count;
}

void tell_others(uint16_t groups, const char *who, const int *list, int count) {
    if (count == 0 || hr_get(HR_ACK_TELL_OTHERS) != 1) return;
    static char phones[MAX_PHONES][PHONE_SLOT_LEN];   // the callers run one at a time under out_mu
    std::memset(phones, 0, sizeof phones);
    int n = notice_phones(groups, who, phones);
    char al[96], text[160];
    alarm_list(al, sizeof al, list, count);
    snprintf(text, sizeof text, "%s acknowledged by %s", al, who);
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
    send_notice(phones, n, text);
}
std::mutex out_mu;   // serialises the notices' shared buffer (never taken under mu)

// The reply's words: a keyword (ACK or OK) and/or alarm numbers. False when
// the text is anything else.
bool parse_reply(const uint16_t *text, int n, bool *all, int *nums, int *count) {
    constexpr int MAXN = 16;
    *all = false;
    *count = 0;
    if (text == nullptr || n <= 0 || n > 160) return false;
    char word[8];
    int wl = 0, words = 0;
    bool keyword = false;
    auto end_word = [&]() -> bool {
        if (wl == 0) return true;
        word[wl] = 0;
        int w = words++;
        wl = 0;
        if (w == 0 && (std::strcmp(word, "ACK") == 0 || std::strcmp(word, "OK") == 0)) {
            keyword = true;
            return true;
        }
        int v = 0;
        for (int i = 0; word[i] != 0; i++) {
            if (word[i] < '0' || word[i] > '9') return false;
            v = v * 10 + (word[i] - '0');
        }
        if (v >= ALARMS || *count >= MAXN) return false;
        nums[(*count)++] = v;
        return true;
    };
    for (int i = 0; i <= n; i++) {
        uint16_t c = i < n ? text[i] : ' ';
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';' || c == '.' || c == '!' ||
            c == ':' || c == 0 || c == 0x00A0) {
            if (!end_word()) return false;
            continue;
        }
        if (c > 0x7E) return false;
        char ch = static_cast<char>(c);
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        // "ACK5": the keyword and the number run together.
        if (wl > 0 && words == 0 && ch >= '0' && ch <= '9' && word[wl - 1] >= 'A' && word[wl - 1] <= 'Z') {
            if (!end_word()) return false;
        }
        if (wl >= static_cast<int>(sizeof word) - 1) return false;
        word[wl++] = ch;
    }
    if (words == 0) return false;
    *all = keyword && *count == 0;
    return keyword || *count > 0;
}

// Alarm number of a voice file "DO<n>_ON.wav" / "DO<n>_OFF.wav", -1 none.
int alarm_of_wav(const char *wav) {
    if (wav == nullptr || wav[0] != 'D' || wav[1] != 'O') return -1;
    int v = 0, i = 2;
    for (; i < 6 && wav[i] >= '0' && wav[i] <= '9'; i++) v = v * 10 + (wav[i] - '0');
    if (i == 2 || wav[i] != '_' || v >= ALARMS) return -1;
    return v;
}
}  // namespace

bool ack_consume_reply(const char *sender, const uint16_t *text, int n) {
    if (sender == nullptr || sender[0] == 0) return false;
    bool all = false;
    int nums[16], count = 0;
    if (!parse_reply(text, n, &all, nums, &count)) return false;

    char who[PHONE_SLOT_LEN + 1] = {};
    std::strncpy(who, sender, PHONE_SLOT_LEN);
    int done[ALARMS], ndone = 0;
    uint16_t groups = 0;
    {
        std::lock_guard<std::mutex> l(mu);
        ensure_loaded_locked();
        // Which followed alarms went to this phone: a stranger acknowledges
        // nothing, and its message is published as any other.
        bool recipient = false;
        bool sent_to[ALARMS] = {};
        for (int a = 0; a < ALARMS; a++) {
            const alarm_state &s = st[a];
            if ((s.active || s.unacked) && s.groups != 0 && phone_in_groups(sender, s.groups)) {
                sent_to[a] = true;
                recipient = true;
            }
        }
        if (!recipient) {
            printf("acknowledgement reply from %s, who received no alarm: not taken\r\n", who);
            return false;
        }
        if (all) {
            for (int a = 0; a < ALARMS; a++)
                if (sent_to[a] && st[a].unacked && acknowledge_locked(a, ACK_HOW_SMS, who)) {
                    done[ndone++] = a;
                    groups |= st[a].groups;
                }
        } else {
            for (int i = 0; i < count; i++) {
                int a = nums[i];
                if (sent_to[a] && acknowledge_locked(a, ACK_HOW_SMS, who)) {
                    done[ndone++] = a;
                    groups |= st[a].groups;
                }
            }
        }
        if (ndone > 0) {
            publish_locked();
            save_locked();
        }
    }
    for (int i = 0; i < ndone; i++) alarm_repeat_cancel(done[i]);

    std::lock_guard<std::mutex> l(out_mu);
    char phones[1][PHONE_SLOT_LEN] = {};
    std::memcpy(phones[0], who, PHONE_SLOT_LEN);
    char text_out[128];
    if (ndone > 0) {
        char al[96];
        alarm_list(al, sizeof al, done, ndone);
        snprintf(text_out, sizeof text_out, "Acknowledged: %s", al);
    } else {
        snprintf(text_out, sizeof text_out, "Nothing to acknowledge");
    }
    send_notice(phones, 1, text_out);
    tell_others(groups, who, done, ndone);
    return true;
}

int ack_unacknowledged_count() {
    std::lock_guard<std::mutex> l(mu);
    int n = 0;
    for (const auto &s : st) n += s.unacked ? 1 : 0;
    return n;
}

void ack_alarm_change(int alarm, uint16_t value) {
    if (alarm < 0 || alarm >= ALARMS) return;
    if (value != ALARM_ON && value != ALARM_OFF) return;
    bool req = required(alarm);
    std::lock_guard<std::mutex> l(mu);
    ensure_loaded_locked();
    alarm_state &s = st[alarm];
    if (!req) {
        if (s.active || s.unacked) {
            clear_one(s);
            publish_locked();
            save_locked();
        }
        return;
    }
    uint16_t mask = hr_get(HR_GROUP_MASK + alarm);
    if (value == ALARM_ON) {
        if (s.active) return;   // the same state again: no new round
        s.active = 1;
        s.unacked = 1;
        s.round = 1;
        s.exhausted = 0;
        s.failed = 0;
        s.slot[0] = s.slot[1] = -1;
        s.groups = mask;
        s.due = static_cast<int64_t>(sys_time()) + interval_s();
    } else {
        if (!s.active && !s.unacked) return;
        s.active = 0;
        s.due = 0;   // repeats stop; an unacknowledged alarm stays returned unacknowledged
        s.groups |= mask;
        if (!s.unacked) s.round = 0;
    }
    publish_locked();
    save_locked();
}

void ack_note_queued(int alarm, int ring, int slot) {
    if (alarm < 0 || alarm >= ALARMS || ring < 0 || ring > 1) return;
    if (slot < 0 || slot >= EVT_SLOTS) return;
    std::lock_guard<std::mutex> l(mu);
    alarm_state &s = st[alarm];
    bool followed = s.active || s.unacked;
    repeat_slot[ring][slot] = followed && s.unacked && s.round >= 2 ? static_cast<uint8_t>(alarm + 1) : 0;
    if (followed) s.slot[ring] = static_cast<int16_t>(slot);
}

bool ack_entry_withdrawn(int ring, int slot) {
    if (ring < 0 || ring > 1 || slot < 0 || slot >= EVT_SLOTS) return false;
    std::lock_guard<std::mutex> l(mu);
    int a = repeat_slot[ring][slot] - 1;
    return a >= 0 && !st[a].unacked;
}

void ack_entry_done(int ring, int slot) {
    if (ring < 0 || ring > 1 || slot < 0 || slot >= EVT_SLOTS) return;
    std::lock_guard<std::mutex> l(mu);
    repeat_slot[ring][slot] = 0;
}

int ack_round_now(int alarm) {
    if (alarm < 0 || alarm >= ALARMS) return 0;
    std::lock_guard<std::mutex> l(mu);
    const alarm_state &s = st[alarm];
    return s.active || s.unacked ? s.round : 0;
}

void ack_sms_unconfirmed(int alarm, int round) {
    if (alarm < 0 || alarm >= ALARMS || round <= 0) return;
    std::lock_guard<std::mutex> l(mu);
    alarm_state &s = st[alarm];
    // A report of an earlier round says nothing about the round now.
    if (!(s.active || s.unacked) || s.round != round || s.failed) return;
    s.failed = 1;
    publish_locked();
    save_locked();
}

void ack_forget_entries(int ring) {
    if (ring < 0 || ring > 1) return;
    std::lock_guard<std::mutex> l(mu);
    std::memset(repeat_slot[ring], 0, sizeof repeat_slot[ring]);
}

void ack_tick() {
    int64_t now = static_cast<int64_t>(sys_time());
    struct todo {
        int alarm, round;
        uint16_t extra;
    } work[ALARMS];
    int nwork = 0;
    {
        std::lock_guard<std::mutex> l(mu);
        if (now == last_tick && loaded) return;
        last_tick = now;
        ensure_loaded_locked();
        bool changed = false;
        int interval = interval_s(), rounds = rounds_max();
        for (int a = 0; a < ALARMS; a++) {
            alarm_state &s = st[a];
            if (!s.active && !s.unacked) continue;
            if (!required(a)) {
                // The master switched the requirement off: the alarm is no longer followed.
                clear_one(s);
                changed = true;
                continue;
            }
            int sts[2] = {s.slot[0] >= 0 ? sms_event_status(s.slot[0]) : -1,
                          s.slot[1] >= 0 ? voice_event_status(s.slot[1]) : -1};
            for (int r = 0; r < 2; r++) {
                if (sts[r] == 3 || sts[r] == 4) {
                    if (sts[r] == 4 && !s.failed) {
                        s.failed = 1;
                        changed = true;
                    }
                    s.slot[r] = -1;
                }
            }
            if (!s.active || !s.unacked || s.exhausted || s.due == 0) continue;
            // A clock set back must not hold the rounds for ever.
            if (s.due - now > interval) s.due = now + interval;
            if (now < s.due) continue;
            changed = true;
            if (s.round < rounds) {
                s.round++;
                s.failed = 0;
                s.due = now + interval;
                uint16_t extra = s.round >= 2 ? hr_get(HR_ESCALATION_MASK + a) : 0;
                s.groups = static_cast<uint16_t>(s.groups | hr_get(HR_GROUP_MASK + a) | extra);
                work[nwork++] = {a, s.round, extra};
            } else {
                s.exhausted = 1;
                s.due = 0;
                journal_event(JK_ACK_EXHAUSTED, a, s.round, 0, nullptr);
                printf("alarm %d unacknowledged after %d rounds: the master is told\r\n", a, s.round);
            }
        }
        if (changed) {
            publish_locked();
            save_locked();
        } else if (now % 10 == 0) {
            publish_locked();   // a recovery's fresh map gets the registers back
        }
    }
    for (int i = 0; i < nwork; i++) {
        const todo &t = work[i];
        printf("alarm %d unacknowledged: round %d\r\n", t.alarm, t.round);
        journal_event(JK_REPEAT, t.alarm, t.round, 0, nullptr);
        if (t.extra != 0) journal_event(JK_ESCALATE, t.alarm, t.round, t.extra, nullptr);
        alarm_compose_repeat(t.alarm, t.extra);
        // Acknowledged while it was composed: a repeat still waiting goes.
        bool acked;
        {
            std::lock_guard<std::mutex> l(mu);
            acked = !st[t.alarm].unacked;
        }
        if (acked) alarm_repeat_cancel(t.alarm);
    }
}

int ack_master_command(uint16_t value) {
    int done[ALARMS], ndone = 0;
    uint16_t groups = 0;
    {
        std::lock_guard<std::mutex> l(mu);
        ensure_loaded_locked();
        for (int a = 0; a < ALARMS; a++) {
            if (value != ACK_ALL && value != a + 1) continue;
            if (acknowledge_locked(a, ACK_HOW_MASTER, "master")) {
                done[ndone++] = a;
                groups |= st[a].groups;
            }
        }
        if (value == ACK_ALL) ir_set(IR_ACK_LAST_ALARM, ACK_ALL);
        if (ndone > 0) {
            publish_locked();
            save_locked();
        }
    }
    if (value != ACK_ALL && (value == 0 || value > ALARMS)) printf("acknowledge command %u: no such alarm\r\n", value);
    for (int i = 0; i < ndone; i++) alarm_repeat_cancel(done[i]);
    std::lock_guard<std::mutex> l(out_mu);
    tell_others(groups, "the master", done, ndone);
    return ndone;
}

bool ack_key_wanted(const char *wav_name) {
    int a = alarm_of_wav(wav_name);
    if (a < 0 || !required(a)) return false;
    std::lock_guard<std::mutex> l(mu);
    return st[a].unacked != 0;
}

void ack_call_result(const char *phone, const char *wav_name, char key) {
    int a = alarm_of_wav(wav_name);
    if (a < 0 || phone == nullptr) return;
    char who[PHONE_SLOT_LEN + 1] = {};
    std::strncpy(who, phone, PHONE_SLOT_LEN);
    if (key != ACK_KEY) {
        if (key != 0) printf("alarm %d: key '%c' from %s does not acknowledge (the key is '%c')\r\n", a, key, who,
                             ACK_KEY);
        return;
    }
    uint16_t groups;
    bool ok;
    {
        std::lock_guard<std::mutex> l(mu);
        ok = acknowledge_locked(a, ACK_HOW_KEY, who);
        groups = st[a].groups;
        if (ok) {
            publish_locked();
            save_locked();
        }
    }
    if (!ok) return;
    alarm_repeat_cancel(a);
    std::lock_guard<std::mutex> l(out_mu);
    int list[1] = {a};
    tell_others(groups, who, list, 1);
}

void ack_reset() {
    std::lock_guard<std::mutex> l(mu);
    for (auto &s : st) clear_one(s);
    std::memset(repeat_slot, 0, sizeof repeat_slot);
    loaded = false;
    last_tick = -1;
    ack_count = 0;
}

long ack_reload() {
    std::lock_guard<std::mutex> l(mu);
    for (auto &s : st) clear_one(s);
    loaded = true;
    last_tick = -1;
    long n = load_locked();
    publish_locked();
    return n;
}
