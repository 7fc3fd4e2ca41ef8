// Delivery reports behind the virtual clock: matching by reference and phone,
// the classes of TP-ST, the bound, the full table, and what the master and
// the journal see. The waits of half an hour run in no time.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "alarm/ack.h"
#include "alarm/delivery.h"
#include "journal/journal.h"
#include "modbus/regmap.h"
#include "modem/sms_func.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

using namespace layout;

namespace {
constexpr const char *P1 = "0611111111", *P2 = "0622222222", *P3 = "0633333333";

bool delivered_bit(int alarm) {
    return ((hr_get(HR_DLR_DELIVERED + enable_word(alarm)) >> enable_bit(alarm)) & 1) != 0;
}

// The delivery events of the journal: (alarm, phone index, outcome, text).
struct event {
    int alarm, idx, outcome;
    std::string text;
};
std::vector<event> deliveries() {
    static journal_record buf[64];
    std::vector<event> out;
    uint64_t from = 0;
    for (;;) {
        int n = journal_read(from, -1, 0, buf, 64);
        if (n <= 0) break;
        for (int i = 0; i < n; i++)
            if (buf[i].kind == JK_DELIVERY) out.push_back({buf[i].alarm, buf[i].a, buf[i].b, buf[i].text});
        from = buf[n - 1].seq + 1;
    }
    return out;
}

void advance_s(int s) { fake_sys::set_now_us(fake_sys::now_us() + static_cast<uint64_t>(s) * 1000000u); }
}  // namespace

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        map_ = std::make_unique<test_map::Scope>("dlr");
        ASSERT_TRUE(map_->ok());
        std::filesystem::create_directories(map_->root() / "APP");
        ASSERT_TRUE(journal_open("/APP/journal.db"));
        delivery_reset();
        ack_reset();
        hr_set(HR_DLR_ON, 1);
    }
    void TearDown() override {
        journal_close();
        map_.reset();
    }
    // Alarm a's entry of the given phones sent, references from mr0 on.
    static void sent(int a, std::initializer_list<const char *> phones, int mr0) {
        delivery_entry_start(a, static_cast<int>(phones.size()));
        int i = 0;
        for (const char *p : phones) delivery_sent(a, 0, i, p, mr0 + i), i++;
    }
    std::unique_ptr<test_map::Scope> map_;
};

TEST_F(Delivery, ReportsMatchByReferenceAndPhoneAndTheAlarmBitWaitsForEveryPhone) {
    sent(5, {P1, P2}, 40);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 2);
    // The right reference for another phone, and another reference: neither matches.
    EXPECT_EQ(delivery_report(40, 0x00, P2), -2);
    EXPECT_EQ(delivery_report(42, 0x00, P1), -2);
    EXPECT_EQ(delivery_report(40, 0x00, P1), DLR_DELIVERED);
    delivery_pass();
    EXPECT_FALSE(delivered_bit(5));   // one phone of two
    // The network names the phone internationally.
    EXPECT_EQ(delivery_report(41, 0x01, "+33622222222"), DLR_DELIVERED);
    delivery_pass();
    EXPECT_TRUE(delivered_bit(5));
    for (int j = 0; j < HR_ENABLE_N; j++)
        EXPECT_EQ(hr_get(HR_DLR_DELIVERED + j), j == enable_word(5) ? 1u << enable_bit(5) : 0u) << j;
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 0);
    EXPECT_EQ(hr_get(HR_DLR_FAILED_COUNT), 0);
    EXPECT_EQ(hr_get(HR_DLR_UNCONFIRMED_COUNT), 0);
    auto d = deliveries();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].alarm, 5);
    EXPECT_EQ(d[0].idx, 0);
    EXPECT_EQ(d[0].outcome, DLR_DELIVERED);
    EXPECT_EQ(d[0].text.rfind(P1, 0), 0u) << d[0].text;
    EXPECT_EQ(d[1].idx, 1);
    EXPECT_EQ(d[1].outcome, DLR_DELIVERED);
    // Settled once: the same report again finds nothing.
    EXPECT_EQ(delivery_report(40, 0x00, P1), -2);

    // The alarm's next SMS starts over: the bit goes until its phones confirm.
    sent(5, {P1}, 50);
    delivery_pass();
    EXPECT_FALSE(delivered_bit(5));
    EXPECT_EQ(delivery_report(50, 0x00, P1), DLR_DELIVERED);
    delivery_pass();
    EXPECT_TRUE(delivered_bit(5));
}

