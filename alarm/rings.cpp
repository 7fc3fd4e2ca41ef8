#include "alarm/rings.h"

#include "alarm/composer.h"
#include "journal/journal.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "sys/sys.h"

sms_event sms_evt[EVT_SLOTS];
voice_event voice_evt[EVT_SLOTS];
std::atomic<int32_t> evt_in{0}, evt_out{0}, evt_in_voice{0}, evt_out_voice{0};

sms_status_slot sms_buffer_status[layout::IR_SLOTS] = {
    {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1},
    {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1}, {0, -1},
};
std::atomic<uint32_t> sms_status_next{0};
std::atomic<int32_t> sms_dynamic_buffer_id{-1};
std::atomic<int32_t> if_send_sms_buffer_full{0};

namespace {
// Serialise put, pop and clean of one ring. The dispatcher never holds these
// while it waits for the modem: it works on the head slot outside the lock.
std::mutex sms_mu;
std::mutex voice_mu;
// Serialise the producers of one ring (put, and clean, which moves where the
// next put goes). A put holds it across its journal commit, so the ring's
// own lock above is never held while the journal waits for the disk: the
// dispatcher's pop and every count go on meanwhile.
std::mutex sms_put_mu;
std::mutex voice_put_mu;

int next_slot(int i) { return i >= EVT_SLOTS - 1 ? 0 : i + 1; }

int queued(const std::atomic<int32_t> &in, const std::atomic<int32_t> &out) {
    int i = in.load();
    int o = out.load();
    int n = i - o;
    return n < 0 ? n + EVT_SLOTS : n;
}

int clamp_count(int count) { return std::clamp(count, 0, MAX_PHONES); }

template <typename Evt>
void fill_phones(Evt &e, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t jid,
                 const uint32_t *done) {
    count = clamp_count(count);
    if (phones != nullptr && count > 0)
        std::memcpy(e.phones, phones, static_cast<size_t>(count) * PHONE_SLOT_LEN);
    else
        count = 0;
    e.alarm = alarm;
    e.jid = jid;
    if (done != nullptr)
        std::memcpy(e.done, done, sizeof e.done);
    else
        std::memset(e.done, 0, sizeof e.done);
    e.phones_done = 0;
    e.phone_count = count;
    e.status.store(layout::STATUS_QUEUED);   // last: a reader that sees it sees a whole entry
}

int pop(std::mutex &mu, std::atomic<int32_t> &in, std::atomic<int32_t> &out) {
    std::lock_guard<std::mutex> l(mu);
    if (queued(in, out) <= 0) return 0;
    out.store(next_slot(out.load()));
    return 1;
}

template <typename Evt>
int clean(std::mutex &put_mu, std::mutex &mu, Evt *ring, std::atomic<int32_t> &in, std::atomic<int32_t> &out) {
    std::lock_guard<std::mutex> p(put_mu);   // no put half done: its slot is where clean moves in
    std::lock_guard<std::mutex> l(mu);
    int head = out.load();
    // The head may be in the dispatcher's hands right now: keep it.
    // Queued entries that go are closed in the journal, so no restart revives them.
    for (int k = next_slot(head); queued(in, out) > 0 && k != in.load(); k = next_slot(k))
        if (ring[k].jid != 0) journal_entry_end(ring[k].jid, ring[k].alarm, JEND_ENTRY_CLEARED, ring[k].phone_count);
    for (int i = 0; i < EVT_SLOTS; i++)
        if (i != head) ring[i].status.store(0);
    if (queued(in, out) > 0) in.store(next_slot(head));
    return 1;
}
}  // namespace

// Under the lock: two indices read apart could give a count no ring ever had.
int sms_event_is_n() {
    std::lock_guard<std::mutex> l(sms_mu);
    return queued(evt_in, evt_out);
}

