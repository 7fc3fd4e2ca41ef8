// Self-supervision behind the virtual clock: heartbeat, silent master and the
// cannot-deliver flag, hours of polling in milliseconds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "alarm/composer.h"
#include "alarm/rings.h"
#include "alarm/supervision.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "msg/ucs2.h"
#include "storage/sdcard.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

namespace {
using namespace layout;

// 2026-01-01 07:58:00 UTC, a Thursday.
constexpr uint64_t kMorning = 1767254280ull * 1000000ull;

using test_map::set_phone;

struct sent {
    std::string text;
    int phones;
};

class Supervision : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        fake_sys::reset();
        fake_sys::set_now_us(kMorning);
        map_ = std::make_unique<test_map::Map>();
        ASSERT_TRUE(map_->ok());
        event_rings_reset();
        edge_trigger_reset();
        alarm_waiting_reset();
        modem_state_reset();
        supervision_reset();
        modem_creg = 1;
        modem_csq = 18;
        modem_net_type = 8;
        if_sd_card = 1;
        di_set(DI_SD_CARD, 1);
        set_phone(0, 0, "0611111111");
        set_phone(0, 3, "0622222222");
        set_phone(2, 0, "0633333333");
    }
    void TearDown() override {
        map_.reset();
        modem_state_reset();
    }
    std::unique_ptr<test_map::Map> map_;

    // Runs the polling cadence for seconds of virtual time: a pass every 3 s,
    // the master's request every master_every s (0: silent).
    void run(int seconds, int master_every = 0) {
        for (int s = 0; s < seconds; s++) {
            if (master_every > 0 && tick_ % master_every == 0) supervision_master_request();
            if (tick_ % 3 == 0) {
                supervision_pass();
                drain();
            }
            tick_++;
            sys_sleep(1);
        }
    }
    // Takes every queued SMS out of the ring, as delivered.
    void drain() {
        while (sms_event_is_n() > 0) {
            sms_event &e = sms_evt[evt_out.load()];
            std::string t;
            EXPECT_EQ(e.message.mode, 8);
            for (int i = 0; i + 1 < e.message.length; i += 2) {
                uint16_t u = static_cast<uint16_t>(e.message.text[i] << 8 | e.message.text[i + 1]);
                t += u < 0x80 ? static_cast<char>(u) : '?';
            }
            out_.push_back({t, e.phone_count});
            sms_event_pop();
        }
    }
    int count_with(const std::string &part) {
        int n = 0;
        for (const sent &s : out_)
            if (s.text.find(part) != std::string::npos) n++;
        return n;
    }

    std::vector<sent> out_;
    int tick_ = 0;
};

TEST_F(Supervision, DefaultConfigurationSendsNothingAndRaisesNoFlag) {
    // A whole day: every time of day passes, the master never asks, the modem
    // loses the network and three attempts fail.
    modem_creg = 0;
    supervision_sms_attempt(false);
    supervision_sms_attempt(false);
    supervision_sms_attempt(false);
    run(24 * 3600 + 60);
    EXPECT_TRUE(out_.empty());
    EXPECT_EQ(supervision_pending(), 0);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 0);
}

TEST_F(Supervision, SilentMasterOneMessageEachWayWithinTheBound) {
    hr_set(HR_SUP_SILENT_GROUPS, 0x0005);   // groups 0 and 2: three phones
    hr_set(HR_SUP_SILENT_AFTER, 5);         // minutes
    run(3600, 1);                           // polling every second: never silent
    EXPECT_TRUE(out_.empty());

    // The master stops: one message within 5 min plus one polling cycle.
    run(5 * 60 - 10);
    EXPECT_TRUE(out_.empty());
    run(10 + 3);
    ASSERT_EQ(out_.size(), 1u);
    EXPECT_EQ(out_[0].text, "No request from the PLC for 5 min");
    EXPECT_EQ(out_[0].phones, 3);
    run(3 * 3600);   // still silent: nothing more
    EXPECT_EQ(out_.size(), 1u);

    run(60, 2);      // back: one message, with how long it was silent
    ASSERT_EQ(out_.size(), 2u);
    EXPECT_EQ(out_[1].text, "Requests from the PLC again after 185 min");
    run(3600, 2);
    EXPECT_EQ(out_.size(), 2u);
}

