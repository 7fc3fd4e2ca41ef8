#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alarm/poll.h"
#include "alarm/composer.h"
#include "alarm/rings.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "modem/sms_rx.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

namespace {
// What input registers 0..17 show for an event status.
int reported(int status) { return status * layout::STATUS_SCALE; }

constexpr const char *kRoot = "/tmp/agw_poll_root";

uint16_t pair(const char *two) {
    return static_cast<uint16_t>(static_cast<uint8_t>(two[0]) << 8 | static_cast<uint8_t>(two[1]));
}

using test_map::set_phone;

sms_message received(const char *phone, const char *time, const void *text, int len, int mode) {
    sms_message m{};
    std::strncpy(m.phone, phone, sizeof m.phone - 1);
    std::strncpy(m.time, time, sizeof m.time - 1);
    std::memcpy(m.text, text, static_cast<size_t>(len));
    m.length = static_cast<uint8_t>(len);
    m.mode = static_cast<uint8_t>(mode);
    return m;
}

// Puts a message into the modem's receive mailbox, as a modem pass does.
void deliver(const sms_message &m, uint16_t flags = 0, bool alnum = false) {
    recv_new_sms = m;
    recv_new_sms_info = {};
    recv_new_sms_info.flags = flags;
    recv_new_sms_info.sender_alnum = alnum;
    is_new_sms = 1;
}

std::string card() { return std::string(kRoot) + "/media/card"; }

std::string df_mounted() {
    return "Filesystem      Size  Used Avail Use% Mounted on\n/dev/mmcblk0p1  7.4G  1.2G  6.2G  17% " + card() + "\n";
}

class Poll : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        sys_set_root(kRoot);
        map_ = std::make_unique<test_map::Map>();
        ASSERT_TRUE(map_->ok());
        event_rings_reset();
        modem_state_reset();
        mb_slave_poll_reset();
        if_sd_card = 0;
        hr_set(254, 0);
    }
    void TearDown() override { map_.reset(); }
    std::unique_ptr<test_map::Map> map_;
    // Runs one cycle and returns what it printed.
    std::string cycle() {
        testing::internal::CaptureStdout();
        mb_slave_poll_pass();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Poll, AcceptsAThirteenCharacterSender) {
    for (int r = 30; r <= 127; r++) ir_set(r, 0xEEEE);   // an earlier message's registers
    deliver(received("+861390000123", "19/06/19 08:30:05", "ABC", 3, 0));
    std::string out = cycle();
    EXPECT_NE(out.find("\r\nGet a new SMS!!\r\n\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("RecieveSMSFilter ok \r\n"), std::string::npos);
    EXPECT_NE(out.find("receive time = 19/06/19 08:30:05\r\n"), std::string::npos);
    EXPECT_NE(out.find("time_string = 19/06/19\r\ntime_string = 08:30:05\r\n"), std::string::npos);
    EXPECT_NE(out.find("recv_sms_msg = "), std::string::npos);
    EXPECT_NE(out.find("phone number = +861390000123\r\n"), std::string::npos);   // printSMS
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(di_get(1), 1);
    const char *s = "+861390000123";
    for (int i = 0; i < 6; i++) EXPECT_EQ(ir_get(30 + i), pair(s + 2 * i)) << i;
    EXPECT_EQ(ir_get(36), '3' << 8);
    for (int r = 37; r <= 39; r++) EXPECT_EQ(ir_get(r), 0) << r;
    const char *t[] = {"20", "19", "06", "19", "08", "30", "05"};
    for (int i = 0; i < 7; i++) EXPECT_EQ(ir_get(40 + i), pair(t[i])) << 40 + i;
    EXPECT_EQ(ir_get(47), 0);
    EXPECT_EQ(ir_get(48), 0x4241);
    EXPECT_EQ(ir_get(49), 0x0043);
    for (int r = 50; r <= 127; r++) EXPECT_EQ(ir_get(r), 0) << r;
    // Nothing further waits: even with the first acknowledged, the next cycle publishes nothing.
    di_set(1, 0);
    ir_set(48, 0xEEEE);
    cycle();
    EXPECT_EQ(di_get(1), 0);
    EXPECT_EQ(ir_get(48), 0xEEEE);
    di_set(1, 1);   // the first one unacknowledged again
    ir_set(48, 0x4241);

    // A second message is taken but waits until the master acknowledges the first.
    deliver(received("5550001", "19/06/19 08:31:00", "DE", 2, 0));
    cycle();
    EXPECT_EQ(is_new_sms.load(), 0);   // taken from the modem's mailbox
    EXPECT_EQ(ir_get(48), 0x4241);
    cycle();
    EXPECT_EQ(ir_get(48), 0x4241);
    di_set(1, 0);   // what the acknowledgement leaves
    cycle();
    EXPECT_EQ(is_new_sms.load(), 0);
    EXPECT_EQ(ir_get(48), 0x4544);
    EXPECT_EQ(di_get(1), 1);
}

TEST_F(Poll, RejectedSenderChangesNothing) {
    hr_set(254, 1);
    set_phone(3, 7, "5550001");
    ir_set(30, 0x1234);
    ir_set(48, 0x5678);
    deliver(received("+861390000123", "19/06/19 08:30:05", "ABC", 3, 0));
    std::string out = cycle();
    EXPECT_NE(out.find("The sender's phone number is not in the settings !! \r\n"), std::string::npos) << out;
    EXPECT_EQ(ir_get(30), 0x1234);
    EXPECT_EQ(ir_get(48), 0x5678);
    EXPECT_EQ(di_get(1), 0);
    EXPECT_EQ(is_new_sms.load(), 0);   // taken and dropped

    // A configured sender is accepted under the same setting.
    deliver(received("5550001", "19/06/19 08:30:05", "ABC", 3, 0));
    cycle();
    EXPECT_EQ(di_get(1), 1);
    EXPECT_EQ(ir_get(30), pair("55"));
    EXPECT_EQ(ir_get(33), '1' << 8);
}

TEST_F(Poll, Ucs2AndOtherCodings) {
    const uint8_t ucs[] = {0x00, 0x41, 0x00, 0x42};
    publish_received_sms(received("123", "19/06/19 08:30:05", ucs, 4, 8));
    EXPECT_EQ(ir_get(47), 1);
    EXPECT_EQ(ir_get(48), 0x4100);
    EXPECT_EQ(ir_get(49), 0x4200);
    EXPECT_EQ(ir_get(50), 0);

    const uint8_t raw[] = {0x01, 0x02, 0x03};
    publish_received_sms(received("123", "19/06/19 08:30:05", raw, 3, 4));
    EXPECT_EQ(ir_get(47), 0);   // 8-bit data reads as 0
    EXPECT_EQ(ir_get(48), 0x0201);
    EXPECT_EQ(ir_get(49), 0x0003);
    EXPECT_EQ(ir_get(30), pair("12"));
    EXPECT_EQ(ir_get(31), '3' << 8);
}

TEST_F(Poll, LongestTextEndsAtRegister127) {
    uint8_t text[160];
    for (int i = 0; i < 160; i++) text[i] = static_cast<uint8_t>(i + 1);
    ir_set(128, 0x0F0F);
    publish_received_sms(received("1", "19/06/19 08:30:05", text, 160, 8));
    EXPECT_EQ(ir_get(48), 0x0201);
    EXPECT_EQ(ir_get(127), (160 << 8) | 159);
    EXPECT_EQ(ir_get(128), 0x0F0F);   // the voice-file words are not touched

    // A length the text field cannot hold is cut at 160.
    sms_message m = received("1", "19/06/19 08:30:05", text, 160, 8);
    m.length = 255;
    publish_received_sms(m);
    EXPECT_EQ(ir_get(127), (160 << 8) | 159);
    EXPECT_EQ(ir_get(128), 0x0F0F);
}

TEST_F(Poll, LongSenderStaysInItsTenRegisters) {
    const char *s = "+12345678901234567890123456";   // 27 characters
    publish_received_sms(received(s, "19/06/19 08:30:05", "A", 1, 0));
    for (int i = 0; i < 10; i++) EXPECT_EQ(ir_get(30 + i), pair(s + 2 * i)) << i;
    EXPECT_EQ(ir_get(40), 0x3230);
    EXPECT_EQ(ir_get(41), pair("19"));

    // A sender filling the whole field without a terminator.
    sms_message m = received("", "19/06/19 08:30:05", "A", 1, 0);
    std::memset(m.phone, '9', sizeof m.phone);
    publish_received_sms(m);
    for (int i = 0; i < 10; i++) EXPECT_EQ(ir_get(30 + i), pair("99")) << i;
    EXPECT_EQ(ir_get(40), 0x3230);
}

TEST_F(Poll, TimeStampsMissingSeparators) {
    struct Case {
        const char *time;
        const char *regs[6];   // registers 41..46; nullptr = 0
    } cases[] = {
        {"190619083005", {"19", nullptr, nullptr, nullptr, nullptr, nullptr}},
        {"19/06/19", {"19", "06", "19", nullptr, nullptr, nullptr}},
        {"19-06-19 08:30:05", {"19", nullptr, nullptr, "08", "30", "05"}},
        {"19/06 08:30", {"19", "06", nullptr, "08", "30", nullptr}},
        {"", {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
        {"9/6/19 8:30:5", {"9", "6", "19", "8", "30", "5"}},
        {"19/6/19/7 8:3:5:9", {"19", "6", "19/7", "8", "3", "5:9"}},
    };
    for (const Case &c : cases) {
        sms_message m = received("1", "", "A", 1, 0);
        std::strncpy(m.time, c.time, sizeof m.time - 1);
        publish_received_sms(m);
        EXPECT_EQ(ir_get(40), 0x3230) << c.time;
        for (int i = 0; i < 6; i++) {
            const char *f = c.regs[i];
            uint16_t want = f == nullptr ? 0 : static_cast<uint16_t>(static_cast<uint8_t>(f[0]) << 8 | (f[1] ? static_cast<uint8_t>(f[1]) : 0));
            EXPECT_EQ(ir_get(41 + i), want) << c.time << " register " << 41 + i;
        }
    }
    // A time field without its terminator is never read past.
    sms_message m = received("1", "", "A", 1, 0);
    std::memset(m.time, '1', sizeof m.time);
    publish_received_sms(m);
    EXPECT_EQ(ir_get(41), pair("11"));
    EXPECT_EQ(ir_get(42), 0);
}

TEST_F(Poll, SenderFilterRules) {
    EXPECT_EQ(ifRecieveSMSFilterPhones("1234"), 0);   // nothing configured
    set_phone(0, 0, "1234");                           // even length: a prefix
    EXPECT_EQ(ifRecieveSMSFilterPhones("1234"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("123456789"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("123"), 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones("1299"), 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones(""), 0);
    set_phone(0, 0, "");
    set_phone(15, 15, "12345");                        // odd length: exactly this number
    EXPECT_EQ(ifRecieveSMSFilterPhones("12345"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("123456"), 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones("1234"), 0);
    // Any group counts, whatever the alarms' masks say; a zero register is skipped.
    set_phone(15, 15, "");
    int r = phone_reg(9, 4);
    hr_set(r, 0x3132);
    hr_set(r + 4, 0x3334);
    EXPECT_EQ(ifRecieveSMSFilterPhones("12345"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("1243"), 0);
    // A first register with a zero high byte: the number is absent.
    hr_set(r, 0x0031);
    hr_set(r + 4, 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones("1"), 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones(""), 0);
    // A 20-character configured number.
    set_phone(7, 0, "12345678901234567890");
    EXPECT_EQ(ifRecieveSMSFilterPhones("12345678901234567890"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("1234567890123456789"), 0);
    EXPECT_EQ(ifRecieveSMSFilterPhones(nullptr), 0);
}

// Every queued alarm SMS reports through its own record, taken in turn: the
// master follows the last 16, and the 17th takes record 0 again.
TEST_F(Poll, EachAlarmSmsTakesTheNextRecord) {
    using namespace layout;
    hr_set(HR_GROUP_MASK + 5, 1);
    hr_set(HR_SMS_ENABLE + enable_word(5), static_cast<uint16_t>(1u << enable_bit(5)));
    set_phone(0, 0, "5551234");
    hr_set(alarm_text_reg(5), 'A' << 8);
    hr_set(alarm_off_text_reg(5), 'B' << 8);
    for (int n = 0; n < IR_SLOTS + 1; n++) {
        ASSERT_EQ(modbus_do_fixed_sms(5, n % 2 ? ALARM_OFF : ALARM_ON), 0) << n;
        int slot = static_cast<int>(ir_get(IR_LAST_SLOT));
        EXPECT_EQ(sms_buffer_status[n % IR_SLOTS].slot.load(), slot) << n;
        cycle();
        EXPECT_EQ(ir_get(IR_SLOT_STATUS + n % IR_SLOTS), STATUS_QUEUED * 256) << n;
        if (n == IR_SLOTS) break;
        sms_evt[slot].status = n % 3 ? STATUS_DONE : STATUS_FAILED;   // the dispatcher's outcome
        ASSERT_EQ(sms_event_pop(), 1);
    }
    cycle();
    EXPECT_EQ(ir_get(IR_LAST_SLOT), IR_SLOTS % EVT_SLOTS);
    EXPECT_EQ(ir_get(IR_SLOT_STATUS), STATUS_QUEUED * 256);   // the 17th, still queued
    for (int k = 1; k < IR_SLOTS; k++)
        EXPECT_EQ(ir_get(IR_SLOT_STATUS + k), (k % 3 ? STATUS_DONE : STATUS_FAILED) * 256) << k;
}

TEST_F(Poll, SlotStatusesAndTheDynamicSms) {
    sms_message m{};
    m.length = 1;
    m.mode = 8;
    char list[1][PHONE_SLOT_LEN] = {"1"};
    ASSERT_EQ(sms_event_put(m, list, 1), 0);
    ASSERT_EQ(sms_event_put(m, list, 1), 1);
    sms_buffer_status[0].slot = 0;
    sms_dynamic_buffer_id = 1;
    cycle();
    EXPECT_EQ(ir_get(0), reported(layout::STATUS_QUEUED));
    EXPECT_EQ(ir_get(17), reported(layout::STATUS_QUEUED));
    EXPECT_EQ(sms_buffer_status[0].status.load(), 1);
    EXPECT_EQ(ir_get(1), 0);   // records without a slot report nothing
    sms_evt[0].status = layout::STATUS_SENDING;
    cycle();
    EXPECT_EQ(ir_get(0), reported(layout::STATUS_SENDING));
    EXPECT_EQ(sms_buffer_status[0].status.load(), 2);
    sms_evt[0].status = layout::STATUS_DONE;
    sms_evt[1].status = layout::STATUS_FAILED;
    ASSERT_EQ(sms_event_pop(), 1);
    cycle();
    EXPECT_EQ(ir_get(0), reported(layout::STATUS_DONE));
    EXPECT_EQ(ir_get(17), reported(layout::STATUS_FAILED));
    EXPECT_EQ(sms_buffer_status[0].status.load(), 3);
    // A clean empties the slots' statuses: the last report stays.
    ASSERT_EQ(sms_event_clean_all(), 1);
    ASSERT_EQ(sms_event_status(0), 0);
    cycle();
    EXPECT_EQ(ir_get(0), reported(layout::STATUS_DONE));
    EXPECT_EQ(sms_buffer_status[0].status.load(), 3);
    sms_buffer_status[0].slot = -1;
    cycle();
    EXPECT_EQ(ir_get(0), reported(layout::STATUS_DONE));
}

TEST_F(Poll, QueueFullFlagAndModemState) {
    if_send_sms_buffer_full = 1;
    modem_creg = 5;
    modem_csq = 23;
    modem_net_type = 8;
    cycle();
    EXPECT_EQ(di_get(0), 1);
    EXPECT_EQ(ir_get(27), 5);
    EXPECT_EQ(ir_get(18), 23);
    EXPECT_EQ(ir_get(28), 8);
    // Published once, the flag is consumed; waiting alarm changes hold the input at 1.
    EXPECT_EQ(if_send_sms_buffer_full.load(), 0);
    alarms_waiting = 1;
    cycle();
    EXPECT_EQ(di_get(0), 1);
    alarms_waiting = 0;
    modem_creg = 1;
    cycle();
    EXPECT_EQ(di_get(0), 0);
    EXPECT_EQ(ir_get(18), 23);
    modem_creg = 2;   // searching: no signal reported
    cycle();
    EXPECT_EQ(ir_get(27), 2);
    EXPECT_EQ(ir_get(18), 0);
    modem_creg = 0x10005;
    modem_net_type = 0x20007;
    cycle();
    EXPECT_EQ(ir_get(27), 5);   // low 16 bits
    EXPECT_EQ(ir_get(18), 0);
    EXPECT_EQ(ir_get(28), 7);
}

TEST_F(Poll, CardTest) {
    for (int r = 128; r < 144; r++) ir_set(r, 0x00FF);
    ir_set(144, 0x0003);
    // No card at start: no command, the test fails.
    cycle();
    EXPECT_TRUE(fake_sys::commands().empty());
    EXPECT_EQ(di_get(2), 0);
    EXPECT_EQ(ir_get(128), 0);

    for (int r = 128; r < 144; r++) ir_set(r, 0x00FF);
    if_sd_card = 1;
    fake_sys::script("df -h ", df_mounted());
    cycle();
    EXPECT_EQ(fake_sys::commands(), std::vector<std::string>{"df -h " + card()});
    EXPECT_EQ(di_get(2), 1);
    EXPECT_EQ(ir_get(128), 0x00FF);
    EXPECT_EQ(ir_get(143), 0x00FF);

    // Card removed: df names another mount.
    fake_sys::script("df -h ", "Filesystem Size Used Avail Use% Mounted on\n/dev/root 1G 1G 0 99% /\n");
    cycle();
    EXPECT_EQ(di_get(2), 0);
    for (int r = 128; r < 144; r++) EXPECT_EQ(ir_get(r), 0) << r;
    EXPECT_EQ(ir_get(144), 0x0003);   // format words are not the poller's

    fake_sys::fail_start("df -h ");
    cycle();
    EXPECT_EQ(di_get(2), 0);
}

TEST_F(Poll, LongDfLinesStillMatch) {
    if_sd_card = 1;
    std::string line = "/dev/mmcblk0p1" + std::string(200, ' ') + "7.4G 1.2G 6.2G 17% " + card() + "\n";
    fake_sys::script("df -h ", "Filesystem Size Used Avail Use% Mounted on\n" + line);
    cycle();
    EXPECT_EQ(di_get(2), 1);
}

TEST_F(Poll, WriteTestOnThe1202ndCycle) {
    if_sd_card = 1;
    fake_sys::script("df -h ", df_mounted());
    const std::string mk = "mkdir " + card() + "/vantor-test-sd";
    const std::string rm = "rm -r " + card() + "/vantor-test-sd";
    auto count = [](const std::string &c) {
        int n = 0;
        for (const auto &x : fake_sys::commands()) n += x == c;
        return n;
    };
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1201; i++) mb_slave_poll_pass();
    EXPECT_EQ(count(mk), 0);
    fake_sys::clear_commands();
    uint64_t before = fake_sys::slept_us();
    mb_slave_poll_pass();   // the 1202nd
    EXPECT_EQ(fake_sys::commands(), (std::vector<std::string>{mk, rm, "df -h " + card()}));
    EXPECT_EQ(fake_sys::slept_us() - before, 10000u);
    fake_sys::clear_commands();
    for (int i = 0; i < 1200; i++) mb_slave_poll_pass();
    EXPECT_EQ(count(mk), 0);
    mb_slave_poll_pass();   // 1201 cycles later
    EXPECT_EQ(count(mk), 1);
    EXPECT_EQ(count(rm), 1);
    testing::internal::GetCapturedStdout();
}

TEST_F(Poll, CyclesWithoutACardDoNotCount) {
    fake_sys::script("df -h ", df_mounted());
    for (int i = 0; i < 1500; i++) mb_slave_poll_pass();
    if_sd_card = 1;
    for (int i = 0; i < 1201; i++) mb_slave_poll_pass();
    for (const auto &c : fake_sys::commands()) EXPECT_NE(c.rfind("mkdir", 0), 0u) << c;
}
}  // namespace

TEST_F(Poll, FlagsNamesAndInternationalSenders) {
    // The flags of a cut message with parts missing go to register 29 with it.
    deliver(received("+4917012345", "26/01/20 12:03:40", "AB", 2, 0), layout::RX_FLAG_CUT | layout::RX_FLAG_PARTS_MISSING);
    cycle();
    EXPECT_EQ(di_get(1), 1);
    EXPECT_EQ(ir_get(layout::IR_RX_FLAGS), layout::RX_FLAG_CUT | layout::RX_FLAG_PARTS_MISSING);
    EXPECT_EQ(ir_get(30), pair("+4"));
    // The next message replaces them.
    di_set(1, 0);
    deliver(received("+4917012345", "26/01/20 12:03:41", "CD", 2, 0));
    cycle();
    EXPECT_EQ(ir_get(layout::IR_RX_FLAGS), 0);

    // The filter compares numbers: '+' aside on either side; a name never matches.
    hr_set(254, 1);
    set_phone(0, 0, "+4917012345");
    set_phone(0, 1, "0612");
    EXPECT_EQ(ifRecieveSMSFilterPhones("+4917012345"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("4917012345"), 1);
    EXPECT_EQ(ifRecieveSMSFilterPhones("+49170123456"), 0);   // odd length: exact
    EXPECT_EQ(ifRecieveSMSFilterPhones("+0612999"), 1);       // even length: prefix
    di_set(1, 0);
    deliver(received("0612", "26/01/20 12:03:42", "EF", 2, 0), 0, true);   // a name that looks like digits
    cycle();
    EXPECT_EQ(di_get(1), 0);
    EXPECT_EQ(is_new_sms.load(), 0);   // taken and dropped
    deliver(received("+4917012345", "26/01/20 12:03:43", "GH", 2, 0));
    cycle();
    EXPECT_EQ(di_get(1), 1);
    EXPECT_EQ(ir_get(48), 0x4847);
}
