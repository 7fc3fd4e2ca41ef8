// The log window's record packing (layout in modbus/map_layout.h): the
// daemon packs journal records into input registers 200..255, agwctl unpacks
// them. No SQL, no state.
#pragma once
#include <cstdint>

#include "journal/journal.h"
#include "modbus/map_layout.h"

// Packs as many of the n records as fit into win (layout::IR_LOG_N
// registers, the count and the next sequence number included); at least the
// first, its text cut to fit.
// Returns the number packed.
int journal_window_pack(const journal_record *recs, int n, uint64_t cursor, uint16_t *win);
// Unpacks a window into out (at most max); the count; *next = where to go on.
int journal_window_unpack(const uint16_t *win, journal_record *out, int max, uint64_t *next);
