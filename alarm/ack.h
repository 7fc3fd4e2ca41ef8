// Acknowledgement of alarms (off unless an alarm requires it): replies by SMS,
// key presses during a call and the master's writes acknowledge; unacknowledged
// alarms repeat and escalate.
#pragma once
#include <cstdint>

// A received SMS, decoded and whole, offered before it is published: true when
// it was an acknowledgement reply and is consumed (not published).
// sender: the originator as text ("+4917..."); text: n UTF-16 units.
bool ack_consume_reply(const char *sender, const uint16_t *text, int n);

// Alarms whose acknowledgement is still awaited (the heartbeat reports it).
int ack_unacknowledged_count();
