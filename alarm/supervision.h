// Self-supervision of the gateway, off unless set in holding registers
// 1000..1099 (modbus/map_layout.h): a heartbeat SMS at a time of day (or every
// n units from it), one SMS when the master stops addressing requests to us
// and one when it comes back, and the "cannot deliver" flag (discrete input 5:
// unregistered or SIM not ready for longer than a bound, or N failed SMS
// attempts in a row) with one SMS when delivery is possible again. Each event
// is a journal entry; each SMS goes through the composer's queue, so it is
// retried like any SMS and waits while the queue is full.
// The pass runs in the polling thread; the hooks are called from the listener
// and the SMS dispatcher and only touch atomics.
#pragma once
#include <cstdint>

// The listener: a request addressed to this gateway was received.
void supervision_master_request();
// The SMS dispatcher: one counted attempt's verdict (true delivered).
void supervision_sms_attempt(bool delivered);

// One supervision pass: reads the settings, updates discrete input 5, composes
// and queues the due messages (offered again on later passes while refused).
void supervision_pass();
// Back to the start-up state (tests).
void supervision_reset();

// The heartbeat's text as UTF-8 (at most 70 characters: one UCS-2 SMS), with
// the figures of now.
int supervision_heartbeat_text(char *out, int cap);
// Messages composed but not yet accepted by the queue (tests, status).
int supervision_pending();
