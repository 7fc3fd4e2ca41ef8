// The voice-alarm call: dial, wait for the far end (or its voice mailbox),
// play the WAV message into the call and hang up, all within one pass.

#include <cstdio>
#include <cstring>
#include <string>

#include "modem/at_parse.h"
#include "modem/serial.h"
#include "modem/sim7100.h"
#include "sys/sys.h"

voice_message send_voice;
std::atomic<int32_t> is_send_voice{0};
std::atomic<int32_t> send_voice_status{0};
std::atomic<int32_t> voice_key_wanted{0};
std::atomic<int32_t> send_voice_key{0};
std::atomic<int32_t> send_voice_outcome{0};
std::atomic<int32_t> send_voice_error{-1};

namespace {
constexpr int kBuf = 1024;
constexpr int kPoll = 100;          // bytes taken per poll
// A call that connects after more ring polls than this is taken for a voice
// mailbox: its greeting is let pass before the recording (kMailboxPause s).
constexpr int kMailboxRingPolls = 300;
constexpr unsigned kMailboxPause = 23;
constexpr int kRingPolls = 600;     // more ring polls than this without a connect: nobody answers
constexpr int kIdlePolls = 1200;    // more polls without a notice than this: time-out
constexpr int kSettlePolls = 5;     // polls after the end of the playback that tell a cut from a whole play
constexpr uint64_t kPollPause = 100000;
constexpr int kKeyPolls = 80;       // polls (about 8 s) a key is waited for after the recording

// Lines of the call notices as they arrive: a poll appends, whole lines are
// taken from the front, a part line waits for its end.
struct notices {
    char buf[kBuf] = {};
    size_t n = 0;
};

void set_status(int32_t s) {
    send_voice_status.store(s, std::memory_order_release);
    if (s == 3 || s == 4) sys_wake();   // the dispatcher waits for the verdict
}
void set_call_state(int32_t s) { modem_call_state.store(s, std::memory_order_release); }

// The outcome first, then the final status (the dispatcher reads the
// outcome once it sees the status).
void finish(int32_t outcome, int32_t status, const char *why) {
    send_voice_outcome.store(outcome, std::memory_order_release);
    printf("send_voice outcome: %s\r\n", call_outcome_text(outcome));
    set_status(status);
    printf("send_voice_status%s --> %d\r\n", why, status);
}

void feed(notices &q, const char *data, size_t len) {
    if (q.n + len > kBuf - 1) {
        // Never a whole notice: keep the newest part.
        size_t keep = 256 < q.n ? 256 : q.n;
        memmove(q.buf, q.buf + q.n - keep, keep);
        q.n = keep;
        if (len > kBuf - 1 - q.n) {
            data += len - (kBuf - 1 - q.n);
            len = kBuf - 1 - q.n;
        }
    }
    memcpy(q.buf + q.n, data, len);
    q.n += len;
    q.buf[q.n] = '\0';
}

// The next notice among the whole lines received; CN_NONE when none is left.
int next_notice(notices &q, int *code) {
    for (;;) {
        const char *c = q.buf;
        at_line l;
        // Only blank bytes or a part line left: the part line waits.
        if (!at_next_line(&c, &l) || !at_line_whole(l)) return CN_NONE;
        int kind = at_call_notice(l, code);
        size_t used = static_cast<size_t>(l.p + l.len - q.buf);
        memmove(q.buf, q.buf + used, q.n - used + 1);
        q.n -= used;
        if (kind != CN_NONE) return kind;
    }
}

void poll(int fd, notices &q) {
    char in[kPoll + 1];
    int r = uart_read(fd, in, kPoll);
    if (r > 0) feed(q, in, static_cast<size_t>(r));
    modem_progress.fetch_add(1, std::memory_order_relaxed);
}

// Hangs up; the answer only shows whether the module confirmed it.
bool hang_up(int fd, char *resp, const char *label) {
    modem_exchange(fd, "AT+CHUP\r\n", resp, 300);
    printf("AT+CHUP%s recv:%s\n", label, resp);
    if (strstr(resp, "VOICE CALL: END") != nullptr || strstr(resp, "OK") != nullptr) return true;
    // Not confirmed: the plain hang-up as well, so no call outlives the try.
    char again[kBuf];
    modem_exchange(fd, "ATH\r\n", again, 300);
    printf("ATH recv:%s\n", again);
    return false;
}

// A call that ended before it connected: the kind of end names the outcome.
int32_t unconnected_end(int kind) {
    switch (kind) {
    case CN_BUSY: return CALL_BUSY;
    case CN_NO_ANSWER: return CALL_NO_ANSWER;
    case CN_NO_DIALTONE: return CALL_NO_DIALTONE;
    case CN_NO_CARRIER: return CALL_NO_CARRIER;
    default: return CALL_REJECTED;   // VOICE CALL: END, ERROR, +CME ERROR
    }
}
const char *end_label(int kind) {
    switch (kind) {
    case CN_BUSY: return "(BUSY)";
    case CN_NO_ANSWER: return "(NO ANSWER)";
    case CN_NO_DIALTONE: return "(NO DIALTONE)";
    case CN_NO_CARRIER: return "(NO CARRIER)";
    case CN_END: return "(VOICE CALL: END)";
    default: return "(ERROR)";
    }
}
bool ends_call(int kind) {
    return kind == CN_END || kind == CN_NO_CARRIER || kind == CN_BUSY || kind == CN_NO_ANSWER ||
           kind == CN_NO_DIALTONE || kind == CN_ERROR;
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

void note_key(char key) {
    // Keys count only in a call that asked for them.
    if (key == 0 || voice_key_wanted.load() == 0) return;
    printf("send_voice: key %c pressed\r\n", key);
    if (send_voice_key.load() == 0) send_voice_key.store(key);
}

// After the recording: the callee has a few seconds to press a key; the far
// end hanging up ends the wait (*ended).
void wait_for_key(int fd, notices &q, bool *ended) {
    for (int polls = 0; polls <= kKeyPolls && send_voice_key.load() == 0; polls++) {
        poll(fd, q);
        int code = -1, kind;
        while ((kind = next_notice(q, &code)) != CN_NONE) {
            if (kind == CN_DTMF)
                note_key(static_cast<char>(code));
            else if (ends_call(kind))
                *ended = true;
        }
        if (send_voice_key.load() != 0 || *ended) return;
        sys_usleep(kPollPause);
    }
    puts("send_voice: no key pressed\r");
}

// Until the network connects the call (true) or the call ends or nobody
// answers (false, final status published). Only a connected call is played
// into: a ringing one answers the play command with ERROR and stays up.
bool wait_for_answer(int fd, char *resp, notices &q, bool *voice_mail) {
    int ring_polls = 0, idle_polls = 0;
    bool ringing = false;
    for (;;) {
        poll(fd, q);
        int code = -1, kind;
        while ((kind = next_notice(q, &code)) != CN_NONE) {
            if (kind == CN_BEGIN) {
                set_call_state(3);
                *voice_mail = ring_polls > kMailboxRingPolls;
                return true;
            }
            if (ends_call(kind)) {
                if (code >= 0) send_voice_error.store(code, std::memory_order_relaxed);
                // Hung up all the same, so no call is left up. A lost call is
                // a failed delivery, whether or not the hang-up is confirmed.
                bool confirmed = hang_up(fd, resp, "");
                bool ended = strstr(resp, "VOICE CALL: END") != nullptr;
                finish(unconnected_end(kind), 4, !confirmed || !ended ? "(AT+CHUP)" : end_label(kind));
                return false;
            }
            if (kind == CN_RING && !ringing) {
                ringing = true;
                set_call_state(2);
            }
        }
        if (ringing) {
            printf("/");
            if (++ring_polls > kRingPolls) {
                puts("\r\nrang without an answer: hung up\r");
                hang_up(fd, resp, "(timeout)");
                finish(CALL_NO_ANSWER, 4, "(timeout)");
                return false;
            }
        } else {
            printf(".");
            if (++idle_polls > kIdlePolls) {
                hang_up(fd, resp, "(timeout)");
                // Never connected: not delivered, however the hang-up is answered.
                finish(CALL_NO_ANSWER, 4, "(timeout)");
                return false;
            }
        }
        sys_usleep(kPollPause);
    }
}

// True when one of the lines already received ends the call.
bool call_ended_in(notices &q, int *code) {
    int kind;
    bool ended = false;
    while ((kind = next_notice(q, code)) != CN_NONE) {
        if (ends_call(kind)) ended = true;
        if (kind == CN_DTMF) note_key(static_cast<char>(*code));
    }
    return ended;
}

void play_message(int fd, char *resp, notices &q, bool voice_mail) {
    if (voice_mail) {
        // Connected after long ringing: a mailbox, whose greeting comes first.
        printf("Go voice mail...wait %u second...\r\n", kMailboxPause);
        sys_sleep(kMailboxPause);
    }
    // The modem shares our file system by default: it is given the resolved
    // path; a board whose module plays from its own drive sets the directory.
    std::string cmd = "AT+CCMXPLAYWAV=\"" + modem_play_dir() + send_voice.wav_name + "\",1\r\n";
    modem_exchange(fd, cmd.c_str(), resp, 100);
    printf("AT+CCMXPLAYWAV recv:%s\n", resp);
    bool refused = false;
    {
        const char *c = resp;
        at_line l;
        at_error e;
        while (at_next_line(&c, &l))
            if (at_line_whole(l) && at_parse_error(l, &e)) refused = true;
    }
    if (refused) {
        // A connected call the recording cannot be played into is ended.
        hang_up(fd, resp, "");
        finish(CALL_PLAY_ERROR, 4, "(CCMXPLAYWAV)");
        return;
    }
    // Notices that came with the answer belong to the playback.
    feed(q, resp, strnlen(resp, kBuf - 1));
    int idle_polls = 0;
    for (;;) {
        poll(fd, q);
        int code = -1, kind;
        bool stopped = false, ended = false;
        while ((kind = next_notice(q, &code)) != CN_NONE) {
            if (kind == CN_WAV_STOP) stopped = true;
            if (kind == CN_DTMF) note_key(static_cast<char>(code));
            if (ends_call(kind)) ended = true;
        }
        if (stopped && !ended) {
            // A far end that hangs up stops the playback too: its call end
            // follows at once. Only a playback with the call still up is whole.
            for (int i = 0; i < kSettlePolls && !ended; i++) {
                sys_usleep(kPollPause);
                poll(fd, q);
                ended = call_ended_in(q, &code);
            }
        }
        if (ended) {
            if (code >= 0) send_voice_error.store(code, std::memory_order_relaxed);
            hang_up(fd, resp, "");
            finish(CALL_CUT, 4, "(far end hung up)");
            return;
        }
        if (stopped) {
            // Played to its end: delivered, whatever the hang-up's answer.
            // A key that acknowledges may still follow the recording.
            bool gone = false;
            if (voice_key_wanted.load() != 0 && send_voice_key.load() == 0) wait_for_key(fd, q, &gone);
            if (!hang_up(fd, resp, "")) hang_up(fd, resp, "");
            finish(CALL_PLAYED, 3, "");
            return;
        }
        printf(",");
        if (++idle_polls > kIdlePolls) {
            hang_up(fd, resp, "(timeout)");
            // The file was not played to its end: not delivered.
            finish(CALL_PLAY_TIMEOUT, 4, "(timeout)");
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
        finish(CALL_NOT_DIALLED, 4, "");
        return;
    }
    if (!wav_name_ok(send_voice.wav_name, static_cast<int>(sizeof send_voice.wav_name))) {
        modem_printable(shown, sizeof shown, send_voice.wav_name, static_cast<int>(sizeof send_voice.wav_name));
        printf("send_voice: voice name \"%s\" is not a file name, not dialled\n", shown);
        finish(CALL_NOT_DIALLED, 4, "");
        return;
    }

    if (voice_key_wanted.load() != 0) {
        // Key notices during the call; a module without them simply reports none.
        modem_exchange(fd, "AT+DDET=1\r\n", resp, 100);
        printf("AT+DDET recv:%s\n", resp);
    }
    modem_exchange(fd, "AT+MORING=1\r\n", resp, 100);
    printf("AT+MORING recv:%s\n", resp);
    at_error e;
    if (at_find_error(resp, &e)) {
        send_voice_error.store(e.code, std::memory_order_relaxed);
        finish(CALL_MODEM_ERROR, 4, "");
        return;
    }

    char cmd[64];
    snprintf(cmd, sizeof cmd, "ATD%s%s;\r\n", international ? "+" : "", digits);
    modem_exchange(fd, cmd, resp, 100);
    printf("ATD recv:%s\n", resp);
    puts("wait calling...");
    // The dial answer: OK, then maybe the first notices; or the end of the
    // call at once (BUSY, NO CARRIER, ERROR, +CME ERROR, ...).
    notices q;
    feed(q, resp, strnlen(resp, kBuf - 1));
    bool dial_ok = false;
    {
        const char *c = q.buf;
        at_line l;
        while (!dial_ok && at_next_line(&c, &l)) {
            if (!at_line_whole(l)) break;
            int code = -1;
            int kind = at_call_notice(l, &code);
            if (l.len == 2 && memcmp(l.p, "OK", 2) == 0) {
                dial_ok = true;
                size_t used = static_cast<size_t>(l.p + l.len - q.buf);
                memmove(q.buf, q.buf + used, q.n - used + 1);
                q.n -= used;
            } else if (ends_call(kind)) {
                if (code >= 0) send_voice_error.store(code, std::memory_order_relaxed);
                finish(unconnected_end(kind), 4, "(ATD)");
                return;
            }
        }
    }
    if (!dial_ok) {
        finish(CALL_REJECTED, 4, "(ATD)");
        return;
    }
    set_call_state(1);
    bool voice_mail = false;
    if (!wait_for_answer(fd, resp, q, &voice_mail)) return;
    play_message(fd, resp, q, voice_mail);
}
}  // namespace

const char *call_outcome_text(int32_t outcome) {
    switch (outcome) {
    case CALL_PLAYED: return "played";
    case CALL_CUT: return "reached, cut during the recording";
    case CALL_BUSY: return "busy";
    case CALL_NO_ANSWER: return "no answer";
    case CALL_NO_CARRIER: return "no carrier";
    case CALL_REJECTED: return "rejected";
    case CALL_NO_DIALTONE: return "no dial tone";
    case CALL_PLAY_ERROR: return "play refused";
    case CALL_PLAY_TIMEOUT: return "recording never ended";
    case CALL_NOT_DIALLED: return "not dialled";
    case CALL_MODEM_ERROR: return "modem error";
    default: return "failed";
    }
}

int voice_send_one(voice_message msg) {
    if (is_send_voice.load(std::memory_order_acquire) != 0) return 0;
    size_t pl = strnlen(msg.phone, sizeof msg.phone - 1);
    memcpy(send_voice.phone, msg.phone, pl);
    send_voice.phone[pl] = '\0';
    memcpy(send_voice.wav_name, msg.wav_name, sizeof send_voice.wav_name);
    send_voice_status.store(1, std::memory_order_release);
    is_send_voice.store(1, std::memory_order_release);
    sys_wake();   // the modem thread waits for it
    return 1;
}

void modem_voice_call_sequence(int fd) {
    char resp[kBuf];
    memset(resp, 0, sizeof resp);
    send_voice_key.store(0);
    send_voice_outcome.store(CALL_NONE, std::memory_order_release);
    send_voice_error.store(-1, std::memory_order_release);
    set_status(2);
    puts("====== Send VOICE =======");
    printf("send_voice:Phone Number:%.*s\n", static_cast<int>(sizeof send_voice.phone), send_voice.phone);
    printf("send_voice:Voice Name:%.*s\n", static_cast<int>(sizeof send_voice.wav_name), send_voice.wav_name);
    call(fd, resp);
    set_call_state(0);
    is_send_voice.store(0, std::memory_order_release);
    puts("====== End VOICE ======");
}
