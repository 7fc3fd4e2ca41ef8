// Acknowledgement, repeats and escalation behind the virtual clock: hours of
// rounds run in milliseconds. The composer and the rings are the real ones.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alarm/ack.h"
#include "alarm/composer.h"
#include "alarm/dispatch.h"
#include "modem/sim7100.h"
#include "alarm/rings.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "modbus/slave.h"
#include "msg/phone.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/fakes/rtu_crc.h"
#include "tests/unit/map_fixture.h"

using namespace layout;

namespace {
constexpr uint16_t kOn = ALARM_ON, kOff = ALARM_OFF;

using test_map::set_bit;
using test_map::set_phone;

bool bit_of(int first_ir, int alarm) { return ((ir_get(first_ir + enable_word(alarm)) >> enable_bit(alarm)) & 1) != 0; }

std::vector<uint16_t> units(const char *s) {
    std::vector<uint16_t> u;
    for (int i = 0; s[i]; i++) u.push_back(static_cast<uint8_t>(s[i]));
    return u;
}

bool reply(const char *from, const char *text) {
    auto u = units(text);
    return ack_consume_reply(from, u.data(), static_cast<int>(u.size()));
}

std::string slot_str(const char *slot) { return std::string(slot, strnlen(slot, PHONE_SLOT_LEN)); }

// The phones of a queued SMS entry.
std::vector<std::string> phones_of(const sms_event &e) {
    std::vector<std::string> v;
    for (int i = 0; i < e.phone_count; i++) v.push_back(slot_str(e.phones[i]));
    return v;
}

// The text of a queued SMS entry, UCS-2 back to ASCII.
std::string text_of(const sms_event &e) {
    std::string s;
    for (int i = 0; i + 1 < e.message.length; i += 2) s += static_cast<char>(e.message.text[i + 1]);
    return s;
}

// The SMS entries queued from the ring's tail back, oldest first.
std::vector<const sms_event *> queued() {
    std::vector<const sms_event *> v;
    int n = sms_event_is_n();
    for (int i = 0; i < n; i++) v.push_back(&sms_evt[(evt_out.load() + i) % EVT_SLOTS]);
    return v;
}

void pop_all() {
    while (sms_event_pop() == 1) {}
}

}  // namespace

class Ack : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        map_ = std::make_unique<test_map::Scope>("ack");
        ASSERT_TRUE(map_->ok());
        root_ = map_->root().string();
        event_rings_reset();
        alarm_waiting_reset();
        ack_reset();
        if_sd_card = 0;
        // Alarm 5: SMS to group 0 (two phones), escalation to group 1.
        set_phone(0, 0, "0611111111");
        set_phone(0, 1, "0622222222");
        set_phone(1, 0, "0633333333");
        set_phone(2, 0, "0644444444");   // in no group of alarm 5
        hr_set(HR_GROUP_MASK + 5, 0x0001);
        hr_set(HR_ESCALATION_MASK + 5, 0x0002);
        set_bit(HR_SMS_ENABLE, 5, true);
        set_bit(HR_ACK_REQUIRED, 5, true);
        hr_set(HR_ACK_INTERVAL, 60);
        start_ = fake_sys::now_us();
    }
    void TearDown() override { map_.reset(); }
    // Advances the virtual clock by s seconds, ticking once a second.
    void run_for(int s) {
        for (int i = 0; i < s; i++) {
            fake_sys::set_now_us(fake_sys::now_us() + 1000000u);
            ack_tick();
        }
    }
    std::unique_ptr<test_map::Scope> map_;
    std::string root_;
    uint64_t start_ = 0;
};

TEST_F(Ack, OffByDefaultNothingFollowedNothingRepeats) {
    set_bit(HR_ACK_REQUIRED, 5, false);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    ASSERT_EQ(sms_event_is_n(), 1);
    run_for(4 * 3600);
    EXPECT_EQ(sms_event_is_n(), 1);   // no repeat in four hours
    for (int r = 160; r < 200; r++) EXPECT_EQ(ir_get(r), 0) << "input register " << r;
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 0);
    EXPECT_EQ(ack_unacknowledged_count(), 0);
    EXPECT_FALSE(reply("0611111111", "ACK"));   // published as today
}

