#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "alarm/composer.h"
#include "alarm/rings.h"
#include "modbus/regmap.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"
#include "tests/unit/test_files.h"

namespace {
using test_map::enable;
using test_map::set_phone;
using test_map::set_text;

std::string slot_str(const char *slot) { return std::string(slot, strnlen(slot, PHONE_SLOT_LEN)); }

void write_wav(const std::string &path, uint16_t channels, uint32_t rate, uint16_t bits) {
    test_files::WavShape w;
    w.channels = channels;
    w.rate = rate;
    w.bits = bits;
    test_files::put(path, test_files::wav_bytes(w));
}

class Composer : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        map_ = std::make_unique<test_map::Scope>("composer");
        ASSERT_TRUE(map_->ok());
        root_ = map_->root().string();
        event_rings_reset();
        edge_trigger_reset();
        if_sd_card = 0;
    }
    void TearDown() override { map_.reset(); }
    std::string card_voice_dir() {
        std::string d = root_ + "/media";
        mkdir(d.c_str(), 0755);
        d += "/card";
        mkdir(d.c_str(), 0755);
        d += "/voice";
        mkdir(d.c_str(), 0755);
        return d;
    }
    std::unique_ptr<test_map::Scope> map_;
    std::string root_;
};

TEST_F(Composer, AlarmAboveRangeIsRefused) {
    hr_set(128, 0xFFFF);
    for (int a = 0; a < 16; a++) hr_set(a, 1);
    set_phone(0, 0, "0123456789");
    EXPECT_EQ(modbus_do_fixed_sms(128, 0xFF00), -1);
    EXPECT_EQ(modbus_do_fixed_sms(0xFFFF, 0xFF00), -1);
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_EQ(modbus_do_fixed_sms(127, 0xFF00), 0);
}

TEST_F(Composer, PhonesInGroupOrderWithDuplicates) {
    enable(5, true, false);
    hr_set(5, 0x0103);   // groups 0, 1 and 8
    set_phone(0, 0, "111");
    set_phone(0, 2, "222");
    set_phone(1, 15, "333");
    set_phone(2, 0, "999");     // group 2 not selected
    set_phone(8, 4, "111");     // the same number again, in group 8 (after the gap)
    set_phone(15, 15, "888");   // not selected
    ASSERT_EQ(phone_reg(8, 0), 32058);
    ASSERT_EQ(modbus_do_fixed_sms(5, 0xFF00), 0);
    ASSERT_EQ(sms_event_is_n(), 1);
    const sms_event &e = sms_evt[0];
    ASSERT_EQ(e.phone_count, 4);
    EXPECT_EQ(slot_str(e.phones[0]), "111");
    EXPECT_EQ(slot_str(e.phones[1]), "222");
    EXPECT_EQ(slot_str(e.phones[2]), "333");
    EXPECT_EQ(slot_str(e.phones[3]), "111");
    EXPECT_EQ(e.status.load(), 1);
    EXPECT_EQ(e.message.mode, 8);
    EXPECT_EQ(sms_buffer_status[0].status.load(), 1);
    EXPECT_EQ(sms_buffer_status[0].slot.load(), 0);
    EXPECT_EQ(ir_get(16), 0);
    EXPECT_EQ(if_send_sms_buffer_full.load(), 0);

    // The next alarm SMS reports through the next record; record 0 keeps the first.
    ASSERT_EQ(modbus_do_fixed_sms(5, 0x0000), 0);
    EXPECT_EQ(sms_buffer_status[0].slot.load(), 0);
    EXPECT_EQ(sms_buffer_status[1].slot.load(), 1);
    EXPECT_EQ(sms_buffer_status[1].status.load(), 1);
    EXPECT_EQ(ir_get(16), 1);
}

