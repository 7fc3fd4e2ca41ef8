// The modem unit: the supervisor thread that owns the AT channel "/dev/smd8"
// (status queries, SIM PIN, radio restart, GPS), the SMS send and receive
// mailboxes and the voice-call mailbox, all served within its pass.
// Flags and statuses are atomics: producers fill the record, then set the flag
// (release); the modem publishes the final status before it clears the flag.
#pragma once
#include <atomic>
#include <cstdint>

#include "alarm/messages.h"

// Published modem state.
extern std::atomic<int32_t> modem_cpin_status;   // 0 ready, 1 waits for PIN, 2 other
extern std::atomic<int32_t> modem_creg;
extern std::atomic<int32_t> modem_csq;
extern std::atomic<int32_t> modem_net_type;
extern std::atomic<int32_t> gps_flag;
extern std::atomic<float> gps_lat;
extern std::atomic<float> gps_log;
extern int32_t is_input_pin;
extern int32_t modem_count4reset;
extern int32_t is_do_first_time_cmd;
extern int32_t isDebug;
// Texts read by other threads: copy them out with these (under one lock).
void modem_get_imei(char out[16]);
void modem_get_gprmc(char out[200]);

// SMS mailboxes.
extern sms_message send_sms;
extern std::atomic<int32_t> is_send_sms;
extern std::atomic<int32_t> send_sms_status;     // 0, 1 accepted, 2 sending, 3 sent, 4 failed
extern char send_sms_result[1024];
extern sms_message recv_new_sms;
extern std::atomic<int32_t> is_new_sms;
// Voice mailbox.
extern voice_message send_voice;
extern std::atomic<int32_t> is_send_voice;
extern std::atomic<int32_t> send_voice_status;

void *thread_modem(void *);
int get_modem_info();                    // one pass; -1 when the port cannot be opened

int sms_send_one(sms_message msg);       // 1 accepted, 0 busy
int sms_check_new_one(sms_message *out); // 1 taken, 0 none
void printSMS(sms_message msg);
int gmSMS_SendMsg(sms_message msg, char *out);            // out: 512 bytes
int gmSMS_getReadMsg(const char *answer, sms_message *out);
int strcpyWithStr(char *dst, int dst_size, const char *src, const char *delim);
int voice_send_one(voice_message msg);   // 1 accepted, 0 busy

// The sequences of one pass, on an open port (used by get_modem_info).
void modem_sms_send_sequence(int fd);
void modem_sms_recv_sequence(int fd);
void modem_voice_call_sequence(int fd);
