// Modem answers are untrusted: run supervisor passes with the scripted modem
// answering every command, in order, with bytes from the input. The first
// byte chooses the pass setup; the rest is split at 0xFF into answers (an
// exhausted input answers nothing). Published texts must stay terminated and
// the mailbox records within their fields; every named parser is run on each
// answer's lines.
//
// Byte 0: bit 0 first pass, bit 1 an SMS to send, bit 2 a call to make,
//         bit 3 verbose traces, bits 4-6 passes - 1, bit 7 delivery reports
//         on: the SMS asks for one, a sent one is awaited under its
//         reference, and the reports read from the storage go through the
//         matcher (its table bounded, the registers consistent).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alarm/delivery.h"
#include "modbus/regmap.h"
#include "modbus/slave.h"
#include "modem/at_parse.h"
#include "modem/sim7100.h"
#include "modem/sms_rx.h"
#include "tests/fakes/serial_fake.h"
#include "tests/fakes/sys_fake.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool terminated(const char *s, size_t size) { return strnlen(s, size) < size; }

void check_published() {
    char imei[16], gprmc[200];
    memset(imei, 0x7F, sizeof imei);
    memset(gprmc, 0x7F, sizeof gprmc);
    modem_get_imei(imei);
    modem_get_gprmc(gprmc);
    check(terminated(imei, sizeof imei));
    check(terminated(gprmc, sizeof gprmc));
    int32_t st = send_sms_status.load();
    check(st == 0 || st == 3 || st == 4);
    int32_t vs = send_voice_status.load();
    check(vs == 0 || vs == 3 || vs == 4);
    // A call reported delivered was connected and played; none is left up.
    if (vs == 3) check(send_voice_outcome.load() == CALL_PLAYED);
    if (vs == 4) check(send_voice_outcome.load() != CALL_PLAYED && send_voice_outcome.load() != CALL_NONE);
    check(modem_call_state.load() == 0);
    if (st == 3) check(send_sms_error.load() == 0);
    if (st == 4) check(send_sms_error.load() != 0);
    check(is_send_sms.load() == 0 && is_send_voice.load() == 0);
    check(terminated(send_sms_result, sizeof send_sms_result));
    int32_t mr = send_sms_mr.load();
    check(mr >= -1 && mr <= 255);
    if (st != 3) check(mr == -1);
    if (is_new_sms.load()) {
        check(terminated(recv_new_sms.phone, sizeof recv_new_sms.phone));
        check(terminated(recv_new_sms.time, sizeof recv_new_sms.time));
        check(recv_new_sms.length <= 160);
        check(recv_new_sms.text[recv_new_sms.length] == 0);
        sms_message out;
        check(sms_check_new_one(&out) == 1);
        check(terminated(out.phone, sizeof out.phone));
        sms_rx_release();   // the next pass removes it from the storage
    }
}

// Every named parser on every line of an answer: outputs within their ranges.
void check_parsers(const std::string &answer) {
    const char *c = answer.c_str();   // an embedded zero ends the text, as on the port
    at_line l;
    int lines = 0;
    while (at_next_line(&c, &l)) {
        check(l.len > 0 && l.p >= answer.c_str() && l.p + l.len <= answer.c_str() + answer.size());
        check(++lines <= static_cast<int>(answer.size()));
        int mr = -1, n = 0, stat = 0, rssi = 0, ber = 0, code = 0;
        if (at_parse_cmgs(l, &mr)) check(mr >= 0 && mr <= 255);
        at_error e{0, 0};
        if (at_parse_error(l, &e)) {
            check(e.kind >= AT_ERR_PLAIN && e.kind <= AT_ERR_CMS && e.code >= -1 && e.code <= 999999);
            int cls = at_cms_class(e.code);
            check(cls >= CMS_OTHER && cls <= CMS_TEMPORARY);
        }
        if (at_parse_creg(l, &n, &stat)) check(n >= -1 && n <= 999999 && stat >= 0 && stat <= 999999);
        if (at_parse_csq(l, &rssi, &ber)) check(rssi >= 0 && rssi <= 999999 && ber >= 0 && ber <= 999999);
        int k = at_call_notice(l, &code);
        check(k >= CN_NONE && k <= CN_DTMF && code >= -1 && code <= 999999);
        (void)at_line_whole(l);
    }
    at_error e;
    (void)at_find_error(answer.c_str(), &e);
}

// The reports the pass queued, through the matcher.
void check_reports() {
    sms_report r;
    int n = 0;
    while (sms_report_take(&r) == 1) {
        check(++n <= SMS_REPORT_QUEUE);
        check(r.mr >= 0 && r.mr <= 255 && r.st >= 0 && r.st <= 255);
        check(terminated(r.recipient, sizeof r.recipient));
        int o = delivery_report(r.mr, r.st, r.recipient);
        check(o >= -2 && o <= DLR_UNCONFIRMED);
    }
    delivery_pass();
    int w = delivery_waiting();
    check(w >= 0 && w <= DELIVERY_TABLE);
    if (delivery_reports_on()) check(hr_get(layout::HR_DLR_WAITING) == w);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The delivery-report setting is read from the register map.
    data_mapping = modbus_mapping_new(layout::COILS, layout::DISCRETE, layout::HOLDING, layout::INPUT);
    // The passes print a lot; keep the fuzzer's own output readable.
    if (std::getenv("FUZZ_MODEM_VERBOSE") == nullptr) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint8_t setup = data[0];
    std::vector<std::string> answers(1);
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0xFF)
            answers.emplace_back();
        else
            answers.back().push_back(static_cast<char>(data[i]));
    }

    for (const std::string &a : answers) check_parsers(a);

    fake_sys::reset();
    fake_serial::reset();
    modem_state_reset();
    memcpy(modem_pin_code, "1234", 5);
    is_do_first_time_cmd = (setup & 1) ? 0 : 1;
    isDebug = (setup & 8) ? 1 : 0;
    const bool reports = (setup & 0x80) != 0;
    hr_set(layout::HR_DLR_ON, reports ? 1 : 0);
    delivery_reset();
    size_t next = 0;
    fake_serial::answer_with("", [&](const std::string &) {
        return next < answers.size() ? answers[next++] : std::string();
    });

    int passes = 1 + ((setup >> 4) & 7);
    for (int p = 0; p < passes; p++) {
        if (setup & 2) {
            sms_message m{};
            strcpy(m.phone, p % 2 ? "+4912345678" : "0123456789");
            m.mode = 8;
            m.length = 4;
            memcpy(m.text, "\x4F\x60\x59\x7D", 4);
            check(sms_send_one(m, reports) == 1);
        }
        if (setup & 4) {
            voice_message v{};
            strcpy(v.phone, "0123456789");
            strcpy(v.wav_name, "DO5_ON.wav");
            check(voice_send_one(v) == 1);
        }
        get_modem_info();
        check(!fake_serial::is_open());
        if ((setup & 2) && reports && send_sms_status.load() == 3)
            delivery_sent(5, 0, p, send_sms.phone, send_sms_mr.load());
        check_published();
        check_reports();
    }
    isDebug = 0;
    fake_serial::reset();   // the responder refers to this call's answers
    return 0;
}
