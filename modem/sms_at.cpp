// SMS over the AT channel in PDU mode: the send and receive mailboxes and the
// sequences the supervisor runs for them within its pass.

#include <cstdio>
#include <cstring>

#include "modbus/map_layout.h"
#include "modbus/regmap.h"
#include "modem/at_parse.h"
#include "modem/serial.h"
#include "modem/sim7100.h"
#include "modem/sms_func.h"
#include "sys/sys.h"

sms_message send_sms;
std::atomic<int32_t> is_send_sms{0};
std::atomic<int32_t> send_sms_status{0};
std::atomic<int32_t> send_sms_error{0};
std::atomic<int32_t> send_sms_more{0};
std::atomic<int32_t> send_sms_srr{0};
std::atomic<int32_t> send_sms_mr{-1};
char send_sms_result[1024];
sms_message recv_new_sms;
std::atomic<int32_t> is_new_sms{0};

namespace {
constexpr int kBuf = 1024;
constexpr int kWork = 512;
constexpr int kField = 20;
constexpr int kPromptTimeout = 5000;    // ms for "> " after the octet count
constexpr int kResyncTimeout = 5000;    // ms a late answer is drained after the confirmation time-out
constexpr int kMaxText = 160;   // the text field holds 160 bytes and a zero

int cap_length(int length, int cap) { return length < cap ? length : cap; }

}  // namespace

