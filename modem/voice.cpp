// The voice-alarm call: dial, wait for the far end (or its voice mailbox),
// play the WAV message into the call and hang up, all within one pass.

#include <cstdio>
#include <cstring>
#include <string>

#include "modem/serial.h"
#include "modem/sim7100.h"
#include "sys/sys.h"

voice_message send_voice;
std::atomic<int32_t> is_send_voice{0};
std::atomic<int32_t> send_voice_status{0};
std::atomic<int32_t> voice_key_wanted{0};
std::atomic<int32_t> send_voice_key{0};

namespace {
constexpr int kBuf = 1024;
constexpr int kPoll = 100;          // bytes taken per poll
constexpr int kRingPolls = 300;     // more ring polls than this: voice mail
constexpr int kIdlePolls = 1200;    // more idle polls than this: time-out
constexpr uint64_t kPollPause = 100000;
constexpr int kKeyPolls = 80;       // polls (about 8 s) a key is waited for after the recording

enum class Wait { answered, ended, timed_out };

// A poll appends what has arrived, so a notice split across reads is seen
// whole. When the buffer fills, the last part is kept: a notice is shorter.
void poll(int fd, char *resp) {
    size_t n = strnlen(resp, kBuf - 1);
    if (n > static_cast<size_t>(kBuf - 1 - kPoll)) {
        constexpr size_t kKeep = 256;
        memmove(resp, resp + n - kKeep, kKeep);
        memset(resp + kKeep, 0, kBuf - kKeep);
        n = kKeep;
    }
    int r = uart_read(fd, resp + n, kPoll);
    (void)r;
}

void set_status(int32_t s) { send_voice_status.store(s, std::memory_order_release); }

void hang_up_on_timeout(int fd, char *resp) {
    modem_exchange(fd, "AT+CHUP\r\n", resp, 300);
    printf("AT+CHUP(timeout) recv:%s\n", resp);
    // The file was not played: not delivered, however the call ended.
    set_status(4);
    puts("send_voice_status(timeout) --> 4\r");
}

// A file name the play command may carry: letters, digits, '_', '-', '.'.
bool wav_name_ok(const char *name, int cap) {
    int i = 0;
    for (; i < cap && name[i] != '\0'; i++) {
        char c = name[i];
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return i > 0 && i < cap;
}


// Takes the first whole "+RXDTMF: <key>" notice out of the buffer (so it is
// not seen twice) and returns the key; 0 when none has arrived whole yet.
char take_key(char *resp) {
    char *p = strstr(resp, "+RXDTMF:");
    if (p == nullptr) return 0;
    char *k = p + 8;
    while (*k == ' ') k++;
    if (*k == 0) return 0;   // the rest of the notice comes with a later poll
    char key = *k;
    memset(p, ' ', static_cast<size_t>(k - p + 1));
    return key;
}

void note_key(char key) {
    if (key == 0) return;
    printf("send_voice: key %c pressed\r\n", key);
    if (send_voice_key.load() == 0) send_voice_key.store(key);
}

// After the recording: the callee has a few seconds to press a key; the far
// end hanging up ends the wait.
void wait_for_key(int fd, char *resp) {
    for (int polls = 0; polls <= kKeyPolls && send_voice_key.load() == 0; polls++) {
        poll(fd, resp);
        note_key(take_key(resp));
        if (send_voice_key.load() != 0 || strstr(resp, "VOICE CALL: END") != nullptr ||
            strstr(resp, "NO CARRIER") != nullptr)
            return;
        sys_usleep(kPollPause);
    }
    puts("send_voice: no key pressed\r");
}

// Steps until the far end answers, the call is lost or nobody picks up.
Wait wait_for_answer(int fd, char *resp, bool *voice_mail) {
    int ring_polls = 0, idle_polls = 0;
    for (;;) {
        poll(fd, resp);
        if (strstr(resp, "VOICE CALL: BEGIN") != nullptr || *voice_mail) return Wait::answered;
        if (strstr(resp, "NO CARRIER") != nullptr) {
            modem_exchange(fd, "AT+CHUP\r\n", resp, 300);
            printf("AT+CHUP recv:%s\n", resp);
            // A lost call is a failed delivery, whether or not the modem
            // confirms the end of the call.
            set_status(4);
            if (strstr(resp, "VOICE CALL: END") == nullptr)
                puts("send_voice_status(AT+CHUP) --> 4\r");
            else
                puts("send_voice_status(NO CARRIER) --> 4\r");
            return Wait::ended;
        }
        if (strstr(resp, "VOICE CALL: RING") != nullptr) {
            printf("/");
            if (++ring_polls > kRingPolls) {
                *voice_mail = true;
                ring_polls = 0;
            }
        } else {
            printf(".");
            if (++idle_polls > kIdlePolls) {
                idle_polls = 0;
                hang_up_on_timeout(fd, resp);
                return Wait::timed_out;
            }
        }
        sys_usleep(kPollPause);
    }
}

void play_message(int fd, char *resp, bool voice_mail) {
    if (voice_mail) {
        puts("Go voice mail...wait 23 second...\r");
        sys_sleep(23);
    }
    // The modem shares our file system: it is given the resolved path.
    std::string cmd = "AT+CCMXPLAYWAV=\"" + sys_path("/var/zrb_318_voice/") + send_voice.wav_name + "\",1\r\n";
    modem_exchange(fd, cmd.c_str(), resp, 100);
    printf("AT+CCMXPLAYWAV recv:%s\n", resp);
    if (strstr(resp, "ERROR") != nullptr) {
        // The call stays up until the far end or the network ends it.
        set_status(4);
        puts("send_voice_status(CCMXPLAYWAV) --> 4\r");
        return;
    }
    int idle_polls = 0;
    for (;;) {
        poll(fd, resp);
        if (voice_key_wanted.load() != 0) note_key(take_key(resp));
        if (strstr(resp, "+WAVSTATE: wav play stop") != nullptr) {
            if (voice_key_wanted.load() != 0 && send_voice_key.load() == 0) wait_for_key(fd, resp);
            modem_exchange(fd, "AT+CHUP\r\n", resp, 300);
            printf("AT+CHUP recv:%s\n", resp);
            if (strstr(resp, "VOICE CALL: END") != nullptr || strstr(resp, "OK") != nullptr) {
                set_status(3);
                puts("send_voice_status --> 3\r");
            } else {
                set_status(4);
                puts("send_voice_status(AT+CHUP) --> 4\r");
            }
            return;
        }
        printf(",");
        if (++idle_polls > kIdlePolls) {
            idle_polls = 0;
            hang_up_on_timeout(fd, resp);
            return;
        }
        sys_usleep(kPollPause);
    }
}

void call(int fd, char *resp) {
    char shown[64];
    char digits[21];
    bool international = false;
    if (!modem_check_phone(send_voice.phone, static_cast<int>(sizeof send_voice.phone), digits, &international)) {
        modem_printable(shown, sizeof shown, send_voice.phone, static_cast<int>(sizeof send_voice.phone));
        printf("send_voice: phone number \"%s\" is not a dial string, not dialled\n", shown);
        set_status(4);
        puts("send_voice_status --> 4\r");
        return;
    }
    if (!wav_name_ok(send_voice.wav_name, static_cast<int>(sizeof send_voice.wav_name))) {
        modem_printable(shown, sizeof shown, send_voice.wav_name, static_cast<int>(sizeof send_voice.wav_name));
        printf("send_voice: voice name \"%s\" is not a file name, not dialled\n", shown);
        set_status(4);
        puts("send_voice_status --> 4\r");
        return;
    }

    if (voice_key_wanted.load() != 0) {
        // Key notices during the call; a module without them simply reports none.
        modem_exchange(fd, "AT+DDET=1\r\n", resp, 100);
        printf("AT+DDET recv:%s\n", resp);
    }
    modem_exchange(fd, "AT+MORING=1\r\n", resp, 100);
    printf("AT+MORING recv:%s\n", resp);
    if (strstr(resp, "ERROR") != nullptr) {
        set_status(4);
        puts("send_voice_status --> 4\r");
        return;
    }

    char cmd[64];
    snprintf(cmd, sizeof cmd, "ATD%s%s;\r\n", international ? "+" : "", digits);
    modem_exchange(fd, cmd, resp, 100);
    printf("ATD recv:%s\n", resp);
    puts("wait calling...");
    if (strstr(resp, "OK") == nullptr) {
        set_status(4);
        puts("send_voice_status(ATD) --> 4\r");
        return;
    }

    bool voice_mail = false;
    if (wait_for_answer(fd, resp, &voice_mail) != Wait::answered) return;
    play_message(fd, resp, voice_mail);
}
}  // namespace

int voice_send_one(voice_message msg) {
    if (is_send_voice.load(std::memory_order_acquire) != 0) return 0;
    size_t pl = strnlen(msg.phone, sizeof msg.phone - 1);
    memcpy(send_voice.phone, msg.phone, pl);
    send_voice.phone[pl] = '\0';
    memcpy(send_voice.wav_name, msg.wav_name, sizeof send_voice.wav_name);
    send_voice_status.store(1, std::memory_order_release);
    is_send_voice.store(1, std::memory_order_release);
    return 1;
}

void modem_voice_call_sequence(int fd) {
    char resp[kBuf];
    memset(resp, 0, sizeof resp);
    send_voice_key.store(0);
    set_status(2);
    puts("====== Send VOICE =======");
    printf("send_voice:Phone Number:%.*s\n", static_cast<int>(sizeof send_voice.phone), send_voice.phone);
    printf("send_voice:Voice Name:%.*s\n", static_cast<int>(sizeof send_voice.wav_name), send_voice.wav_name);
    call(fd, resp);
    is_send_voice.store(0, std::memory_order_release);
    puts("====== End VOICE ======");
}
