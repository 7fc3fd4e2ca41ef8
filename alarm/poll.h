// The polling thread: every 3 s copies queue, modem and SD-card state into the
// register map and publishes an accepted received SMS in input registers 30..127.
#pragma once
#include "alarm/messages.h"

void *thread_mb_slave_poll(void *);
// One cycle without the final sleep (the card-test counter persists).
void mb_slave_poll_pass();
// The card-test cycle counter back to 0 (tests).
void mb_slave_poll_reset();
// 1 when sender matches a configured phone; a leading '+' is ignored on both sides.
int ifRecieveSMSFilterPhones(const char *sender);
// Writes an accepted message into input registers 30..127 (and its flags into
// register 29) and sets discrete input 1.
void publish_received_sms(const sms_message &msg, uint16_t flags);
void publish_received_sms(const sms_message &msg);   // flags 0
// One received message from the modem's mailbox: offered to the acknowledgement
// module, filtered, or published once discrete input 1 is clear; the modem
// may then remove it from its storage.
void take_received_sms();