TEST_F(Composer, PhoneRegisterConventions) {
    enable(3, true, false);
    hr_set(3, 0x0001);
    int r0 = phone_reg(0, 0);
    hr_set(r0, 0x3130);
    hr_set(r0 + 1, 0x3233);   // "1023"
    int r1 = phone_reg(0, 1);
    hr_set(r1, 0x3132);
    hr_set(r1 + 5, 0x3334);   // zero registers in between are skipped: "1234"
    int r2 = phone_reg(0, 2);
    hr_set(r2 + 3, 0x0035);   // first non-zero register has a zero high byte: absent
    int r3 = phone_reg(0, 3);
    hr_set(r3, 0x3536);
    hr_set(r3 + 1, 0x3700);   // odd length: "567"
    ASSERT_EQ(modbus_do_fixed_sms(3, 0xFF00), 0);
    ASSERT_EQ(sms_event_is_n(), 1);
    const sms_event &e = sms_evt[0];
    ASSERT_EQ(e.phone_count, 3);
    EXPECT_EQ(slot_str(e.phones[0]), "1023");
    EXPECT_EQ(slot_str(e.phones[1]), "1234");
    EXPECT_EQ(slot_str(e.phones[2]), "567");
}

TEST_F(Composer, TwentyCharacterNumberIsKeptWhole) {
    enable(9, true, false);
    hr_set(9, 0x8000);   // group 15
    set_phone(15, 15, "12345678901234567890");
    ASSERT_EQ(phone_reg(15, 15), 33398);
    ASSERT_EQ(modbus_do_fixed_sms(9, 0xFF00), 0);
    ASSERT_EQ(sms_event_is_n(), 1);
    ASSERT_EQ(sms_evt[0].phone_count, 1);
    EXPECT_EQ(std::memcmp(sms_evt[0].phones[0], "12345678901234567890", 20), 0);
}

TEST_F(Composer, TextLengthsAndByteOrder) {
    enable(17, true, false);
    hr_set(17, 1);
    set_phone(0, 0, "5551234");
    int t = alarm_text_reg(17);
    ASSERT_EQ(t, 12048 + 108);
    set_text(t, "Pump 17 fault");   // 13 registers
    set_text(t + 54, "Pump OK");
    hr_set(t + 5, 0);                 // a zero register inside the text is skipped
    hr_set(t + 61, 0x3A04);           // a non-Latin code unit (U+043A), bytes exchanged

    ASSERT_EQ(modbus_do_fixed_sms(17, 0xFF00), 0);
    const sms_event &on = sms_evt[0];
    ASSERT_EQ(on.message.length, 24);
    EXPECT_EQ(on.message.text[0], 0x00);
    EXPECT_EQ(on.message.text[1], 'P');
    EXPECT_EQ(on.message.text[9], ' ');   // "Pump " then "7": the '1' register was cleared
    EXPECT_EQ(on.message.text[11], '7');
    EXPECT_EQ(on.message.text[24], 0);

    hr_set(t + 5, static_cast<uint16_t>('1' << 8));
    hr_set(203, 1);
    for (int i = 0; i < 16; i++) hr_set(383 + i, 0);
    hr_set(383, 0x2100);   // '!'
    hr_set(390, 0x3F00);   // '?' after six zero registers
    ASSERT_EQ(modbus_do_fixed_sms(17, 0xFF00), 0);
    const sms_event &var = sms_evt[1];
    ASSERT_EQ(var.message.length, 30);   // 26 + the two non-zero variable registers, zeros skipped
    EXPECT_EQ(var.message.text[25], 't');
    EXPECT_EQ(var.message.text[26], 0x00);
    EXPECT_EQ(var.message.text[27], '!');
    EXPECT_EQ(var.message.text[28], 0x00);
    EXPECT_EQ(var.message.text[29], '?');
    for (int i = 30; i < 58; i++) EXPECT_EQ(var.message.text[i], 0) << i;

    hr_set(203, 0);
    ASSERT_EQ(modbus_do_fixed_sms(17, 0x0000), 0);
    const sms_event &off = sms_evt[2];
    ASSERT_EQ(off.message.length, 14 + 2);   // "Pump OK" plus U+043A
    EXPECT_EQ(off.message.text[1], 'P');
    EXPECT_EQ(off.message.text[13], 'K');
    EXPECT_EQ(off.message.text[14], 0x04);
    EXPECT_EQ(off.message.text[15], 0x3A);
}

