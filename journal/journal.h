// The event journal: a durable, bounded history of what the gateway did, in
// one SQLite database at /APP/journal.db. This module is the only one that
// speaks SQL; the others record events through journal_event() and keep small
// named state through journal_state_save()/journal_state_load().
// Every call is safe from any thread and never blocks delivery: a journal that
// cannot be written reports it once and the calls become no-ops returning false.
#pragma once
#include <cstddef>
#include <atomic>
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
    JK_EXPIRED = 18,       // alarm, a: ring (0 SMS, 1 voice) or JEXP_CHANGE (b: 1 ON / 0 OFF), too old to send
    JK_DELIVERY = 19,      // alarm, a: phone index, b: 0 delivered / 1 failed / 2 not confirmed
                           // (delivery report), text: phone, reference, TP-ST
};
// JK_EXPIRED's a for an alarm change that was not yet in a ring.
enum { JEXP_CHANGE = 2 };

enum { JEND_CLEAN = 0, JEND_KILLED = 1, JEND_CRASHED = 2, JEND_FIRST = 3 };
enum { JSRC_COIL = 0, JSRC_REGISTER = 1, JSRC_WRITE_MULTIPLE = 2, JSRC_EDGE = 3, JSRC_REPEAT = 4 };
enum { JRX_PUBLISHED = 0, JRX_FILTERED = 1, JRX_CONSUMED = 2, JRX_UNDECODABLE = 3 };
enum { JMODEM_REG_LOST = 0, JMODEM_REG_BACK = 1, JMODEM_RADIO_RESTART = 2, JMODEM_PIN_SENT = 3 };
enum { JACK_SMS = 0, JACK_KEY = 1, JACK_MASTER = 2 };
enum { JSUP_HEARTBEAT = 0, JSUP_MASTER_SILENT = 1, JSUP_MASTER_BACK = 2,
       JSUP_CANNOT_DELIVER = 3, JSUP_DELIVER_AGAIN = 4 };

// The bound on the journal: past JOURNAL_MAX_EVENTS rows the oldest are
// pruned (about 5 MB at 100 000 rows of a busy site's events), and a full file
// system prunes a tenth more before it gives up.
constexpr long JOURNAL_MAX_EVENTS = 100000;
void journal_set_limit(long max_events);   // tests: a smaller bound
// Entry final statuses of JK_ENTRY_END beyond the ring's 3 and 4.
enum { JEND_ENTRY_CLEARED = 0 };
// Longest text kept with one event.
constexpr int JOURNAL_TEXT_MAX = 4096;

// Opens (or makes) the database at board path path; false when it cannot,
// and the journal stays off (every call a no-op).
bool journal_open(const char *path = "/APP/journal.db");
void journal_close();
bool journal_ok();   // open and writable

// Appends one event (sequence number and wall-clock time added here) and
// commits it before returning. text may be null; it is copied, bounded.
// Returns the event's sequence number, 0 when it was not recorded.
uint64_t journal_event(int kind, int alarm, int a, int b, const char *text);
// Several alarm writes of one request (source JSRC_*), one commit: the
// listener calls it before the reply leaves. The last one's sequence number,
// 0 when not recorded. Each change with open[i] (all when open is null) is
// also kept open until it is in the rings: ids[i] (when ids is not null)
// receives its sequence number, the change's id, 0 when not kept open.
uint64_t journal_alarm_writes(const int *alarms, const uint16_t *values, int n, int source,
                              const bool *open = nullptr, uint64_t *ids = nullptr);

