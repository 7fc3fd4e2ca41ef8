// Rings and the edge hand-over under real threads; meant for the
// ThreadSanitizer build, and a consistency check in every build.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alarm/composer.h"
#include "alarm/dispatch.h"
#include "alarm/rings.h"
#include "modbus/regmap.h"
#include "modem/sim7100.h"
#include "storage/sdcard.h"
#include "tests/fakes/sys_fake.h"
#include "tests/unit/map_fixture.h"

namespace {
// What the fake modem saw, filled on the dispatcher's thread only.
std::mutex g_seen_mu;
std::vector<std::pair<std::string, std::string>> g_seen;   // (phone, text)

// Completes an accepted SMS at the dispatcher's next sleep.
void serve_mailbox(uint64_t) {
    if (is_send_sms.load() == 0 || send_sms_status.load() != 1) return;
    {
        std::lock_guard<std::mutex> l(g_seen_mu);
        g_seen.emplace_back(std::string(send_sms.phone),
                            std::string(reinterpret_cast<const char *>(send_sms.text), send_sms.length));
    }
    send_sms_status = 3;
    is_send_sms = 0;
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        map_ = std::make_unique<test_map::Map>();
        ASSERT_TRUE(map_->ok());
        event_rings_reset();
        edge_trigger_reset();
        modem_state_reset();
        modem_creg = 1;   // registered: the dispatcher waits otherwise
        if_sd_card = 0;
        g_seen.clear();
        fake_sys::on_sleep(serve_mailbox);
    }
    void TearDown() override {
        fake_sys::on_sleep(nullptr);
        map_.reset();
    }
    std::unique_ptr<test_map::Map> map_;
};

