// The time base and the chips on the I2C bus: millisecond ticks, the RX6110SA
// battery-backed clock, the ADS111x converter, and the board reboot.
#pragma once
#include <cstdint>
#include <ctime>

struct rtc_time {
    int32_t tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday;  // month 1..12, full year
};
extern rtc_time Sysrtc;

constexpr uint8_t RTC_ADDR = 0x64;   // 7-bit 0x32
constexpr uint8_t ADC_ADDR = 0x90;   // 7-bit 0x48

uint32_t GetTimeTicks();             // wall-clock ms, wraps at 2^32
int32_t getMsec();
int32_t getDiffTime(int32_t a, int32_t b);
int ResetSIM7100();                  // "init 6"

uint8_t bcd2bin(uint8_t b);
uint8_t bin2bcd(int v);
int wday_rtc2sys(uint8_t reg);
int RTC_Read(rtc_time *t);           // 1 read, 0 failed (fallback date)
int RTC_Write(int sec, int min, int hour, int mday, int mon, int year, int wday);
int RTC_Read2sys(int unused);        // sets the system clock with "date -s"
int tm2rtc(const struct tm *src, rtc_time *t);   // src null: local time now
int InitADC();
uint16_t ReadADCRegister();
