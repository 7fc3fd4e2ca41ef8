#include "alarm/poll.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/delivery.h"
#include "alarm/rings.h"
#include "journal/journal.h"
#include "alarm/supervision.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "modem/sms_func.h"
#include "modem/sms_rx.h"
#include "storage/sdcard.h"
#include "sys/sys.h"

namespace {
using namespace layout;
constexpr int IR_SENDER = IR_RX_SENDER;
constexpr int SENDER_REGS = IR_RX_SENDER_N;   // at most 20 characters
constexpr int IR_CENTURY = IR_RX_CENTURY;
constexpr int IR_TIME = IR_RX_TIME;
constexpr int IR_CODING = IR_RX_CODING;
constexpr int IR_TEXT = IR_RX_TEXT;
constexpr int IR_RECV_END = IR_RX_LAST;
constexpr int IR_VOICE_PRESENT = IR_WAV_PRESENT;
constexpr int CARD_WRITE_TEST_CYCLES = 1200;

int card_cycle = 0;   // only the polling thread runs a cycle

// A message taken from the modem that waits for the master to clear the one
// it shows; the modem keeps it stored until it is published. Poll thread only.
sms_message g_pending{};
sms_rx_info g_pending_info{};
bool g_have_pending = false;

uint16_t pair(char hi, char lo) {
    return static_cast<uint16_t>((static_cast<uint8_t>(hi) << 8) | static_cast<uint8_t>(lo));
}

// First two characters of a field as an ASCII pair; an empty field gives 0.
uint16_t field_pair(std::string_view f) {
    if (f.empty()) return 0;
    return pair(f[0], f.size() > 1 ? f[1] : 0);
}

// Splits s at sep into at most three fields; a missing field stays empty.
void split3(std::string_view s, char sep, std::string_view out[3]) {
    for (int i = 0; i < 3; i++) out[i] = {};
    for (int i = 0; i < 3; i++) {
        size_t p = s.find(sep);
        if (i == 2 || p == std::string_view::npos) {
            out[i] = s;
            return;
        }
        out[i] = s.substr(0, p);
        s.remove_prefix(p + 1);
    }
}

void publish_time(const char *time_text) {
    std::string_view t(time_text);
    size_t sp = t.find(' ');
    std::string_view date = t.substr(0, sp);
    std::string_view clock = sp == std::string_view::npos ? std::string_view{} : t.substr(sp + 1);
    printf("time_string = %.*s\r\n", static_cast<int>(date.size()), date.data());
    if (sp != std::string_view::npos) printf("time_string = %.*s\r\n", static_cast<int>(clock.size()), clock.data());

    ir_set(IR_CENTURY, RX_CENTURY);
    std::string_view f[3];
    // A field the text lacks leaves its register at 0 (cleared on acceptance).
    split3(date, '/', f);
    for (int i = 0; i < 3; i++) ir_set(IR_TIME + i, field_pair(f[i]));
    split3(clock, ':', f);
    for (int i = 0; i < 3; i++) ir_set(IR_TIME + 3 + i, field_pair(f[i]));
}

void report_status(int reg, int slot, std::atomic<int32_t> *record_status) {
    int st = sms_event_status(slot);
    if (st < STATUS_QUEUED || st > STATUS_FAILED) return;
    uint16_t v = static_cast<uint16_t>(st * STATUS_SCALE);
    if (ir_get(reg) != v) ir_set(reg, v);
    if (record_status) record_status->store(st);
}

bool card_test() {
    if (if_sd_card.load() != 1) return false;
    std::string card = sys_path("/media/card");
    if (card_cycle > CARD_WRITE_TEST_CYCLES) {
        std::string dir = card + "/vantor-test-sd";
        sys_system(("mkdir " + dir).c_str());
        sys_usleep(10000);
        sys_system(("rm -r " + dir).c_str());
        card_cycle = 0;
    }
    card_cycle++;

    SysPipe *p = sys_popen(("df -h " + card).c_str());
    if (p == nullptr) {
        puts("popen() error!");
        return false;
    }
    bool ok = false;
    // Long enough for a whole df line even under a long board root, so the
    // mount path is never cut between two reads.
    char line[512];
    while (sys_pipe_gets(p, line, sizeof line))
        if (std::strstr(line, card.c_str()) != nullptr) ok = true;
    sys_pclose(p);
    return ok;
}

}  // namespace

