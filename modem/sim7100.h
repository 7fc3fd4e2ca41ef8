// The modem unit: the supervisor thread that owns the AT channel "/dev/smd8"
// (status queries, SIM PIN, radio restart, GPS), the SMS send and receive
// mailboxes and the voice-call mailbox, all served within its pass.
// Flags and statuses are atomics: producers fill the record, then set the flag
// (release); the modem publishes the final status before it clears the flag.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

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
// Why the last SMS hand-over ended, published before its final status:
// 0 sent; a +CMS ERROR code (a +CME code the send may give is mapped to its
// +CMS twin); or one of these.
enum : int32_t {
    SMS_ERR_PLAIN = -1,       // plain ERROR, no prompt for the PDU
    SMS_ERR_NO_CONFIRM = -2,  // no confirmation within the send time-out
    SMS_ERR_BAD_NUMBER = -3,  // not a dial string: never sent (permanent)
};
extern std::atomic<int32_t> send_sms_error;
// More SMS wait behind the one offered: set by the producer before it offers,
// read by the modem when it starts the send. With HR_SMS_MORE_TO_SEND 1 the
// modem then asks the module to keep the network's link open after this SMS
// (AT+CMMS=1); with none behind, the module lets the link go by itself.
extern std::atomic<int32_t> send_sms_more;
// The message in the mailbox asks the network for a delivery report (set
// with it by sms_send_one); and the message reference the network gave the
// last SMS sent ("+CMGS: <mr>", 0..255; -1 none), published before its final
// status. A report names its message by this reference.
extern std::atomic<int32_t> send_sms_srr;
extern std::atomic<int32_t> send_sms_mr;

// Voice mailbox.
extern voice_message send_voice;
extern std::atomic<int32_t> is_send_voice;
extern std::atomic<int32_t> send_voice_status;
// Key presses (DTMF): set by the producer before it offers a call, 1 = after
// the recording, wait a few seconds for a key; the call's first key (0 none),
// published before its final status.
extern std::atomic<int32_t> voice_key_wanted;
extern std::atomic<int32_t> send_voice_key;
// How the last call ended, published before its final status. Reached
// (connected and played) or not: call_reached(). Numbers are journal codes.
enum call_outcome : int32_t {
    CALL_NONE = 0,
    CALL_PLAYED = 1,        // connected, the recording played to its end: delivered
    CALL_CUT = 2,           // connected, the far end hung up during the recording
    CALL_BUSY = 3,
    CALL_NO_ANSWER = 4,     // rang (or stayed silent) and never connected
    CALL_NO_CARRIER = 5,
    CALL_REJECTED = 6,      // the modem or the network refused the dial or ended the call unconnected
    CALL_NO_DIALTONE = 7,
    CALL_PLAY_ERROR = 8,    // connected, the play command was refused
    CALL_PLAY_TIMEOUT = 9,  // connected, the recording never reported its end
    CALL_NOT_DIALLED = 10,  // not a dial string or not a file name (permanent)
    CALL_MODEM_ERROR = 11,  // call-progress notices refused
};
inline bool call_reached(int32_t outcome) { return outcome == CALL_PLAYED || outcome == CALL_CUT; }
const char *call_outcome_text(int32_t outcome);   // for logs and the journal
extern std::atomic<int32_t> send_voice_outcome;
extern std::atomic<int32_t> send_voice_error;   // +CME ERROR code that ended the call, -1 none
// 0 no call; 1 dialling; 2 ringing; 3 connected. Set by the modem thread.
extern std::atomic<int32_t> modem_call_state;
// Counts the modem thread's steps while it works on a mailbox (reads of an
// answer, call polls): a dispatcher waiting for a verdict sees the modem is
// still at work, however long the call or the network takes.
extern std::atomic<uint32_t> modem_progress;

// Modem settings of the register map (holding registers, zero = default).
// Seconds the network's confirmation of an SMS is waited for.
int modem_send_timeout_s();
// Directory the modem plays the recordings from, with its final '/': the
// setting's text when set, else the board path of /var/zrb_318_voice/.
std::string modem_play_dir();

void *thread_modem(void *);
// The pause between two passes: up to 1 s, over as soon as a mailbox holds a
// message.
void modem_pause();
// A message waits in the SMS or voice mailbox.
bool modem_mailbox_waiting();
// The last whole status round (SIM, registration, signal, network mode, GPS)
// ended less than MODEM_STATUS_FRESH_US ago. While fresh, a waiting message
// goes out first; a stale round runs before it, so during a burst the master
// still sees registration and signal renewed every few seconds (this bound
// plus one send).
constexpr uint64_t MODEM_STATUS_FRESH_US = 5000000;
bool modem_status_fresh();
// The SIM PIN (four hex digits, a zero byte ends it early) the modem enters
// when the SIM asks; the owner of the register map hands it over.
void modem_set_pin(const char pin[5]);
int get_modem_info();                    // one pass; -1 when the port cannot be opened

// 1 accepted, 0 busy; status_report: the PDU asks for a delivery report.
int sms_send_one(sms_message msg, bool status_report = false);
int sms_check_new_one(sms_message *out); // 1 taken, 0 none
void printSMS(sms_message msg);
// Builds "AT+CMGS=<n>\r<PDU><Ctrl-Z>" into out (512 bytes): 1; 0 when the
// destination is not a dial string (out is then empty).
int gmSMS_SendMsg(sms_message msg, char *out, bool status_report = false);
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
// Settings every SMS path relies on (numeric errors, PDU mode, storage, new
// message indications): due at start and after a radio restart, made once
// the SIM is ready. True when the modem took them all.
// With delivery reports on (the register map's setting), new message
// indications also announce stored status reports: AT+CNMI=2,1,0,2,0
// instead of 2,1,0,0,0. A change of the setting makes the settings due again.
bool modem_apply_settings(int fd);
bool modem_settings_due();
// After a command whose answer never came: reads until a final result code
// (up to timeout_ms), then "AT" until "OK". True when back in step. When the
// late answer holds "+CMGS: <mr>", *late_mr gets mr (else -1).
bool modem_resync(int fd, int timeout_ms, int *late_mr);
// Back to the state at process start: published values, counters, mailboxes.
void modem_state_reset();
// Forgets what the send sequence knows of AT+CMMS (refused, last answer).
void sms_more_to_send_reset();
// Forgets the last message delivered (a message is delivered once: the same
// PDU read again is skipped).
void sms_forget_delivered();

// The sequences of one pass, on an open port (used by get_modem_info).
void modem_sms_send_sequence(int fd);
void modem_sms_recv_sequence(int fd);
void modem_voice_call_sequence(int fd);
