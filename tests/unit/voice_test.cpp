// The voice call against a scripted modem: minutes of call on the virtual clock.
#include "modbus/regmap.h"
#include "tests/unit/map_fixture.h"
#include "tests/unit/modem_fixture.h"

using fake_serial::answer;
using fake_serial::answer_with;
using fake_serial::inject;

namespace {
const char *kOk = "\r\nOK\r\n";
const char *kEnd = "\r\nVOICE CALL: END\r\n\r\nOK\r\n";

voice_message call_to(const char *phone, const char *wav = "DO5_ON.wav") {
    voice_message v{};
    snprintf(v.phone, sizeof v.phone, "%s", phone);
    snprintf(v.wav_name, sizeof v.wav_name, "%s", wav);
    return v;
}

// Notices the modem sends by itself, delay_ms after the command it answers.
fake_serial::Responder then_notice(const char *reply, const char *notice, int delay_ms) {
    std::string r = reply, n = notice;
    return [r, n, delay_ms](const std::string &) {
        inject(n, delay_ms);
        return r;
    };
}

// Length of the run of progress marks c that follows the text after.
size_t progress(const std::string &out, const std::string &after, char c) {
    size_t p = out.find(after);
    if (p == std::string::npos) return 0;
    p = out.find(c, p + after.size());
    if (p == std::string::npos) return 0;
    size_t n = 0;
    while (p + n < out.size() && out[p + n] == c) n++;
    return n;
}
size_t ring_marks(const std::string &out) { return progress(out, "wait calling...\n", '/'); }
size_t idle_marks(const std::string &out) { return progress(out, "wait calling...\n", '.'); }
size_t play_marks(const std::string &out) { return progress(out, "AT+CCMXPLAYWAV recv:", ','); }
}  // namespace

class VoiceTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        healthy_modem();
        answer("AT+MORING=1", kOk);
        answer("AT+CHUP", kEnd);
    }
    // Runs one pass with the call and returns what it printed.
    std::string run_call(const voice_message &v) {
        EXPECT_EQ(voice_send_one(v), 1);
        testing::internal::CaptureStdout();
        get_modem_info();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(is_send_voice.load(), 0);
        EXPECT_FALSE(fake_serial::is_open());
        return out;
    }
    std::string play_cmd() const {
        return "AT+CCMXPLAYWAV=\"" + root_ + "/var/zrb_318_voice/DO5_ON.wav\",1\r\n";
    }
};

TEST_F(VoiceTest, AnsweredCallPlaysTheMessageAndHangsUp) {
    answer_with("ATD", then_notice(kOk, "\r\nVOICE CALL: BEGIN\r\n", 1000));
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 5000));
    int32_t status_in_call = -1;
    answer_with("AT+MORING=1", [&](const std::string &) {
        status_in_call = send_voice_status.load();
        return std::string(kOk);
    });
    std::string out = run_call(call_to("0123456789"));
    int moring = fake_serial::find("AT+MORING=1\r\n");
    int atd = fake_serial::find("ATD");
    int play = fake_serial::find("AT+CCMXPLAYWAV");
    int chup = fake_serial::find("AT+CHUP");
    ASSERT_GE(moring, 0);
    ASSERT_EQ(atd, moring + 1);
    ASSERT_EQ(play, atd + 1);
    ASSERT_EQ(chup, play + 1);
    auto s = fake_serial::sent();
    EXPECT_EQ(s[static_cast<size_t>(atd)].data, "ATD0123456789;\r\n");
    EXPECT_EQ(s[static_cast<size_t>(play)].data, play_cmd());
    EXPECT_EQ(s[static_cast<size_t>(moring)].wait_ms, 100);
    EXPECT_EQ(s[static_cast<size_t>(atd)].wait_ms, 100);
    EXPECT_EQ(s[static_cast<size_t>(play)].wait_ms, 100);
    EXPECT_EQ(s[static_cast<size_t>(chup)].wait_ms, 300);
    EXPECT_DOUBLE_EQ(ms_between(atd, play), 1000.0);   // the first poll that shows BEGIN
    // The stop notice at 5 s, then half a second that tells a whole play
    // from one cut by the far end.
    EXPECT_DOUBLE_EQ(ms_between(play, chup), 5500.0);
    EXPECT_EQ(send_voice_outcome.load(), CALL_PLAYED);
    EXPECT_EQ(status_in_call, 2);
    EXPECT_EQ(send_voice_status.load(), 3);
    EXPECT_NE(out.find("====== Send VOICE =======\nsend_voice:Phone Number:0123456789\n"
                       "send_voice:Voice Name:DO5_ON.wav\nAT+MORING recv:\r\nOK\r\n\n"
                       "ATD recv:\r\nOK\r\n\nwait calling...\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(idle_marks(out), 9u);
    EXPECT_EQ(play_marks(out), 49u);
    EXPECT_NE(out.find("send_voice_status --> 3\r\n====== End VOICE ======\n"), std::string::npos);
}

TEST_F(VoiceTest, FarEndAnsweringAtOnce) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 0));
    std::string out = run_call(call_to("0123456789"));
    EXPECT_DOUBLE_EQ(ms_between(fake_serial::find("ATD"), fake_serial::find("AT+CCMXPLAYWAV")), 100.0);
    EXPECT_EQ(send_voice_status.load(), 3);
}

