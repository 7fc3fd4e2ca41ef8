#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "alarm/delivery.h"
#include "alarm/dispatch.h"
#include "alarm/rings.h"
#include "alarm/supervision.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

namespace {
// The modem side of the two send mailboxes, driven by the virtual clock: on
// each sleep it serves an accepted message after `busy` sleeps with the next
// verdict of its script (3 when the script is empty).
struct FakeModem {
    std::deque<int> verdicts;
    std::deque<int> errors;  // send_sms_error / send_voice_outcome given with each failed verdict
    bool progress = false;   // reports progress (modem_progress) on every sleep while busy
    int busy = 0;            // sleeps spent "sending" before the verdict
    bool linger = false;     // keep the mailbox busy for one more sleep after the verdict
    std::vector<std::string> sms_phones, voice_phones, voice_wavs;
    std::vector<sms_message> sms_msgs;
    std::vector<int> sms_srr;   // the report request of each message taken
    int next_mr = 100;          // message reference given to each SMS sent
    std::vector<uint64_t> sms_times;
    int sms_wait = 0, voice_wait = 0;
    bool sms_linger = false, voice_linger = false;
    std::function<void()> on_first_send;

    int next_verdict() {
        if (verdicts.empty()) return 3;
        int v = verdicts.front();
        verdicts.pop_front();
        return v;
    }
    void serve_sms(uint64_t now) {
        if (sms_linger) {
            sms_linger = false;
            is_send_sms = 0;
            return;
        }
        if (is_send_sms.load() == 0 || send_sms_status.load() >= 3) return;
        if (send_sms_status.load() == 1) {
            sms_phones.emplace_back(send_sms.phone);
            sms_msgs.push_back(send_sms);
            sms_srr.push_back(send_sms_srr.load());
            sms_times.push_back(now);
            if (on_first_send) {
                auto f = on_first_send;
                on_first_send = nullptr;
                f();
            }
            send_sms_status = 2;
            sms_wait = 0;
        }
        if (sms_wait++ < busy) {
            if (progress) modem_progress++;
            return;
        }
        int v = next_verdict();
        int e = 0;
        if (v == 4 && !errors.empty()) {
            e = errors.front();
            errors.pop_front();
        }
        send_sms_error = e;
        send_sms_mr = v == 3 ? next_mr++ % 256 : -1;
        send_sms_status = v;
        if (linger)
            sms_linger = true;
        else
            is_send_sms = 0;
    }
    void serve_voice() {
        if (voice_linger) {
            voice_linger = false;
            is_send_voice = 0;
            return;
        }
        if (is_send_voice.load() == 0 || send_voice_status.load() >= 3) return;
        if (send_voice_status.load() == 1) {
            voice_phones.emplace_back(send_voice.phone);
            voice_wavs.emplace_back(send_voice.wav_name, strnlen(send_voice.wav_name, sizeof send_voice.wav_name));
            send_voice_status = 2;
            voice_wait = 0;
        }
        if (voice_wait++ < busy) {
            if (progress) modem_progress++;
            return;
        }
        int v = next_verdict();
        int o = v == 3 ? CALL_PLAYED : CALL_NO_ANSWER;
        if (v == 4 && !errors.empty()) {
            o = errors.front();
            errors.pop_front();
        }
        send_voice_outcome = o;
        send_voice_status = v;
        if (linger)
            voice_linger = true;
        else
            is_send_voice = 0;
    }
};

FakeModem *g_modem = nullptr;

char g_list[MAX_PHONES][PHONE_SLOT_LEN];

void set_list(std::initializer_list<const char *> phones) {
    std::memset(g_list, 0, sizeof g_list);
    int i = 0;
    for (const char *p : phones) std::memcpy(g_list[i++], p, strnlen(p, PHONE_SLOT_LEN));
}

int put_sms(const char *text, int count) {
    sms_message m{};
    size_t n = std::strlen(text);
    std::memcpy(m.text, text, n);
    m.length = static_cast<uint8_t>(n);
    m.mode = 8;
    return sms_event_put(m, g_list, count);
}

int put_voice(const char *wav, int count) {
    voice_message v{};
    snprintf(v.wav_name, sizeof v.wav_name, "%s", wav);
    return voice_event_put(v, g_list, count);
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        event_rings_reset();
        modem_state_reset();
        modem_creg = 1;
        g_modem = &modem_;
        fake_sys::on_sleep([](uint64_t now) {
            g_modem->serve_sms(now);
            g_modem->serve_voice();
        });
    }
    void TearDown() override {
        fake_sys::on_sleep(nullptr);
        g_modem = nullptr;
    }
    FakeModem modem_;
};