namespace {
// A put in three steps, under the ring's producer lock:
//  1. under the ring's lock: room is checked and the slot at in is taken
//     (only a producer moves in, and none other runs);
//  2. the entry is journalled, outside the ring's lock;
//  3. under the ring's lock: in moves past the slot, and only now can the
//     dispatcher see it.
// A power cut before 2 loses an entry nobody saw (the change it carries is
// still open in the journal and composed again); between 2 and 3 the journal
// has an entry nobody served, which the restart resumes. The dispatcher never
// serves, and the master never reads, an entry the journal does not have.
int take_slot(std::mutex &mu, const std::atomic<int32_t> &in, const std::atomic<int32_t> &out) {
    std::lock_guard<std::mutex> l(mu);
    if (queued(in, out) >= EVT_SLOTS - 1) return -1;
    return in.load();
}

void publish(std::mutex &mu, std::atomic<int32_t> &in, int slot) {
    {
        std::lock_guard<std::mutex> l(mu);
        in.store(next_slot(slot));
    }
    sys_wake();   // the dispatcher waits for it
}

int sms_put(const sms_message &msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t jid,
            const uint32_t *done, bool journal, uint64_t change) {
    std::lock_guard<std::mutex> p(sms_put_mu);
    int slot = take_slot(sms_mu, evt_in, evt_out);
    if (slot < 0) return -1;
    // Outside the queue until published: no other thread reads this slot's
    // text or phones (the polling thread reads only its atomic status).
    sms_event &e = sms_evt[slot];
    int len = std::min<int>(msg.length, sizeof e.message.text - 1);
    std::memcpy(e.message.text, msg.text, static_cast<size_t>(len));
    e.message.text[len] = 0;
    e.message.length = static_cast<uint8_t>(len);
    e.message.mode = msg.mode;
    // Journalled before it can be served: the dispatcher records against jid.
    if (journal)
        jid = journal_entry_queued(0, alarm, slot, phones, clamp_count(phones ? count : 0),
                                   reinterpret_cast<const uint8_t *>(e.message.text), len, msg.mode, change);
    fill_phones(e, phones, count, alarm, jid, done);
    publish(sms_mu, evt_in, slot);
    return slot;
}

int voice_put(const voice_message &msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t jid,
              const uint32_t *done, bool journal, uint64_t change) {
    std::lock_guard<std::mutex> p(voice_put_mu);
    int slot = take_slot(voice_mu, evt_in_voice, evt_out_voice);
    if (slot < 0) return -1;
    voice_event &e = voice_evt[slot];
    std::memcpy(e.wav_name, msg.wav_name, sizeof e.wav_name);
    e.wav_name[sizeof e.wav_name - 1] = 0;
    if (journal)
        jid = journal_entry_queued(1, alarm, slot, phones, clamp_count(phones ? count : 0),
                                   reinterpret_cast<const uint8_t *>(e.wav_name), sizeof e.wav_name, 0, change);
    fill_phones(e, phones, count, alarm, jid, done);
    publish(voice_mu, evt_in_voice, slot);
    return slot;
}
}  // namespace

int sms_event_put(sms_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t change) {
    return sms_put(msg, phones, count, alarm, 0, nullptr, true, change);
}
int sms_event_put_resumed(sms_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t jid,
                          const uint32_t *done) {
    return sms_put(msg, phones, count, alarm, jid, done, false, 0);
}
int voice_event_put(voice_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t change) {
    return voice_put(msg, phones, count, alarm, 0, nullptr, true, change);
}
int voice_event_put_resumed(voice_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm,
                            uint64_t jid, const uint32_t *done) {
    return voice_put(msg, phones, count, alarm, jid, done, false, 0);
}

int sms_event_status(int slot) { return slot < 0 || slot >= EVT_SLOTS ? -1 : sms_evt[slot].status.load(); }
int sms_event_pop() { return pop(sms_mu, evt_in, evt_out); }
int sms_event_clean_all() { return clean(sms_put_mu, sms_mu, sms_evt, evt_in, evt_out); }

int voice_event_is_n() {
    std::lock_guard<std::mutex> l(voice_mu);
    return queued(evt_in_voice, evt_out_voice);
}

int voice_event_status(int slot) { return slot < 0 || slot >= EVT_SLOTS ? -1 : voice_evt[slot].status.load(); }
int voice_event_pop() { return pop(voice_mu, evt_in_voice, evt_out_voice); }
int voice_event_clean_all() { return clean(voice_put_mu, voice_mu, voice_evt, evt_in_voice, evt_out_voice); }

void event_rings_reset() {
    {
        std::lock_guard<std::mutex> l(sms_mu);
        for (auto &e : sms_evt) {
            std::memset(e.phones, 0, sizeof e.phones);
            e.phone_count = 0;
            e.phones_done = 0;
            e.jid = 0;
            e.alarm = -1;
            std::memset(e.done, 0, sizeof e.done);
            e.status.store(0);
            e.message = sms_message{};
        }
        evt_in.store(0);
        evt_out.store(0);
    }
    {
        std::lock_guard<std::mutex> l(voice_mu);
        for (auto &e : voice_evt) {
            std::memset(e.phones, 0, sizeof e.phones);
            e.phone_count = 0;
            e.phones_done = 0;
            e.jid = 0;
            e.alarm = -1;
            std::memset(e.done, 0, sizeof e.done);
            e.status.store(0);
            std::memset(e.wav_name, 0, sizeof e.wav_name);
        }
        evt_in_voice.store(0);
        evt_out_voice.store(0);
    }
    for (auto &s : sms_buffer_status) {
        s.status.store(0);
        s.slot.store(-1);
    }
    sms_status_next.store(0);
    sms_dynamic_buffer_id.store(-1);
    if_send_sms_buffer_full.store(0);
    alarm_waiting_reset();
}