TEST_F(VoiceTest, RingingForeverIsNoAnswerAndNothingIsPlayed) {
    // Played into a call that only rings, the recording reaches nobody (the
    // module refuses it and leaves the call up): no answer, a failed try.
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: RING\r\n");
    answer("AT+CCMXPLAYWAV", kOk);
    int32_t state_while_ringing = -1;
    answer_with("AT+CHUP", [&](const std::string &) {
        state_while_ringing = modem_call_state.load();
        return std::string(kOk);
    });
    std::string out = run_call(call_to("0123456789"));
    int atd = fake_serial::find("ATD");
    EXPECT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), -1);
    ASSERT_EQ(fake_serial::find("AT+CHUP"), atd + 1);
    // 601 ring polls 100 ms apart (a minute), then the hang-up.
    EXPECT_DOUBLE_EQ(ms_between(atd, atd + 1), 100.0 + 600 * 100.0);
    EXPECT_EQ(ring_marks(out), 601u);
    EXPECT_EQ(state_while_ringing, 2);
    EXPECT_EQ(modem_call_state.load(), 0);
    EXPECT_EQ(send_voice_status.load(), 4);
    EXPECT_EQ(send_voice_outcome.load(), CALL_NO_ANSWER);
    EXPECT_FALSE(call_reached(send_voice_outcome.load()));
}

TEST_F(VoiceTest, VoiceMailboxThatConnectsAfterRingingIsPlayedInto) {
    answer_with("ATD", then_notice("\r\nOK\r\n\r\nVOICE CALL: RING\r\n", "\r\nVOICE CALL: BEGIN\r\n", 25000));
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 3000));
    run_call(call_to("0123456789"));
    int atd = fake_serial::find("ATD");
    ASSERT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), atd + 1);
    EXPECT_DOUBLE_EQ(ms_between(atd, atd + 1), 25000.0);
    EXPECT_EQ(send_voice_status.load(), 3);
    EXPECT_EQ(send_voice_outcome.load(), CALL_PLAYED);

    // Connected only after 40 s of ringing: a mailbox, whose greeting is let
    // pass (23 s) before the recording.
    fake_serial::clear_sent();
    answer_with("ATD", then_notice("\r\nOK\r\n\r\nVOICE CALL: RING\r\n", "\r\nVOICE CALL: BEGIN\r\n", 40000));
    std::string out = run_call(call_to("0123456789"));
    atd = fake_serial::find("ATD");
    ASSERT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), atd + 1);
    EXPECT_DOUBLE_EQ(ms_between(atd, atd + 1), 40000.0 + 23000.0);
    EXPECT_NE(out.find("Go voice mail...wait 23 second...\r\n"), std::string::npos);
    EXPECT_EQ(send_voice_status.load(), 3);
}