TEST_F(Ack, RoundsEscalateThenTheMasterIsTold) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    ack_tick();
    EXPECT_TRUE(bit_of(IR_ACK_ACTIVE, 5));
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 1);
    EXPECT_EQ(ir_get(IR_ACK_UNACKED_COUNT), 1);
    ASSERT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(phones_of(*queued()[0]), (std::vector<std::string>{"0611111111", "0622222222"}));

    run_for(59);
    EXPECT_EQ(sms_event_is_n(), 1);   // not before the interval
    run_for(1);
    ASSERT_EQ(sms_event_is_n(), 2);   // round 2, with the escalation group
    EXPECT_EQ(phones_of(*queued()[1]), (std::vector<std::string>{"0611111111", "0622222222", "0633333333"}));
    EXPECT_EQ(text_of(*queued()[1]), text_of(*queued()[0]));
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 2);
    run_for(60);
    EXPECT_EQ(sms_event_is_n(), 3);   // round 3, the last by default
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 3);
    EXPECT_EQ(ir_get(IR_ACK_EXHAUSTED), 0);
    run_for(60);
    EXPECT_EQ(ir_get(IR_ACK_EXHAUSTED), 1);   // nobody after the last round
    run_for(3 * 3600);
    EXPECT_EQ(sms_event_is_n(), 3);
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));

    // The escalation phone received it too, so it may acknowledge.
    EXPECT_TRUE(reply("0633333333", "ack 5"));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(ir_get(IR_ACK_EXHAUSTED), 0);
}

TEST_F(Ack, RoundsSettingAndEscalationWithoutGroups) {
    hr_set(HR_ACK_ROUNDS, 5);
    hr_set(HR_ESCALATION_MASK + 5, 0);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    run_for(4 * 60);
    EXPECT_EQ(sms_event_is_n(), 5);
    for (const sms_event *e : queued()) EXPECT_EQ(e->phone_count, 2);
    run_for(3600);
    EXPECT_EQ(sms_event_is_n(), 5);
    EXPECT_EQ(ir_get(IR_ACK_EXHAUSTED), 1);
}

TEST_F(Ack, ReplyFromTheSecondPhoneStopsRepeatsAndTellsTheOthers) {
    hr_set(HR_ACK_TELL_OTHERS, 1);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    run_for(60);   // round 2 went to the escalation group as well
    pop_all();

    EXPECT_TRUE(reply("0622222222", "ack 5"));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_TRUE(bit_of(IR_ACK_ACTIVE, 5));   // active acknowledged
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 0);
    EXPECT_EQ(ir_get(IR_ACK_COUNT), 1);
    EXPECT_EQ(ir_get(IR_ACK_LAST_ALARM), 5);
    EXPECT_EQ(ir_get(IR_ACK_LAST_HOW), ACK_HOW_SMS);
    EXPECT_EQ(ir_get(IR_ACK_LAST_PHONE), ('0' << 8) | '6');
    EXPECT_EQ(ir_get(IR_ACK_LAST_PHONE + 1), ('2' << 8) | '2');
    auto q = queued();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(phones_of(*q[0]), (std::vector<std::string>{"0622222222"}));
    EXPECT_EQ(text_of(*q[0]), "Acknowledged: alarm 5");
    EXPECT_EQ(q[0]->message.mode, 8);
    EXPECT_EQ(phones_of(*q[1]), (std::vector<std::string>{"0611111111", "0633333333"}));
    EXPECT_EQ(text_of(*q[1]), "Alarm 5 acknowledged by 0622222222");
    pop_all();
    run_for(5 * 3600);
    EXPECT_EQ(sms_event_is_n(), 0);   // no more rounds

    // A second acknowledgement finds nothing left; the phone is told so.
    EXPECT_TRUE(reply("0611111111", "OK"));
    ASSERT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(text_of(*queued()[0]), "Nothing to acknowledge");
    EXPECT_EQ(ir_get(IR_ACK_COUNT), 1);
}

TEST_F(Ack, StrangerAcknowledgesNothingAndIsPublished) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    pop_all();
    EXPECT_FALSE(reply("0644444444", "ACK 5"));
    EXPECT_FALSE(reply("0644444444", "ACK"));
    EXPECT_FALSE(reply("", "ACK"));
    EXPECT_FALSE(reply("AB0611111111", "ACK"));   // alphanumeric: not the phone it resembles
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(sms_event_is_n(), 0);
    // The escalation group has not received round 1 yet.
    EXPECT_FALSE(reply("0633333333", "ACK"));
    run_for(60);
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 2);
}

