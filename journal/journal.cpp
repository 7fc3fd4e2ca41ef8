// The event journal on SQLite: WAL and synchronous=FULL, so a call that
// returned has its event on disk. One mutex serialises every use of the
// connection; each call is one short transaction.
#include "journal/journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "modbus/map_layout.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

std::atomic<int32_t> journal_expired{0};

namespace {
std::mutex g_mu;
sqlite3 *g_db = nullptr;
std::string g_path;           // resolved path, empty before the first open
bool g_failed = false;        // a write failed: calls are no-ops until the retry time
bool g_reported = false;      // the failure was reported; cleared once a write succeeds
time_t g_retry_at = 0;
long g_inserts = 0;
std::atomic<bool> g_writable{false};
std::atomic<bool> g_wanted{false};   // opened by the daemon: a journal that is off is a fault
char g_crash_path[512];       // the crash marker, ready for a signal handler
constexpr int RETRY_S = 60;   // a journal that failed is tried again after this
constexpr int PRUNE_EVERY = 256;
long g_limit = JOURNAL_MAX_EVENTS;

const char *SCHEMA =
    "CREATE TABLE IF NOT EXISTS events(seq INTEGER PRIMARY KEY AUTOINCREMENT, t INTEGER NOT NULL,"
    " kind INTEGER NOT NULL, alarm INTEGER NOT NULL, a INTEGER NOT NULL, b INTEGER NOT NULL, text TEXT);"
    "CREATE INDEX IF NOT EXISTS events_alarm ON events(alarm, seq);"
    "CREATE TABLE IF NOT EXISTS state(name TEXT PRIMARY KEY, data BLOB);"
    "CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY, ring INTEGER, alarm INTEGER, t INTEGER,"
    " count INTEGER, mode INTEGER, phones BLOB, body BLOB, done BLOB);"
    "CREATE TABLE IF NOT EXISTS changes(seq INTEGER PRIMARY KEY, alarm INTEGER, value INTEGER, t INTEGER,"
    " rings INTEGER);";

// A statement that is finalised when it goes out of scope.
struct Stmt {
    sqlite3_stmt *s = nullptr;
    Stmt(sqlite3 *db, const char *sql) {
        if (db != nullptr && sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) s = nullptr;
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    explicit operator bool() const { return s != nullptr; }
};

bool exec(const char *sql) { return g_db != nullptr && sqlite3_exec(g_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

void report_failure(const char *what) {
    if (!g_reported) {
        printf("journal: cannot write %s (%s: %s); alarms go on without it\r\n", g_path.c_str(), what,
               g_db ? sqlite3_errmsg(g_db) : "not open");
    }
    g_reported = true;
    g_failed = true;
    g_writable = false;
    g_retry_at = sys_time() + RETRY_S;
}

void close_db() {
    if (g_db != nullptr) sqlite3_close_v2(g_db);
    g_db = nullptr;
}

std::string stamp() {
    time_t now = sys_time();
    struct tm tm {};
    gmtime_r(&now, &tm);
    char b[32];
    strftime(b, sizeof b, "%Y%m%d-%H%M%S", &tm);
    return b;
}

// A database that cannot be read as one is moved aside, time-stamped, with
// its WAL, so a fresh one takes its place and the old one can be examined.
void move_aside() {
    std::string to = g_path + ".damaged-" + stamp();
    printf("journal: %s is damaged, moved to %s; a new journal begins\r\n", g_path.c_str(), to.c_str());
    rename(g_path.c_str(), to.c_str());
    rename((g_path + "-wal").c_str(), (to + "-wal").c_str());
    unlink((g_path + "-shm").c_str());
}

// 1 open and sound, 0 damaged, -1 cannot be opened or written.
int try_open() {
    if (sqlite3_open_v2(g_path.c_str(), &g_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        int rc = sqlite3_errcode(g_db);
        close_db();
        return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB ? 0 : -1;
    }
    sqlite3_busy_timeout(g_db, 2000);
    sqlite3_extended_result_codes(g_db, 0);
    char *err = nullptr;
    int rc = sqlite3_exec(g_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, &err);
    sqlite3_free(err);
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return 0;
    if (rc != SQLITE_OK) return -1;
    {
        Stmt q(g_db, "PRAGMA quick_check");
        if (!q) {
            rc = sqlite3_errcode(g_db);
            return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB ? 0 : -1;
        }
        rc = sqlite3_step(q.s);
        if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return 0;
        if (rc != SQLITE_ROW) return -1;
        const char *r = reinterpret_cast<const char *>(sqlite3_column_text(q.s, 0));
        if (r == nullptr || strcmp(r, "ok") != 0) return 0;
    }
    rc = sqlite3_exec(g_db, SCHEMA, nullptr, nullptr, nullptr);
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return 0;
    return rc == SQLITE_OK ? 1 : -1;
}

bool open_locked() {
    int r = try_open();
    if (r == 0) {
        close_db();
        move_aside();
        r = try_open();
    }
    if (r != 1) {
        report_failure("open");
        close_db();
        return false;
    }
    if (g_reported) printf("journal: %s writable again\r\n", g_path.c_str());
    g_reported = false;
    g_failed = false;
    g_writable = true;
    return true;
}

// True when the journal may be written now: open, or due for a retry that succeeds.
bool ready() {
    if (g_path.empty()) return false;
    if (g_db != nullptr && !g_failed) return true;
    if (sys_time() < g_retry_at) return false;
    if (g_db == nullptr) return open_locked();
    g_failed = false;   // try once more; a failure is not reported again
    return true;
}

// Oldest events beyond the bound, or a tenth of them when the disk is full.
bool prune(bool full) {
    Stmt s(g_db, full ? "DELETE FROM events WHERE seq < (SELECT min(seq) + (max(seq) - min(seq)) / 10 + 1 FROM events)"
                      : "DELETE FROM events WHERE seq <= (SELECT max(seq) FROM events) - ?");
    if (!s) return false;
    if (!full) sqlite3_bind_int64(s.s, 1, g_limit);
    return sqlite3_step(s.s) == SQLITE_DONE;
}

int64_t insert_event(int kind, int alarm, int a, int b, const char *text) {
    Stmt s(g_db, "INSERT INTO events(t, kind, alarm, a, b, text) VALUES(?,?,?,?,?,?)");
    if (!s) return 0;
    sqlite3_bind_int64(s.s, 1, static_cast<int64_t>(sys_time()));
    sqlite3_bind_int(s.s, 2, kind);
    sqlite3_bind_int(s.s, 3, alarm);
    sqlite3_bind_int(s.s, 4, a);
    sqlite3_bind_int(s.s, 5, b);
    if (text != nullptr)
        sqlite3_bind_text(s.s, 6, text, static_cast<int>(strnlen(text, JOURNAL_TEXT_MAX)), SQLITE_TRANSIENT);
    if (sqlite3_step(s.s) != SQLITE_DONE) return 0;
    if (++g_inserts % PRUNE_EVERY == 0) prune(false);
    return sqlite3_last_insert_rowid(g_db);
}

// Closings of open changes not yet written (journal_change_settled): they
// ride on the next commit of any kind.
struct settle {
    uint64_t id;
    int rings;
};
constexpr int SETTLE_MAX = 256;
settle g_settle[SETTLE_MAX];
int g_settle_n = 0;

bool close_rings(uint64_t id, int rings) {
    Stmt u(g_db, "UPDATE changes SET rings = rings & ~? WHERE seq = ?");
    Stmt d(g_db, "DELETE FROM changes WHERE seq = ? AND rings = 0");
    if (!u || !d) return false;
    sqlite3_bind_int(u.s, 1, rings);
    sqlite3_bind_int64(u.s, 2, static_cast<int64_t>(id));
    sqlite3_bind_int64(d.s, 1, static_cast<int64_t>(id));
    return sqlite3_step(u.s) == SQLITE_DONE && sqlite3_step(d.s) == SQLITE_DONE;
}

bool apply_settles() {
    for (int i = 0; i < g_settle_n; i++)
        if (!close_rings(g_settle[i].id, g_settle[i].rings)) return false;
    return true;
}

// Runs body inside one transaction; a full disk prunes and tries once more.
// body returns 0 for failure, else its result.
template <typename Body>
int64_t transact(const char *what, Body body) {
    if (!ready()) return 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!exec("BEGIN IMMEDIATE")) break;
        int64_t r = apply_settles() ? body() : 0;
        if (r != 0 && exec("COMMIT")) {
            g_settle_n = 0;   // written with it
            if (g_reported) printf("journal: %s writable again\r\n", g_path.c_str());
            g_reported = false;
            g_failed = false;
            g_writable = true;
            return r;
        }
        int rc = sqlite3_errcode(g_db);
        exec("ROLLBACK");
        if (rc != SQLITE_FULL || attempt > 0) break;
        // A full /APP: room from the oldest events, then once more.
        if (!exec("BEGIN IMMEDIATE")) break;
        bool ok = prune(true) && exec("COMMIT");
        if (!ok) {
            exec("ROLLBACK");
            break;
        }
    }
    report_failure(what);
    return 0;
}

void phones_text(const char (*phones)[20], int count, std::string &out) {
    for (int i = 0; i < count; i++) {
        if (i) out += ',';
        out.append(phones[i], strnlen(phones[i], 20));
    }
}

void fill_record(sqlite3_stmt *s, journal_record &r) {
    r.seq = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
    r.time = sqlite3_column_int64(s, 1);
    r.kind = sqlite3_column_int(s, 2);
    r.alarm = sqlite3_column_int(s, 3);
    r.a = sqlite3_column_int(s, 4);
    r.b = sqlite3_column_int(s, 5);
    const unsigned char *t = sqlite3_column_text(s, 6);
    int n = t ? sqlite3_column_bytes(s, 6) : 0;
    if (n > JOURNAL_TEXT_MAX) n = JOURNAL_TEXT_MAX;
    if (n > 0) memcpy(r.text, t, static_cast<size_t>(n));
    r.text[n] = 0;
}

const char *READ_SQL =
    "SELECT seq, t, kind, alarm, a, b, text FROM events WHERE seq >= ?1 AND (?2 < 0 OR alarm = ?2)"
    " AND t >= ?3 ORDER BY seq LIMIT ?4";
}  // namespace

bool journal_open(const char *path) {
    std::lock_guard<std::mutex> l(g_mu);
    close_db();
    g_path = sys_path(path);
    snprintf(g_crash_path, sizeof g_crash_path, "%s.crashed", g_path.c_str());
    g_failed = false;
    g_reported = false;
    g_retry_at = 0;
    g_wanted = true;
    return open_locked();
}

void journal_close() {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_db != nullptr && g_settle_n > 0) transact("change", [] { return int64_t{1}; });
    g_settle_n = 0;
    close_db();
    g_path.clear();
    g_writable = false;
    g_wanted = false;
}

void journal_set_limit(long max_events) {
    std::lock_guard<std::mutex> l(g_mu);
    g_limit = max_events > 0 ? max_events : JOURNAL_MAX_EVENTS;
}

bool journal_ok() { return g_writable.load(); }

uint64_t journal_event(int kind, int alarm, int a, int b, const char *text) {
    std::lock_guard<std::mutex> l(g_mu);
    return static_cast<uint64_t>(transact("event", [&] { return insert_event(kind, alarm, a, b, text); }));
}

uint64_t journal_alarm_writes(const int *alarms, const uint16_t *values, int n, int source, const bool *open,
                              uint64_t *ids) {
    if (n <= 0) return 0;
    if (ids != nullptr)
        for (int i = 0; i < n; i++) ids[i] = 0;
    std::lock_guard<std::mutex> l(g_mu);
    int64_t t = static_cast<int64_t>(sys_time());
    static uint64_t got[256];   // under g_mu; a request holds at most 128 alarms
    if (n > 256) n = 256;
    int64_t last = transact("alarm change", [&]() -> int64_t {
        int64_t seq = 0;
        for (int i = 0; i < n; i++) {
            bool on = values[i] == layout::ALARM_ON;
            got[i] = 0;
            if ((seq = insert_event(JK_ALARM_CHANGE, alarms[i], on ? 1 : 0, source, nullptr)) == 0) return 0;
            if (open != nullptr && !open[i]) continue;
            // Open in the same commit: the master's reply stands for both.
            Stmt s(g_db, "INSERT INTO changes(seq, alarm, value, t, rings) VALUES(?,?,?,?,?)");
            if (!s) return 0;
            sqlite3_bind_int64(s.s, 1, seq);
            sqlite3_bind_int(s.s, 2, alarms[i]);
            sqlite3_bind_int(s.s, 3, on ? 1 : 0);
            sqlite3_bind_int64(s.s, 4, t);
            sqlite3_bind_int(s.s, 5, JCHANGE_ALL);
            if (sqlite3_step(s.s) != SQLITE_DONE) return 0;
            got[i] = static_cast<uint64_t>(seq);
        }
        return seq;
    });
    // Handed out only once committed: a rolled-back id would close nothing.
    if (last != 0 && ids != nullptr)
        for (int i = 0; i < n; i++) ids[i] = got[i];
    return static_cast<uint64_t>(last);
}

void journal_change_settled(uint64_t id, int rings) {
    if (id == 0 || (rings & JCHANGE_ALL) == 0) return;
    std::lock_guard<std::mutex> l(g_mu);
    if (g_settle_n == SETTLE_MAX) {
        // Full: written now, in a commit of their own.
        transact("change", [] { return int64_t{1}; });
        if (g_settle_n == SETTLE_MAX) g_settle_n = 0;   // not writable: the restart composes them again
    }
    g_settle[g_settle_n++] = settle{id, rings & JCHANGE_ALL};
}

bool journal_changes_flush() {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_settle_n == 0) return true;
    return transact("change", [] { return int64_t{1}; }) != 0;
}