TEST_F(Composer, FullTextsStayWithinTheBuffer) {
    enable(0, true, false);
    hr_set(0, 1);
    set_phone(0, 0, "1");
    for (int i = 0; i < 108; i++) hr_set(alarm_text_reg(0) + i, 0xFFFF);
    for (int i = 0; i < 16; i++) hr_set(383 + i, 0xFFFF);
    hr_set(203, 1);
    ASSERT_EQ(modbus_do_fixed_sms(0, 0xFF00), 0);
    EXPECT_EQ(sms_evt[0].message.length, 140);
    EXPECT_EQ(sms_evt[0].message.text[140], 0);
}

TEST_F(Composer, NeitherOnNorOffQueuesNothing) {
    std::string dir = card_voice_dir();
    write_wav(dir + "/DO4_ON.wav", 1, 8000, 16);
    if_sd_card = 1;
    enable(4, true, true);
    hr_set(4, 1);
    set_phone(0, 0, "5551234");
    ASSERT_EQ(modbus_do_fixed_sms(4, 0x0001), 0);
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_EQ(sms_buffer_status[0].slot.load(), -1);
    ASSERT_EQ(modbus_do_fixed_sms(4, 0xFF00), 0);
    EXPECT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(voice_event_is_n(), 1);
}

TEST_F(Composer, NothingWithoutPhonesOrEnable) {
    enable(6, true, false);
    hr_set(6, 0x0004);   // group 2 selected but empty
    set_phone(0, 0, "5551234");
    ASSERT_EQ(modbus_do_fixed_sms(6, 0xFF00), 0);
    EXPECT_EQ(sms_event_is_n(), 0);
    hr_set(6, 0x0001);
    enable(6, false, false);
    ASSERT_EQ(modbus_do_fixed_sms(6, 0xFF00), 0);
    EXPECT_EQ(sms_event_is_n(), 0);
    enable(6, true, false);
    ASSERT_EQ(modbus_do_fixed_sms(6, 0xFF00), 0);
    EXPECT_EQ(sms_event_is_n(), 1);
    // The enable bit is that of alarm 16j + b: alarm 22 is register 129 bit 6.
    enable(22, true, false);
    EXPECT_EQ(hr_get(129), 0x0040);
}

// The UCS-2 bytes of an ASCII text, as the composer emits them.
std::string ucs2(const std::string &s) {
    std::string out;
    for (char c : s) {
        out += '\0';
        out += c;
    }
    return out;
}

TEST_F(Composer, ChangesFindingTheRingFullWaitAndAreComposedInOrder) {
    set_phone(0, 0, "5551234");
    for (int a = 0; a < 25; a++) {
        enable(a, true, false);
        hr_set(a, 1);
        std::string on = "Channel" + std::to_string(a) + " ON", off = "Channel" + std::to_string(a) + " OFF";
        set_text(alarm_text_reg(a), on.c_str());
        set_text(alarm_text_reg(a) + 54, off.c_str());
    }
    for (int a = 0; a < 17; a++) ASSERT_EQ(modbus_do_fixed_sms(a, 0xFF00), 0);
    EXPECT_EQ(if_send_sms_buffer_full.load(), 0);
    // Eight more ON changes, and alarm 17's OFF, and a repeat of alarm 18's ON.
    for (int a = 17; a < 25; a++) ASSERT_EQ(modbus_do_fixed_sms(a, 0xFF00), 0);
    ASSERT_EQ(modbus_do_fixed_sms(17, 0), 0);
    ASSERT_EQ(modbus_do_fixed_sms(18, 0xFF00), 0);
    EXPECT_EQ(if_send_sms_buffer_full.load(), 1);
    EXPECT_EQ(alarms_waiting.load(), 9);
    EXPECT_EQ(sms_event_is_n(), 17);
    EXPECT_EQ(ir_get(16), 16);
    // A slot frees: only the oldest waiting change takes it.
    ASSERT_EQ(sms_event_pop(), 1);
    alarm_waiting_drain();
    EXPECT_EQ(sms_event_is_n(), 17);
    EXPECT_EQ(ir_get(16), 17);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sms_evt[17].message.text), sms_evt[17].message.length),
              ucs2("Channel17 ON"));
    // A new change goes behind the waiting ones, not into a freed slot.
    ASSERT_EQ(sms_event_pop(), 1);
    ASSERT_EQ(modbus_do_fixed_sms(3, 0), 0);
    EXPECT_EQ(sms_event_is_n(), 16);
    EXPECT_EQ(alarms_waiting.load(), 9);
    std::vector<std::string> order;
    for (int i = 0; i < 20 && alarms_waiting.load() > 0; i++) {
        alarm_waiting_drain();
        const sms_event &e = sms_evt[(evt_in.load() + EVT_SLOTS - 1) % EVT_SLOTS];
        order.emplace_back(reinterpret_cast<const char *>(e.message.text), e.message.length);
        ASSERT_EQ(sms_event_pop(), 1);
    }
    EXPECT_EQ(order.front(), ucs2("Channel18 ON"));
    EXPECT_EQ(order[6], ucs2("Channel24 ON"));
    EXPECT_EQ(order[7], ucs2("Channel17 OFF"));
    EXPECT_EQ(order[8], ucs2("Channel3 OFF"));
    EXPECT_EQ(alarms_waiting.load(), 0);
}

