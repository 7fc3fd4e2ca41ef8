// Records handed between the alarm engine, the event rings and the modem's
// mailboxes. Passed by value; fixed sizes, no pointers.
#pragma once
#include <cstdint>

constexpr int PHONE_SLOT_LEN = 20;   // one slot of a phone list, NUL-padded
constexpr int MAX_PHONES = 256;      // 16 groups x 16 numbers

struct sms_message {
    char phone[30];      // digits, NUL-terminated (destination or sender)
    char time[20];       // "yy/MM/dd hh:mm:ss" of a received message
    uint8_t text[161];   // data bytes followed by a NUL
    uint8_t length;      // number of data bytes in text
    uint8_t mode;        // 0 GSM 7-bit, 8 UCS-2, other: 8-bit data
};

struct voice_message {
    char phone[50];      // digits, NUL-terminated
    char wav_name[20];   // base name of the WAV file, NUL-terminated
};

// A phone list: MAX_PHONES slots of PHONE_SLOT_LEN bytes.
using phone_slot = char[PHONE_SLOT_LEN];
