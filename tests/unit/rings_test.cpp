#include <gtest/gtest.h>

#include <cstring>

#include "alarm/rings.h"

namespace {
char g_phones[MAX_PHONES][PHONE_SLOT_LEN];

sms_message text_msg(const char *text) {
    sms_message m{};
    size_t n = std::strlen(text);
    std::memcpy(m.text, text, n);
    m.length = static_cast<uint8_t>(n);
    m.mode = 8;
    return m;
}

voice_message wav(const char *name) {
    voice_message v{};
    std::strncpy(v.wav_name, name, sizeof v.wav_name - 1);
    return v;
}

class Rings : public ::testing::Test {
protected:
    void SetUp() override {
        event_rings_reset();
        std::memset(g_phones, 0, sizeof g_phones);
        std::strcpy(g_phones[0], "0123456789");
        std::strcpy(g_phones[1], "5550001");
    }
};

TEST_F(Rings, EmptyRingCountsZeroAndPopChangesNothing) {
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(sms_event_pop(), 0);
    EXPECT_EQ(evt_in.load(), 0);
    EXPECT_EQ(evt_out.load(), 0);
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_EQ(voice_event_pop(), 0);
    EXPECT_EQ(evt_in_voice.load(), 0);
    EXPECT_EQ(evt_out_voice.load(), 0);
}

TEST_F(Rings, SeventeenPutsThenTheEighteenthIsRefused) {
    for (int i = 0; i < 17; i++) {
        EXPECT_EQ(sms_event_put(text_msg("AB"), g_phones, 2), i);
        EXPECT_EQ(voice_event_put(wav("DO1_ON.wav"), g_phones, 2), i);
        EXPECT_EQ(sms_event_status(i), 1);
        EXPECT_EQ(voice_event_status(i), 1);
    }
    EXPECT_EQ(sms_event_is_n(), 17);
    EXPECT_EQ(voice_event_is_n(), 17);
    sms_evt[17].status = 4;   // an old status in the free slot must survive the refusal
    EXPECT_EQ(sms_event_put(text_msg("XY"), g_phones, 1), -1);
    EXPECT_EQ(voice_event_put(wav("DO2_ON.wav"), g_phones, 1), -1);
    EXPECT_EQ(sms_event_is_n(), 17);
    EXPECT_EQ(voice_event_is_n(), 17);
    EXPECT_EQ(evt_in.load(), 17);
    EXPECT_EQ(evt_in_voice.load(), 17);
    EXPECT_EQ(sms_event_status(17), 4);
    EXPECT_EQ(sms_evt[17].message.length, 0);
}

TEST_F(Rings, WrapsToSlotSeventeenThenZero) {
    for (int i = 0; i < 17; i++) {
        ASSERT_EQ(sms_event_put(text_msg("A"), g_phones, 1), i);
        ASSERT_EQ(voice_event_put(wav("DO0_ON.wav"), g_phones, 1), i);
    }
    EXPECT_EQ(sms_event_pop(), 1);
    EXPECT_EQ(voice_event_pop(), 1);
    EXPECT_EQ(sms_event_put(text_msg("B"), g_phones, 1), 17);
    EXPECT_EQ(voice_event_put(wav("DO0_OFF.wav"), g_phones, 1), 17);
    EXPECT_EQ(evt_in.load(), 0);
    EXPECT_EQ(sms_event_put(text_msg("C"), g_phones, 1), -1);   // full again
    EXPECT_EQ(sms_event_pop(), 1);
    EXPECT_EQ(voice_event_pop(), 1);
    EXPECT_EQ(sms_event_put(text_msg("D"), g_phones, 1), 0);
    // 0 is a valid voice slot: the full ring answers -1, not 0.
    EXPECT_EQ(voice_event_put(wav("DO0_OFF.wav"), g_phones, 1), 0);
    EXPECT_EQ(sms_event_is_n(), 17);
    EXPECT_EQ(evt_out.load(), 2);
    EXPECT_EQ(evt_in.load(), 1);
    EXPECT_EQ(sms_evt[0].message.text[0], 'D');
    // Pop all: the head walks through 17 and back to 0.
    for (int i = 0; i < 17; i++) EXPECT_EQ(sms_event_pop(), 1);
    EXPECT_EQ(sms_event_pop(), 0);
    EXPECT_EQ(evt_out.load(), 1);
    EXPECT_EQ(sms_event_is_n(), 0);
}

TEST_F(Rings, StatusOutsideTheSlotsAndAfterPop) {
    EXPECT_EQ(sms_event_status(-1), -1);
    EXPECT_EQ(sms_event_status(18), -1);
    EXPECT_EQ(voice_event_status(-1), -1);
    EXPECT_EQ(voice_event_status(18), -1);
    EXPECT_EQ(sms_event_status(0), 0);
    ASSERT_EQ(sms_event_put(text_msg("A"), g_phones, 1), 0);
    ASSERT_EQ(sms_event_put(text_msg("B"), g_phones, 1), 1);
    sms_evt[0].status = 3;
    ASSERT_EQ(sms_event_pop(), 1);
    sms_evt[1].status = 4;
    ASSERT_EQ(sms_event_pop(), 1);
    EXPECT_EQ(sms_event_status(0), 3);
    EXPECT_EQ(sms_event_status(1), 4);
    EXPECT_EQ(sms_event_is_n(), 0);
}

TEST_F(Rings, CleanKeepsOnlyTheHead) {
    // Old statuses outside the queued span are cleared too.
    sms_evt[12].status = 3;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(sms_event_put(text_msg("A"), g_phones, 1), i);
        sms_evt[i].status = 3;
        ASSERT_EQ(sms_event_pop(), 1);
    }
    for (int i = 3; i < 8; i++) ASSERT_EQ(sms_event_put(text_msg("B"), g_phones, 1), i);
    sms_evt[3].status = 2;   // the dispatcher is serving the head
    EXPECT_EQ(sms_event_clean_all(), 1);
    EXPECT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(evt_out.load(), 3);
    EXPECT_EQ(evt_in.load(), 4);
    EXPECT_EQ(sms_event_status(3), 2);
    for (int i = 0; i < EVT_SLOTS; i++)
        if (i != 3) {
            EXPECT_EQ(sms_event_status(i), 0) << "slot " << i;
        }
    // The next put lands right after the head.
    EXPECT_EQ(sms_event_put(text_msg("C"), g_phones, 1), 4);
}