void publish_received_sms(const sms_message &in, uint16_t flags) {
    // The record comes from the modem: terminate every text before reading it.
    sms_message msg = in;
    msg.phone[sizeof msg.phone - 1] = 0;
    msg.time[sizeof msg.time - 1] = 0;
    int len = msg.length > 160 ? 160 : msg.length;

    for (int r = IR_SENDER; r <= IR_RECV_END; r++) ir_set(r, 0);
    puts("RecieveSMSFilter ok \r");

    // Registers 30..39 hold at most 20 characters: a longer sender is cut
    // rather than run into the time stamp.
    int plen = static_cast<int>(strnlen(msg.phone, 2 * SENDER_REGS));
    for (int i = 0; i < plen; i += 2) ir_set(IR_SENDER + i / 2, pair(msg.phone[i], i + 1 < plen ? msg.phone[i + 1] : 0));

    printf("receive time = %s\r\n", msg.time);
    publish_time(msg.time);
    ir_set(IR_RX_FLAGS, flags);

    if (msg.mode == 0)
        ir_set(IR_CODING, 0);
    else if (msg.mode == 8)
        ir_set(IR_CODING, 1);

    printf("recv_sms_msg = %x\r\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(in.text)));
    for (int i = 0; i < len; i += 2) {
        uint8_t lo = msg.text[i];
        uint8_t hi = i + 1 < len ? msg.text[i + 1] : 0;
        ir_set(IR_TEXT + i / 2, static_cast<uint16_t>((hi << 8) | lo));
    }
    // Raised once the whole message is in place: the master reads it, then
    // acknowledges with coil 199.
    di_set(DI_RX_SMS, 1);
}

void publish_received_sms(const sms_message &in) { publish_received_sms(in, 0); }

int ifRecieveSMSFilterPhones(const char *sender) {
    if (sender == nullptr) return 0;
    // Numbers compare without their international '+' on either side.
    if (sender[0] == '+') sender++;
    int result = 0;
    // Every configured number is visited, whatever the alarms' masks say.
    for (int g = 0; g < 16; g++) {
        for (int n = 0; n < 16; n++) {
            char num[PHONE_SLOT_LEN + 1];
            int cnt = regmap_phone(phone_reg(g, n), num);
            if (num[0] == 0) continue;
            const char *cmp = num;
            if (cmp[0] == '+') {
                cmp++;
                cnt--;
                if (cmp[0] == 0) continue;
            }
            // The counted bytes include a zero low byte: an odd-length number
            // compares its terminator too and matches only exactly; an even
            // one matches as a prefix.
            if (std::strncmp(cmp, sender, static_cast<size_t>(cnt)) == 0) result = 1;
        }
    }
    return result;
}

namespace {
// The journal line of a received message: sender, time and text (UTF-8).
void journal_received(int outcome, const sms_message &m, const uint16_t *u, int n) {
    char text[512];
    int j = snprintf(text, sizeof text, "%s %s ", m.phone, m.time);
    for (int i = 0; i < n && j < static_cast<int>(sizeof text) - 5; i++) {
        uint32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            text[j++] = static_cast<char>(c);
        } else if (c < 0x800) {
            text[j++] = static_cast<char>(0xC0 | c >> 6);
            text[j++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text[j++] = static_cast<char>(0xE0 | c >> 12);
            text[j++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text[j++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text[j++] = static_cast<char>(0xF0 | c >> 18);
            text[j++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text[j++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text[j++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    text[j] = 0;
    journal_event(JK_SMS_RECEIVED, -1, outcome, m.mode, text);
}
}  // namespace

void take_received_sms() {
    if (!g_have_pending) {
        sms_message msg{};
        sms_rx_info info{};
        if (sms_check_new_one_info(&msg, &info) != 1) return;
        puts("\r");
        puts("Get a new SMS!!\r");
        puts("\r");
        msg.phone[sizeof msg.phone - 1] = 0;
        msg.time[sizeof msg.time - 1] = 0;
        if (msg.length > 160) msg.length = 160;
        msg.text[msg.length] = 0;
        uint16_t u[160];
        int n = pdu_text_utf16(msg.text, msg.length, msg.mode, u, 160);
        // A reply that acknowledges an alarm is consumed, not shown.
        if (ack_consume_reply(msg.phone, u, n)) {
            puts("The SMS acknowledges an alarm: consumed\r");
            journal_received(JRX_CONSUMED, msg, u, n);
            sms_rx_release();
            return;
        }
        // A name never matches: the filter compares numbers.
        if (hr_get(HR_SENDER_FILTER) != 0 && (info.sender_alnum || ifRecieveSMSFilterPhones(msg.phone) != 1)) {
            puts("The sender's phone number is not in the settings !! \r");
            journal_received(JRX_FILTERED, msg, u, n);
            sms_rx_release();
            return;
        }
        g_pending = msg;
        g_pending_info = info;
        g_have_pending = true;
    }
    // A published message stays until the master clears it with coil 199.
    if (di_get(DI_RX_SMS) != 0) return;
    publish_received_sms(g_pending, g_pending_info.flags);
    printSMS(g_pending);
    uint16_t u[160];
    int n = pdu_text_utf16(g_pending.text, g_pending.length, g_pending.mode, u, 160);
    journal_received(JRX_PUBLISHED, g_pending, u, n);
    g_have_pending = false;
    sms_rx_release();
}

void mb_slave_poll_pass() {
    // A full queue stays visible until published once, and while changes wait.
    int full = if_send_sms_buffer_full.exchange(0);
    di_set(DI_QUEUE_FULL, full == 1 || alarms_waiting.load() > 0 ? 1 : 0);
    for (int k = 0; k < 16; k++) report_status(k, sms_buffer_status[k].slot.load(), &sms_buffer_status[k].status);
    report_status(IR_DYNAMIC_STATUS, sms_dynamic_buffer_id.load(), nullptr);

    take_received_sms();

    if (card_test()) {
        di_set(DI_SD_CARD, 1);
    } else {
        di_set(DI_SD_CARD, 0);
        for (int r = 0; r < IR_WAV_N; r++) ir_set(IR_VOICE_PRESENT + r, 0);
    }

    int32_t creg = modem_creg.load();
    ir_set(IR_CREG, static_cast<uint16_t>(creg & 0xFFFF));
    ir_set(IR_CSQ, (creg == 1 || creg == 5) ? static_cast<uint16_t>(modem_csq.load() & 0xFFFF) : 0);
    ir_set(IR_NET_TYPE, static_cast<uint16_t>(modem_net_type.load() & 0xFFFF));
    journal_publish();   // discrete input 4 and input register 26

    // After the card test and the modem figures: the heartbeat reports them.
    supervision_pass();
    delivery_pass();
}

void mb_slave_poll_reset() {
    card_cycle = 0;
    g_have_pending = false;
}

void *thread_mb_slave_poll(void *) {
    for (;;) {
        mb_slave_poll_pass();
        sys_sleep(3);
    }
    return nullptr;
}