// Each entry names its producer and sequence in its text and in every phone,
// with a phone count derived from the sequence: a torn entry shows at once.
TEST_F(Concurrency, TwoProducersOneConsumerAndCleans) {
    constexpr int kPerProducer = 1500;
    std::atomic<bool> producers_done{false};
    std::atomic<int> accepted{0};

    auto producer = [&](int id) {
        char phones[5][PHONE_SLOT_LEN];
        for (int seq = 0; seq < kPerProducer; seq++) {
            char tag[PHONE_SLOT_LEN];
            snprintf(tag, sizeof tag, "%d%07d", id, seq);
            int count = seq % 5 + 1;
            std::memset(phones, 0, sizeof phones);
            for (int i = 0; i < count; i++) std::memcpy(phones[i], tag, std::strlen(tag));
            sms_message m{};
            int n = snprintf(reinterpret_cast<char *>(m.text), sizeof m.text, "T%s/%d", tag, count);
            m.length = static_cast<uint8_t>(n);
            m.mode = 8;
            int slot = sms_event_put(m, phones, count);
            if (slot >= 0) accepted++;
            EXPECT_GE(slot, -1);
            EXPECT_LT(slot, EVT_SLOTS);
            int q = sms_event_is_n();
            EXPECT_GE(q, 0);
            EXPECT_LE(q, 17);
            if (seq % 3 == 0) std::this_thread::yield();
        }
    };
    std::thread consumer([&] {
        while (!producers_done.load() || sms_event_is_n() > 0) sms_buffer_pass();
    });
    std::thread cleaner([&] {
        while (!producers_done.load()) {
            EXPECT_EQ(sms_event_clean_all(), 1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread p1(producer, 1), p2(producer, 2);
    p1.join();
    p2.join();
    producers_done = true;
    cleaner.join();
    consumer.join();

    EXPECT_EQ(sms_event_is_n(), 0);
    EXPECT_GT(accepted.load(), 0);
    std::lock_guard<std::mutex> l(g_seen_mu);
    ASSERT_FALSE(g_seen.empty());
    // Hand-overs per entry: count phones, all carrying the entry's own tag.
    size_t i = 0;
    int entries = 0;
    while (i < g_seen.size()) {
        const std::string &text = g_seen[i].second;
        ASSERT_EQ(text[0], 'T') << text;
        size_t slash = text.find('/');
        ASSERT_NE(slash, std::string::npos) << text;
        std::string tag = text.substr(1, slash - 1);
        int count = std::stoi(text.substr(slash + 1));
        ASSERT_EQ(count, std::stoi(tag.substr(1)) % 5 + 1) << text;
        for (int k = 0; k < count; k++, i++) {
            ASSERT_LT(i, g_seen.size());
            EXPECT_EQ(g_seen[i].first, tag);
            EXPECT_EQ(g_seen[i].second, text);
        }
        entries++;
    }
    EXPECT_LE(entries, accepted.load());
}

TEST_F(Concurrency, VoiceRingUnderCleans) {
    constexpr int kPuts = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> popped{0};
    std::thread consumer([&] {
        while (!done.load() || voice_event_is_n() > 0) {
            if (voice_event_is_n() == 0) {
                std::this_thread::yield();
                continue;
            }
            voice_event &head = voice_evt[evt_out_voice.load()];
            head.status = 2;
            char name[21] = {};
            std::memcpy(name, head.wav_name, 20);
            int n = head.phone_count;
            EXPECT_GE(n, 1);
            EXPECT_LE(n, 3);
            for (int k = 0; k < n; k++) EXPECT_EQ(std::string(head.phones[k]), std::string(name));
            head.phones_done = n;
            head.status = 3;
            EXPECT_EQ(voice_event_pop(), 1);
            popped++;
        }
    });
    std::thread cleaner([&] {
        while (!done.load()) {
            voice_event_clean_all();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    char phones[3][PHONE_SLOT_LEN];
    for (int i = 0; i < kPuts; i++) {
        voice_message v{};
        snprintf(v.wav_name, sizeof v.wav_name, "DO%d_ON.wav", i % 128);
        std::memset(phones, 0, sizeof phones);
        for (int k = 0; k < 3; k++) std::memcpy(phones[k], v.wav_name, std::strlen(v.wav_name));
        int slot = voice_event_put(v, phones, i % 3 + 1);
        EXPECT_GE(slot, -1);
        EXPECT_LT(slot, EVT_SLOTS);
    }
    done = true;
    cleaner.join();
    consumer.join();
    EXPECT_EQ(voice_event_is_n(), 0);
    EXPECT_GT(popped.load(), 0);
}

// The listener writes alternating values while the edge thread scans: every
// change must be seen, and the last SMS of each alarm carries the last value.
TEST_F(Concurrency, EdgeHandOverLosesNoTrigger) {
    constexpr int kAlarms = 4;
    constexpr int kWrites = 600;
    hr_set(208, 1);
    for (int a = 0; a < kAlarms; a++) {
        hr_set(a, 1);                                 // group 0
        hr_set(256 + a, static_cast<uint16_t>(a * 100));   // fires within two passes
        int t = alarm_text_reg(a);
        hr_set(t, static_cast<uint16_t>('N' << 8));       // ON text "N<a>"
        hr_set(t + 1, static_cast<uint16_t>(('0' + a) << 8));
        hr_set(t + 54, static_cast<uint16_t>('F' << 8));  // OFF text "F<a>"
        hr_set(t + 55, static_cast<uint16_t>(('0' + a) << 8));
    }
    hr_set(128, 0x000F);
    hr_set(phone_reg(0, 0), 0x3132);

    std::atomic<bool> edge_stop{false};
    std::atomic<bool> consumer_stop{false};
    std::thread edge([&] {
        while (!edge_stop.load()) edge_poll_pass();
    });
    std::thread consumer([&] {
        while (!consumer_stop.load() || sms_event_is_n() > 0) sms_buffer_pass();
    });
    uint16_t last[kAlarms] = {};
    for (int i = 0; i < kWrites; i++) {
        int a = i % kAlarms;
        // Some writes repeat the value: they must not count as a change.
        uint16_t v = (i / kAlarms) % 3 == 2 ? last[a] : (last[a] == 0xFF00 ? 0x0000 : 0xFF00);
        // Keep the ring from filling: a refused put would drop an SMS.
        while (sms_event_is_n() > 12) std::this_thread::yield();
        edge_trigger_write(a, v);
        last[a] = v;
        if (i % 7 == 0) std::this_thread::yield();
    }
    edge_stop = true;
    edge.join();
    // A trigger lost in the hand-over stays lost: these passes only finish
    // delays that were still running when the edge thread stopped.
    for (int p = 0; p < 5; p++) edge_poll_pass();
    consumer_stop = true;
    consumer.join();

    std::map<char, std::string> last_text;
    {
        std::lock_guard<std::mutex> l(g_seen_mu);
        ASSERT_FALSE(g_seen.empty());
        for (const auto &s : g_seen) {
            ASSERT_EQ(s.second.size(), 4u) << "torn text";
            ASSERT_EQ(s.first, "12");
            char kind = s.second[1];
            char alarm = s.second[3];
            ASSERT_TRUE(kind == 'N' || kind == 'F');
            last_text[alarm] = std::string(1, kind);
        }
    }
    for (int a = 0; a < kAlarms; a++) {
        edge_trigger t = edge_trigger_get(a);
        EXPECT_EQ(t.triggered, 0);
        EXPECT_EQ(t.armed, 0);
        EXPECT_EQ(t.value, last[a]);
        // The final change was fired with the final value.
        ASSERT_EQ(last_text.count(static_cast<char>('0' + a)), 1u) << a;
        EXPECT_EQ(last_text[static_cast<char>('0' + a)], last[a] == 0xFF00 ? "N" : "F") << a;
    }
    EXPECT_EQ(if_send_sms_buffer_full.load(), 0);
}
}  // namespace
