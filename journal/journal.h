// The event journal: a durable, bounded history of what the gateway did, in
// one SQLite database at /APP/journal.db. This module is the only one that
// speaks SQL; the others record events through journal_event() and keep small
// named state through journal_state_save()/journal_state_load().
// Every call is safe from any thread and never blocks delivery: a journal that
// cannot be written reports it once and the calls become no-ops returning false.
#pragma once
#include <cstddef>
#include <cstdint>

// Kinds of event. Numbers are stored in the database: append, never renumber.
enum journal_kind : int {
    JK_START = 1,          // a: how the previous run ended (JEND_*), text: firmware date
    JK_STOP = 2,           // clean end
    JK_ALARM_CHANGE = 3,   // alarm, a: 1 ON / 0 OFF, b: source (JSRC_*)
    JK_SMS_QUEUED = 4,     // alarm, a: ring slot, b: phone count, text: phones, comma separated
    JK_VOICE_QUEUED = 5,   // alarm, a: ring slot, b: phone count, text: phones
    JK_ATTEMPT = 6,        // alarm, a: phone index, b: 0 delivered / error code, text: phone and answer
    JK_ENTRY_END = 7,      // alarm, a: final status (1..4), b: phones failed
    JK_SMS_RECEIVED = 8,   // a: outcome (JRX_*), b: coding, text: sender, time, text (UTF-8)
    JK_STATUS_REPORT = 9,  // a: TP-ST, b: message reference, text: recipient
    JK_CONFIG = 10,        // a: 0 saved, 1 recovered from backup, 2 factory reset
    JK_CARD_UPDATE = 11,   // a: 0 firmware, 1 configuration, b: 0 installed / 1 refused, text: why
    JK_MODEM = 12,         // a: JMODEM_*, text: detail
    JK_ACK = 13,           // alarm, a: how (JACK_*), text: who
    JK_REPEAT = 14,        // alarm, a: round
    JK_ESCALATE = 15,      // alarm, a: round, b: escalation group mask
    JK_ACK_EXHAUSTED = 16, // alarm, a: rounds sent, nobody acknowledged
    JK_SUPERVISION = 17,   // a: JSUP_*, b: figure (minutes, count), text: the SMS text
    JK_EXPIRED = 18,       // alarm, a: ring (0 SMS, 1 voice), resumed entry too old to send
};

enum { JEND_CLEAN = 0, JEND_KILLED = 1, JEND_CRASHED = 2, JEND_FIRST = 3 };
enum { JSRC_COIL = 0, JSRC_REGISTER = 1, JSRC_WRITE_MULTIPLE = 2, JSRC_EDGE = 3, JSRC_REPEAT = 4 };
enum { JRX_PUBLISHED = 0, JRX_FILTERED = 1, JRX_CONSUMED = 2, JRX_UNDECODABLE = 3 };
enum { JMODEM_REG_LOST = 0, JMODEM_REG_BACK = 1, JMODEM_RADIO_RESTART = 2, JMODEM_PIN_SENT = 3 };
enum { JACK_SMS = 0, JACK_KEY = 1, JACK_MASTER = 2 };
enum { JSUP_HEARTBEAT = 0, JSUP_MASTER_SILENT = 1, JSUP_MASTER_BACK = 2,
       JSUP_CANNOT_DELIVER = 3, JSUP_DELIVER_AGAIN = 4 };

// Opens (or makes) the database at board path path; false when it cannot,
// and the journal stays off (every call a no-op).
bool journal_open(const char *path = "/APP/journal.db");
void journal_close();
bool journal_ok();   // open and writable

// Appends one event (sequence number and wall-clock time added here) and
// commits it before returning. text may be null; it is copied, bounded.
// Returns the event's sequence number, 0 when it was not recorded.
uint64_t journal_event(int kind, int alarm, int a, int b, const char *text);

// Small named state kept across restarts (a row per name, replaced whole).
bool journal_state_save(const char *name, const void *data, size_t len);
// Copies at most len bytes of the state saved under name; the length saved, -1 none.
long journal_state_load(const char *name, void *data, size_t len);
