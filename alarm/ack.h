// Acknowledgement of alarms (off unless an alarm requires it): replies by SMS,
// key presses during a call and the master's writes acknowledge; unacknowledged
// alarms repeat round after round, from round 2 on also to their escalation
// groups, until acknowledged or out of rounds. Per alarm the states are
// normal, active unacknowledged, active acknowledged, returned unacknowledged.
// Fixed tables for the 128 alarms, one lock; the state is kept in the journal
// so unacknowledged alarms and their rounds survive a restart.
#pragma once
#include <cstdint>

// A received SMS, decoded and whole, offered before it is published: true when
// it was an acknowledgement reply and is consumed (not published).
// sender: the originator as text ("+4917..."); text: n UTF-16 units.
// Replies: "ACK" or "OK" (every unacknowledged alarm sent to that phone), or
// alarm numbers with or without the word ("5", "ACK 5", "ack 5 7"), case and
// spacing free. A phone that received none of the alarms acknowledges nothing
// and its message is not consumed.
bool ack_consume_reply(const char *sender, const uint16_t *text, int n);
// Alarms unacknowledged now (active or returned).
int ack_unacknowledged_count();

// The composer, for every alarm change before it is composed.
void ack_alarm_change(int alarm, uint16_t value);
// The composer: an entry of alarm was queued in ring (0 SMS, 1 voice) at slot;
// its outcome feeds the delivery-failed bitmap.
void ack_note_queued(int alarm, int ring, int slot);
// The dispatchers: whether the entry at slot of ring is a repeat (round 2 on)
// of an alarm acknowledged since, which goes to no further phone; and that
// the entry at slot is finished (its slot may carry other work next).
bool ack_entry_withdrawn(int ring, int slot);
void ack_entry_done(int ring, int slot);
// Delivery reports: the round now of an alarm that is followed (0 none); and
// that an SMS of that round reached no phone by the report's word (failed for
// good, or no report in time), which fails the round as a failed entry does.
int ack_round_now(int alarm);
void ack_sms_unconfirmed(int alarm, int round);
// The master emptied a ring: its slots carry no repeats any more.
void ack_forget_entries(int ring);
// The edge thread, every pass: once a second it sends the rounds that are due,
// watches the outcomes and publishes the registers.
void ack_tick();
// The master's acknowledge command (holding register 611): n+1 acknowledges
// alarm n, 0xFFFF all. Returns the number of alarms acknowledged.
int ack_master_command(uint16_t value);
// The voice dispatcher: whether the call playing wav_name should wait for a
// key after the recording; and the call's outcome (key 0: none pressed).
bool ack_key_wanted(const char *wav_name);
void ack_call_result(const char *phone, const char *wav_name, char key);

// Tests: forget everything (as at process start, before the journal is read);
// ack_reload reads the state back from the journal as a restart does, and
// returns what journal_state_load returned (-1: no state kept).
void ack_reset();
long ack_reload();