int journal_open_changes(void (*fn)(const journal_change &c, void *arg), void *arg) {
    int n = 0;
    std::lock_guard<std::mutex> l(g_mu);
    if (g_db == nullptr) return 0;
    Stmt s(g_db, "SELECT seq, alarm, value, t, rings FROM changes WHERE rings != 0 ORDER BY seq");
    if (!s) return 0;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        journal_change c{};
        c.id = static_cast<uint64_t>(sqlite3_column_int64(s.s, 0));
        c.alarm = sqlite3_column_int(s.s, 1);
        c.value = sqlite3_column_int(s.s, 2) ? layout::ALARM_ON : layout::ALARM_OFF;
        c.time = sqlite3_column_int64(s.s, 3);
        c.rings = sqlite3_column_int(s.s, 4) & JCHANGE_ALL;
        if (c.alarm < 0 || c.alarm >= layout::ALARMS) continue;
        fn(c, arg);
        n++;
    }
    return n;
}

bool journal_state_save(const char *name, const void *data, size_t len) {
    std::lock_guard<std::mutex> l(g_mu);
    return transact("state", [&]() -> int64_t {
               Stmt s(g_db, "INSERT OR REPLACE INTO state(name, data) VALUES(?,?)");
               if (!s) return 0;
               sqlite3_bind_text(s.s, 1, name, -1, SQLITE_TRANSIENT);
               sqlite3_bind_blob(s.s, 2, data, static_cast<int>(len), SQLITE_TRANSIENT);
               return sqlite3_step(s.s) == SQLITE_DONE ? 1 : 0;
           }) != 0;
}