TEST_F(Delivery, StatusClassesStillTryingWaitsFailedForGoodIsAFailedPhone) {
    sent(7, {P1, P2, P3}, 10);
    // 0x20..0x3F: the network still tries; the record stays.
    EXPECT_EQ(delivery_report(10, 0x20, P1), -1);
    EXPECT_EQ(delivery_report(10, 0x3F, P1), -1);
    EXPECT_EQ(delivery_waiting(), 3);
    EXPECT_EQ(delivery_report(10, 0x00, P1), DLR_DELIVERED);
    // 0x40..0x5F permanent, 0x60..0x7F the network gave up: both fail the phone.
    EXPECT_EQ(delivery_report(11, 0x41, P2), DLR_FAILED);
    EXPECT_EQ(delivery_report(12, 0x62, P3), DLR_FAILED);
    delivery_pass();
    EXPECT_FALSE(delivered_bit(7));
    EXPECT_EQ(hr_get(HR_DLR_FAILED_COUNT), 2);
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 0);
    auto d = deliveries();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1].outcome, DLR_FAILED);
    EXPECT_EQ(d[1].idx, 1);
    EXPECT_NE(d[1].text.find("status 0x41"), std::string::npos) << d[1].text;
    EXPECT_NE(d[2].text.find("status 0x62"), std::string::npos) << d[2].text;
    // The table of classes itself.
    EXPECT_EQ(pdu_st_class_of(0x00), PDU_ST_DELIVERED);
    EXPECT_EQ(pdu_st_class_of(0x1F), PDU_ST_DELIVERED);
    EXPECT_EQ(pdu_st_class_of(0x20), PDU_ST_PENDING);
    EXPECT_EQ(pdu_st_class_of(0x3F), PDU_ST_PENDING);
    EXPECT_EQ(pdu_st_class_of(0x40), PDU_ST_FAILED);
    EXPECT_EQ(pdu_st_class_of(0x7F), PDU_ST_FAILED);
    EXPECT_EQ(pdu_st_class_of(0xFF), PDU_ST_FAILED);
}

TEST_F(Delivery, NoReportWithinTheBoundLeavesSentNotConfirmed) {
    EXPECT_EQ(delivery_wait_s(), DLR_WAIT_DEFAULT_MIN * 60);
    sent(3, {P1, P2}, 0);
    EXPECT_EQ(delivery_report(0, 0x00, P1), DLR_DELIVERED);
    advance_s(DLR_WAIT_DEFAULT_MIN * 60 - 1);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 1);
    EXPECT_EQ(hr_get(HR_DLR_UNCONFIRMED_COUNT), 0);
    advance_s(1);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 0);
    EXPECT_EQ(hr_get(HR_DLR_UNCONFIRMED_COUNT), 1);
    EXPECT_FALSE(delivered_bit(3));
    auto d = deliveries();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[1].outcome, DLR_UNCONFIRMED);
    EXPECT_EQ(d[1].idx, 1);
    // A report after the bound changes nothing.
    EXPECT_EQ(delivery_report(1, 0x00, P2), -2);
    EXPECT_FALSE(delivered_bit(3));

    // The bound as set: minutes, or seconds with the unit register.
    hr_set(HR_DLR_WAIT, 5);
    EXPECT_EQ(delivery_wait_s(), 300);
    hr_set(HR_DLR_UNIT, 1);
    EXPECT_EQ(delivery_wait_s(), 5);
    sent(3, {P3}, 9);
    advance_s(5);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_UNCONFIRMED_COUNT), 2);
}

