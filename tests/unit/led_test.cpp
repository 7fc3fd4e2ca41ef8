// LED patterns on the virtual clock: led_pass is driven by hand and the LED
// value files of a temporary GPIO tree are read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/unit/test_files.h"
#include "board/led.h"
#include "board/timebase.h"
#include "modem/sim7100.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"

namespace fs = std::filesystem;

namespace {
using test_files::put;
using test_files::slurp;

class Led : public ::testing::Test {
protected:
    fs::path root, sta, gps;
    led_timers t{};
    uint64_t now_ms = 1760000000000ull;

    void SetUp() override {
        fake_sys::reset();
        root = test_files::temp_root("led");
        fs::path g = root / "sys/class/gpio";
        fs::create_directories(g / "gpio77");
        fs::create_directories(g / "gpio92");
        sta = g / "gpio77/value";
        gps = g / "gpio92/value";
        put(sta, "0");
        put(gps, "0");
        sys_set_root(root.c_str());
        sta_led_step = 1;
        gps_flag = 0;
        at(0);
        t.sta = t.gps = GetTimeTicks();
    }
    void TearDown() override { fs::remove_all(root); }

    // Both LEDs off and both timers at the start of the test.
    void restart() {
        put(sta, "0");
        put(gps, "0");
        at(0);
        t.sta = t.gps = GetTimeTicks();
    }
    // Sets the virtual clock to ms after the start of the test and runs one pass.
    void at(uint64_t ms) { fake_sys::set_now_us((now_ms + ms) * 1000); }
    void pass_at(uint64_t ms) {
        at(ms);
        led_pass(&t);
    }
    bool sta_on() { return slurp(sta)[0] == '1'; }
    bool gps_on() { return slurp(gps)[0] == '1'; }
    void set_sta(bool on) { put(sta, on ? "1" : "0"); }
    void set_gps(bool on) { put(gps, on ? "1" : "0"); }

