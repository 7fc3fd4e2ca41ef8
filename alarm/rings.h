// The SMS and voice event rings: 18 static slots each, at most 17 entries
// queued. Put copies the record and phone list; the consumer works on the head
// slot in place and pops it when finished, so statuses stay readable after pop.
// One lock per ring serialises put, pop and clean; a put journals its entry
// outside it (rings.cpp). Nothing allocates.
#pragma once
#include <atomic>
#include <cstdint>

#include "alarm/messages.h"
#include "modbus/map_layout.h"

constexpr int EVT_SLOTS = 18;

struct sms_event {
    char phones[MAX_PHONES][PHONE_SLOT_LEN];
    int32_t phone_count;
    int32_t phones_done;
    uint64_t jid;                    // the entry in the journal, 0 none
    int32_t alarm;                   // -1: the dynamic SMS
    uint32_t done[MAX_PHONES / 32];  // bit i: phone i confirmed (a resumed entry skips it)
    std::atomic<int32_t> status;   // 0 empty, 1 queued, 2 sending, 3 done, 4 failed
    sms_message message;
};

struct voice_event {
    char phones[MAX_PHONES][PHONE_SLOT_LEN];
    int32_t phone_count;
    int32_t phones_done;
    uint64_t jid;                    // the entry in the journal, 0 none
    int32_t alarm;                   // -1: the dynamic SMS
    uint32_t done[MAX_PHONES / 32];  // bit i: phone i confirmed (a resumed entry skips it)
    std::atomic<int32_t> status;
    char wav_name[20];
};

// Written by the composer (listener or edge thread) and read by the polling
// thread without a lock: single words, hence atomics.
struct sms_status_slot {
    std::atomic<int32_t> status;   // last status copied by the polling thread
    std::atomic<int32_t> slot;     // ring slot reported by this record, -1 none
};

extern sms_event sms_evt[EVT_SLOTS];
extern voice_event voice_evt[EVT_SLOTS];
extern std::atomic<int32_t> evt_in, evt_out, evt_in_voice, evt_out_voice;

extern sms_status_slot sms_buffer_status[layout::IR_SLOTS];
// Counts queued alarm SMS: entry n takes status record n % 16 (wraps evenly).
extern std::atomic<uint32_t> sms_status_next;
extern std::atomic<int32_t> sms_dynamic_buffer_id;     // initial -1
extern std::atomic<int32_t> if_send_sms_buffer_full;   // discrete input 0

int sms_event_is_n();
// alarm: recorded with the entry in the journal (-1 the dynamic SMS); change:
// the open alarm change it carries (journal_entry_queued), 0 none.
int sms_event_put(sms_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm = -1,
                  uint64_t change = 0);   // slot, -1 full
int sms_event_status(int slot);   // -1 outside 0..17
int sms_event_pop();              // 1 popped, 0 empty
int sms_event_clean_all();        // keeps the head; 1

int voice_event_is_n();
int voice_event_put(voice_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm = -1,
                    uint64_t change = 0);   // slot, -1 full
int voice_event_status(int slot);
int voice_event_pop();
int voice_event_clean_all();

// An entry a restart interrupted, put back under its journal entry jid with
// the phones already confirmed (done bitmap); nothing new is journalled.
int sms_event_put_resumed(sms_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm, uint64_t jid,
                          const uint32_t *done);
int voice_event_put_resumed(voice_message msg, const char (*phones)[PHONE_SLOT_LEN], int count, int alarm,
                            uint64_t jid, const uint32_t *done);

// Both rings and the reporting state back to their start-up values (tests).
void event_rings_reset();