TEST_F(VoiceTest, EveryEndTheModuleGivesEndsTheCallAtOnce) {
    struct Case {
        const char *notice;
        int32_t outcome;
        int error;
    } cases[] = {
        {"\r\nBUSY\r\n", CALL_BUSY, -1},
        {"\r\nNO ANSWER\r\n", CALL_NO_ANSWER, -1},
        {"\r\nNO DIALTONE\r\n", CALL_NO_DIALTONE, -1},
        {"\r\nNO CARRIER\r\n", CALL_NO_CARRIER, -1},
        {"\r\nVOICE CALL: END: 000000\r\n", CALL_REJECTED, -1},
        {"\r\n+CME ERROR: 30\r\n", CALL_REJECTED, 30},
        {"\r\n+CME ERROR: no network service\r\n", CALL_REJECTED, 30},
        {"\r\nERROR\r\n", CALL_REJECTED, -1},
    };
    for (const Case &c : cases) {
        // After some ringing, and as the answer to the dial itself.
        for (bool in_dial : {false, true}) {
            fake_serial::clear_sent();
            uint64_t t0 = fake_sys::slept_us();
            if (in_dial)
                answer("ATD", c.notice);
            else
                answer_with("ATD", then_notice("\r\nOK\r\n\r\nVOICE CALL: RING\r\n", c.notice, 2000));
            run_call(call_to("0123456789"));
            EXPECT_EQ(send_voice_status.load(), 4) << c.notice;
            EXPECT_EQ(send_voice_outcome.load(), c.outcome) << c.notice;
            EXPECT_EQ(send_voice_error.load(), c.error) << c.notice;
            EXPECT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), -1);
            // The try ends within seconds, not after a minute of idle polls.
            EXPECT_LT(fake_sys::slept_us() - t0, 5000000u) << c.notice;
            EXPECT_EQ(fake_serial::count("AT+CHUP"), in_dial ? 0 : 1) << c.notice;
        }
    }
}

TEST_F(VoiceTest, FarEndHangingUpDuringTheRecordingIsNotDelivered) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    // The stop notice and the call end in one burst, and split across polls.
    for (int gap : {0, 150}) {
        fake_serial::clear_sent();
        answer_with("AT+CCMXPLAYWAV", [gap](const std::string &) {
            inject("\r\n+WAVSTATE: wav play stop\r\n", 3000);
            inject("\r\nVOICE CALL: END: 000003\r\n\r\nNO CARRIER\r\n", 3000 + gap);
            return std::string(kOk);
        });
        run_call(call_to("0123456789"));
        EXPECT_EQ(send_voice_status.load(), 4) << gap;
        EXPECT_EQ(send_voice_outcome.load(), CALL_CUT) << gap;
        EXPECT_TRUE(call_reached(send_voice_outcome.load()));
    }
    // The call ends without any stop notice.
    fake_serial::clear_sent();
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\nVOICE CALL: END: 000002\r\n", 2000));
    run_call(call_to("0123456789"));
    EXPECT_EQ(send_voice_status.load(), 4);
    EXPECT_EQ(send_voice_outcome.load(), CALL_CUT);
}

TEST_F(VoiceTest, CallStateAndProgressFollowTheCall) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    int32_t state = -1;
    uint32_t before = modem_progress.load();
    answer_with("AT+CCMXPLAYWAV", [&](const std::string &) {
        state = modem_call_state.load();
        inject("\r\n+WAVSTATE: wav play stop\r\n", 75000);   // a 75 s recording
        return std::string(kOk);
    });
    run_call(call_to("0123456789"));
    EXPECT_EQ(state, 3);
    EXPECT_EQ(modem_call_state.load(), 0);
    EXPECT_EQ(send_voice_status.load(), 3);
    // A poll every 100 ms: the dispatcher sees the modem at work all along.
    EXPECT_GT(modem_progress.load() - before, 700u);
}

TEST_F(VoiceTest, PlayDirectoryComesFromTheSetting) {
    test_map::Map map;
    ASSERT_TRUE(map.ok());
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 0));
    run_call(call_to("0123456789"));   // all zero: the default
    EXPECT_EQ(fake_serial::sent().at(static_cast<size_t>(fake_serial::find("AT+CCMXPLAYWAV"))).data, play_cmd());
    struct Case {
        std::vector<uint16_t> regs;
        std::string dir;
    } cases[] = {
        {{0x453A, 0x2F00}, "E:/"},                  // "E:/"
        {{0x433A}, "C:/"},                          // "C:" gets its '/'
        {{0x453A, 0x2F22, 0x2C31}, ""},            // a quote: the default
    };
    for (const Case &c : cases) {
        for (int i = 0; i < layout::HR_MODEM_PLAY_DIR_N; i++) hr_set(layout::HR_MODEM_PLAY_DIR + i, 0);
        for (size_t i = 0; i < c.regs.size(); i++) hr_set(layout::HR_MODEM_PLAY_DIR + static_cast<int>(i), c.regs[i]);
        fake_serial::clear_sent();
        run_call(call_to("0123456789"));
        std::string want = c.dir.empty() ? play_cmd() : "AT+CCMXPLAYWAV=\"" + c.dir + "DO5_ON.wav\",1\r\n";
        EXPECT_EQ(fake_serial::sent().at(static_cast<size_t>(fake_serial::find("AT+CCMXPLAYWAV"))).data, want);
    }
}