TEST_F(Ack, ReplyForms) {
    struct {
        const char *text;
        bool consumed, acks;
    } cases[] = {
        {"ACK", true, true},       {"ok", true, true},        {" Ack  5 ", true, true},  {"ack5", true, true},
        {"5", true, true},         {"ACK 5 7", true, true},   {"ack, 5.", true, true},   {"\r\nOK\r\n", true, true},
        {"ACK 7", true, false},    {"7", true, false},        {"hello", false, false},   {"ACK please", false, false},
        {"ACK 200", false, false}, {"5 ACK", false, false},   {"", false, false},        {"OKAY", false, false},
        {"ACK -5", false, false},  {"ACKNOWLEDGED", false, false},
    };
    for (const auto &c : cases) {
        ack_reset();
        event_rings_reset();
        ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
        EXPECT_EQ(reply("0611111111", c.text), c.consumed) << "\"" << c.text << "\"";
        EXPECT_EQ(!bit_of(IR_ACK_UNACKED, 5), c.acks) << "\"" << c.text << "\"";
    }
    // UCS-2 and international form of the same phone.
    ack_reset();
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    const uint16_t ucs2[] = {0x0041, 0x0063, 0x006B, 0x3000, 0x0035};   // "Ack" ideographic space "5"
    EXPECT_FALSE(ack_consume_reply("0611111111", ucs2, 5));
    const uint16_t ucs2b[] = {0x0061, 0x0063, 0x006B, 0x0020, 0x0035};
    EXPECT_TRUE(ack_consume_reply("+33611111111", ucs2b, 5));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
}

// Replies and delivery reports name the phone as the network writes it.
TEST(PhoneSame, NationalAndInternationalFormsAndWhatMatchesNobody) {
    struct Case { const char *a, *b; bool same; } cases[] = {
        {"01701234567", "01701234567", true},
        {"+491701234567", "01701234567", true},     // the same last nine digits
        {"+491701234567", "+491701234567", true},
        {"+491701234567", "01701234568", false},
        {"12345", "+12345", true},                  // short numbers: all digits equal
        {"12345", "912345", false},                 // short numbers never by their tail
        {"ALARMCO", "ALARMCO", false},              // a name is no number
        {"", "", false},
        {"+", "+", false},
        {"0170 1234567", "01701234567", false},     // not a dial string
        {"12345678901234567890123456789012", "12345678901234567890123456789012", false},   // too long
    };
    for (const Case &c : cases) {
        EXPECT_EQ(phone_same(c.a, c.b), c.same) << c.a << " / " << c.b;
        EXPECT_EQ(phone_same(c.b, c.a), c.same) << c.b << " / " << c.a;
    }
}

TEST_F(Ack, BareAckCoversOnlyAlarmsSentToThatPhone) {
    // Alarm 9 goes to group 2 only; alarm 6 to group 0.
    hr_set(HR_GROUP_MASK + 9, 0x0004);
    hr_set(HR_GROUP_MASK + 6, 0x0001);
    for (int a : {6, 9}) {
        set_bit(HR_SMS_ENABLE, a, true);
        set_bit(HR_ACK_REQUIRED, a, true);
    }
    for (int a : {5, 6, 9}) ASSERT_EQ(modbus_do_fixed_sms(static_cast<uint16_t>(a), kOn), 0);
    EXPECT_EQ(ack_unacknowledged_count(), 3);
    pop_all();
    EXPECT_TRUE(reply("0611111111", "ACK"));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 6));
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 9));
    EXPECT_EQ(ack_unacknowledged_count(), 1);
    ASSERT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(text_of(*queued()[0]), "Acknowledged: alarms 5, 6");
    // Naming an alarm it did not receive acknowledges nothing.
    EXPECT_TRUE(reply("0611111111", "ACK 9"));
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 9));
}

TEST_F(Ack, ReturnedUnacknowledgedSendsOffAndStopsRepeats) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    run_for(30);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOff), 0);
    EXPECT_EQ(sms_event_is_n(), 2);   // the OFF message goes out as today
    EXPECT_FALSE(bit_of(IR_ACK_ACTIVE, 5));
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));   // returned unacknowledged
    run_for(3600);
    EXPECT_EQ(sms_event_is_n(), 2);
    EXPECT_EQ(ir_get(IR_ACK_EXHAUSTED), 0);
    EXPECT_EQ(ack_master_command(6), 1);   // n+1
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(ir_get(IR_ACK_LAST_HOW), ACK_HOW_MASTER);
    EXPECT_EQ(ack_unacknowledged_count(), 0);
    // A new ON starts round 1 again.
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 1);
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
}

