// Alarm evaluation: the composer turns one alarm change into an SMS entry and
// possibly a voice entry; the edge thread fires alarms after their delay when
// edge mode (holding register 208 = 1) is on.
#pragma once
#include <atomic>
#include <cstdint>

#include "journal/journal.h"

struct edge_trigger {
    int32_t value;
    int32_t triggered;
    int32_t armed;
    int32_t delay;
    int32_t ticks;
    uint64_t change;   // the open alarm change the pending trigger fires (journal), 0 none
};

extern edge_trigger alarm_edge_trigger[128];

// Composes one alarm change: -1 alarm > 127, else 0. change: its id in the
// journal, closed ring by ring as its entries are queued (or need nothing);
// rings: the rings (JCHANGE_*) it still owes, all but at a restart.
int modbus_do_fixed_sms(uint16_t alarm, uint16_t value, uint64_t change = 0, int rings = JCHANGE_ALL);

// Alarm changes that found their ring full wait in a static table (128 alarms
// x ON and OFF, per ring) and are composed in order of arrival as slots free.
extern std::atomic<int32_t> alarms_waiting;   // count; discrete input 0 reads 1 while > 0
void alarm_waiting_drain();                    // the dispatchers, after each pass
void alarm_waiting_clear_sms();                // the master cleared the SMS queue: they go too
void alarm_waiting_reset();                    // tests
// Alarm changes that asked for an SMS (enabled, with phones), since start:
// the self-supervision counts the alarms an outage delayed.
extern std::atomic<uint32_t> alarm_sms_changes;

// A text of the gateway's own (big-endian UCS-2 octets, at most 160) to every
// phone of the groups in mask, queued like an alarm SMS (coding 8, retried by
// the dispatcher). Returns the ring slot; -1 the ring is full or alarm changes
// wait for room (offer it again later); -2 no phone in those groups.
int compose_group_sms(uint16_t mask, const uint8_t *text, int len);
// The edge thread also drives the repeats of unacknowledged alarms (ack_tick).
void *thread_mb_edge_poll(void *);

// A repeat of an unacknowledged alarm: its ON message composed again for the
// groups of its mask plus extra_groups (the escalation groups from round 2).
// 0 queued (or nothing to send), 1 waits in the table above like any change
// that finds its ring full, -1 alarm out of range.
int alarm_compose_repeat(int alarm, uint16_t extra_groups);
// Drops a repeat of alarm that still waits for room (acknowledged meanwhile).
void alarm_repeat_cancel(int alarm);

// Listener side of the edge hand-over: records a write of value for alarm n
// (delay from holding register 256+n, or 209 for alarm 127) under the table's
// lock, so the edge thread never misses it. Prints the edge-mode lines. A
// changed value sets triggered; a repeated one leaves a pending trigger alone.
// change: the write's open change in the journal, fired with the trigger (a
// change still pending that a new value replaces is closed).
void edge_trigger_write(int n, uint16_t value, uint64_t change = 0);
// Whether a write of value would trigger alarm n (the listener asks before
// its reply; only it writes the value, so the answer holds until it writes).
bool edge_trigger_is_change(int n, uint16_t value);
// A change a restart interrupted in its delay: triggered again, the delay
// counted from now.
void edge_trigger_resume(int n, uint16_t value, uint64_t change);
// Edge mode off: records value for alarm n without a trigger, so the table
// knows the alarm's state when edge mode is switched on.
void edge_trigger_note(int n, uint16_t value);
// Resets value, triggered, armed and ticks of all 128 records (listener
// start); keep_resumed keeps those edge_trigger_resume filled.
void edge_trigger_reset(bool keep_resumed = false);
// One pass of the edge thread over the 128 records (no sleep).
void edge_poll_pass();
// A consistent copy of record n (0..127) taken under the table's lock;
// a zeroed record for any other n.
edge_trigger edge_trigger_get(int n);
