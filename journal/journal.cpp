// Placeholder until the SQLite journal lands: the journal is always off.
#include "journal/journal.h"

bool journal_open(const char *) { return false; }
void journal_close() {}
bool journal_ok() { return false; }
uint64_t journal_event(int, int, int, int, const char *) { return 0; }
bool journal_state_save(const char *, const void *, size_t) { return false; }
long journal_state_load(const char *, void *, size_t) { return -1; }
