// The polling thread: every 3 s copies queue, modem and SD-card state into the
// register map and publishes an accepted received SMS in input registers 30..127.
#pragma once
#include "alarm/messages.h"

void *thread_mb_slave_poll(void *);
// One cycle without the final sleep (the card-test counter persists).
void mb_slave_poll_pass();
// The card-test cycle counter back to 0 (tests).
void mb_slave_poll_reset();
int ifRecieveSMSFilterPhones(const char *sender);   // 1 matches a configured phone
// Writes an accepted message into input registers 30..127 and sets discrete input 1.
void publish_received_sms(const sms_message &msg);
