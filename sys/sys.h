// The seam to the operating system: board paths, shell commands, sleeping and
// the wall clock. Everything the daemon asks of the platform goes through here
// (or through the modem serial layer and the I2C layer), so tests can replace it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/time.h>

// Board paths. ALARMGW_ROOT (absolute directory) moves every absolute board
// path under it; unset or empty means the board's own paths.
std::string sys_path(const char *board_path);   // "/APP/config.ini" -> "$ROOT/APP/config.ini"
const std::string &sys_root();                  // "" on the board
void sys_set_root(const char *root);            // tests: override the root

// Shell commands run through /bin/sh with the daemon's PATH, to completion.
int sys_system(const char *cmd);                // raw status of system()

// A command whose standard output is read line by line (popen/fgets).
struct SysPipe;
SysPipe *sys_popen(const char *cmd);            // nullptr when it cannot be started
bool sys_pipe_gets(SysPipe *p, char *buf, int size);  // like fgets: false at the end
int sys_pclose(SysPipe *p);                     // waits for the command

// Sleeping and the wall clock.
void sys_usleep(uint64_t usec);
void sys_sleep(unsigned sec);
// Waking on events instead of polling: a producer calls sys_wake() after it
// changed what a waiter checks (a queued alarm, a mailbox, a verdict). A
// waiter takes seq = sys_wake_seq() BEFORE it checks, then sys_wait(seq, usec)
// sleeps up to usec but returns at once when a wake came since seq, so no wake
// is lost. One process-wide event: waiters re-check their own condition.
uint64_t sys_wake_seq();
void sys_wake();
void sys_wait(uint64_t seq, uint64_t usec);
void sys_gettimeofday(struct timeval *tv);
time_t sys_time();
// Microseconds of a clock no one sets: for measuring waits.
uint64_t sys_monotonic_us();

// Files. Only regular files are read, opened non-blocking. A copy goes to
// "dst.tmp", is synced, checked (same size, same bytes) and renamed over dst,
// so dst is never partial; false (dst untouched) on any failure.
bool sys_copy_verified(const std::string &src, const std::string &dst);
// Recognises a file again without reading it whole (a firmware on a slow card
// would hold up the start): a digest of its size, modification time and its
// first and last 64 KiB.
bool sys_file_digest(const std::string &path, uint64_t *size, uint64_t *digest);
bool sys_is_regular(const std::string &path, uint64_t *size);
// Reads a regular file (never a FIFO or a device) in chunks of at most 64 KiB,
// handing each to each(data, n), which returns false to stop. A file larger
// than max (when it is checked, or growing while read) is refused unread beyond
// the bound. SYS_READ_OK, or why not.
enum { SYS_READ_OK = 0, SYS_READ_MISSING = 1, SYS_READ_UNREADABLE = 2, SYS_READ_TOO_LARGE = 3, SYS_READ_STOPPED = 4 };
int sys_read_chunks(const std::string &path, uint64_t max, bool (*each)(void *ctx, const char *data, size_t n),
                    void *ctx);
bool sys_remove(const std::string &path);   // unlink, then sync the directory
bool sys_rename(const std::string &from, const std::string &to);   // rename, then sync the directory
// Called, when set, as a file is opened for reading through this seam, before
// any byte is read. Never set on the board; the tests' fake sets it to change
// the file there, as a card swapped or flaky between two reads would.
extern std::atomic<void (*)(const std::string &path)> sys_read_probe;
