// The two dispatchers: deliver the head entry of the SMS / voice ring, one
// phone at a time through the modem's mailbox. Three failures in a row give up
// that phone only; the entry ends done (3), or failed (4) when a phone was not
// reached, and is popped. Without network the entry waits (up to 30 min); a
// modem silent for 90 s leaves the entry at the head for a later pass.
#pragma once

void *thread_sms_buffer(void *);
void *thread_voice_buffer(void *);
// One round of each thread: serves the head entry if any (no final 1 s pause).
void sms_buffer_pass();
void voice_buffer_pass();
