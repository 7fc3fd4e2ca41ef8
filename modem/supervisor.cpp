// The modem supervisor: one pass opens the AT port, asks for the modem's state,
// publishes it, serves the three mailboxes and closes the port again.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "modbus/regmap.h"
#include "modem/at_parse.h"
#include "modem/serial.h"
#include "modem/sim7100.h"
#include "journal/journal.h"
#include "sys/sys.h"

std::atomic<int32_t> modem_cpin_status{0};
std::atomic<int32_t> modem_creg{0};
std::atomic<int32_t> modem_csq{0};
std::atomic<int32_t> modem_net_type{0};
std::atomic<int32_t> gps_flag{0};
std::atomic<float> gps_lat{0.0f};
std::atomic<float> gps_log{0.0f};
int32_t is_input_pin = 0;
int32_t modem_count4reset = 0;
int32_t is_do_first_time_cmd = 0;
int32_t isDebug = 0;
std::atomic<int32_t> modem_call_state{0};
std::atomic<uint32_t> modem_progress{0};

namespace {
constexpr int kBuf = 1024;        // command and answer buffers
constexpr int kField = 20;        // one value cut out of an answer
constexpr int kGpsItems = 9;
constexpr int kImei = 16;
constexpr int kGprmc = 200;
constexpr int kStep = 20;           // ms between reads while an answer is collected
constexpr int kAnswerTimeout = 2000; // ms an ordinary command may take to answer
constexpr const char *kNoFix = "$GPRMC,,V,,,,,,,,,W*70";

// Settings to be made once the SIM is ready (start, radio restart).
// Modem thread only.
bool g_settings_due = false;
// The <ds> of the last AT+CNMI the module took (-1 none yet): stored status
// reports announced (2) or not (0), as the delivery-report setting asks.
int g_cnmi_ds = -1;

// Status reports are kept in the storage and announced (+CDSI), not handed
// over as "+CDS:" lines: the port is closed between passes, and what the
// module says then is lost; the storage is read every pass anyway.
int wanted_cnmi_ds() { return hr_get(layout::HR_DLR_ON) != 0 ? 2 : 0; }
// When the last whole status round ended (modem thread only).
bool g_status_valid = false;
uint64_t g_status_at_us = 0;

// The texts other threads read are swapped in whole under this lock.
std::mutex g_text_mu;
char g_imei[kImei];
char g_gprmc[kGprmc];

void publish_text(char *dst, int cap, const char *src) {
    size_t n = strnlen(src, static_cast<size_t>(cap - 1));
    std::lock_guard<std::mutex> l(g_text_mu);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Cuts the text between from and the first delim into a 20-byte field: 1, or
// 0 when delim is absent.
int cut_field(char field[kField], const char *from, const char *delim) {
    return strcpyWithStr(field, kField, from, delim);
}

void parse_imei(const char *resp) {
    const char *p = strstr(resp, "+SIMEI: ");
    if (p == nullptr) return;
    char imei[kImei];
    if (!strcpyWithStr(imei, kImei, p + 8, "\r")) return;
    publish_text(g_imei, kImei, imei);
    if (isDebug) printf("modem_imei=%s\n", imei);
}

void parse_creg(const char *resp) {
    // The answer "+CREG: <n>,<stat>", not an unsolicited "+CREG: <stat>".
    const char *c = resp;
    at_line l;
    int n = 0, stat = 0;
    while (at_next_line(&c, &l)) {
        if (at_line_whole(l) && at_parse_creg(l, &n, &stat) && n >= 0) {
            int was = modem_creg.exchange(stat, std::memory_order_relaxed);
            bool up = stat == 1 || stat == 5;
            if ((was == 1 || was == 5) != up) {
                journal_event(JK_MODEM, -1, up ? JMODEM_REG_BACK : JMODEM_REG_LOST, stat, nullptr);
                if (up) sys_wake();   // a dispatcher may be waiting for the network
            }
            if (isDebug) printf("modem_creg=%d\n", stat);
            return;
        }
    }
}

void parse_csq(const char *resp) {
    const char *c = resp;
    at_line l;
    int rssi = 0, ber = 0;
    while (at_next_line(&c, &l)) {
        if (at_parse_csq(l, &rssi, &ber)) {
            modem_csq.store(rssi, std::memory_order_relaxed);
            if (isDebug) printf("modem_csq=%d\n", rssi);
            return;
        }
    }
}

void parse_cnsmod(const char *resp) {
    const char *p = strstr(resp, "+CNSMOD:");
    if (p == nullptr) return;
    const char *c = strchr(p, ',');
    if (c == nullptr) return;
    char field[kField];
    if (!cut_field(field, c + 1, "\r")) return;
    modem_net_type.store(modem_field_value(field), std::memory_order_relaxed);
    if (isDebug) printf("modem_net_type=%d\n", modem_net_type.load(std::memory_order_relaxed));
}

// ddmm.mmmm or dddmm.mmmm to decimal degrees, in single precision.
float nmea_degrees(const char *text) {
    double dv = strtod(text, nullptr);
    // Garbage from the modem must not overflow the single-precision steps.
    if (!std::isfinite(dv)) return 0.0f;
    if (dv > 1e9) dv = 1e9;
    if (dv < -1e9) dv = -1e9;
    float v = static_cast<float>(dv);
    float d = std::trunc(v / 100.0f);
    return d + (v - d * 100.0f) / 60.0f;
}

void parse_gps(const char *resp) {
    const char *p = strstr(resp, "+CGPSINFO: ");
    if (p == nullptr) return;
    p += 11;
    char item[kGpsItems][kField];
    memset(item, 0, sizeof item);
    bool all = true;
    for (int i = 0; i < 8; i++) {
        if (!cut_field(item[i], p, ",")) {
            all = false;
            break;
        }
        p = strchr(p, ',') + 1;
    }
    if (all) cut_field(item[8], p, "\r");
    if (isDebug)
        for (int i = 0; i < kGpsItems; i++) printf("gps_item[%d]: %s\n", i, item[i]);

    if (item[0][0] == '\0') {
        publish_text(g_gprmc, kGprmc, kNoFix);
        gps_lat.store(0.0f, std::memory_order_relaxed);
        gps_log.store(0.0f, std::memory_order_relaxed);
        gps_flag.store(0, std::memory_order_relaxed);
        if (isDebug) printf("--> %s\n", kNoFix);
        return;
    }
    // Nine fields of at most 19 characters always fit; the fixed "70" is not
    // a computed checksum.
    char sentence[256];
    snprintf(sentence, sizeof sentence, "$GPRMC,%s,A,%s,%s,%s,%s,%s,%s,%s,,%s*70", item[5], item[0], item[1],
             item[2], item[3], item[7], item[8], item[4], item[3]);
    publish_text(g_gprmc, kGprmc, sentence);
    gps_flag.store(1, std::memory_order_relaxed);
    float lat = nmea_degrees(item[0]);
    float lon = nmea_degrees(item[2]);
    if (item[1][0] == 'S') lat = -lat;
    if (item[3][0] == 'W') lon = -lon;
    gps_lat.store(lat, std::memory_order_relaxed);
    gps_log.store(lon, std::memory_order_relaxed);
    if (isDebug) printf("--> %s\n", sentence);
}

// The PIN handed over by the register map's owner (modem_set_pin).
std::mutex g_pin_mu;
char g_pin[5];

// Hex digits of the PIN, a zero byte ends it early. Only those characters
// reach the modem.
void send_pin(int fd, char *cmd, char *resp) {
    char code[5];
    {
        std::lock_guard<std::mutex> l(g_pin_mu);   // a recovery may be handing over a new one
        memcpy(code, g_pin, sizeof code);
    }
    char pin[5];
    int n = 0;
    for (int i = 0; i < 4; i++) {
        char c = code[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) break;
        pin[n++] = c;
    }
    pin[n] = '\0';
    snprintf(cmd, kBuf, "AT+CPIN=%s\r\n", pin);
    journal_event(JK_MODEM, -1, JMODEM_PIN_SENT, 0, nullptr);
    modem_exchange(fd, cmd, resp, 3000);
}

// Radio off and on again; both exchanges are always traced.
void restart_radio(int fd, char *resp) {
    const char *off = "AT+CFUN=0\r\n";
    journal_event(JK_MODEM, -1, JMODEM_RADIO_RESTART, 0, nullptr);
    printf("send: %s\n", off);
    uart_write_read(fd, off, static_cast<int>(strlen(off)), resp, 500);
    printf("recv:\n%s\n", resp);
    sys_sleep(2);
    const char *on = "AT+CFUN=1\r\n";
    printf("send: %s\n", on);
    uart_write_read(fd, on, static_cast<int>(strlen(on)), resp, 2000);
    printf("recv:\n%s\n", resp);
    // A restarted module may have lost what was set: numeric errors at once,
    // the SMS settings once its SIM is ready again.
    modem_exchange(fd, "AT+CMEE=1\r\n", resp, 100);
    g_settings_due = true;
}

// "+CME ERROR: 14" or "+CME ERROR: SIM busy": the SIM is still starting.
bool sim_busy(const char *resp) {
    at_error e;
    return strstr(resp, "SIM busy") != nullptr ||
           (at_find_error(resp, &e) && ((e.kind == AT_ERR_CME && e.code == 14) || (e.kind == AT_ERR_CMS && e.code == 314)));
}

void check_sim(int fd, char *cmd, char *resp) {
    modem_exchange(fd, "AT+CPIN?\r\n", resp, 100);
    if (strstr(resp, "+CPIN: READY") != nullptr) {
        modem_cpin_status.store(0, std::memory_order_relaxed);
        is_input_pin = 0;
        modem_count4reset = 0;   // the count is of failures in a row
        puts("\r\nis_input_pin_OK = 0\r");
    } else if (sim_busy(resp)) {
        // The SIM is still starting (after a radio restart or a PIN): asked
        // again next pass, neither a failure nor a reason for another PIN.
        if (isDebug) puts("SIM busy, waited out");
    } else if (strstr(resp, "+CPIN: SIM PIN") != nullptr) {
        modem_cpin_status.store(1, std::memory_order_relaxed);
        modem_count4reset = 0;
        // A wrong PIN is tried at most twice, so the SIM never locks itself.
        if (is_input_pin < INT32_MAX) is_input_pin++;
        if (is_input_pin == 1 || is_input_pin == 2) send_pin(fd, cmd, resp);
    } else {
        modem_cpin_status.store(2, std::memory_order_relaxed);
        modem_count4reset++;
        if (isDebug) printf("modem_count4reset=%d\n", modem_count4reset);
        if (modem_count4reset > 4) {
            modem_count4reset = 0;
            restart_radio(fd, resp);
        }
    }
    if (isDebug) printf("modem_cpin_status=%d\n", modem_cpin_status.load(std::memory_order_relaxed));
}

void first_pass_commands(int fd, char *resp) {
    // Echo off; the answers are read the same way when a modem reset turns it on again.
    modem_exchange(fd, "ATE0\r\n", resp, 100);
    // Numeric error codes whatever the module was left with: they are what
    // the parsers and the journal carry.
    modem_exchange(fd, "AT+CMEE=1\r\n", resp, 100);
    g_settings_due = true;
    modem_exchange(fd, "ATI\r\n", resp, 100);
    modem_exchange(fd, "AT+GMM\r\n", resp, 100);
    modem_exchange(fd, "AT+SIMEI?\r\n", resp, 100);
    parse_imei(resp);
    modem_exchange(fd, "AT+CGPS?\r\n", resp, 100);
    modem_exchange(fd, "AT+CGPS=1\r\n", resp, 100);
    // No bulk delete of read messages: reading marks a message read before it
    // is published, so a restart in between would lose it. The receive path
    // removes each message by its index once it is published or recorded.
}
}  // namespace

bool modem_settings_due() { return g_settings_due; }

bool modem_apply_settings(int fd) {
    // PDU mode, the SIM as the storage the receive path reads, and new
    // messages stored there with an indication (+CMTI).
    // With delivery reports on, status reports are stored there too (+CDSI).
    int ds = wanted_cnmi_ds();
    const char *const kSettings[] = {"AT+CMGF=0\r\n", "AT+CPMS=\"SM\",\"SM\",\"SM\"\r\n",
                                     ds == 2 ? "AT+CNMI=2,1,0,2,0\r\n" : "AT+CNMI=2,1,0,0,0\r\n"};
    char resp[kBuf];
    bool all = true;
    for (const char *cmd : kSettings) {
        modem_exchange(fd, cmd, resp, 100);
        const char *c = resp;
        at_line l;
        bool ok = false;
        while (at_next_line(&c, &l))
            if (l.len == 2 && memcmp(l.p, "OK", 2) == 0) ok = true;
        if (!ok) {
            char shown[80];
            modem_printable(shown, sizeof shown, cmd, static_cast<int>(strlen(cmd)) - 2);
            printf("modem setting %s not taken: tried again next pass\n", shown);
            all = false;
        } else if (cmd == kSettings[2]) {
            g_cnmi_ds = ds;
        }
    }
    g_settings_due = !all;
    return all;
}

bool modem_resync(int fd, int timeout_ms, int *late_mr) {
    if (late_mr) *late_mr = -1;
    char resp[kBuf];
    memset(resp, 0, sizeof resp);
    int n = 0;
    // Drain: whatever the module still has to say about the last command.
    for (int waited = 0; waited < timeout_ms && !modem_answer_final(resp, nullptr) && n < kBuf - 1;
         waited += kStep) {
        int r = uart_read(fd, resp + n, kBuf - 1 - n);
        if (r > 0) n += r;
        modem_progress.fetch_add(1, std::memory_order_relaxed);
        sys_usleep(static_cast<uint64_t>(kStep) * 1000u);
    }
    const char *c = resp;
    at_line l;
    int mr = -1;
    while (at_next_line(&c, &l))
        if (at_parse_cmgs(l, &mr) && late_mr) *late_mr = mr;
    // Then plain "AT" until the module answers OK to it.
    for (int i = 0; i < 5; i++) {
        modem_exchange(fd, "AT\r\n", resp, 100);
        c = resp;
        bool ok = false;
        while (at_next_line(&c, &l)) {
            if (at_parse_cmgs(l, &mr) && late_mr) *late_mr = mr;
            if (l.len == 2 && memcmp(l.p, "OK", 2) == 0) ok = true;
        }
        if (ok) return true;
    }
    return false;
}

int modem_send_timeout_s() {
    int v = hr_get(layout::HR_MODEM_SEND_TIMEOUT);
    if (v == 0) return layout::MODEM_SEND_TIMEOUT_DEFAULT;
    return std::clamp(v, layout::MODEM_SEND_TIMEOUT_MIN, layout::MODEM_SEND_TIMEOUT_MAX);
}

std::string modem_play_dir() {
    char dir[2 * layout::HR_MODEM_PLAY_DIR_N + 2];
    int n = 0;
    bool ok = true;
    for (int i = 0; ok && i < layout::HR_MODEM_PLAY_DIR_N; i++) {
        uint16_t v = hr_get(layout::HR_MODEM_PLAY_DIR + i);
        for (char ch : {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}) {
            if (ch == 0) continue;
            ok = layout::play_dir_char_ok(ch);
            if (!ok) {
                printf("modem play directory setting holds 0x%02X: the default is used\n",
                       static_cast<unsigned char>(ch));
                break;
            }
            dir[n++] = ch;
        }
    }
    if (!ok || n == 0) return sys_path("/var/zrb_318_voice/");
    if (dir[n - 1] != '/' && dir[n - 1] != '\\') dir[n++] = '/';
    dir[n] = '\0';
    return dir;
}

void modem_set_pin(const char pin[5]) {
    std::lock_guard<std::mutex> l(g_pin_mu);
    memcpy(g_pin, pin, sizeof g_pin);
}

void modem_get_imei(char out[16]) {
    std::lock_guard<std::mutex> l(g_text_mu);
    memcpy(out, g_imei, kImei);
    out[kImei - 1] = '\0';
}

void modem_get_gprmc(char out[200]) {
    std::lock_guard<std::mutex> l(g_text_mu);
    memcpy(out, g_gprmc, kGprmc);
    out[kGprmc - 1] = '\0';
}

int32_t modem_field_value(const char *field) {
    char *end = nullptr;
    long v = strtol(field, &end, 10);
    if (end == field) return 0;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

void modem_printable(char *dst, int cap, const char *src, int src_cap) {
    if (dst == nullptr || cap < 1) return;
    int n = 0;
    for (int i = 0; src != nullptr && i < src_cap && src[i] != '\0' && n < cap - 1; i++)
        dst[n++] = (src[i] >= 0x20 && src[i] < 0x7F) ? src[i] : '?';
    dst[n] = '\0';
}

bool modem_answer_final(const char *resp, const char *also) {
    if (resp == nullptr) return false;
    if (also != nullptr && strstr(resp, also) != nullptr) return true;
    // Final result codes stand on a line of their own; echo, URCs and the
    // lines of the answer before them are not final.
    const char *p = resp;
    while (*p != '\0') {
        size_t n = strcspn(p, "\r\n");
        if ((n == 2 && strncmp(p, "OK", 2) == 0) || (n == 5 && strncmp(p, "ERROR", 5) == 0) ||
            strncmp(p, "+CME ERROR", 10) == 0 || strncmp(p, "+CMS ERROR", 10) == 0 ||
            (n == 10 && strncmp(p, "NO CARRIER", 10) == 0)) {
            // A line still being received is not a whole code yet.
            if (p[n] != '\0') return true;
        }
        p += n;
        while (*p == '\r' || *p == '\n') p++;
    }
    return false;
}

int modem_exchange_until(int fd, const char *cmd, char *resp, int wait_ms, int timeout_ms, const char *also) {
    // Whatever arrived before the command (late answers, unsolicited codes)
    // must not be taken for its answer.
    char stale[kBuf];
    int s = uart_read(fd, stale, kBuf - 1);
    if (s > 0 && isDebug) {
        stale[s] = '\0';
        printf("unsolicited:\n%s\n", stale);
    }
    if (isDebug) printf("send: %s\n", cmd);
    int n = uart_write_read(fd, cmd, static_cast<int>(strlen(cmd)), resp, wait_ms);
    if (n < 0) n = 0;
    // The answer is collected as it arrives, in whatever pieces, until a
    // final result code or the time-out.
    int waited = wait_ms > 0 ? wait_ms : 0;
    while (!modem_answer_final(resp, also) && waited < timeout_ms && n < kBuf - 1) {
        sys_usleep(static_cast<uint64_t>(kStep) * 1000u);
        waited += kStep;
        modem_progress.fetch_add(1, std::memory_order_relaxed);
        int r = uart_read(fd, resp + n, kBuf - 1 - n);
        if (r > 0) n += r;
    }
    if (isDebug) printf("recv:\n%s\n", resp);
    return n;
}

int modem_exchange(int fd, const char *cmd, char *resp, int wait_ms) {
    return modem_exchange_until(fd, cmd, resp, wait_ms, wait_ms > kAnswerTimeout ? wait_ms : kAnswerTimeout, nullptr);
}

int modem_check_phone(const char *phone, int cap, char digits[21], bool *international) {
    if (phone == nullptr || cap <= 0) return 0;
    int i = 0;
    bool plus = false;
    if (phone[0] == '+') {
        plus = true;
        i = 1;
    }
    int n = 0;
    for (; i < cap && phone[i] != '\0'; i++) {
        if (phone[i] < '0' || phone[i] > '9' || n >= 20) return 0;
        digits[n++] = phone[i];
    }
    // Unterminated within its field, or no digit at all.
    if (i >= cap || n == 0) return 0;
    digits[n] = '\0';
    if (international) *international = plus;
    return 1;
}

int get_modem_info() {
    std::string port = sys_path("/dev/smd8");
    int fd = uart_open(port.c_str(), 115200, 8, 'N', 1);
    if (fd < 0) {
        puts("open com_at fails");
        return -1;
    }
    char cmd[kBuf];
    char resp[kBuf];
    memset(resp, 0, sizeof resp);

    if (is_do_first_time_cmd == 0) {
        first_pass_commands(fd, resp);
        is_do_first_time_cmd = 1;
    }
    // A message waiting in a mailbox goes out before the status queries while
    // their last answers are fresh: the round stops at the first query that
    // finds one waiting, and runs whole again once the answers are stale.
    bool full = true;
    auto go_on = [&full] {
        if (full && modem_mailbox_waiting() && modem_status_fresh()) full = false;
        return full;
    };
    // The delivery-report setting changed since the module took AT+CNMI.
    if (g_cnmi_ds >= 0 && g_cnmi_ds != wanted_cnmi_ds()) g_settings_due = true;
    if (go_on()) {
        check_sim(fd, cmd, resp);
        if (g_settings_due && modem_cpin_status.load(std::memory_order_relaxed) == 0 && is_input_pin == 0 &&
            modem_count4reset == 0 && strstr(resp, "+CPIN: READY") != nullptr)
            modem_apply_settings(fd);
    }
    if (go_on()) {
        modem_exchange(fd, "AT+CREG?\r\n", resp, 100);
        parse_creg(resp);
    }
    if (go_on()) {
        modem_exchange(fd, "AT+CSQ\r\n", resp, 100);
        parse_csq(resp);
    }
    if (go_on()) {
        modem_exchange(fd, "AT+CNSMOD?\r\n", resp, 100);
        parse_cnsmod(resp);
    }
    if (go_on()) {
        modem_exchange(fd, "AT+CGPSINFO\r\n", resp, 100);
        parse_gps(resp);
    }
    if (full) {
        g_status_at_us = sys_monotonic_us();
        g_status_valid = true;
    }

    if (is_send_sms.load(std::memory_order_acquire) != 0) modem_sms_send_sequence(fd);
    // The storage is checked with the status round.
    if (full && is_new_sms.load(std::memory_order_acquire) == 0) modem_sms_recv_sequence(fd);
    if (is_send_voice.load(std::memory_order_acquire) != 0) modem_voice_call_sequence(fd);

    uart_close(fd);
    return 0;
}

void *thread_modem(void *) {
    for (;;) {
        // A port that cannot be opened is tried again after a whole second,
        // whatever waits in the mailboxes.
        if (get_modem_info() < 0)
            sys_sleep(1);
        else
            modem_pause();
    }
    return nullptr;
}

void modem_pause() {
    // A second between passes, cut short by a message offered to a mailbox.
    uint64_t start = sys_monotonic_us();
    for (;;) {
        uint64_t seq = sys_wake_seq();
        if (modem_mailbox_waiting()) return;
        uint64_t waited = sys_monotonic_us() - start;
        if (waited >= 1000000u) return;
        sys_wait(seq, 1000000u - waited);
    }
}

bool modem_mailbox_waiting() {
    return is_send_sms.load(std::memory_order_acquire) != 0 || is_send_voice.load(std::memory_order_acquire) != 0;
}

bool modem_status_fresh() {
    return g_status_valid && sys_monotonic_us() - g_status_at_us < MODEM_STATUS_FRESH_US;
}

void modem_state_reset() {
    modem_cpin_status = 0;
    modem_creg = 0;
    modem_csq = 0;
    modem_net_type = 0;
    gps_flag = 0;
    gps_lat = 0.0f;
    gps_log = 0.0f;
    is_input_pin = 0;
    modem_count4reset = 0;
    is_do_first_time_cmd = 0;
    g_settings_due = false;
    g_cnmi_ds = -1;
    g_status_valid = false;
    g_status_at_us = 0;
    modem_call_state = 0;
    {
        std::lock_guard<std::mutex> l(g_text_mu);
        memset(g_imei, 0, sizeof g_imei);
        memset(g_gprmc, 0, sizeof g_gprmc);
    }
    memset(&send_sms, 0, sizeof send_sms);
    is_send_sms = 0;
    send_sms_status = 0;
    memset(send_sms_result, 0, sizeof send_sms_result);
    memset(&recv_new_sms, 0, sizeof recv_new_sms);
    is_new_sms = 0;
    memset(&send_voice, 0, sizeof send_voice);
    is_send_voice = 0;
    send_voice_status = 0;
    send_sms_error = 0;
    send_sms_srr = 0;
    send_sms_mr = -1;
    send_voice_outcome = 0;
    send_voice_error = -1;
    sms_forget_delivered();
    sms_more_to_send_reset();
}