TEST_F(Delivery, AFullTableGivesUpItsOldestRecordAndKeepsTheRest) {
    delivery_entry_start(1, DELIVERY_TABLE + 1);
    char phone[16];
    for (int i = 0; i <= DELIVERY_TABLE; i++) {
        snprintf(phone, sizeof phone, "06%08d", i);
        delivery_sent(1, 900, i % 256, phone, i % 256);
    }
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_WAITING), DELIVERY_TABLE);
    EXPECT_EQ(hr_get(HR_DLR_UNCONFIRMED_COUNT), 1);
    auto d = deliveries();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].outcome, DLR_UNCONFIRMED);
    EXPECT_EQ(d[0].text, "0600000000 reference 0, entry 900");
    // The oldest is gone; the newest (its reference reused) is still matched.
    EXPECT_EQ(delivery_report(0, 0x00, "0600000000"), -2);
    snprintf(phone, sizeof phone, "06%08d", DELIVERY_TABLE);
    EXPECT_EQ(delivery_report(DELIVERY_TABLE % 256, 0x00, phone), DLR_DELIVERED);
    EXPECT_EQ(delivery_waiting(), DELIVERY_TABLE - 1);
}

TEST_F(Delivery, AReusedReferenceMatchesTheLatestSendToThatPhone) {
    sent(2, {P1}, 77);
    sent(4, {P1}, 77);   // 256 sends later the reference comes round again
    EXPECT_EQ(delivery_report(77, 0x00, P1), DLR_DELIVERED);
    delivery_pass();
    EXPECT_TRUE(delivered_bit(4));
    EXPECT_FALSE(delivered_bit(2));
    EXPECT_EQ(delivery_waiting(), 1);
}

TEST_F(Delivery, AFailedOrUnconfirmedPhoneFailsTheAcknowledgementRoundItBelongsTo) {
    auto failed = [] { return ((ir_get(IR_ACK_FAILED + enable_word(5)) >> enable_bit(5)) & 1) != 0; };
    hr_set(HR_ACK_REQUIRED + enable_word(5), static_cast<uint16_t>(1u << enable_bit(5)));
    hr_set(HR_GROUP_MASK + 5, 1);
    ack_alarm_change(5, ALARM_ON);
    ASSERT_EQ(ack_round_now(5), 1);
    sent(5, {P1, P2}, 20);
    EXPECT_EQ(delivery_report(20, 0x00, P1), DLR_DELIVERED);
    EXPECT_FALSE(failed());
    EXPECT_EQ(delivery_report(21, 0x45, P2), DLR_FAILED);
    EXPECT_TRUE(failed());

    // Not followed (no acknowledgement needed): nothing of the kind.
    ack_reset();
    hr_set(HR_ACK_REQUIRED + enable_word(5), 0);
    ack_alarm_change(5, ALARM_ON);
    EXPECT_EQ(ack_round_now(5), 0);
    sent(5, {P3}, 30);
    EXPECT_EQ(delivery_report(30, 0x45, P3), DLR_FAILED);
    EXPECT_FALSE(failed());
}

TEST_F(Delivery, OffTouchesNothingAndTheStartClearsLastRunsStatus) {
    hr_set(HR_DLR_ON, 0);
    hr_set(HR_DLR_DELIVERED, 0x1234);   // whatever a saved image holds
    hr_set(HR_DLR_WAITING, 9);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_DELIVERED), 0x1234);
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 9);
    delivery_start();
    for (int r = 0; r < HR_DLR_STATUS_N; r++) EXPECT_EQ(hr_get(HR_DLR_STATUS_FIRST + r), 0) << r;
    // On, a master's write into the status is put right on the next pass.
    hr_set(HR_DLR_ON, 1);
    sent(0, {P1}, 1);
    hr_set(HR_DLR_DELIVERED, 0xFFFF);
    delivery_pass();
    EXPECT_EQ(hr_get(HR_DLR_DELIVERED), 0);
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 1);
    // Switched off again: nothing awaited, the status back to zero.
    hr_set(HR_DLR_ON, 0);
    delivery_pass();
    EXPECT_EQ(delivery_waiting(), 0);
    EXPECT_EQ(hr_get(HR_DLR_WAITING), 0);
    EXPECT_TRUE(deliveries().empty());
}
