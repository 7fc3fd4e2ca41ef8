// Placeholder until acknowledgement lands: nothing is ever consumed.
#include "alarm/ack.h"

bool ack_consume_reply(const char *, const uint16_t *, int) { return false; }
int ack_unacknowledged_count() { return 0; }