TEST_F(Rings, CleanOnAnEmptyRingLeavesItEmpty) {
    for (int i = 0; i < 17; i++) {
        ASSERT_EQ(voice_event_put(wav("DO3_ON.wav"), g_phones, 1), i);
        voice_evt[i].status = 3;
        ASSERT_EQ(voice_event_pop(), 1);
    }
    ASSERT_EQ(evt_out_voice.load(), 17);
    voice_evt[17].status = 3;   // whatever the head slot holds is kept, even when empty
    EXPECT_EQ(voice_event_clean_all(), 1);
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_EQ(evt_in_voice.load(), 17);
    EXPECT_EQ(voice_event_status(17), 3);
    EXPECT_EQ(voice_event_status(16), 0);
    EXPECT_EQ(sms_event_clean_all(), 1);
    EXPECT_EQ(sms_event_is_n(), 0);
    // Head at 17 with entries: the write index wraps to 0.
    ASSERT_EQ(voice_event_put(wav("DO3_ON.wav"), g_phones, 1), 17);
    ASSERT_EQ(voice_event_put(wav("DO3_ON.wav"), g_phones, 1), 0);
    ASSERT_EQ(voice_event_put(wav("DO3_ON.wav"), g_phones, 1), 1);
    voice_evt[17].status = 2;
    EXPECT_EQ(voice_event_clean_all(), 1);
    EXPECT_EQ(evt_in_voice.load(), 0);
    EXPECT_EQ(voice_event_is_n(), 1);
    EXPECT_EQ(voice_event_status(17), 2);
    EXPECT_EQ(voice_event_status(0), 0);
}