TEST_F(Dispatch, SecondPhoneFailsTwiceThenSucceeds) {
    set_list({"111", "222", "333"});
    ASSERT_EQ(put_sms("HELLO", 3), 0);
    modem_.verdicts = {3, 4, 4, 3, 3};
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222", "222", "222", "333"}));
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_evt[0].phones_done, 3);
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_NE(out.find("NG counter: 1\r\n"), std::string::npos);
    EXPECT_NE(out.find("NG counter: 2\r\n"), std::string::npos);
    EXPECT_EQ(out.find("NG counter: 3\r\n"), std::string::npos);
    EXPECT_NE(out.find("ng_cnt=0, phone_idx=3\r\n"), std::string::npos) << out;
    // The message reaches the mailbox as queued.
    ASSERT_EQ(modem_.sms_msgs.size(), 5u);
    EXPECT_EQ(modem_.sms_msgs[0].length, 5);
    EXPECT_EQ(modem_.sms_msgs[0].mode, 8);
    EXPECT_STREQ(reinterpret_cast<const char *>(modem_.sms_msgs[4].text), "HELLO");
    // A failed attempt is repeated at once: no pause between the verdict and the next offer.
    EXPECT_EQ(modem_.sms_times[2] - modem_.sms_times[1], 1000000u);
}

TEST_F(Dispatch, ThreeFailuresGiveUpOnePhoneOnly) {
    set_list({"111", "222", "333"});
    ASSERT_EQ(put_sms("A", 3), 0);
    set_list({"444"});
    ASSERT_EQ(put_sms("B", 1), 1);
    modem_.verdicts = {3, 4, 4, 4, 3};
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    // The phone after the bad one still receives; the entry ends failed.
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222", "222", "222", "333"}));
    EXPECT_EQ(sms_evt[0].status.load(), 4);
    EXPECT_EQ(sms_evt[0].phones_done, 2);
    EXPECT_NE(out.find("ng_cnt=1, phone_idx=3\r\n"), std::string::npos) << out;
    // The next entry is served normally, and only on the next pass.
    EXPECT_EQ(sms_event_is_n(), 1);
    EXPECT_EQ(sms_evt[1].status.load(), 1);
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_phones.back(), "444");
    EXPECT_EQ(sms_evt[1].status.load(), 3);
    EXPECT_EQ(sms_evt[1].phones_done, 1);
    EXPECT_EQ(sms_evt[0].status.load(), 4);   // still readable after the pop
    EXPECT_EQ(sms_event_is_n(), 0);
}

// The self-supervision counts failed attempts in a row across phones and
// entries; a delivery ends the run.
TEST_F(Dispatch, FailuresInARowAcrossPhonesRaiseTheCannotDeliverFlag) {
    test_map::Scope map("dispatch");
    ASSERT_TRUE(map.ok());
    supervision_reset();
    hr_set(layout::HR_SUP_FAILS_IN_ROW, 5);
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    modem_.verdicts = {4, 4, 4, 4, 4};   // 111 given up, 222 fails twice, then goes through
    testing::internal::CaptureStdout();
    sms_buffer_pass();   // 5 in a row, ended by the success
    supervision_pass();
    EXPECT_EQ(di_get(layout::DI_CANNOT_DELIVER), 0);
    set_list({"333"});
    ASSERT_EQ(put_sms("B", 1), 1);
    modem_.verdicts = {4, 4, 4};
    sms_buffer_pass();   // 333 given up: 3 in a row
    set_list({"444", "555"});
    ASSERT_EQ(put_sms("C", 2), 2);
    modem_.verdicts = {4, 4, 3};
    sms_buffer_pass();   // 5 in a row, then 444 goes through
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "111", "111", "222", "222", "222", "333", "333",
                                                            "333", "444", "444", "444", "555"}));
    supervision_pass();
    EXPECT_EQ(di_get(layout::DI_CANNOT_DELIVER), 0);   // the success came before the pass
    modem_.verdicts = {4, 4, 4, 4, 4, 4};   // both phones given up: 6 in a row
    set_list({"666", "777"});
    ASSERT_EQ(put_sms("D", 2), 3);
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    testing::internal::GetCapturedStdout();
    supervision_pass();
    EXPECT_EQ(di_get(layout::DI_CANNOT_DELIVER), 1);
}

