// Delivery reports (off unless holding register 1100 is set): alarm SMS ask
// the network for a status report, and each phone's SMS waits in a bounded
// table under its message reference until its report comes. Delivered: the
// journal says so and, once every phone of the alarm's latest SMS has
// confirmed, the alarm's bit in holding registers 1120..1127 is set. Failed
// for good: a failed phone (journal, log, count, and a failed round where the
// alarm needs acknowledging). No report within the bound (or pushed out of a
// full table): "sent, not confirmed", counted the same way. The modem queues
// the reports it reads (sms_report_take); the polling thread runs the pass.
// The table is not kept over a restart: a report that comes after one is only
// in the journal, and the alarm's bit stays clear.
#pragma once
#include <cstdint>

// Records the table holds at most; a send into a full table pushes out the
// oldest record, which then counts as not confirmed.
constexpr int DELIVERY_TABLE = 256;

// Outcome of a phone's SMS, as the journal keeps it (JK_DELIVERY, b).
enum { DLR_DELIVERED = 0, DLR_FAILED = 1, DLR_UNCONFIRMED = 2 };

// The setting (holding register 1100) is on.
bool delivery_reports_on();
// How long a report is waited for, in seconds (holding registers 1101, 1102).
int delivery_wait_s();

// The SMS dispatcher, for an alarm's entry: it starts serving an entry of
// count phones (the alarm's "delivered to every phone" starts over), and
// phone idx (the number phone) of the entry jid in the journal (0 none) was
// sent asking for a report and got message reference mr.
void delivery_entry_start(int alarm, int count);
void delivery_sent(int alarm, uint64_t jid, int idx, const char *phone, int mr);

// One report: matched by message reference and recipient (the same phone
// written nationally or internationally). Returns the DLR_* it settled, -1
// when it only says the network still tries, -2 when no SMS awaits it.
int delivery_report(int mr, int st, const char *recipient);

// The polling thread, every pass: takes the modem's reports, settles the
// records past the bound, publishes the registers. With the setting off it
// only empties the modem's queue (the journal holds every report).
void delivery_pass();
// At start, before the threads: the daemon-written registers cleared.
void delivery_start();
// Records awaiting a report now.
int delivery_waiting();
// Tests: everything forgotten, as at process start.
void delivery_reset();