long journal_state_load(const char *name, void *data, size_t len) {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_db == nullptr) return -1;
    Stmt s(g_db, "SELECT data FROM state WHERE name = ?");
    if (!s) return -1;
    sqlite3_bind_text(s.s, 1, name, -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s.s) != SQLITE_ROW) return -1;
    long n = sqlite3_column_bytes(s.s, 0);
    const void *p = sqlite3_column_blob(s.s, 0);
    if (p != nullptr && data != nullptr) memcpy(data, p, static_cast<size_t>(n) < len ? static_cast<size_t>(n) : len);
    return n;
}

namespace {
struct run_state {
    uint32_t magic;
    int32_t running;   // 1 from start to a clean stop
};
constexpr uint32_t RUN_MAGIC = 0x4a524e31;
}  // namespace

int journal_start(const char *firmware) {
    run_state prev{};
    long n = journal_state_load("run", &prev, sizeof prev);
    int end;
    bool crashed = access(g_crash_path, F_OK) == 0;
    if (n != static_cast<long>(sizeof prev) || prev.magic != RUN_MAGIC)
        end = JEND_FIRST;
    else if (prev.running == 0)
        end = JEND_CLEAN;
    else
        end = crashed ? JEND_CRASHED : JEND_KILLED;
    if (crashed) unlink(g_crash_path);
    journal_event(JK_START, -1, end, 0, firmware);
    run_state now{RUN_MAGIC, 1};
    journal_state_save("run", &now, sizeof now);
    return end;
}

