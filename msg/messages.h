// The message records handed between the alarm side and the modem's
// mailboxes. Passed by value; fixed sizes, no pointers.
#pragma once
#include <cstdint>

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
