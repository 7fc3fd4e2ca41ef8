// The receive path of SMS, run by the modem supervisor within its pass: reads
// the modem's storage in PDU mode (each answer waited for to its end), orders
// the messages as the network delivered them, reassembles long messages from
// their parts and hands one whole message at a time to the receive mailbox.
// A message leaves the storage only after the taker released it (published,
// recorded or consumed); a status report is recorded and removed; anything
// else that is not a DELIVER is logged in hex and removed, never published.
#pragma once
#include <cstdint>

#include "msg/messages.h"

// What the master is told beside the message.
struct sms_rx_info {
    uint16_t flags;          // layout::RX_FLAG_* of the register map
    bool sender_alnum;       // the sender is a name, not a number
    uint8_t parts;           // parts of a long message; 0 for a single message
    uint8_t parts_present;
    uint8_t dcs;             // data coding scheme of the (first) part
};
// Filled with recv_new_sms, handed over by the same flag (is_new_sms).
extern sms_rx_info recv_new_sms_info;

// As sms_check_new_one, and copies the message's info (when info is not null).
int sms_check_new_one_info(sms_message *out, sms_rx_info *info);
// The message taken last was published, recorded or consumed: a later pass
// removes it (all its parts) from the storage. Any thread.
void sms_rx_release();
// Forgets every message and part held (their storage is read again).
void sms_rx_reset();
// Stored messages and parts the table holds (tests).
int sms_rx_held();

// Status reports read from the storage (each one is in the journal before it
// is removed), queued for the delivery-report matcher in another thread. The
// queue is bounded: when it is full the oldest report gives way (logged).
struct sms_report {
    int mr;               // message reference of the SMS it reports on
    int st;               // TP-ST
    char recipient[24];   // as decoded: digits, '+' for an international number
};
constexpr int SMS_REPORT_QUEUE = 32;
// 1: the oldest queued report was copied into out and removed; 0: none.
int sms_report_take(sms_report *out);