TEST_F(Ack, MasterWriteThroughTheListener) {
    hr_set(HR_GROUP_MASK + 7, 0x0001);
    set_bit(HR_SMS_ENABLE, 7, true);
    set_bit(HR_ACK_REQUIRED, 7, true);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    ASSERT_EQ(modbus_do_fixed_sms(7, kOn), 0);
    auto fc6 = [](int a, int v) {
        std::vector<uint8_t> f = {1, 6, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF),
                                  static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
        uint16_t c = rtu_crc16(f.data(), f.size());
        f.push_back(static_cast<uint8_t>(c & 0xFF));
        f.push_back(static_cast<uint8_t>(c >> 8));
        return f;
    };
    auto req = fc6(HR_ACK_COMMAND, 8);   // alarm 7
    hr_set(HR_ACK_COMMAND, 8);           // what libmodbus stores before the daemon acts
    mb_handle_request(req.data(), static_cast<int>(req.size()));
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 7));
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(hr_get(HR_ACK_COMMAND), 0);
    req = fc6(HR_ACK_COMMAND, ACK_ALL);
    hr_set(HR_ACK_COMMAND, ACK_ALL);
    mb_handle_request(req.data(), static_cast<int>(req.size()));
    EXPECT_EQ(ack_unacknowledged_count(), 0);
    EXPECT_EQ(ir_get(IR_ACK_LAST_ALARM), ACK_ALL);
    EXPECT_EQ(ir_get(IR_ACK_COUNT), 2);
    EXPECT_EQ(ack_master_command(200), 0);   // no such alarm
}

TEST_F(Ack, RepeatDuringAFullQueueWaitsAndIsNotDropped) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    sms_message filler{};
    char one[1][PHONE_SLOT_LEN] = {"0699999999"};
    while (sms_event_put(filler, one, 1) != -1) {}
    int full = sms_event_is_n();
    run_for(60);
    EXPECT_EQ(sms_event_is_n(), full);
    EXPECT_EQ(alarms_waiting.load(), 1);
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 2);
    // A slot frees: the waiting repeat goes in, escalation group included.
    sms_event_pop();
    alarm_waiting_drain();
    EXPECT_EQ(alarms_waiting.load(), 0);
    EXPECT_EQ(phones_of(*queued().back()), (std::vector<std::string>{"0611111111", "0622222222", "0633333333"}));

    // Acknowledged while its repeat waits: the repeat goes, other changes stay.
    run_for(60);
    EXPECT_EQ(alarms_waiting.load(), 1);
    ASSERT_EQ(modbus_do_fixed_sms(6, kOn), 0);   // alarm 6 without a group: nothing to wait
    hr_set(HR_GROUP_MASK + 6, 0x0001);
    set_bit(HR_SMS_ENABLE, 6, true);
    ASSERT_EQ(modbus_do_fixed_sms(6, kOn), 0);
    EXPECT_EQ(alarms_waiting.load(), 2);
    EXPECT_EQ(ack_master_command(6), 1);
    EXPECT_EQ(alarms_waiting.load(), 1);   // alarm 6's real change still waits
    sms_event_pop();
    alarm_waiting_drain();
    EXPECT_EQ(alarms_waiting.load(), 0);
    EXPECT_EQ(phones_of(*queued().back()), (std::vector<std::string>{"0611111111", "0622222222"}));
}

TEST_F(Ack, KeyInTheCallAcknowledges) {
    EXPECT_FALSE(ack_key_wanted("DO5_ON.wav"));   // nothing unacknowledged yet
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    EXPECT_TRUE(ack_key_wanted("DO5_ON.wav"));
    EXPECT_FALSE(ack_key_wanted("DO6_ON.wav"));
    EXPECT_FALSE(ack_key_wanted("DO999_ON.wav"));
    EXPECT_FALSE(ack_key_wanted("x.wav"));
    ack_call_result("0611111111", "DO5_ON.wav", 0);     // answered, no key: reached only
    ack_call_result("0611111111", "DO5_ON.wav", '7');   // another key
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
    ack_call_result("0611111111", "DO5_ON.wav", ACK_KEY);
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(ir_get(IR_ACK_LAST_HOW), ACK_HOW_KEY);
    EXPECT_FALSE(ack_key_wanted("DO5_ON.wav"));
}

