// The two dispatchers: deliver the head entry of the SMS / voice ring, one
// phone at a time through the modem's mailbox, up to three consecutive
// failures per phone, then mark the entry done (3) or failed (4) and pop it.
#pragma once

void *thread_sms_buffer(void *);
void *thread_voice_buffer(void *);
// One round of each thread: serves the head entry if any (no final 1 s pause).
void sms_buffer_pass();
void voice_buffer_pass();
