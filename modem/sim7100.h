// The modem unit: the supervisor thread that owns the AT channel "/dev/smd8"
// (status queries, SIM PIN, radio restart, GPS), the SMS send and receive
// mailboxes and the voice-call mailbox, all served within its pass.
// Flags and statuses are atomics: producers fill the record, then set the flag
// (release); the modem publishes the final status before it clears the flag.
#pragma once
#include <atomic>
#include <cstdint>

#include "modem/gps.h"
#include "msg/messages.h"

// Published modem state.
extern std::atomic<int32_t> modem_cpin_status;   // 0 ready, 1 waits for PIN, 2 other
extern std::atomic<int32_t> modem_creg;
extern std::atomic<int32_t> modem_csq;
extern std::atomic<int32_t> modem_net_type;
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
// Key presses (DTMF): set by the producer before it offers a call, 1 = after
// the recording, wait a few seconds for a key; the call's first key (0 none),
// published before its final status.
extern std::atomic<int32_t> voice_key_wanted;
extern std::atomic<int32_t> send_voice_key;

void *thread_modem(void *);
// The SIM PIN (four hex digits, a zero byte ends it early) the modem enters
// when the SIM asks; the owner of the register map hands it over.
void modem_set_pin(const char pin[5]);
int get_modem_info();                    // one pass; -1 when the port cannot be opened

int sms_send_one(sms_message msg);       // 1 accepted, 0 busy
int sms_check_new_one(sms_message *out); // 1 taken, 0 none
void printSMS(sms_message msg);
// Builds "AT+CMGS=<n>\r<PDU><Ctrl-Z>" into out (512 bytes): 1; 0 when the
// destination is not a dial string (out is then empty).
int gmSMS_SendMsg(sms_message msg, char *out);
// 1 a message was decoded into out; 0 none (no message in the answer, or one
// that cannot be decoded: out is then untouched).
int gmSMS_getReadMsg(const char *answer, sms_message *out);
// As gmSMS_getReadMsg, but tells an undecodable message (-1) from none (0).
int sms_read_answer(const char *answer, sms_message *out);
// Copies the text of src before the first delim into dst, cut to dst_size - 1
// characters and terminated: 1; delim absent (or no room at all): 0, dst untouched.
int strcpyWithStr(char *dst, int dst_size, const char *src, const char *delim);
int voice_send_one(voice_message msg);   // 1 accepted, 0 busy

// A destination the modem may be given: an optional leading '+' (international,
// type of address 0x91) and then 1..20 digits, nothing else. Copies the digits
// without the '+' into digits and returns 1; 0 for anything else.
int modem_check_phone(const char *phone, int cap, char digits[21], bool *international);
// One exchange on the open port (uart_write_read into resp, 1024 bytes), with
// the verbose traces while isDebug is set.
// The answer is collected as it arrives, until a final result code, for at
// least wait_ms and at most 2 s (or wait_ms when longer).
int modem_exchange(int fd, const char *cmd, char *resp, int wait_ms);
// As modem_exchange, up to timeout_ms; also (when not null) ends it too.
int modem_exchange_until(int fd, const char *cmd, char *resp, int wait_ms, int timeout_ms, const char *also);
// A final result code (OK, ERROR, +CME/+CMS ERROR, NO CARRIER) on a whole
// line of resp, or also found in it.
bool modem_answer_final(const char *resp, const char *also);
// Decimal value of the leading digits of a field cut out of an answer; 0 when
// there are none, clamped to 32 bits.
int32_t modem_field_value(const char *field);
// A copy of outside text that is safe to print: printable ASCII, others '?'.
void modem_printable(char *dst, int cap, const char *src, int src_cap);
// Back to the state at process start: published values, counters, mailboxes.
void modem_state_reset();
// Forgets the last message delivered (a message is delivered once: the same
// PDU read again is skipped).
void sms_forget_delivered();

// The sequences of one pass, on an open port (used by get_modem_info).
void modem_sms_send_sequence(int fd);
void modem_sms_recv_sequence(int fd);
void modem_voice_call_sequence(int fd);