TEST_F(Dispatch, FailuresWithoutNetworkDoNotCount) {
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    // The first send fails as the network goes away for 40 s; later ones succeed.
    modem_.verdicts = {4};
    int seen = -1;
    modem_.on_first_send = [] { modem_creg = 2; };
    uint64_t lost_at = 0;
    fake_sys::on_sleep([&](uint64_t now) {
        if (modem_creg.load() == 2 && lost_at == 0) lost_at = now;
        if (lost_at != 0 && now - lost_at >= 40000000u) modem_creg = 1;
        if (modem_creg.load() == 2) seen = sms_event_status(0);
        g_modem->serve_sms(now);
    });
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen, 2);   // sending while it waits
    EXPECT_EQ(sms_evt[0].status.load(), 3) << out;
    EXPECT_EQ(sms_evt[0].phones_done, 2);
    EXPECT_EQ(modem_.sms_phones.back(), "222");
    EXPECT_EQ(out.find("NG counter"), std::string::npos) << out;   // the failure is not counted
}

TEST_F(Dispatch, LongOutageAbandonsAfterHalfAnHour) {
    set_list({"111"});
    ASSERT_EQ(put_sms("A", 1), 0);
    modem_creg = 0;
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(modem_.sms_phones.empty());
    EXPECT_EQ(sms_evt[0].status.load(), 4);
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(fake_sys::slept_us(), 1800000000u);
}

// Registration coming back wakes the waiting dispatcher: the hand-over follows
// it at once, not the next whole second of a poll.
TEST_F(Dispatch, HandOverFollowsTheNetworkAtOnce) {
    set_list({"111"});
    ASSERT_EQ(put_sms("A", 1), 0);
    modem_creg = 0;
    const uint64_t back = fake_sys::now_us() + 2300000;
    bool offered_at_once = false;
    fake_sys::at(back, [] {
        modem_creg = 1;
        sys_wake();   // as the modem does when it sees registration again
    });
    fake_sys::at(back + 1000, [&offered_at_once] { offered_at_once = is_send_sms.load() != 0; });
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(offered_at_once);
    ASSERT_EQ(modem_.sms_times.size(), 1u);
    EXPECT_LE(modem_.sms_times[0] - back, 1000u);
    EXPECT_EQ(sms_evt[0].status.load(), 3);
}

TEST_F(Dispatch, StalledModemLeavesTheEntryForALaterPass) {
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    modem_.busy = 1000;   // no verdict for 1000 s
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111"}));
    EXPECT_EQ(sms_evt[0].status.load(), 2);
    EXPECT_EQ(sms_event_is_n(), 1);
    EXPECT_LT(fake_sys::slept_us(), 100000000u);
    // The modem recovers: the same phone is offered again and the entry ends.
    modem_.busy = 0;
    is_send_sms = 0;
    send_sms_status = 0;
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "111", "222"}));
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_event_is_n(), 0);
}

TEST_F(Dispatch, NoPhonesIsDoneAtOnce) {
    ASSERT_EQ(put_sms("A", 0), 0);
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(modem_.sms_phones.empty());
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_evt[0].phones_done, 0);
    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_EQ(fake_sys::slept_us(), 0u);
    EXPECT_EQ(out, "ng_cnt=0, phone_idx=0\r\n");
}