void journal_stop() {
    journal_event(JK_STOP, -1, 0, 0, nullptr);
    run_state now{RUN_MAGIC, 0};
    journal_state_save("run", &now, sizeof now);
    journal_close();
}

void journal_crash_mark() {
    if (g_crash_path[0] == 0) return;
    int fd = open(g_crash_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

uint64_t journal_entry_queued(int ring, int alarm, int slot, const char (*phones)[20], int count,
                              const uint8_t *body, int body_len, int mode, uint64_t change) {
    if (count < 0) count = 0;
    if (count > 256) count = 256;
    if (body_len < 0) body_len = 0;
    if (body_len > 160) body_len = 160;
    std::string text;
    if (ring == 1) {
        text.assign(reinterpret_cast<const char *>(body), strnlen(reinterpret_cast<const char *>(body), body_len));
        text += ": ";
    }
    phones_text(phones, count, text);
    std::lock_guard<std::mutex> l(g_mu);
    return static_cast<uint64_t>(transact("entry", [&]() -> int64_t {
        int64_t id = insert_event(ring == 1 ? JK_VOICE_QUEUED : JK_SMS_QUEUED, alarm, slot, count, text.c_str());
        if (id == 0) return 0;
        Stmt s(g_db, "INSERT INTO entries(id, ring, alarm, t, count, mode, phones, body, done) VALUES(?,?,?,?,?,?,?,?,?)");
        if (!s) return 0;
        uint32_t done[8] = {};
        sqlite3_bind_int64(s.s, 1, id);
        sqlite3_bind_int(s.s, 2, ring);
        sqlite3_bind_int(s.s, 3, alarm);
        sqlite3_bind_int64(s.s, 4, static_cast<int64_t>(sys_time()));
        sqlite3_bind_int(s.s, 5, count);
        sqlite3_bind_int(s.s, 6, mode);
        sqlite3_bind_blob(s.s, 7, phones, count * 20, SQLITE_TRANSIENT);
        sqlite3_bind_blob(s.s, 8, body, body_len, SQLITE_TRANSIENT);
        sqlite3_bind_blob(s.s, 9, done, sizeof done, SQLITE_TRANSIENT);
        if (sqlite3_step(s.s) != SQLITE_DONE) return 0;
        // The change it carries is closed for this ring in the same commit:
        // a restart finds either the change open or the entry, never both.
        if (change != 0 && !close_rings(change, ring == 1 ? JCHANGE_VOICE : JCHANGE_SMS)) return 0;
        return id;
    }));
}

bool journal_attempt(uint64_t id, int alarm, int idx, int code, const char *text) {
    if (idx < 0 || idx >= 256) return false;
    std::lock_guard<std::mutex> l(g_mu);
    return transact("attempt", [&]() -> int64_t {
               if (insert_event(JK_ATTEMPT, alarm, idx, code, text) == 0) return 0;
               if (id == 0 || code != 0) return 1;
               // The bitmap is read, set and written inside this transaction.
               Stmt r(g_db, "SELECT done FROM entries WHERE id = ?");
               if (!r) return 0;
               sqlite3_bind_int64(r.s, 1, static_cast<int64_t>(id));
               uint32_t done[8] = {};
               if (sqlite3_step(r.s) == SQLITE_ROW) {
                   const void *p = sqlite3_column_blob(r.s, 0);
                   int n = sqlite3_column_bytes(r.s, 0);
                   if (p != nullptr) memcpy(done, p, n < static_cast<int>(sizeof done) ? static_cast<size_t>(n) : sizeof done);
               } else {
                   return 1;   // an entry no longer open: the event is enough
               }
               done[idx / 32] |= 1u << (idx % 32);
               Stmt w(g_db, "UPDATE entries SET done = ? WHERE id = ?");
               if (!w) return 0;
               sqlite3_bind_blob(w.s, 1, done, sizeof done, SQLITE_TRANSIENT);
               sqlite3_bind_int64(w.s, 2, static_cast<int64_t>(id));
               return sqlite3_step(w.s) == SQLITE_DONE ? 1 : 0;
           }) != 0;
}

bool journal_phone_delivered(uint64_t id, int alarm, int idx, const char *phone) {
    return journal_attempt(id, alarm, idx, 0, phone);
}

bool journal_entry_end(uint64_t id, int alarm, int status, int failed) {
    std::lock_guard<std::mutex> l(g_mu);
    return transact("entry end", [&]() -> int64_t {
               if (insert_event(JK_ENTRY_END, alarm, status, failed, nullptr) == 0) return 0;
               Stmt s(g_db, "DELETE FROM entries WHERE id = ?");
               if (!s) return 0;
               sqlite3_bind_int64(s.s, 1, static_cast<int64_t>(id));
               return sqlite3_step(s.s) == SQLITE_DONE ? 1 : 0;
           }) != 0;
}

void journal_entry_drop(uint64_t id) {
    std::lock_guard<std::mutex> l(g_mu);
    transact("entry", [&]() -> int64_t {
        Stmt s(g_db, "DELETE FROM entries WHERE id = ?");
        if (!s) return 0;
        sqlite3_bind_int64(s.s, 1, static_cast<int64_t>(id));
        return sqlite3_step(s.s) == SQLITE_DONE ? 1 : 0;
    });
}

int journal_open_entries(void (*fn)(const journal_entry &e, void *arg), void *arg) {
    static journal_entry e;   // 5 KB of phones: not on the caller's stack
    int n = 0;
    std::lock_guard<std::mutex> l(g_mu);
    if (g_db == nullptr) return 0;
    Stmt s(g_db, "SELECT id, ring, alarm, t, count, mode, phones, body, done FROM entries ORDER BY id");
    if (!s) return 0;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
        e = journal_entry{};
        e.id = static_cast<uint64_t>(sqlite3_column_int64(s.s, 0));
        e.ring = sqlite3_column_int(s.s, 1);
        e.alarm = sqlite3_column_int(s.s, 2);
        e.time = sqlite3_column_int64(s.s, 3);
        e.count = sqlite3_column_int(s.s, 4);
        e.mode = sqlite3_column_int(s.s, 5);
        auto blob = [&](int col, void *dst, size_t cap) {
            const void *p = sqlite3_column_blob(s.s, col);
            size_t len = static_cast<size_t>(sqlite3_column_bytes(s.s, col));
            if (len > cap) len = cap;
            if (p != nullptr) memcpy(dst, p, len);
            return static_cast<int>(len);
        };
        // A damaged row cannot claim more phones or text than it holds.
        constexpr int slot = static_cast<int>(sizeof e.phones[0]);
        int pl = blob(6, e.phones, sizeof e.phones);
        if (e.count < 0 || e.count > pl / slot) e.count = pl / slot;
        e.body_len = blob(7, e.body, sizeof e.body - 1);
        blob(8, e.done, sizeof e.done);
        fn(e, arg);
        n++;
    }
    return n;
}

void journal_publish() {
    if (data_mapping.load() == nullptr) return;
    di_set(layout::DI_JOURNAL_FAULT, g_wanted.load() && !journal_ok() ? 1 : 0);
    ir_set(layout::IR_JOURNAL_EXPIRED, static_cast<uint16_t>(journal_expired.load()));
}

int journal_read(uint64_t from, int alarm, int64_t since, journal_record *out, int max) {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_db == nullptr) return -1;
    Stmt s(g_db, READ_SQL);
    if (!s) return -1;
    sqlite3_bind_int64(s.s, 1, static_cast<int64_t>(from));
    sqlite3_bind_int(s.s, 2, alarm);
    sqlite3_bind_int64(s.s, 3, since);
    sqlite3_bind_int(s.s, 4, max);
    int n = 0;
    while (n < max && sqlite3_step(s.s) == SQLITE_ROW) fill_record(s.s, out[n++]);
    return n;
}

long journal_read_file(const char *file, uint64_t from, int alarm, int64_t since,
                       void (*fn)(const journal_record &r, void *arg), void *arg) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return -1;
    }
    long n = 0;
    {
        Stmt s(db, READ_SQL);
        if (!s) {
            sqlite3_close_v2(db);
            return -1;
        }
        sqlite3_bind_int64(s.s, 1, static_cast<int64_t>(from));
        sqlite3_bind_int(s.s, 2, alarm);
        sqlite3_bind_int64(s.s, 3, since);
        sqlite3_bind_int(s.s, 4, -1);
        static journal_record r;
        int rc;
        while ((rc = sqlite3_step(s.s)) == SQLITE_ROW) {
            fill_record(s.s, r);
            fn(r, arg);
            n++;
        }
        if (rc != SQLITE_DONE) n = -1;
    }
    sqlite3_close_v2(db);
    return n;
}