    // Walks the status LED through two full periods and checks each edge.
    void expect_blink(uint32_t on_ms, uint32_t off_ms) {
        set_sta(true);
        uint64_t base = 10000;
        pass_at(base);   // the timer was set at 0: far past the on time
        ASSERT_FALSE(sta_on());
        for (int period = 0; period < 2; period++) {
            pass_at(base + off_ms - 1);
            EXPECT_FALSE(sta_on()) << "off phase ended early";
            pass_at(base + off_ms);
            EXPECT_TRUE(sta_on());
            base += off_ms;
            pass_at(base + on_ms - 1);
            EXPECT_TRUE(sta_on()) << "on phase ended early";
            pass_at(base + on_ms);
            EXPECT_FALSE(sta_on());
            base += on_ms;
        }
    }
};

TEST_F(Led, StatusPatterns) {
    const uint32_t table[7][2] = {{0, 0}, {900, 100}, {500, 500}, {200, 200}, {100, 900}, {100, 100}, {100, 900}};
    for (int step = 1; step <= 6; step++) {
        SCOPED_TRACE(step);
        restart();
        sta_led_step = step;
        gps_flag = 0;
        expect_blink(table[step][0], table[step][1]);
    }
}

TEST_F(Led, SteadyStepsWriteOnEveryPass) {
    for (int step : {0, 7, -1, 100}) {
        sta_led_step = step;
        for (int i = 0; i < 5; i++) {
            set_sta(false);
            pass_at(1000 + 300 * i);
            EXPECT_EQ(slurp(sta), std::string("1\0", 2)) << step;
        }
    }
    // Steady phases do not restart the timer.
    EXPECT_EQ(t.sta, static_cast<uint32_t>(now_ms));
}

TEST_F(Led, StepChangeKeepsTheTimer) {
    // Step 0, steady on; switched to 2 while the last switch was 300 ms ago.
    sta_led_step = 1;
    set_sta(true);
    pass_at(900);
    ASSERT_FALSE(sta_on());
    pass_at(1000);
    ASSERT_TRUE(sta_on());   // timer restarted at 1000
    sta_led_step = 0;
    pass_at(1100);
    EXPECT_TRUE(sta_on());
    sta_led_step = 2;
    pass_at(1300);
    EXPECT_TRUE(sta_on());   // 300 ms since the last switch
    pass_at(1499);
    EXPECT_TRUE(sta_on());
    pass_at(1500);
    EXPECT_FALSE(sta_on());  // 500 ms reached
    pass_at(1999);
    EXPECT_FALSE(sta_on());
    pass_at(2000);
    EXPECT_TRUE(sta_on());

    // Steady on for longer than the new on time: off at the first pass.
    sta_led_step = 0;
    pass_at(5000);
    sta_led_step = 3;
    pass_at(5001);
    EXPECT_FALSE(sta_on());
}

TEST_F(Led, GpsRule) {
    sta_led_step = 0;
    gps_flag = 0;
    pass_at(10);
    EXPECT_TRUE(gps_on());
    EXPECT_EQ(gps_led_step.load(), 0);

    gps_flag = 1;
    set_gps(true);
    pass_at(899);
    EXPECT_TRUE(gps_on());
    EXPECT_EQ(gps_led_step.load(), 1);
    pass_at(900);
    EXPECT_FALSE(gps_on());
    pass_at(999);
    EXPECT_FALSE(gps_on());
    pass_at(1000);
    EXPECT_TRUE(gps_on());
    pass_at(1899);
    EXPECT_TRUE(gps_on());
    pass_at(1900);
    EXPECT_FALSE(gps_on());

    // Any other value, including ones never used: steady on.
    gps_flag = 3;
    pass_at(1901);
    EXPECT_TRUE(gps_on());
}

TEST_F(Led, GpsTimerIsIndependentOfTheStatusTimer) {
    sta_led_step = 1;
    gps_flag = 1;
    set_sta(true);
    set_gps(true);
    pass_at(900);
    EXPECT_FALSE(sta_on());
    EXPECT_FALSE(gps_on());
    gps_flag = 0;
    pass_at(950);   // GPS steady on now; status still off
    EXPECT_TRUE(gps_on());
    EXPECT_FALSE(sta_on());
    gps_flag = 1;
    pass_at(1000);  // status back on; the GPS timer (restarted at 900) shows 100 ms on time only
    EXPECT_TRUE(sta_on());
    EXPECT_TRUE(gps_on());
    pass_at(1799);
    EXPECT_TRUE(gps_on());
    pass_at(1800);
    EXPECT_FALSE(gps_on());
    EXPECT_TRUE(sta_on());
}

TEST_F(Led, FirmwareUpdatePatternsDriveBothLeds) {
    for (int step : {5, 6}) {
        SCOPED_TRACE(step);
        restart();
        sta_led_step = step;
        gps_flag = step;
        set_sta(true);
        set_gps(true);
        pass_at(100);
        EXPECT_FALSE(sta_on());
        EXPECT_FALSE(gps_on());
        EXPECT_EQ(gps_led_step.load(), step);
        uint32_t off = step == 5 ? 100 : 900;
        pass_at(100 + off - 1);
        EXPECT_FALSE(gps_on());
        pass_at(100 + off);
        EXPECT_TRUE(sta_on());
        EXPECT_TRUE(gps_on());
    }
}

TEST_F(Led, GpsFlagFiveLeavesTheGpsLedAlone) {
    sta_led_step = 0;
    gps_flag = 5;
    set_gps(false);
    for (int i = 1; i <= 5; i++) {
        pass_at(400 * i);
        EXPECT_EQ(slurp(gps), "0");   // never written
    }
    set_gps(true);
    pass_at(5000);
    EXPECT_EQ(slurp(gps), "1");
    gps_flag = 6;
    pass_at(6000);
    EXPECT_EQ(slurp(gps), "1");
}

TEST_F(Led, PatternsSurviveTheTickWrap) {
    // Start 300 ms before the millisecond count wraps.
    now_ms = 409ull * (1ull << 32) + 4294967296ull - 300;
    sta_led_step = 1;
    gps_flag = 1;
    set_sta(true);
    set_gps(true);
    at(0);
    t.sta = t.gps = GetTimeTicks();
    pass_at(899);
    EXPECT_TRUE(sta_on());
    EXPECT_TRUE(gps_on());
    pass_at(900);   // 600 ms after the wrap
    EXPECT_FALSE(sta_on());
    EXPECT_FALSE(gps_on());
    EXPECT_LT(t.sta, 1000u);
    pass_at(1000);
    EXPECT_TRUE(sta_on());
    EXPECT_TRUE(gps_on());
}

TEST_F(Led, UnreadableStatusLedCountsAsOn) {
    // A value "file" that opens but cannot be read: a directory.
    fs::remove(sta);
    fs::create_directories(sta);
    sta_led_step = 5;
    gps_flag = 5;
    set_gps(true);
    testing::internal::CaptureStdout();
    pass_at(100);
    EXPECT_FALSE(gps_on());   // the off edge happened, and follows every on time
    set_gps(true);
    pass_at(150);
    EXPECT_TRUE(gps_on());    // the timer restarted at 100
    pass_at(200);
    EXPECT_FALSE(gps_on());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("usr_gpio_get_value"), std::string::npos);
}
}  // namespace