TEST_F(Supervision, SilentMasterInSecondsNeverFiresForAMasterPollingEverySecond) {
    hr_set(HR_SUP_SILENT_GROUPS, 1);
    hr_set(HR_SUP_SILENT_AFTER, 4);
    hr_set(HR_SUP_UNIT, 1);
    run(2 * 3600, 1);
    EXPECT_TRUE(out_.empty());
    run(8);
    ASSERT_EQ(out_.size(), 1u);
    EXPECT_EQ(out_[0].text, "No request from the PLC for 4 s");
    // Off again: the silence is forgotten without a message.
    hr_set(HR_SUP_SILENT_AFTER, 0);
    run(30, 1);
    EXPECT_EQ(out_.size(), 1u);
}

TEST_F(Supervision, RequestStampedAfterThePassReadItsClockIsNotAnOldOne) {
    hr_set(HR_SUP_SILENT_GROUPS, 1);
    hr_set(HR_SUP_SILENT_AFTER, 1);
    run(120, 1);
    // The listener stamps a request 1 ms after the pass took its tick (here:
    // the pass's clock reads 1 ms earlier than the stamp).
    supervision_master_request();
    fake_sys::set_now_us(fake_sys::now_us() - 1000);
    supervision_pass();
    drain();
    run(30, 1);
    EXPECT_TRUE(out_.empty()) << out_[0].text;
}

TEST_F(Supervision, HeartbeatOnceADayAtItsTimeWithTheFiguresOfThatMoment) {
    hr_set(HR_SUP_HEARTBEAT_GROUPS, 0x0001);
    hr_set(HR_SUP_HEARTBEAT_TIME, 8 * 60);   // 08:00 UTC, two minutes ahead
    run(100, 1);
    EXPECT_TRUE(out_.empty());
    run(30, 1);
    ASSERT_EQ(out_.size(), 1u);
    EXPECT_EQ(out_[0].text, "Alive CSQ18 home LTE Q0 Alm0 Unack0 PLC0s SDok FW2019-06-19")
        << out_[0].text;
    EXPECT_EQ(out_[0].phones, 2);

    // The next day: other figures, one message again.
    edge_trigger_note(3, ALARM_ON);
    edge_trigger_note(9, ALARM_ON);
    edge_trigger_note(4, ALARM_OFF);
    modem_csq = 25;
    modem_creg = 5;
    modem_net_type = 4;
    di_set(DI_SD_CARD, 0);
    run(24 * 3600 - 600, 1);
    run(700);   // the master went quiet 9 min 50 s before
    ASSERT_EQ(out_.size(), 2u);
    EXPECT_EQ(out_[1].text, "Alive CSQ25 roam UMTS Q0 Alm2 Unack0 PLC9m SDerr FW2019-06-19") << out_[1].text;
}

TEST_F(Supervision, HeartbeatIntervalFromTheTimeOfDayAndNoneWhenTheTimeIsInvalid) {
    hr_set(HR_SUP_HEARTBEAT_GROUPS, 0x0004);
    hr_set(HR_SUP_HEARTBEAT_TIME, 7 * 60);   // 07:00, already past
    hr_set(HR_SUP_HEARTBEAT_EVERY, 15);
    hr_set(HR_SUP_UNIT, 1);                  // every 15 s
    run(61);
    EXPECT_EQ(out_.size(), 4u);
    for (const sent &s : out_) EXPECT_EQ(s.phones, 1);
    hr_set(HR_SUP_HEARTBEAT_TIME, SUP_MINUTES_PER_DAY);   // no such time: off
    run(120);
    EXPECT_EQ(out_.size(), 4u);
}

TEST_F(Supervision, HeartbeatTextStaysWithinOneSmsAtItsLongest) {
    modem_csq = 123456;
    modem_cpin_status = 2;
    modem_net_type = 5;
    modem_creg = 0;
    di_set(DI_SD_CARD, 0);
    for (int i = 0; i < ALARMS; i++) edge_trigger_note(i, ALARM_ON);
    hr_set(HR_SMS_ENABLE, 0xFFFF);
    hr_set(HR_GROUP_MASK, 0xFFFF);
    for (int k = 0; k < 40; k++) modbus_do_fixed_sms(0, k % 2 ? ALARM_ON : ALARM_OFF);   // ring full, changes wait
    supervision_master_request();
    supervision_pass();
    for (int d = 0; d < 400; d++) {   // a pass a day: the ticks wrap on the way
        sys_sleep(86400);
        supervision_pass();
    }
    char text[200];
    int n = supervision_heartbeat_text(text, sizeof text);
    EXPECT_LE(n, 70) << text;
    EXPECT_EQ(std::string(text), "Alive CSQ99 noSIM HSDPA Q19 Alm128 Unack0 PLC99d SDerr FW2019-06-19");
}

