// Start-up resume: the ring entries a restart interrupted go back into the
// rings, their confirmed phones skipped; entries older than the bound in
// holding register 512 (minutes, 0 = 60) are recorded as expired instead and
// counted in input register 26. The master's status registers are restored.
// Alarm changes acknowledged but not yet in a ring (waiting for room, in their
// edge delay, not yet composed) are composed again, or expire by the same bound.
#pragma once

// Needs the register map and the open journal; before the worker threads start.
// Returns the number of entries put back.
int journal_resume();