int strcpyWithStr(char *dst, int dst_size, const char *src, const char *delim) {
    if (dst == nullptr || src == nullptr || delim == nullptr || dst_size < 1) return 0;
    const char *p = strstr(src, delim);
    if (p == nullptr) return 0;
    size_t n = static_cast<size_t>(p - src);
    if (n > static_cast<size_t>(dst_size - 1)) n = static_cast<size_t>(dst_size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
    return 1;
}

int sms_send_one(sms_message msg, bool status_report) {
    if (is_send_sms.load(std::memory_order_acquire) != 0) return 0;
    send_sms_srr.store(status_report ? 1 : 0, std::memory_order_relaxed);
    int len = cap_length(msg.length, kMaxText);
    send_sms.mode = msg.mode;
    size_t pl = strnlen(msg.phone, sizeof msg.phone - 1);
    memcpy(send_sms.phone, msg.phone, pl);
    send_sms.phone[pl] = '\0';
    send_sms.length = static_cast<uint8_t>(len);
    memcpy(send_sms.text, msg.text, static_cast<size_t>(len));
    send_sms.text[len] = 0;
    send_sms_status.store(1, std::memory_order_release);
    is_send_sms.store(1, std::memory_order_release);
    sys_wake();   // the modem thread waits for it
    return 1;
}

int sms_check_new_one(sms_message *out) {
    if (out == nullptr || is_new_sms.load(std::memory_order_acquire) == 0) return 0;
    const sms_message &in = recv_new_sms;
    out->mode = in.mode;
    size_t pl = strnlen(in.phone, sizeof in.phone - 1);
    memcpy(out->phone, in.phone, pl);
    out->phone[pl] = '\0';
    size_t tl = strnlen(in.time, sizeof in.time - 1);
    memcpy(out->time, in.time, tl);
    out->time[tl] = '\0';
    int len = cap_length(in.length, kMaxText);
    out->length = static_cast<uint8_t>(len);
    memcpy(out->text, in.text, static_cast<size_t>(len));
    out->text[len] = 0;
    is_new_sms.store(0, std::memory_order_release);
    return 1;
}

void printSMS(sms_message msg) {
    puts("\r\n------------------\r");
    printf("phone number = %.*s\r\n", static_cast<int>(sizeof msg.phone), msg.phone);
    printf("receive time = %.*s\r\n", static_cast<int>(sizeof msg.time), msg.time);
    printf("mode = %d\r\n", msg.mode);
    printf("message length = %d\r\n", msg.length);
    int len = cap_length(msg.length, kMaxText);
    if (msg.mode == 0) {
        printf("message = %.*s\r\n", len, reinterpret_cast<const char *>(msg.text));
    } else {
        puts("message = \r");
        for (int i = 0; i < len; i++) printf("%02X ", msg.text[i]);
    }
    puts("\r\n------------------\r");
}

int gmSMS_SendMsg(sms_message msg, char *out, bool status_report) {
    if (out == nullptr) return 0;
    out[0] = '\0';
    pdu_fields f;
    memset(&f, 0, sizeof f);
    bool international = false;
    if (!modem_check_phone(msg.phone, static_cast<int>(sizeof msg.phone), f.tpa, &international)) return 0;
    int len = cap_length(msg.length, msg.mode == 0 ? 160 : 140);
    memcpy(f.tp_ud, msg.text, static_cast<size_t>(len));
    f.tp_udl = static_cast<uint8_t>(len);
    f.tp_pid = 0;
    f.tp_dcs = msg.mode;
    f.tp_toa = international ? 0x91 : 0x81;
    char pdu[kWork];
    memset(pdu, 0, sizeof pdu);
    int n = gsmEncodePdu(&f, pdu, status_report);
    // At most 159 octets: "AT+CMGS=159\r", 318 hex digits and Ctrl-Z fit in 512.
    snprintf(out, kWork, "AT+CMGS=%d\r%.*s\x1A", n, kWork - 32, pdu);
    return 1;
}

namespace {
// The cause of a failed send in an answer: a +CMS ERROR code, a +CME code
// mapped to its +CMS twin, or SMS_ERR_PLAIN.
int32_t send_error_of(const char *resp) {
    at_error e;
    if (!at_find_error(resp, &e) || e.code < 0) return SMS_ERR_PLAIN;
    if (e.kind == AT_ERR_CMS) return e.code;
    if (e.kind == AT_ERR_CME) {
        switch (e.code) {
        case 10: return 310;
        case 11: return 311;
        case 13: return 313;
        case 14: return 314;
        case 30: return 331;
        case 31: return 332;
        default: return SMS_ERR_PLAIN;
        }
    }
    return SMS_ERR_PLAIN;
}

// "+CMGS: <mr>" on a whole line followed by a whole "OK" line.
bool confirmed(const char *resp, int *mr) {
    const char *c = resp;
    at_line l;
    bool got = false;
    while (at_next_line(&c, &l)) {
        if (!at_line_whole(l)) break;
        if (at_parse_cmgs(l, mr)) got = true;
        else if (got && l.len == 2 && memcmp(l.p, "OK", 2) == 0) return true;
    }
    return false;
}

// AT+CMMS (modem thread only). The module keeps the link open from a send's
// answer for 1 to 5 s (its choice), then closes it and falls back to 0 by
// itself; within the first second it is surely still on and is not asked
// again. A module that refuses the command is not asked again in this run.
constexpr uint64_t kCmmsSureUs = 1000000;
bool g_cmms_refused = false;
bool g_cmms_on = false;
uint64_t g_cmms_answer_us = 0;   // when the last send's answer came while it was on

void keep_link_for_more(int fd, char *resp) {
    if (hr_get(layout::HR_SMS_MORE_TO_SEND) != 1 || g_cmms_refused) return;
    if (send_sms_more.load(std::memory_order_acquire) == 0) return;
    if (g_cmms_on && sys_monotonic_us() - g_cmms_answer_us < kCmmsSureUs) return;
    modem_exchange_until(fd, "AT+CMMS=1\r\n", resp, 20, 2000, nullptr);
    const char *c = resp;
    at_line l;
    bool ok = false;
    while (at_next_line(&c, &l))
        if (at_line_whole(l) && l.len == 2 && memcmp(l.p, "OK", 2) == 0) ok = true;
    g_cmms_on = ok;
    if (!ok) {
        g_cmms_refused = true;
        puts("send_sms: the modem refuses AT+CMMS: bursts go without it\r");
    }
}

void finish_send(int32_t status, int32_t error, int mr = -1) {
    send_sms_mr.store(status == 3 ? mr : -1, std::memory_order_release);
    send_sms_error.store(error, std::memory_order_release);
    send_sms_status.store(status, std::memory_order_release);
    sys_wake();   // the dispatcher waits for the verdict
    if (status == 3)
        puts("send_sms_status --> 3\r");
    else if (error > 0)
        printf("send_sms_status --> 4 (+CMS ERROR: %d)\r\n", error);
    else
        puts("send_sms_status --> 4\r");
}
}  // namespace

void modem_sms_send_sequence(int fd) {
    char resp[kBuf];
    memset(resp, 0, sizeof resp);
    send_sms_error.store(0, std::memory_order_release);
    send_sms_mr.store(-1, std::memory_order_release);
    send_sms_status.store(2, std::memory_order_release);
    puts("====== Send SMS =======");
    char work[kWork];
    memset(work, 0, sizeof work);
    if (!gmSMS_SendMsg(send_sms, work, send_sms_srr.load(std::memory_order_relaxed) != 0)) {
        char shown[64];
        modem_printable(shown, sizeof shown, send_sms.phone, static_cast<int>(sizeof send_sms.phone));
        printf("send_sms: phone number \"%s\" is not a dial string, SMS not sent\n", shown);
        finish_send(4, SMS_ERR_BAD_NUMBER);
    } else {
        // The command with the octet count, up to and including its CR, then
        // the modem's prompt "> ".
        keep_link_for_more(fd, resp);
        char *cr = strchr(work, '\r');
        char count_cmd[32];
        size_t n = static_cast<size_t>(cr - work) + 1;
        memcpy(count_cmd, work, n);
        count_cmd[n] = '\0';
        modem_exchange_until(fd, count_cmd, resp, 100, kPromptTimeout, "> ");
        if (strstr(resp, "> ") == nullptr) {
            // Not sent: the modem may still be waiting for PDU text, and would
            // take the next commands for it. ESC cancels the input.
            uart_write(fd, "\x1B", 1);
            puts("send_sms: no prompt for the PDU, cancelled (ESC)\r");
            finish_send(4, send_error_of(resp));
        } else {
            // Read as it arrives: a quick confirmation ends the send at once, a
            // slow network is waited for as long as the setting says rather
            // than taken for a failure (the dispatcher would send it again).
            int timeout_s = modem_send_timeout_s();
            modem_exchange_until(fd, cr + 1, resp, 100, timeout_s * 1000, nullptr);
            memcpy(send_sms_result, resp, sizeof send_sms_result);
            send_sms_result[sizeof send_sms_result - 1] = '\0';
            int mr = -1;
            if (confirmed(resp, &mr)) {
                finish_send(3, 0, mr);
            } else if (modem_answer_final(resp, nullptr)) {
                finish_send(4, send_error_of(resp));
            } else {
                // The module still owes its answer: nothing else is sent until
                // it is back in step, and a confirmation that comes now still
                // counts, so the message is not sent twice.
                printf("send_sms: no confirmation within %d s: resynchronising\r\n", timeout_s);
                int late = -1;
                bool back = modem_resync(fd, kResyncTimeout, &late);
                if (!back) puts("send_sms: the modem does not answer AT\r");
                if (late >= 0) {
                    printf("send_sms: late confirmation +CMGS: %d\r\n", late);
                    finish_send(3, 0, late);
                } else {
                    finish_send(4, SMS_ERR_NO_CONFIRM);
                }
            }
        }
    }
    if (g_cmms_on) g_cmms_answer_us = sys_monotonic_us();
    is_send_sms.store(0, std::memory_order_release);
    puts("====== End SMS ======");
}

void sms_more_to_send_reset() {
    g_cmms_refused = false;
    g_cmms_on = false;
    g_cmms_answer_us = 0;
    send_sms_more.store(0);
}

int sms_read_answer(const char *answer, sms_message *out) {
    if (answer == nullptr || out == nullptr) return 0;
    const char *p = strstr(answer, "+CMGR: ");
    if (p == nullptr) p = strstr(answer, "+CMGRD: ");
    if (p == nullptr) return 0;
    const char *c1 = strchr(p, ',');
    if (c1 == nullptr) return 0;
    const char *c2 = strchr(c1 + 1, ',');
    if (c2 == nullptr) return 0;
    char field[kField];   // the PDU length: read, not needed
    if (!strcpyWithStr(field, kField, c2 + 1, "\r")) return 0;
    const char *nl = strstr(c2 + 1, "\r\n");
    if (nl == nullptr) return 0;

    // The PDU line alone, so the decoder never sees the lines after it.
    char pdu[kBuf];
    size_t n = strcspn(nl + 2, "\r\n");
    if (n >= sizeof pdu) n = sizeof pdu - 1;
    memcpy(pdu, nl + 2, n);
    pdu[n] = '\0';
    if (n == 0) return -1;

    pdu_fields f;
    memset(&f, 0, sizeof f);
    if (gsmDecodePdu(pdu, &f) < 0) return -1;

    sms_message m;
    memset(&m, 0, sizeof m);
    size_t pl = strnlen(f.tpa, sizeof f.tpa - 1);
    memcpy(m.phone, f.tpa, pl);
    // yy/MM/dd hh:mm:ss from the first twelve digits; the time zone is dropped.
    size_t sl = strnlen(f.tp_scts, sizeof f.tp_scts - 1);
    auto d = [&](size_t i) { return i < sl ? f.tp_scts[i] : '0'; };
    snprintf(m.time, sizeof m.time, "%c%c/%c%c/%c%c %c%c:%c%c:%c%c", d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7),
             d(8), d(9), d(10), d(11));
    int len = cap_length(f.tp_udl, kMaxText);
    memcpy(m.text, f.tp_ud, static_cast<size_t>(len));
    m.text[len] = 0;
    m.length = static_cast<uint8_t>(len);
    m.mode = f.tp_dcs;
    *out = m;
    return 1;
}

int gmSMS_getReadMsg(const char *answer, sms_message *out) { return sms_read_answer(answer, out) > 0 ? 1 : 0; }

// The receive sequence (modem_sms_recv_sequence) is in sms_rx.cpp.