TEST_F(Supervision, HeartbeatWaitsForRoomInAFullQueueAndIsNotLost) {
    hr_set(HR_SUP_HEARTBEAT_GROUPS, 0x0001);
    hr_set(HR_SUP_HEARTBEAT_TIME, 8 * 60);
    supervision_pass();
    char phones[1][PHONE_SLOT_LEN] = {"0699"};
    sms_message m{};
    m.length = 2;
    m.mode = 8;
    while (sms_event_put(m, phones, 1) != -1) {
    }
    for (int s = 0; s < 150; s += 3) {
        sys_sleep(3);
        supervision_pass();
    }
    EXPECT_EQ(supervision_pending(), 1);
    EXPECT_EQ(sms_event_is_n(), EVT_SLOTS - 1);
    sms_event_pop();
    supervision_pass();
    EXPECT_EQ(supervision_pending(), 0);
    EXPECT_EQ(sms_event_is_n(), EVT_SLOTS - 1);
    sms_event &last = sms_evt[(evt_in.load() + EVT_SLOTS - 1) % EVT_SLOTS];
    EXPECT_EQ(last.phone_count, 2);            // group 0
    EXPECT_EQ(last.message.text[1], 'A');   // "Alive ..." in UCS-2
}

TEST_F(Supervision, CannotDeliverAfterAnOutageFlagsAndReportsWhenDeliveryIsBack) {
    hr_set(HR_SUP_OUTAGE_AFTER, 2);          // minutes
    hr_set(HR_SUP_DELIVER_GROUPS, 0x0004);
    hr_set(HR_SMS_ENABLE, 0x0001);
    hr_set(HR_GROUP_MASK, 0x0001);
    run(30);
    modem_creg = 2;
    run(100);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 0);   // not yet 2 min
    run(30);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 1);
    EXPECT_TRUE(out_.empty());
    modbus_do_fixed_sms(0, ALARM_ON);   // an alarm during the outage
    modbus_do_fixed_sms(0, ALARM_OFF);
    run(10 * 60);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 1);
    modem_creg = 1;
    run(6);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 0);
    ASSERT_EQ(count_with("Delivery possible again"), 1);
    EXPECT_EQ(out_.back().text, "Delivery possible again after 12 min, 2 alarms delayed");
    EXPECT_EQ(out_.back().phones, 1);
    run(600);
    EXPECT_EQ(count_with("Delivery possible again"), 1);
}

TEST_F(Supervision, CannotDeliverAfterFailuresInARowAcrossPhonesUntilOneGoesThrough) {
    hr_set(HR_SUP_FAILS_IN_ROW, 3);
    hr_set(HR_SUP_DELIVER_GROUPS, 0x0001);
    supervision_sms_attempt(false);
    supervision_sms_attempt(false);
    supervision_sms_attempt(true);   // a success breaks the run
    supervision_sms_attempt(false);
    supervision_sms_attempt(false);
    run(6);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 0);
    supervision_sms_attempt(false);
    run(6);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 1);
    supervision_sms_attempt(false);
    run(3600);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 1);
    EXPECT_TRUE(out_.empty());
    supervision_sms_attempt(true);
    run(3);
    EXPECT_EQ(di_get(DI_CANNOT_DELIVER), 0);
    ASSERT_EQ(out_.size(), 1u);
    EXPECT_EQ(out_[0].text.rfind("Delivery possible again after 60 min", 0), 0u) << out_[0].text;
}

TEST(Ucs2, SmsBodyIsBigEndianAndCutAtAWholeCharacter) {
    uint8_t out[8];
    EXPECT_EQ(utf8_to_sms_ucs2("Aß€x", out, 7), 6);
    const uint8_t want[6] = {0x00, 'A', 0x00, 0xDF, 0x20, 0xAC};
    EXPECT_EQ(std::memcmp(out, want, 6), 0);
    EXPECT_EQ(utf8_to_sms_ucs2("\xff", out, 8), -1);
}
}  // namespace