TEST_F(VoiceTest, SilentLineIsHungUpAfterTheTimeOut) {
    answer("ATD", kOk);
    answer("AT+CHUP", kOk);
    std::string out = run_call(call_to("0123456789"));
    int atd = fake_serial::find("ATD");
    int chup = fake_serial::find("AT+CHUP");
    ASSERT_EQ(chup, atd + 1);
    EXPECT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), -1);
    EXPECT_DOUBLE_EQ(ms_between(atd, chup), 100.0 + 1200 * 100.0);   // 1201 polls
    EXPECT_EQ(idle_marks(out), 1201u);
    // An unanswered call is not delivered, however the hang-up is answered.
    EXPECT_NE(out.find("AT+CHUP(timeout) recv:\r\nOK\r\n\nsend_voice outcome: no answer\r\n"
                       "send_voice_status(timeout) --> 4\r\n"),
              std::string::npos);
    EXPECT_EQ(send_voice_status.load(), 4);
}

TEST_F(VoiceTest, PlayErrorFailsAndHangsUp) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer("AT+CCMXPLAYWAV", "\r\nERROR\r\n");
    run_call(call_to("0123456789"));
    // No call is left up for the next try to collide with.
    EXPECT_EQ(fake_serial::find("AT+CHUP"), fake_serial::find("AT+CCMXPLAYWAV") + 1);
    EXPECT_EQ(send_voice_outcome.load(), CALL_PLAY_ERROR);
    EXPECT_EQ(send_voice_status.load(), 4);
}

TEST_F(VoiceTest, NoCarrierEndsTheCallAsFailed) {
    answer_with("ATD", then_notice(kOk, "\r\nNO CARRIER\r\n", 2000));
    answer("AT+CHUP", "\r\nERROR\r\n");
    std::string out = run_call(call_to("0123456789"));
    int atd = fake_serial::find("ATD");
    ASSERT_EQ(fake_serial::find("AT+CHUP"), atd + 1);
    EXPECT_DOUBLE_EQ(ms_between(atd, atd + 1), 2000.0);
    EXPECT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), -1);
    EXPECT_EQ(send_voice_status.load(), 4);
    // An unconfirmed hang-up is followed by the plain one.
    EXPECT_EQ(fake_serial::find("ATH"), atd + 2);
    EXPECT_EQ(send_voice_outcome.load(), CALL_NO_CARRIER);

    // The modem confirming the end of the lost call still leaves it failed,
    // and the status is final before the mailbox is freed.
    fake_serial::clear_sent();
    answer("AT+CHUP", kEnd);
    out = run_call(call_to("0123456789"));
    EXPECT_EQ(send_voice_status.load(), 4);
    EXPECT_EQ(fake_serial::find("AT+CCMXPLAYWAV"), -1);
    EXPECT_NE(out.find("send_voice_status(NO CARRIER) --> 4\r\n====== End VOICE ======\n"), std::string::npos);
}

TEST_F(VoiceTest, NoCarrierWinsOverAnEarlierRing) {
    answer_with("ATD", then_notice("\r\nOK\r\n\r\nVOICE CALL: RING\r\n", "\r\nNO CARRIER\r\n", 5000));
    std::string out = run_call(call_to("0123456789"));
    EXPECT_EQ(send_voice_status.load(), 4);
    EXPECT_EQ(ring_marks(out), 49u);
}

TEST_F(VoiceTest, PlaybackThatNeverStopsIsCut) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer("AT+CCMXPLAYWAV", kOk);
    answer("AT+CHUP", kOk);
    std::string out = run_call(call_to("0123456789"));
    int play = fake_serial::find("AT+CCMXPLAYWAV");
    ASSERT_EQ(fake_serial::find("AT+CHUP"), play + 1);
    EXPECT_DOUBLE_EQ(ms_between(play, play + 1), 100.0 + 1200 * 100.0);
    EXPECT_EQ(play_marks(out), 1201u);
    EXPECT_EQ(send_voice_status.load(), 4);   // the file was not played to its end
    EXPECT_EQ(send_voice_outcome.load(), CALL_PLAY_TIMEOUT);
}