// Open alarm changes: accepted before the reply, not yet in a ring entry of
// each ring they may need (bit 0 SMS, bit 1 voice). Queueing an entry with
// the change's id closes that ring's bit in the entry's own commit; a ring
// the change needs nothing from (disabled, no phone, no recording, covered by
// a change already waiting or pending) is closed by journal_change_settled.
// A restart composes the changes still open (journal_resume).
constexpr int JCHANGE_SMS = 1, JCHANGE_VOICE = 2, JCHANGE_ALL = 3;
// Closes rings of change id. Kept in memory and written with the journal's
// next commit, so it costs no fsync of its own: lost at a power cut, the
// change is composed again at the restart, which composes the same nothing.
void journal_change_settled(uint64_t id, int rings);
// Writes the closings kept in memory now (a change that must not come back,
// such as one the master cleared). False when they could not be written.
bool journal_changes_flush();
struct journal_change {
    uint64_t id;      // sequence number of its JK_ALARM_CHANGE event
    int alarm;
    uint16_t value;   // layout::ALARM_ON or ALARM_OFF
    int64_t time;     // wall-clock seconds when accepted
    int rings;        // JCHANGE_* still open
};
// Each open change, oldest first, into fn; the count.
int journal_open_changes(void (*fn)(const journal_change &c, void *arg), void *arg);

// Small named state kept across restarts (a row per name, replaced whole).
bool journal_state_save(const char *name, const void *data, size_t len);
// Copies at most len bytes of the state saved under name; the length saved, -1 none.
long journal_state_load(const char *name, void *data, size_t len);

// Start and end of a run. journal_start infers how the previous run ended
// (a clean stop, a crash marker left by journal_crash_mark, or else killed),
// records JK_START and returns the JEND_* it found.
int journal_start(const char *firmware);
void journal_stop();            // records JK_STOP, then closes
void journal_crash_mark();      // async-signal-safe: notes a crash for the next start

// Ring entries, kept open in the journal from queueing to their end so a
// restart can put them back. ring 0 SMS, 1 voice; body = SMS text or WAV name.
struct journal_entry {
    uint64_t id;       // sequence number of the queued event
    int ring, alarm;   // alarm -1: the dynamic SMS
    int64_t time;      // wall-clock seconds when queued
    int count, mode, body_len;
    char phones[256][20];
    uint8_t body[161];
    uint32_t done[8];  // bit i: phone i confirmed
};
// change: the open alarm change this entry carries into the ring (0 none);
// its bit for ring is closed in the same commit.
uint64_t journal_entry_queued(int ring, int alarm, int slot, const char (*phones)[20], int count,
                              const uint8_t *body, int body_len, int mode, uint64_t change = 0);
// One try of phone idx of entry id: the JK_ATTEMPT event (b: code, 0
// delivered, else the cause; text: phone and answer) and, when delivered,
// the entry's bit, in one commit.
bool journal_attempt(uint64_t id, int alarm, int idx, int code, const char *text);
// Phone idx of entry id confirmed: journal_attempt with code 0.
bool journal_phone_delivered(uint64_t id, int alarm, int idx, const char *phone);
// The entry ended (status 3, 4 or JEND_ENTRY_CLEARED): JK_ENTRY_END, entry closed.
bool journal_entry_end(uint64_t id, int alarm, int status, int failed);
// Each open entry, oldest first, into fn; the count. Entries left are those a
// restart interrupted.
int journal_open_entries(void (*fn)(const journal_entry &e, void *arg), void *arg);
void journal_entry_drop(uint64_t id);   // closes an entry without an event

// Entries and alarm changes found too old at the last resume, and the flags the master reads
// (discrete input 4, input register 26): written into the register map.
extern std::atomic<int32_t> journal_expired;
void journal_publish();

// Reading the history: records from sequence number from on, only alarm
// (-1 all), only from wall-clock time since (0 all).
struct journal_record {
    uint64_t seq;
    int64_t time;
    int kind, alarm, a, b;
    char text[JOURNAL_TEXT_MAX + 1];
};
// Up to max records into out from the open journal; the count, -1 error.
int journal_read(uint64_t from, int alarm, int64_t since, journal_record *out, int max);
// The same from a database file copied off the board (any path, read-only),
// one record at a time into fn; the count, -1 when it cannot be read.
long journal_read_file(const char *file, uint64_t from, int alarm, int64_t since,
                       void (*fn)(const journal_record &r, void *arg), void *arg);
// One line for an operator: "seq time kind alarm details", or CSV.
void journal_format(const journal_record &r, bool csv, char *out, size_t n);
const char *journal_kind_name(int kind);