TEST_F(Ack, DeliveryFailedBitFollowsTheLastRound) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    sms_evt[evt_out.load()].status.store(4);
    run_for(1);
    EXPECT_TRUE(bit_of(IR_ACK_FAILED, 5));
    pop_all();
    run_for(59);   // round 2 starts clean
    EXPECT_FALSE(bit_of(IR_ACK_FAILED, 5));
    sms_evt[evt_out.load()].status.store(3);
    run_for(1);
    EXPECT_FALSE(bit_of(IR_ACK_FAILED, 5));
}

TEST_F(Ack, RequirementSwitchedOffForgetsTheAlarm) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    set_bit(HR_ACK_REQUIRED, 5, false);
    run_for(1);
    EXPECT_FALSE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 0);
    run_for(3600);
    EXPECT_EQ(sms_event_is_n(), 1);
}

TEST_F(Ack, UnacknowledgedAlarmsSurviveARestart) {
    mkdir((root_ + "/APP").c_str(), 0755);
    if (!journal_open("/APP/journal.db")) GTEST_SKIP() << "no journal in this build: state is not kept";
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    run_for(60);
    ASSERT_EQ(hr_get(HR_ACK_ROUND + 5), 2);
    pop_all();
    ASSERT_GT(ack_reload(), 0);   // as a new run: the table comes from the journal
    EXPECT_TRUE(bit_of(IR_ACK_UNACKED, 5));
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 2);
    run_for(60);
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 3);   // the rounds go on
    EXPECT_EQ(sms_event_is_n(), 1);
    journal_close();
}

TEST_F(Ack, RepeatAlreadyQueuedIsWithdrawnOnAcknowledgement) {
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    int first = evt_out.load();
    run_for(60);
    int second = (first + 1) % EVT_SLOTS;
    ASSERT_EQ(sms_event_is_n(), 2);
    EXPECT_FALSE(ack_entry_withdrawn(0, first));
    EXPECT_FALSE(ack_entry_withdrawn(0, second));
    EXPECT_EQ(ack_master_command(6), 1);
    EXPECT_FALSE(ack_entry_withdrawn(0, first));   // round 1 reaches everybody, as today
    EXPECT_TRUE(ack_entry_withdrawn(0, second));
    // The dispatcher ends it without handing a message to the modem.
    sms_event_pop();
    sms_buffer_pass();
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(sms_event_status(second), 3);
    EXPECT_EQ(is_send_sms.load(), 0);
    // The slot carries other work next: not withdrawn any more.
    EXPECT_FALSE(ack_entry_withdrawn(0, second));
    // An ON written again while acknowledged is today's alarm SMS, never withdrawn.
    ASSERT_EQ(modbus_do_fixed_sms(5, kOn), 0);
    EXPECT_FALSE(ack_entry_withdrawn(0, (second + 1) % EVT_SLOTS));
}

// The listener (alarm changes, the master's command), the polling thread
// (replies) and the edge thread (rounds) at once: the table stays consistent
// (run under the thread sanitizer in its stage).
TEST_F(Ack, ConcurrentChangesRepliesAndRounds) {
    hr_set(HR_ACK_INTERVAL, 1);
    hr_set(HR_ACK_TELL_OTHERS, 1);
    std::atomic<bool> stop{false};
    std::thread listener([] {
        for (int i = 0; i < 400; i++) {
            modbus_do_fixed_sms(5, (i & 1) ? kOff : kOn);
            if (i % 7 == 0) ack_master_command(6);
        }
    });
    std::thread poller([] {
        for (int i = 0; i < 400; i++) reply(i & 1 ? "0622222222" : "0633333333", i % 3 ? "ACK 5" : "OK");
    });
    std::thread edge([&stop] {
        while (!stop.load()) {
            fake_sys::set_now_us(fake_sys::now_us() + 1000000u);
            ack_tick();
            sms_event_pop();
            alarm_waiting_drain();
        }
    });
    listener.join();
    poller.join();
    stop.store(true);
    edge.join();
    EXPECT_LE(ack_unacknowledged_count(), 1);
    ASSERT_EQ(modbus_do_fixed_sms(5, kOff), 0);
    ack_master_command(ACK_ALL);
    run_for(2);
    EXPECT_EQ(ack_unacknowledged_count(), 0);
    EXPECT_EQ(ir_get(IR_ACK_UNACKED_COUNT), 0);
    EXPECT_FALSE(bit_of(IR_ACK_ACTIVE, 5));
    EXPECT_EQ(hr_get(HR_ACK_ROUND + 5), 0);
}