TEST_F(Dispatch, EmptyRingDoesNothing) {
    sms_buffer_pass();
    voice_buffer_pass();
    EXPECT_EQ(fake_sys::slept_us(), 0u);
    EXPECT_EQ(send_sms_status.load(), 0);
}

TEST_F(Dispatch, RefusedHandOverIsRepeatedBeforeTheWait) {
    // The modem publishes each verdict one sleep before it frees the mailbox.
    modem_.linger = true;
    set_list({"111", "222", "333"});
    ASSERT_EQ(put_sms("A", 3), 0);
    modem_.verdicts = {3, 4, 3, 3};
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    // Every phone really reached the modem: none was counted on a stale verdict.
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222", "222", "333"}));
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_evt[0].phones_done, 3);
    // After a refusal the first verdict line shows the new message's status.
    EXPECT_EQ(out.find("--> phone_idx[1]: 3\r\n"), out.rfind("--> phone_idx[1]: 3\r\n"));
    EXPECT_NE(out.find("--> phone_idx[1]: 1\r\n"), std::string::npos) << out;
    EXPECT_LT(out.find("--> phone_idx[1]: 1\r\n"), out.find("--> phone_idx[1]: 3\r\n"));
    EXPECT_NE(out.find("--> phone_idx[2]: 1\r\n"), std::string::npos);
}

TEST_F(Dispatch, WaitsOneSecondPerStatusLine) {
    modem_.busy = 2;
    set_list({"111"});
    ASSERT_EQ(put_sms("A", 1), 0);
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "--> phone_idx[0]: 1\r\n--> phone_idx[0]: 2\r\n--> phone_idx[0]: 2\r\n--> phone_idx[0]: 3\r\n"
              "ng_cnt=0, phone_idx=1\r\n");
    EXPECT_EQ(fake_sys::slept_us(), 3000000u);
}

TEST_F(Dispatch, CleanWhileAnEntryIsServed) {
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    ASSERT_EQ(put_sms("B", 2), 1);
    ASSERT_EQ(put_sms("C", 2), 2);
    modem_.on_first_send = [] { EXPECT_EQ(sms_event_clean_all(), 1); };
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222"}));
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_evt[0].phones_done, 2);
    EXPECT_EQ(sms_evt[1].status.load(), 0);
    EXPECT_EQ(sms_evt[2].status.load(), 0);
    EXPECT_EQ(sms_event_is_n(), 0);
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_phones.size(), 2u);
}

TEST_F(Dispatch, TwentyCharacterNumberReachesTheMailboxWhole) {
    set_list({"12345678901234567890", "98765432109876543210"});
    ASSERT_EQ(put_sms("A", 2), 0);
    sms_buffer_pass();
    ASSERT_EQ(modem_.sms_phones.size(), 2u);
    EXPECT_EQ(modem_.sms_phones[0], "12345678901234567890");
    EXPECT_EQ(modem_.sms_phones[1], "98765432109876543210");

    set_list({"12345678901234567890"});
    voice_message v{};
    std::strcpy(v.wav_name, "DO3_ON.wav");
    ASSERT_EQ(voice_event_put(v, g_list, 1), 0);
    voice_buffer_pass();
    ASSERT_EQ(modem_.voice_phones.size(), 1u);
    EXPECT_EQ(modem_.voice_phones[0], "12345678901234567890");
}

TEST_F(Dispatch, VoiceTwin) {
    set_list({"111", "222", "333"});
    voice_message v{};
    std::strcpy(v.wav_name, "DO12_OFF.wav");
    ASSERT_EQ(voice_event_put(v, g_list, 3), 0);
    std::strcpy(v.wav_name, "DO13_ON.wav");
    ASSERT_EQ(voice_event_put(v, g_list, 1), 1);
    modem_.verdicts = {3, 4, 4, 4, 3};
    testing::internal::CaptureStdout();
    voice_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.voice_phones, (std::vector<std::string>{"111", "222", "222", "222", "333"}));
    EXPECT_EQ(modem_.voice_wavs[0], "DO12_OFF.wav");
    EXPECT_EQ(voice_evt[0].status.load(), 4);
    EXPECT_EQ(voice_evt[0].phones_done, 2);
    EXPECT_NE(out.find("-->Send Voice: phone_idx[0]: 1\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Send Voice: NG counter: 3\r\n"), std::string::npos);
    EXPECT_NE(out.find("Send Voice: ng_cnt=1, phone_idx=3\r\n"), std::string::npos);
    EXPECT_EQ(voice_event_is_n(), 1);
    voice_buffer_pass();
    EXPECT_EQ(modem_.voice_wavs.back(), "DO13_ON.wav");
    EXPECT_EQ(voice_evt[1].status.load(), 3);
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_TRUE(modem_.sms_phones.empty());
}

