// Fake of the sys/ seam for unit tests: a virtual clock whose sleeps return at
// once and advance it, and a shell that records command texts and answers from
// a script. Board paths resolve under a root the test chooses (sys_set_root).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fake_sys {
void reset();                                  // clock at a fixed start, no script, no records
uint64_t now_us();                             // virtual wall clock, microseconds since the epoch
void set_now_us(uint64_t us);
uint64_t slept_us();                           // total virtual sleep since reset
std::vector<std::string> commands();           // every command run (system and popen), in order
void clear_commands();
// Output (and status) for commands that begin with prefix; the last matching script wins.
void script(const std::string &prefix, const std::string &output, int status = 0);
void fail_start(const std::string &prefix);    // popen of such a command fails
void passthrough(bool on);                     // also run commands for real through /bin/sh
// Called on every sleep with the virtual time after it (may drive other fakes).
void on_sleep(std::function<void(uint64_t now_us)> hook);
// Called with the path whenever the code opens a file for reading through the
// seam (a whole read, a copy, its check, a digest), before the first byte: the
// hook may change the file, as a card swapped between two reads.
void on_read(std::function<void(const std::string &path)> hook);
// Runs fn once, when the virtual clock reaches at_us: another thread acting at
// that moment. A sys_wait spanning it stops there, and ends if fn wakes (sys_wake).
void at(uint64_t at_us, std::function<void()> fn);
}  // namespace fake_sys
