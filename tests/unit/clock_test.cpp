// The time base, the RX6110SA clock and the ADS111x converter on the I2C fake.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "board/i2c.h"
#include "board/timebase.h"
#include "tests/fakes/i2c_fake.h"
#include "tests/fakes/sys_fake.h"

namespace {
class Clock : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        fake_i2c::reset();
    }
    void set_rtc(std::vector<uint8_t> regs) {
        for (size_t i = 0; i < regs.size(); i++) fake_i2c::rtc()[0x10 + i] = regs[i];
    }
};

TEST_F(Clock, BcdConversions) {
    EXPECT_EQ(bin2bcd(59), 0x59);
    EXPECT_EQ(bcd2bin(0x59), 59);
    EXPECT_EQ(bin2bcd(0), 0x00);
    EXPECT_EQ(bin2bcd(19), 0x19);
    EXPECT_EQ(bin2bcd(256 + 12), 0x12);   // taken modulo 256
    EXPECT_EQ(bcd2bin(0x00), 0);
    EXPECT_EQ(bcd2bin(0x31), 31);
    for (int v = 0; v < 100; v++) EXPECT_EQ(bcd2bin(bin2bcd(v)), v);
}

TEST_F(Clock, WeekdayIsTheLowestSetBit) {
    EXPECT_EQ(wday_rtc2sys(0x00), 0);
    EXPECT_EQ(wday_rtc2sys(0x41), 0);
    EXPECT_EQ(wday_rtc2sys(0x80), 0);
    EXPECT_EQ(wday_rtc2sys(0x08), 3);
    EXPECT_EQ(wday_rtc2sys(0x40), 6);
    EXPECT_EQ(wday_rtc2sys(0x0C), 2);
}

TEST_F(Clock, ReadDecodesTheTimeRegisters) {
    set_rtc({0x45, 0x30, 0x08, 0x08, 0x19, 0x06, 0x19});
    rtc_time t{};
    EXPECT_EQ(RTC_Read(&t), 1);
    EXPECT_EQ(t.tm_year, 2019);
    EXPECT_EQ(t.tm_mon, 6);
    EXPECT_EQ(t.tm_mday, 19);
    EXPECT_EQ(t.tm_hour, 8);
    EXPECT_EQ(t.tm_min, 30);
    EXPECT_EQ(t.tm_sec, 45);
    EXPECT_EQ(t.tm_wday, 3);

    // Flag bits above each field are masked off.
    set_rtc({0x80 | 0x59, 0x80 | 0x07, 0xC0 | 0x23, 0x01, 0xC0 | 0x31, 0xE0 | 0x12, 0x99});
    EXPECT_EQ(RTC_Read(&t), 1);
    EXPECT_EQ(t.tm_sec, 59);
    EXPECT_EQ(t.tm_min, 7);
    EXPECT_EQ(t.tm_hour, 23);
    EXPECT_EQ(t.tm_mday, 31);
    EXPECT_EQ(t.tm_mon, 12);
    EXPECT_EQ(t.tm_year, 2099);
    EXPECT_EQ(t.tm_wday, 0);
}

TEST_F(Clock, FailedReadGivesTheFallbackDate) {
    set_rtc({0x45, 0x30, 0x08, 0x08, 0x19, 0x06, 0x19});
    for (int code : {-1, -2, -3}) {
        fake_i2c::fail_with(code);
        rtc_time t{9, 9, 9, 9, 9, 9, 9};
        EXPECT_EQ(RTC_Read(&t), 0);
        EXPECT_EQ(t.tm_year, 2000);
        EXPECT_EQ(t.tm_mon, 1);
        EXPECT_EQ(t.tm_mday, 1);
        EXPECT_EQ(t.tm_hour, 0);
        EXPECT_EQ(t.tm_min, 0);
        EXPECT_EQ(t.tm_sec, 0);
        EXPECT_EQ(t.tm_wday, 6);
    }
}

TEST_F(Clock, WriteSendsOneBlockOfSevenRegisters) {
    EXPECT_EQ(RTC_Write(45, 30, 8, 19, 6, 2019, 6), 1);
    auto w = fake_i2c::writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].dev, 0x64);
    EXPECT_EQ(w[0].reg, 0x10);
    EXPECT_EQ(w[0].data, (std::vector<uint8_t>{0x45, 0x30, 0x08, 0x40, 0x19, 0x06, 0x19}));

    // Written and read back through the same registers.
    rtc_time t{};
    EXPECT_EQ(RTC_Read(&t), 1);
    EXPECT_EQ(t.tm_year, 2019);
    EXPECT_EQ(t.tm_wday, 6);

    EXPECT_EQ(RTC_Write(0, 0, 0, 1, 1, 2000, 0), 1);
    EXPECT_EQ(fake_i2c::writes()[1].data, (std::vector<uint8_t>{0, 0, 0, 0x01, 0x01, 0x01, 0x00}));
    EXPECT_EQ(RTC_Write(0, 0, 0, 1, 1, 2099, 8), 1);   // no weekday bit beyond 7
    EXPECT_EQ(fake_i2c::writes()[2].data[3], 0x00);
    EXPECT_EQ(fake_i2c::writes()[2].data[6], 0x99);
    EXPECT_EQ(RTC_Write(0, 0, 0, 1, 1, 2099, 7), 1);
    EXPECT_EQ(fake_i2c::writes()[3].data[3], 0x80);
}