TEST_F(Dispatch, VoiceRefusedHandOverIsRepeated) {
    modem_.linger = true;
    set_list({"111", "222"});
    voice_message v{};
    std::strcpy(v.wav_name, "DO1_ON.wav");
    ASSERT_EQ(voice_event_put(v, g_list, 2), 0);
    voice_buffer_pass();
    EXPECT_EQ(modem_.voice_phones, (std::vector<std::string>{"111", "222"}));
    EXPECT_EQ(voice_evt[0].status.load(), 3);
    EXPECT_EQ(voice_evt[0].phones_done, 2);
}

TEST_F(Dispatch, HeadIsMarkedSendingWhileServed) {
    set_list({"111"});
    ASSERT_EQ(put_sms("A", 1), 0);
    int seen = -1;
    modem_.on_first_send = [&seen] { seen = sms_event_status(0); };
    sms_buffer_pass();
    EXPECT_EQ(seen, 2);
}
}  // namespace

TEST_F(Dispatch, LongCallIsWaitedForWholeAndDialledOnce) {
    // Answered after 20 s, a 75 s recording: the modem is at work for well
    // over the 90 s bound, and the phone is called once.
    set_list({"111"});
    put_voice("DO5_ON.wav", 1);
    modem_.busy = 120;
    modem_.progress = true;
    testing::internal::CaptureStdout();
    voice_buffer_pass();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.voice_phones, (std::vector<std::string>{"111"}));
    EXPECT_EQ(voice_evt[0].status.load(), 3);
    EXPECT_EQ(voice_evt[0].phones_done, 1);
}

TEST_F(Dispatch, PendingHandOverIsTakenUpNotOfferedAgain) {
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    modem_.busy = 1000;   // silent for longer than the bound
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    EXPECT_EQ(sms_evt[0].status.load(), 2);
    modem_.busy = 0;      // then its verdict comes
    sms_buffer_pass();
    testing::internal::GetCapturedStdout();
    // 111 got one SMS, not two.
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222"}));
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    EXPECT_EQ(sms_evt[0].phones_done, 2);
}

TEST_F(Dispatch, PermanentErrorGivesUpThePhoneAtOnce) {
    set_list({"111", "222"});
    ASSERT_EQ(put_sms("A", 2), 0);
    modem_.verdicts = {4, 3};
    modem_.errors = {1};   // unassigned number
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.sms_phones, (std::vector<std::string>{"111", "222"}));
    EXPECT_EQ(out.find("NG counter"), std::string::npos);
    EXPECT_EQ(sms_evt[0].status.load(), 4);
    EXPECT_EQ(sms_evt[0].phones_done, 1);

    // A call that can never be dialled is given up at once too.
    set_list({"12x"});
    put_voice("DO5_ON.wav", 1);
    modem_.verdicts = {4};
    modem_.errors = {CALL_NOT_DIALLED};
    voice_buffer_pass();
    EXPECT_EQ(modem_.voice_phones.size(), 1u);
    EXPECT_EQ(voice_evt[0].status.load(), 4);
}