TEST_F(Composer, ClearingTheQueueDropsTheWaitingChangesToo) {
    set_phone(0, 0, "5551234");
    for (int a = 0; a < 20; a++) {
        enable(a, true, false);
        hr_set(a, 1);
        ASSERT_EQ(modbus_do_fixed_sms(a, 0xFF00), 0);
    }
    EXPECT_EQ(alarms_waiting.load(), 3);
    sms_event_clean_all();
    alarm_waiting_clear_sms();
    EXPECT_EQ(alarms_waiting.load(), 0);
    alarm_waiting_drain();
    EXPECT_EQ(sms_event_is_n(), 1);   // the head the modem may be sending
}

TEST_F(Composer, VoiceNeedsCardFileAndFormat) {
    std::string dir = card_voice_dir();
    enable(7, true, true);
    hr_set(7, 1);
    set_phone(0, 0, "5551234");
    write_wav(dir + "/DO7_ON.wav", 1, 8000, 16);
    write_wav(dir + "/DO7_OFF.wav", 2, 8000, 16);   // stereo: refused

    // No card: the voice alarm is skipped without a word.
    if_sd_card = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(modbus_do_fixed_sms(7, 0xFF00), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(out.find("Voice"), std::string::npos);

    if_sd_card = 1;
    ASSERT_EQ(modbus_do_fixed_sms(7, 0xFF00), 0);
    ASSERT_EQ(voice_event_is_n(), 1);
    EXPECT_STREQ(voice_evt[0].wav_name, "DO7_ON.wav");
    EXPECT_EQ(voice_evt[0].phone_count, 1);
    EXPECT_EQ(slot_str(voice_evt[0].phones[0]), "5551234");

    testing::internal::CaptureStdout();
    ASSERT_EQ(modbus_do_fixed_sms(7, 0x0000), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(voice_event_is_n(), 1);
    EXPECT_EQ(sms_event_is_n(), 3);   // the SMS is unaffected
    EXPECT_NE(out.find("Voice OFF File: " + dir + "/DO7_OFF.wav format is Incorrect!! Send Voice Alarm:7 Error!!\r\n"),
              std::string::npos)
        << out;

    std::remove((dir + "/DO7_OFF.wav").c_str());
    testing::internal::CaptureStdout();
    ASSERT_EQ(modbus_do_fixed_sms(7, 0x0000), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(voice_event_is_n(), 1);
    EXPECT_EQ(sms_event_is_n(), 4);
    EXPECT_NE(out.find("Voice OFF File: " + dir + "/DO7_OFF.wav does not exist!! Send Voice Alarm:7 Error!!\r\n"),
              std::string::npos)
        << out;

    write_wav(dir + "/DO7_OFF.wav", 1, 8000, 16);
    ASSERT_EQ(modbus_do_fixed_sms(7, 0x0000), 0);
    ASSERT_EQ(voice_event_is_n(), 2);
    EXPECT_STREQ(voice_evt[1].wav_name, "DO7_OFF.wav");
    EXPECT_EQ(sms_event_is_n(), 5);

    // Voice enabled, SMS not: only the voice entry.
    enable(7, false, true);
    ASSERT_EQ(modbus_do_fixed_sms(7, 0xFF00), 0);
    EXPECT_EQ(voice_event_is_n(), 3);
    EXPECT_EQ(sms_event_is_n(), 5);
}

TEST_F(Composer, LogLines) {
    enable(12, true, false);
    hr_set(12, 0x0002);
    set_phone(1, 3, "0700123");
    set_text(alarm_text_reg(12), "AB");
    testing::internal::CaptureStdout();
    ASSERT_EQ(modbus_do_fixed_sms(12, 0xFF00), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Send Fixed SMS Number:12\n"), std::string::npos);
    EXPECT_NE(out.find("SMS Alarm 12 Status is:1\n"), std::string::npos);
    EXPECT_NE(out.find("VOICE Alarm 12 Status is:0\n"), std::string::npos);
    EXPECT_NE(out.find("Group 1 ,Send Number:0700123\n"), std::string::npos);
    EXPECT_NE(out.find("Send SMS Contens Length:4\n"), std::string::npos);
    EXPECT_NE(out.find("res of sms_event_put() = 0\r\n"), std::string::npos);
    EXPECT_NE(out.find("sms_event_is_n()=1\r\n"), std::string::npos);
}

// ---- Edge mode, on the virtual clock ----

class Edge : public Composer {
protected:
    void SetUp() override {
        Composer::SetUp();
        hr_set(208, 1);
        for (int a : {5, 127}) {
            enable(a, true, false);
            hr_set(a, 1);
        }
        set_phone(0, 0, "5551234");
    }
    // Runs passes as the edge thread does; returns the pass on which the
    // SMS count first grew (0: none within max).
    int passes_until_sms(int max) {
        int before = sms_event_is_n();
        for (int p = 1; p <= max; p++) {
            edge_poll_pass();
            if (sms_event_is_n() > before) return p;
            sys_usleep(10000);
        }
        return 0;
    }
};

TEST_F(Edge, DelayOfThousandFiresOnTheTenthPass) {
    hr_set(256 + 5, 1000);
    edge_trigger_write(5, 0xFF00);
    edge_trigger t = edge_trigger_get(5);
    EXPECT_EQ(t.triggered, 1);
    EXPECT_EQ(t.delay, 1000);
    EXPECT_EQ(t.value, 0xFF00);
    uint64_t start = fake_sys::slept_us();
    EXPECT_EQ(passes_until_sms(50), 10);
    EXPECT_EQ(fake_sys::slept_us() - start, 9u * 10000u);
    EXPECT_EQ(sms_evt[0].message.text[1], 0);   // empty ON text: the register map holds none
    t = edge_trigger_get(5);
    EXPECT_EQ(t.armed, 0);
    EXPECT_EQ(t.triggered, 0);
    // Fired once: further passes queue nothing.
    EXPECT_EQ(passes_until_sms(30), 0);
}

TEST_F(Edge, ShortDelaysFireOnTheTriggerPass) {
    for (int d : {0, 100}) {
        hr_set(256 + 5, static_cast<uint16_t>(d));
        edge_trigger_write(5, d == 0 ? 0xFF00 : 0x0000);
        EXPECT_EQ(passes_until_sms(5), 1) << d;
    }
    hr_set(256 + 5, 101);
    edge_trigger_write(5, 0xFF00);
    EXPECT_EQ(passes_until_sms(5), 2);
}

TEST_F(Edge, ChangeRestartsWithTheNewValue) {
    set_text(alarm_text_reg(5), "ON");
    set_text(alarm_text_reg(5) + 54, "OFF");
    hr_set(256 + 5, 1000);
    edge_trigger_write(5, 0xFF00);
    EXPECT_EQ(passes_until_sms(6), 0);   // six passes, no SMS yet
    edge_trigger_write(5, 0x0000);       // changed while armed: restart
    EXPECT_EQ(passes_until_sms(50), 10);
    ASSERT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(sms_evt[0].message.length, 6);
    EXPECT_EQ(sms_evt[0].message.text[1], 'O');
    EXPECT_EQ(sms_evt[0].message.text[3], 'F');
}

TEST_F(Edge, SameValueDoesNotRestart) {
    hr_set(256 + 5, 1000);
    edge_trigger_write(5, 0xFF00);
    EXPECT_EQ(passes_until_sms(5), 0);
    testing::internal::CaptureStdout();
    edge_trigger_write(5, 0xFF00);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Alarm Edge Mode...\r\nalarm_now_status:ff00\r\nAlarm 5 Trigger the same...edge\r\n");
    EXPECT_EQ(edge_trigger_get(5).triggered, 0);
    EXPECT_EQ(passes_until_sms(50), 5);   // 5 more passes: tenth since the trigger
}

TEST_F(Edge, RepeatBeforeThePassKeepsTheChange) {
    hr_set(256 + 5, 0);
    edge_trigger_write(5, 0xFF00);
    edge_trigger_write(5, 0xFF00);   // before the edge thread saw the change
    EXPECT_EQ(edge_trigger_get(5).triggered, 1);
    EXPECT_EQ(passes_until_sms(3), 1);
    EXPECT_EQ(passes_until_sms(5), 0);   // and only once
}

TEST_F(Edge, FirstOffAfterStartDoesNotTrigger) {
    hr_set(256 + 5, 0);
    edge_trigger_write(5, 0x0000);
    EXPECT_EQ(edge_trigger_get(5).triggered, 0);
    EXPECT_EQ(passes_until_sms(20), 0);
    testing::internal::CaptureStdout();
    edge_trigger_write(5, 0xFF00);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Alarm Edge Mode...\r\nalarm_now_status:0\r\nAlarm 5 Trigger!!...edge\r\n");
    EXPECT_EQ(passes_until_sms(5), 1);
}

TEST_F(Edge, AlarmOneTwentySevenTakesItsDelayFrom209) {
    hr_set(209, 300);
    hr_set(383, 5000);   // variable text, not a delay
    edge_trigger_write(127, 0xFF00);
    EXPECT_EQ(edge_trigger_get(127).delay, 300);
    EXPECT_EQ(passes_until_sms(50), 3);
    // The delay is taken at each write.
    hr_set(209, 500);
    edge_trigger_write(127, 0x0000);
    EXPECT_EQ(passes_until_sms(50), 5);
}

TEST_F(Edge, EdgeModeOffHoldsTheState) {
    hr_set(256 + 5, 1000);
    edge_trigger_write(5, 0xFF00);
    EXPECT_EQ(passes_until_sms(4), 0);
    hr_set(208, 0);
    EXPECT_EQ(passes_until_sms(40), 0);
    edge_trigger t = edge_trigger_get(5);
    EXPECT_EQ(t.armed, 1);
    EXPECT_EQ(t.ticks, 5);
    hr_set(208, 1);
    EXPECT_EQ(passes_until_sms(10), 6);
}

TEST_F(Edge, PassLogLines) {
    hr_set(256 + 5, 200);
    edge_trigger_write(5, 0xFF00);
    testing::internal::CaptureStdout();
    edge_poll_pass();
    edge_poll_pass();
    std::string out = testing::internal::GetCapturedStdout();
    size_t a = out.find("Alarm 5 Trigger!!(Edge Mode)\r\n");
    size_t b = out.find("Alarm 5 Edge time:1 (Edge Mode)\r\n");
    size_t c = out.find("Alarm 5 Edge time:2 (Edge Mode)\r\n");
    size_t d = out.find("Alarm 5 Edge time:200, Send ff00 SMS!!\r\n");
    ASSERT_NE(a, std::string::npos) << out;
    ASSERT_NE(b, std::string::npos) << out;
    ASSERT_NE(c, std::string::npos) << out;
    ASSERT_NE(d, std::string::npos) << out;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
    EXPECT_EQ(sms_event_is_n(), 1);
}

TEST_F(Edge, ResetClearsAllButTheDelay) {
    hr_set(256 + 9, 700);
    edge_trigger_write(9, 0xFF00);
    edge_poll_pass();
    edge_trigger_reset();
    edge_trigger t = edge_trigger_get(9);
    EXPECT_EQ(t.value, 0);
    EXPECT_EQ(t.triggered, 0);
    EXPECT_EQ(t.armed, 0);
    EXPECT_EQ(t.ticks, 0);
    EXPECT_EQ(t.delay, 700);
    edge_trigger_write(200, 0xFF00);   // out of range: ignored
    EXPECT_EQ(edge_trigger_get(200).value, 0);
}
}  // namespace