TEST_F(Clock, FailedWriteIsReported) {
    fake_i2c::fail_with(-3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RTC_Write(1, 2, 3, 4, 5, 2020, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RTC>> Write Error, ret=-3\r\n");
}

TEST_F(Clock, SystemClockIsSetThroughDate) {
    set_rtc({0x00, 0x30, 0x08, 0x08, 0x19, 0x06, 0x19});
    EXPECT_EQ(RTC_Read2sys(0), 0);
    EXPECT_EQ(fake_sys::commands(), (std::vector<std::string>{"date -s \"2019-06-19 08:30:00\""}));
    EXPECT_EQ(Sysrtc.tm_hour, 8);

    fake_sys::clear_commands();
    fake_i2c::fail_with(-1);
    EXPECT_EQ(RTC_Read2sys(0), 0);
    EXPECT_EQ(fake_sys::commands(), (std::vector<std::string>{"date -s \"2000-01-01 00:00:00\""}));
    EXPECT_EQ(Sysrtc.tm_wday, 6);
}

TEST_F(Clock, ConverterConfigurationAndRawReading) {
    EXPECT_EQ(InitADC(), 1);
    auto w = fake_i2c::writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].dev, 0x90);
    EXPECT_EQ(w[0].reg, 1);
    EXPECT_EQ(w[0].data, (std::vector<uint8_t>{0x04, 0x73}));
    EXPECT_EQ(fake_i2c::adc_config(), 0x0473);

    fake_i2c::set_adc_conversion(0xFF38);
    EXPECT_EQ(ReadADCRegister(), 65336);   // not sign-extended
    fake_i2c::set_adc_conversion(0x0102);
    EXPECT_EQ(ReadADCRegister(), 258);
}

TEST_F(Clock, ConverterFailuresAreReported) {
    fake_i2c::fail_with(-1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitADC(), 0);
    EXPECT_EQ(ReadADCRegister(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Set ADC ERROR, ret=-1\r\nADC>> Read Error, ret=-1\r\n");
}

TEST_F(Clock, TicksAreWallClockMilliseconds) {
    fake_sys::set_now_us(1760000000ull * 1000000ull + 123456);
    EXPECT_EQ(GetTimeTicks(), static_cast<uint32_t>(1760000000123ull));
    EXPECT_EQ(getMsec(), static_cast<int32_t>(static_cast<uint32_t>(1760000000123ull)));
    EXPECT_EQ(getDiffTime(5, 9), 4);
    EXPECT_EQ(getDiffTime(9, 5), 4);
}

TEST_F(Clock, TickDifferencesSurviveTheWrap) {
    // A wall clock whose millisecond count is 4294967200 modulo 2^32.
    const uint64_t ms = 409ull * (1ull << 32) + 4294967200ull;
    fake_sys::set_now_us(ms * 1000);
    uint32_t then = GetTimeTicks();
    EXPECT_EQ(then, 4294967200u);
    fake_sys::set_now_us((ms + 196) * 1000);
    uint32_t now = GetTimeTicks();
    EXPECT_EQ(now, 100u);
    EXPECT_EQ(static_cast<uint32_t>(now - then), 196u);
}

TEST_F(Clock, ResetRebootsThroughInit) {
    fake_sys::script("init 6", "", 7);
    EXPECT_EQ(ResetSIM7100(), 7);
    EXPECT_EQ(fake_sys::commands(), (std::vector<std::string>{"init 6"}));
}

TEST_F(Clock, BrokenDownTimeConversion) {
    struct tm src{};
    src.tm_year = 119;
    src.tm_mon = 5;
    src.tm_mday = 19;
    src.tm_hour = 8;
    src.tm_min = 30;
    src.tm_sec = 45;
    src.tm_wday = 3;
    rtc_time t{};
    EXPECT_EQ(tm2rtc(&src, &t), 0);
    EXPECT_EQ(t.tm_year, 2019);
    EXPECT_EQ(t.tm_mon, 6);
    EXPECT_EQ(t.tm_mday, 19);
    EXPECT_EQ(t.tm_hour, 8);
    EXPECT_EQ(t.tm_min, 30);
    EXPECT_EQ(t.tm_sec, 45);
    EXPECT_EQ(t.tm_wday, 3);

    // Without a source: local time of the (virtual) wall clock.
    time_t now = 1760000000;
    fake_sys::set_now_us(static_cast<uint64_t>(now) * 1000000u);
    struct tm lt;
    localtime_r(&now, &lt);
    EXPECT_EQ(tm2rtc(nullptr, &t), 0);
    EXPECT_EQ(t.tm_year, lt.tm_year + 1900);
    EXPECT_EQ(t.tm_mon, lt.tm_mon + 1);
    EXPECT_EQ(t.tm_mday, lt.tm_mday);
    EXPECT_EQ(t.tm_hour, lt.tm_hour);
    EXPECT_EQ(t.tm_min, lt.tm_min);
    EXPECT_EQ(t.tm_wday, lt.tm_wday);
}
}  // namespace