TEST_F(Dispatch, TemporaryErrorsRetryWithAGrowingPause) {
    set_list({"111"});
    ASSERT_EQ(put_sms("A", 1), 0);
    modem_.verdicts = {4, 4, 4, 4, 3};
    modem_.errors = {42, 332, 314, 38};   // congestion, time-out, SIM busy, network out of order
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.sms_phones.size(), 5u);
    EXPECT_EQ(out.find("NG counter"), std::string::npos) << out;
    EXPECT_EQ(sms_evt[0].status.load(), 3);
    // Pauses of 5, 10, 20 and 40 s between the tries.
    EXPECT_EQ(modem_.sms_times[1] - modem_.sms_times[0], 6000000u);
    EXPECT_EQ(modem_.sms_times[4] - modem_.sms_times[3], 41000000u);

    // For ever temporary: the phone is given up after half an hour.
    set_list({"222"});
    ASSERT_EQ(put_sms("B", 1), 1);
    modem_.verdicts = std::deque<int>(60, 4);
    modem_.errors = std::deque<int>(60, 42);
    testing::internal::CaptureStdout();
    sms_buffer_pass();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sms_evt[1].status.load(), 4);
    EXPECT_EQ(sms_evt[1].phones_done, 0);
    EXPECT_LT(modem_.sms_phones.size(), 20u);
}

TEST_F(Dispatch, CallAndSmsFailuresOfOtherKindsCountAsBefore) {
    set_list({"111"});
    put_voice("DO5_ON.wav", 1);
    modem_.verdicts = {4, 4, 4};
    modem_.errors = {CALL_BUSY, CALL_CUT, CALL_NO_ANSWER};
    testing::internal::CaptureStdout();
    voice_buffer_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(modem_.voice_phones.size(), 3u);
    EXPECT_EQ(voice_evt[0].status.load(), 4);
    EXPECT_NE(out.find("phone 111: busy"), std::string::npos) << out;
    EXPECT_NE(out.find("phone 111: reached, cut during the recording"), std::string::npos) << out;
    EXPECT_NE(out.find("phone 111: no answer"), std::string::npos) << out;
}

TEST_F(Dispatch, WithDeliveryReportsOnAlarmSmsAskForOneAndAwaitItUnderTheirReference) {
    test_map::Map map;
    ASSERT_TRUE(map.ok());
    delivery_reset();
    set_list({"0611111111", "0622222222", "0633333333"});
    sms_message m{};
    m.length = 2;
    m.mode = 8;
    // Off: nothing asked, nothing awaited.
    ASSERT_GE(sms_event_put(m, g_list, 2, 9), 0);
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_srr, (std::vector<int>{0, 0}));
    EXPECT_EQ(delivery_waiting(), 0);

    // On: the alarm's phones ask; the one that failed three times is not awaited.
    hr_set(layout::HR_DLR_ON, 1);
    modem_.verdicts = {3, 4, 4, 4, 3};
    ASSERT_GE(sms_event_put(m, g_list, 3, 9), 0);
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_srr, (std::vector<int>{0, 0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(delivery_waiting(), 2);
    // The references the modem gave: the first and the last phone's.
    EXPECT_EQ(delivery_report(102, 0x00, "0611111111"), DLR_DELIVERED);
    EXPECT_EQ(delivery_report(103, 0x00, "0633333333"), DLR_DELIVERED);
    delivery_pass();
    // Two of three phones confirmed: the alarm's bit stays clear.
    EXPECT_EQ(hr_get(layout::HR_DLR_DELIVERED + layout::enable_word(9)), 0);

    // A message that is not an alarm's (the dynamic SMS, notices) asks for none.
    ASSERT_GE(sms_event_put(m, g_list, 1), 0);
    sms_buffer_pass();
    EXPECT_EQ(modem_.sms_srr.back(), 0);
    EXPECT_EQ(delivery_waiting(), 0);

    // Every phone confirmed: the bit is set.
    ASSERT_GE(sms_event_put(m, g_list, 2, 9), 0);
    sms_buffer_pass();
    EXPECT_EQ(delivery_report(105, 0x00, "0611111111"), DLR_DELIVERED);
    EXPECT_EQ(delivery_report(106, 0x00, "0622222222"), DLR_DELIVERED);
    delivery_pass();
    EXPECT_EQ(hr_get(layout::HR_DLR_DELIVERED + layout::enable_word(9)), 1u << layout::enable_bit(9));
    delivery_reset();
}