TEST_F(Rings, PutCopiesTextPhonesAndName) {
    sms_message m{};
    std::memset(m.text, 'x', 160);
    m.text[160] = 'y';   // outside the length: never copied
    m.length = 160;
    m.mode = 8;
    char phones[2][PHONE_SLOT_LEN];
    std::memcpy(phones[0], "12345678901234567890", 20);   // 20 characters, no terminator
    std::memcpy(phones[1], "98765\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
    int slot = sms_event_put(m, phones, 2);
    ASSERT_EQ(slot, 0);
    std::memset(&m, 0, sizeof m);
    std::memset(phones, 'z', sizeof phones);
    const sms_event &e = sms_evt[slot];
    EXPECT_EQ(e.message.length, 160);
    EXPECT_EQ(e.message.mode, 8);
    EXPECT_EQ(e.message.text[159], 'x');
    EXPECT_EQ(e.message.text[160], 0);
    EXPECT_EQ(e.phone_count, 2);
    EXPECT_EQ(e.phones_done, 0);
    EXPECT_EQ(std::memcmp(e.phones[0], "12345678901234567890", 20), 0);
    EXPECT_STREQ(e.phones[1], "98765");

    sms_message short_msg = text_msg("Hi");
    short_msg.text[2] = 'Q';   // bytes past the length do not reach the slot
    ASSERT_EQ(sms_event_put(short_msg, phones, 0), 1);
    EXPECT_EQ(sms_evt[1].message.length, 2);
    EXPECT_EQ(sms_evt[1].message.text[2], 0);
    EXPECT_EQ(sms_evt[1].phone_count, 0);

    voice_message v = wav("DO127_OFF.wav");
    ASSERT_EQ(voice_event_put(v, g_phones, 2), 0);
    std::memset(&v, 'q', sizeof v);
    EXPECT_STREQ(voice_evt[0].wav_name, "DO127_OFF.wav");
    EXPECT_STREQ(voice_evt[0].phones[1], "5550001");
    EXPECT_EQ(voice_evt[0].phone_count, 2);
}

TEST_F(Rings, PhoneCountIsBoundedByTheSlot) {
    static char many[MAX_PHONES + 10][PHONE_SLOT_LEN];
    std::memset(many, '7', sizeof many);
    ASSERT_EQ(sms_event_put(text_msg("A"), many, MAX_PHONES + 10), 0);
    EXPECT_EQ(sms_evt[0].phone_count, MAX_PHONES);
    ASSERT_EQ(sms_event_put(text_msg("A"), many, -5), 1);
    EXPECT_EQ(sms_evt[1].phone_count, 0);
    ASSERT_EQ(voice_event_put(wav("DO0_ON.wav"), nullptr, 4), 0);
    EXPECT_EQ(voice_evt[0].phone_count, 0);
}

TEST_F(Rings, PutReusesASlotAndResetsItsFields) {
    ASSERT_EQ(sms_event_put(text_msg("A"), g_phones, 2), 0);
    sms_evt[0].status = 4;
    sms_evt[0].phones_done = 1;
    ASSERT_EQ(sms_event_pop(), 1);
    for (int i = 1; i < 18; i++) {
        ASSERT_EQ(sms_event_put(text_msg("B"), g_phones, 1), i % 18);
        sms_evt[i % 18].status = 3;
        ASSERT_EQ(sms_event_pop(), 1);
    }
    ASSERT_EQ(sms_event_put(text_msg("C"), g_phones, 1), 0);
    EXPECT_EQ(sms_evt[0].status.load(), 1);
    EXPECT_EQ(sms_evt[0].phones_done, 0);
    EXPECT_EQ(sms_evt[0].phone_count, 1);
}
}  // namespace