TEST_F(VoiceTest, NoticesSplitAcrossReadsAreSeen) {
    answer("ATD", kOk);
    answer("AT+CCMXPLAYWAV", kOk);
    answer("AT+CHUP", kEnd);
    // A 118-byte burst of notices, the answer notice cut between two reads,
    // then the end of the playback cut as well.
    std::string burst = "\r\nVOICE CALL: RING\r\n\r\nVOICE CALL: RING\r\n\r\nVOICE CALL: RING\r\n"
                        "\r\nVOICE CALL: RING\r\n\r\nVOICE CALL: RING\r\n\r\nVOICE CALL: BEGIN\r\n";
    fake_serial::inject(burst.substr(0, 100), 5000);
    fake_serial::inject(burst.substr(100), 5150);
    fake_serial::inject("\r\n+WAVSTATE: wav pl", 8000);
    fake_serial::inject("ay stop\r\n", 8150);
    run_call(call_to("0123456789"));
    EXPECT_GE(fake_serial::find("AT+CCMXPLAYWAV"), 0);
    EXPECT_EQ(send_voice_status.load(), 3);
}

TEST_F(VoiceTest, RefusedNoticesOrDialFail) {
    answer("AT+MORING=1", "\r\nERROR\r\n");
    run_call(call_to("0123456789"));
    EXPECT_EQ(fake_serial::count("ATD"), 0);
    EXPECT_EQ(send_voice_status.load(), 4);
    EXPECT_EQ(send_voice_outcome.load(), CALL_MODEM_ERROR);

    answer("AT+MORING=1", kOk);
    for (const char *dial : {"\r\nERROR\r\n", "", "\r\nNO CARRIER\r\n"}) {
        fake_serial::clear_sent();
        answer("ATD", dial);
        run_call(call_to("0123456789"));
        EXPECT_EQ(send_voice_status.load(), 4);
        EXPECT_EQ(fake_serial::count("AT+CHUP"), 0);
        EXPECT_NE(send_voice_outcome.load(), CALL_NONE);
        EXPECT_FALSE(call_reached(send_voice_outcome.load()));
    }
}

TEST_F(VoiceTest, OnlyDialStringsAreDialled) {
    for (const char *bad : {"01234a6789", "0123;H", "", "+", "0123\r\nATH", "123456789012345678901"}) {
        fake_serial::clear_sent();
        run_call(call_to(bad));
        EXPECT_EQ(fake_serial::count("AT+MORING"), 0) << bad;
        EXPECT_EQ(fake_serial::count("ATD"), 0) << bad;
        EXPECT_EQ(send_voice_status.load(), 4);
        EXPECT_EQ(send_voice_outcome.load(), CALL_NOT_DIALLED) << bad;
    }
    for (const char *bad : {"a\"b.wav", "../x.wav", "", "x\r\n.wav"}) {
        fake_serial::clear_sent();
        run_call(call_to("0123456789", bad));
        EXPECT_EQ(fake_serial::count("ATD"), 0) << bad;
        EXPECT_EQ(send_voice_status.load(), 4);
    }
    fake_serial::clear_sent();
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 0));
    run_call(call_to("+4912345678"));
    EXPECT_EQ(fake_serial::sent().at(static_cast<size_t>(fake_serial::find("ATD"))).data, "ATD+4912345678;\r\n");
    EXPECT_EQ(send_voice_status.load(), 3);
}

