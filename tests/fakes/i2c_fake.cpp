#include "tests/fakes/i2c_fake.h"

#include <cstring>
#include <mutex>

#include "board/i2c.h"

int i2c_fd = -1;

namespace {
constexpr uint8_t kRtc = 0x64;
constexpr uint8_t kAdc = 0x90;
std::mutex g_mu;
std::array<uint8_t, 256> g_rtc{};
std::array<uint16_t, 4> g_adc{};   // pointer registers 0..3
int g_fail = 0;
std::vector<fake_i2c::write_rec> g_writes;
int g_reads = 0;
}  // namespace

namespace fake_i2c {
void reset() {
    std::lock_guard<std::mutex> l(g_mu);
    g_rtc.fill(0);
    g_adc.fill(0);
    g_fail = 0;
    g_writes.clear();
    g_reads = 0;
    i2c_fd = -1;
}
std::array<uint8_t, 256> &rtc() { return g_rtc; }
void set_adc_conversion(uint16_t v) {
    std::lock_guard<std::mutex> l(g_mu);
    g_adc[0] = v;
}
uint16_t adc_config() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_adc[1];
}
void fail_with(int code) {
    std::lock_guard<std::mutex> l(g_mu);
    g_fail = code;
}
std::vector<write_rec> writes() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_writes;
}
int reads() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_reads;
}
}  // namespace fake_i2c

int InitI2C() {
    std::lock_guard<std::mutex> l(g_mu);
    i2c_fd = g_fail == -1 ? -1 : 3;
    return g_fail == -1 ? 0 : 1;
}

int I2C_Write(uint8_t dev, uint8_t reg, uint8_t n, const uint8_t *data) {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_fail != 0) return g_fail;
    g_writes.push_back({dev, reg, std::vector<uint8_t>(data, data + n)});
    if (dev == kRtc) {
        for (int i = 0; i < n; i++) g_rtc[(reg + i) & 0xFF] = data[i];
        return 1;
    }
    if (dev == kAdc) {
        // The converter takes 16-bit registers, most significant byte first.
        if (reg < g_adc.size() && n >= 2) g_adc[reg] = static_cast<uint16_t>(data[0] << 8 | data[1]);
        return 1;
    }
    return -3;
}

int I2C_Read(uint8_t dev, uint8_t reg, uint8_t n, uint8_t *data) {
    std::lock_guard<std::mutex> l(g_mu);
    g_reads++;
    if (g_fail != 0) return g_fail;
    if (dev == kRtc) {
        for (int i = 0; i < n; i++) data[i] = g_rtc[(reg + i) & 0xFF];
        return 1;
    }
    if (dev == kAdc) {
        if (reg >= g_adc.size()) return -3;
        uint16_t v = g_adc[reg];
        for (int i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i == 0 ? v >> 8 : i == 1 ? v & 0xFF : 0);
        return 1;
    }
    return -3;
}
