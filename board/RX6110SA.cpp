#include <cstdio>
#include <ctime>

#include "board/i2c.h"
#include "board/timebase.h"
#include "sys/sys.h"

rtc_time Sysrtc;

namespace {
constexpr uint8_t kTimeRegs = 0x10;   // seconds .. year, one block of 7
}

uint8_t bcd2bin(uint8_t b) { return static_cast<uint8_t>((b >> 4) * 10 + (b & 0x0F)); }

uint8_t bin2bcd(int v) {
    unsigned u = static_cast<unsigned>(v) & 0xFFu;
    return static_cast<uint8_t>(((u / 10) << 4) | (u % 10));
}

int wday_rtc2sys(uint8_t reg) {
    for (int i = 0; i < 7; i++)
        if (reg & (1u << i)) return i;
    return 0;
}

int RTC_Read(rtc_time *t) {
    uint8_t r[7] = {};
    if (I2C_Read(RTC_ADDR, kTimeRegs, 7, r) != 1) {
        // The bus has reported the failure; the clock starts at 2000-01-01, a Saturday.
        *t = rtc_time{0, 0, 0, 1, 1, 2000, 6};
        return 0;
    }
    t->tm_year = 2000 + bcd2bin(r[6]);
    t->tm_mon = bcd2bin(r[5] & 0x1F);
    t->tm_mday = bcd2bin(r[4] & 0x3F);
    t->tm_hour = bcd2bin(r[2] & 0x3F);
    t->tm_min = bcd2bin(r[1] & 0x7F);
    t->tm_sec = bcd2bin(r[0] & 0x7F);
    t->tm_wday = wday_rtc2sys(r[3]);
    return 1;
}

int RTC_Write(int sec, int min, int hour, int mday, int mon, int year, int wday) {
    uint8_t r[7];
    r[0] = bin2bcd(sec);
    r[1] = bin2bcd(min);
    r[2] = bin2bcd(hour);
    r[3] = (wday >= 0 && wday < 8) ? static_cast<uint8_t>(1u << wday) : 0;
    r[4] = bin2bcd(mday);
    r[5] = bin2bcd(mon);
    // (year + 48) mod 256 is year - 2000 for the clock's century.
    r[6] = bin2bcd((year + 48) & 0xFF);
    int ret = I2C_Write(RTC_ADDR, kTimeRegs, 7, r);
    if (ret == 1) return 1;
    printf("RTC>> Write Error, ret=%d\r\n", ret);
    return 0;
}

int RTC_Read2sys(int) {
    RTC_Read(&Sysrtc);
    char cmd[96];
    snprintf(cmd, sizeof cmd, "date -s \"%04d-%02d-%02d %02d:%02d:%02d\"", Sysrtc.tm_year, Sysrtc.tm_mon,
             Sysrtc.tm_mday, Sysrtc.tm_hour, Sysrtc.tm_min, Sysrtc.tm_sec);
    sys_system(cmd);
    return 0;
}

int tm2rtc(const struct tm *src, rtc_time *t) {
    struct tm now;
    if (src == nullptr) {
        time_t s = sys_time();
        localtime_r(&s, &now);
        src = &now;
    }
    t->tm_year = src->tm_year + 1900;
    t->tm_mon = src->tm_mon + 1;
    t->tm_mday = src->tm_mday;
    t->tm_hour = src->tm_hour;
    t->tm_min = src->tm_min;
    t->tm_sec = src->tm_sec;
    t->tm_wday = src->tm_wday;
    return 0;
}