TEST_F(VoiceTest, SendOneWhileACallRunsIsRefused) {
    voice_message first = call_to("0123456789");
    voice_message second = call_to("5555", "DO7_OFF.wav");
    int refused = -1;
    answer_with("ATD", [&](const std::string &) {
        refused = voice_send_one(second);
        return std::string("\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    });
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 0));
    run_call(first);
    EXPECT_EQ(refused, 0);
    EXPECT_STREQ(send_voice.phone, "0123456789");
    EXPECT_STREQ(send_voice.wav_name, "DO5_ON.wav");
    EXPECT_EQ(send_voice_status.load(), 3);
    // Free again: the next one is accepted.
    EXPECT_EQ(voice_send_one(second), 1);
    EXPECT_EQ(send_voice_status.load(), 1);
    EXPECT_STREQ(send_voice.phone, "5555");
}

// Key presses: asked for only when the producer wants a key (an alarm that
// needs acknowledging); the key may come in pieces after the recording.
TEST_F(VoiceTest, KeyAfterTheRecordingIsReportedBeforeTheVerdict) {
    answer("AT+DDET=1", kOk);
    answer_with("ATD", then_notice(kOk, "\r\nVOICE CALL: BEGIN\r\n", 500));
    answer_with("AT+CCMXPLAYWAV", [](const std::string &) {
        inject("\r\n+WAVSTATE: wav play stop\r\n", 2000);
        inject("\r\n+RXD", 3000);    // the notice cut in two reads
        inject("TMF: 1\r\n", 3150);
        return std::string(kOk);
    });
    voice_key_wanted.store(1);
    std::string out = run_call(call_to("0123456789"));
    voice_key_wanted.store(0);
    int ddet = fake_serial::find("AT+DDET=1");
    ASSERT_GE(ddet, 0);
    EXPECT_LT(ddet, fake_serial::find("ATD"));
    // The hang-up waits for the key, not for the time-out.
    double waited = ms_between(fake_serial::find("AT+CCMXPLAYWAV"), fake_serial::find("AT+CHUP"));
    EXPECT_GE(waited, 3150.0);
    EXPECT_LT(waited, 4000.0);
    EXPECT_EQ(send_voice_key.load(), '1');
    EXPECT_EQ(send_voice_status.load(), 3);
    EXPECT_NE(out.find("send_voice: key 1 pressed"), std::string::npos) << out;
}

TEST_F(VoiceTest, AnsweredWithoutKeyIsReachedAfterTheKeyWait) {
    answer("AT+DDET=1", kOk);
    answer_with("ATD", then_notice(kOk, "\r\nVOICE CALL: BEGIN\r\n", 500));
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 2000));
    voice_key_wanted.store(1);
    std::string out = run_call(call_to("0123456789"));
    voice_key_wanted.store(0);
    double waited = ms_between(fake_serial::find("AT+CCMXPLAYWAV"), fake_serial::find("AT+CHUP"));
    EXPECT_GE(waited, 2000.0 + 7000.0);   // about 8 s for a key
    EXPECT_LT(waited, 2000.0 + 10000.0);
    EXPECT_EQ(send_voice_key.load(), 0);
    EXPECT_EQ(send_voice_status.load(), 3);   // reached, not acknowledged
    EXPECT_NE(out.find("send_voice: no key pressed"), std::string::npos);
}

TEST_F(VoiceTest, NoKeyDetectionUnlessWanted) {
    answer_with("ATD", then_notice(kOk, "\r\nVOICE CALL: BEGIN\r\n", 500));
    answer_with("AT+CCMXPLAYWAV", [](const std::string &) {
        inject("\r\n+RXDTMF: 1\r\n", 500);
        inject("\r\n+WAVSTATE: wav play stop\r\n", 2000);
        return std::string(kOk);
    });
    run_call(call_to("0123456789"));
    EXPECT_EQ(fake_serial::find("AT+DDET"), -1);
    // No key wait: the hang-up follows the recording's end once the call is
    // seen to stay up (a few polls), not the 8 s a key is waited for.
    double waited = ms_between(fake_serial::find("AT+CCMXPLAYWAV"), fake_serial::find("AT+CHUP"));
    EXPECT_GE(waited, 2000.0);
    EXPECT_LT(waited, 3000.0);
    EXPECT_EQ(send_voice_key.load(), 0);
}

// With SMS and calls both waiting, a pass serves one of each, the SMS first:
// neither kind waits for more than one of the other (SMS, call, SMS, ...).
TEST_F(VoiceTest, WaitingSmsAndCallsTakeTurns) {
    answer("ATD", "\r\nOK\r\n\r\nVOICE CALL: BEGIN\r\n");
    answer_with("AT+CCMXPLAYWAV", then_notice(kOk, "\r\n+WAVSTATE: wav play stop\r\n", 0));
    answer("AT+CMGS=", "\r\n> ");
    answer("0011", "\r\n+CMGS: 1\r\n\r\nOK\r\n", 2000);
    std::string order;
    for (int round = 0; round < 3; round++) {
        sms_message m{};
        snprintf(m.phone, sizeof m.phone, "0123456789");
        m.mode = 8;
        m.text[1] = 'A';
        m.length = 2;
        ASSERT_EQ(sms_send_one(m), 1);
        ASSERT_EQ(voice_send_one(call_to("0987654321")), 1);
        fake_serial::clear_sent();
        testing::internal::CaptureStdout();
        get_modem_info();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(send_sms_status.load(), 3);
        EXPECT_EQ(send_voice_status.load(), 3);
        int cmgs = fake_serial::find("AT+CMGS="), atd = fake_serial::find("ATD");
        ASSERT_GE(cmgs, 0);
        ASSERT_GE(atd, 0);
        order += cmgs < atd ? "SC" : "CS";
    }
    EXPECT_EQ(order, "SCSCSC");
}
